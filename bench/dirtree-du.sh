#!/usr/bin/env bash
# Times treeweight against `du -sb` on a tree of about 200,000 entries, warm
# cache, interleaved rounds; prints both medians and their ratio.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$top/build/default/bin
[ -x "$bin/treeweight" ] || { cmake --preset default >/dev/null -S "$top" && cmake --build --preset default --target treeweight >/dev/null; }
rounds=${ROUNDS:-7}

tree=$(mktemp -d /tmp/bench-tree-XXXXXX)
trap 'rm -rf "$tree"' EXIT
# 400 directories of 499 empty files each: 200,000 entries with the directories.
for d in $(seq 1 400); do
  mkdir "$tree/d$d"
  (cd "$tree/d$d" && seq 1 499 | xargs touch)
done

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

ours=() theirs=()
seconds "$bin/treeweight" "$tree" >/dev/null; seconds du -sb "$tree" >/dev/null   # warm the cache
for _ in $(seq 1 "$rounds"); do
  ours+=("$(seconds "$bin/treeweight" "$tree")")
  theirs+=("$(seconds du -sb "$tree")")
done
t=$(printf '%s\n' "${ours[@]}" | median)
d=$(printf '%s\n' "${theirs[@]}" | median)
awk -v t="$t" -v d="$d" 'BEGIN { printf "treeweight %.4f s, du -sb %.4f s, ratio %.3f\n", t, d, t / d }'
