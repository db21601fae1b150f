#!/usr/bin/env bash
# Times charcount against `wc -m` in a UTF-8 locale (which reads and decodes
# every byte; in the C locale wc answers from the file size) on four 256 MiB
# text files, the two taking turns over several rounds, and prints the ratio
# of their times. Run by hand: bench/threads-charcount.sh [CHARCOUNT] [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
charcount=${1:-$top/build/default/bin/charcount}
rounds=${2:-5}
size=$((256 << 20))
[ -x "$charcount" ] || { echo "no program at $charcount (build the default preset first)" >&2; exit 1; }

work=$(mktemp -d /tmp/bench-charcount-XXXXXX)
trap 'rm -rf "$work"' EXIT
# ASCII text: the input on which wc decodes fastest.
for i in 1 2 3 4; do
  head -c "$size" < <(yes 'The quick brown fox jumps over the lazy dog, 0123456789 times.') > "$work/f$i"
done
files=("$work"/f1 "$work"/f2 "$work"/f3 "$work"/f4)
cat "${files[@]}" > /dev/null  # both programs read from the page cache

# now: the wall clock in microseconds.
now() { echo "${EPOCHREALTIME/./}"; }
expected=$((4 * size))
ourTotal=0 wcTotal=0
for ((round = 1; round <= rounds; round++)); do
  start=$(now)
  total=$("$charcount" "${files[@]}" | tail -n 1)
  ours=$(($(now) - start))
  [ "$total" = "Ukupno karaktera: $expected" ] || { echo "charcount said: $total" >&2; exit 1; }

  start=$(now)
  total=$(LC_ALL=C.UTF-8 wc -m "${files[@]}" | tail -n 1)
  theirs=$(($(now) - start))
  [ "${total% total}" -eq "$expected" ] || { echo "wc said: $total" >&2; exit 1; }

  printf 'round %d: charcount %d ms, wc -m %d ms\n' "$round" $((ours / 1000)) $((theirs / 1000))
  ourTotal=$((ourTotal + ours)) wcTotal=$((wcTotal + theirs))
done

awk -v ours="$ourTotal" -v theirs="$wcTotal" -v bytes=$((rounds * expected)) 'BEGIN {
  printf "ratio charcount/wc: %.3f (goal <= 0.35)\n", ours / theirs
  printf "charcount: %.2f bytes/ns over the four files (goal >= 1.2)\n", bytes / (ours * 1000)
}'
