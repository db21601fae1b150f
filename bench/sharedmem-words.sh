#!/usr/bin/env bash
# Counts words per second through the shared-memory channel (shmtalk2 to
# shmlisten), against the same words through a pipe (tr | cat), what a user
# would otherwise use; medians of interleaved rounds.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${BIN:-$top/build/default/bin}
[ -x "$bin/shmlisten" ] || { cmake --preset default >/dev/null -S "$top" && cmake --build --preset default --target shmtalk2 shmlisten >/dev/null; }
rounds=${ROUNDS:-5}
count=${WORDS:-200000}

work=$(mktemp -d /tmp/bench-words-XXXXXX)
name=/bench-words-$$
trap 'rm -rf "$work"; rm -f "/dev/shm$name"' EXIT
{ seq -f 'w%.0f' 1 "$count" | paste -sd ' '; echo quit; } > "$work/words"

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# The writer stores its first word and waits; the clock runs from the
# reader's start to the end of both.
channel() {
  timeout 120 "$bin/shmtalk2" "$name" < "$work/words" > "$work/prompts" &
  local writer=$!
  timeout 10 sh -c 'until [ -s "$1" ]; do sleep 0.01; done' sh "$work/prompts"
  seconds timeout 120 "$bin/shmlisten" "$name"
  wait "$writer"
}
pipe() { seconds sh -c 'tr " " "\n" < "$1" | cat' sh "$work/words"; }

ours=() theirs=()
for _ in $(seq 1 "$rounds"); do
  ours+=("$(channel)")
  theirs+=("$(pipe)")
done
s=$(printf '%s\n' "${ours[@]}" | median)
p=$(printf '%s\n' "${theirs[@]}" | median)
awk -v s="$s" -v p="$p" -v n="$((count + 1))" 'BEGIN {
  printf "shared memory %.0f words/s, pipe %.0f words/s, ratio %.3f\n", n / s, n / p, p / s }'
