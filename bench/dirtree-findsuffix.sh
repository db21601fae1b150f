#!/usr/bin/env bash
# Times findsuffix against `find -L DIR ! -type d -name '*.txt' -printf '%f\n'`
# on a tree of about 200,000 entries, warm cache, interleaved rounds; checks
# that both print the same lines, prints both medians and their ratio, then
# counts the system calls of one run of each with strace -c -f.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$top/build/default/bin
[ -x "$bin/findsuffix" ] || { cmake --preset default >/dev/null -S "$top" && cmake --build --preset default --target findsuffix >/dev/null; }
rounds=${ROUNDS:-7}

tree=$(mktemp -d /tmp/bench-tree-XXXXXX)
trap 'rm -rf "$tree"' EXIT
# 400 directories of 499 empty files each: 200,000 entries with the
# directories; half the files end in .txt.
for d in $(seq 1 400); do
  mkdir "$tree/d$d"
  (cd "$tree/d$d" && { seq -f 'f%g.txt' 1 250; seq -f 'f%g.dat' 251 499; } | xargs touch)
done

ours() { "$bin/findsuffix" "$tree" txt; }
theirs() { find -L "$tree" ! -type d -name '*.txt' -printf '%f\n'; }

if ! cmp -s <(ours | sort) <(theirs | sort); then
  echo "findsuffix and find print different lines" >&2
  exit 1
fi

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

mine=() find=()
seconds ours >/dev/null; seconds theirs >/dev/null   # warm the cache
for _ in $(seq 1 "$rounds"); do
  mine+=("$(seconds ours)")
  find+=("$(seconds theirs)")
done
t=$(printf '%s\n' "${mine[@]}" | median)
f=$(printf '%s\n' "${find[@]}" | median)
awk -v t="$t" -v f="$f" 'BEGIN { printf "findsuffix %.4f s, find -L %.4f s, ratio %.3f\n", t, f, t / f }'

# calls NAME COMMAND...: one line with the run's system calls, by count.
calls() {
  local name=$1 log
  shift
  log=$(mktemp)
  strace -c -f -o "$log" "$@" >/dev/null
  # Rows: % time, seconds, usecs/call, calls, [errors,] syscall.
  awk -v name="$name" '$1 ~ /^[0-9.]+$/ { if ($NF == "total") total = $4; else list = list " " $NF "=" $4 }
    END { printf "%s: %d calls:%s\n", name, total, list }' "$log"
  rm -f "$log"
}
command -v strace >/dev/null || { echo "strace not installed: no system-call counts"; exit 0; }
calls findsuffix "$bin/findsuffix" "$tree" txt
calls "find -L" find -L "$tree" ! -type d -name '*.txt' -printf '%f\n'
