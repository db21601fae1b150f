#!/usr/bin/env bash
# Times numbersend and numberrecv passing 1,000,000 records through a FIFO
# (999,999 answers "yes" from a file, then "no"; outputs to /dev/null)
# against two `dd bs=4` moving the same 4,000,000 bytes through a FIFO, one
# write and one read per record; interleaved rounds, medians and their ratio.
# Then counts the system calls of a 100,000-record run with strace, per record.
# Run by hand: bench/fifo-numbers.sh (ROUNDS=7 to change the rounds)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$top/build/default/bin
[ -x "$bin/numberrecv" ] || { cmake --preset default >/dev/null -S "$top" && cmake --build --preset default --target numbersend numberrecv >/dev/null; }
rounds=${ROUNDS:-5}
records=1000000

work=$(mktemp -d /tmp/bench-fifo-XXXXXX)
trap 'rm -rf "$work"' EXIT
fifo=$work/fifo
{ head -n $((records - 1)) < <(yes yes); echo no; } > "$work/answers"
head -c $((4 * records)) /dev/urandom > "$work/records"

# The reader waits in its open on a FIFO made beforehand; the clock runs
# until both have ended. Every wait is bounded.
numbers() {
  mkfifo "$fifo"
  timeout 120 "$bin/numberrecv" "$fifo" > "$1" &
  local reader=$!
  timeout 120 "$bin/numbersend" "$fifo" < "$work/answers" > "$2"
  wait "$reader"
}
dds() {
  mkfifo "$fifo"
  timeout 120 dd if="$fifo" of=/dev/null bs=4 2> "$work/dd.err" &
  local reader=$!
  timeout 120 dd if="$work/records" of="$fifo" bs=4 2>/dev/null
  wait "$reader"
  rm "$fifo"
  # Whole records only: any short read would show as "+N" partial records.
  grep -qx "$records+0 records in" "$work/dd.err" || { cat "$work/dd.err" >&2; exit 1; }
}
seconds() { local start end; start=$(date +%s.%N); "$@"; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# The output, checked once: every number sent is received, in order.
numbers "$work/received" "$work/sent"
[ "$(wc -l < "$work/received")" -eq "$records" ] || { echo "numberrecv printed $(wc -l < "$work/received") lines" >&2; exit 1; }
cmp -s <(grep -o '[0-9]*$' "$work/received") <(grep '^Number sent' "$work/sent" | grep -o '[0-9]*$') ||
  { echo "the numbers received differ from those sent" >&2; exit 1; }
[ ! -e "$fifo" ] || { echo "numbersend left its FIFO" >&2; exit 1; }

ours=() theirs=()
for round in $(seq 1 "$rounds"); do
  ours+=("$(seconds numbers /dev/null /dev/null)")
  theirs+=("$(seconds dds)")
  printf 'round %d: numbersend+numberrecv %.3f s, dd+dd %.3f s\n' "$round" "${ours[-1]}" "${theirs[-1]}"
done
n=$(printf '%s\n' "${ours[@]}" | median)
d=$(printf '%s\n' "${theirs[@]}" | median)
awk -v n="$n" -v d="$d" 'BEGIN { printf "medians: numbers %.3f s, dd %.3f s, ratio %.3f (goal <= 1.25)\n", n, d, n / d }'

# Per record, each program should make only its FIFO call and its share of
# the printing (the sender's output is line-buffered, so its number line and
# its prompt are one write each: 3 calls a record; the receiver's lines are buffered).
traced=100000
perRecord() {
  awk -v n="$traced" -v who="$1" '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $4 >= n / 1000 {
    printf "%s: %-6s %8d calls, %.4f per record\n", who, $NF, $4, $4 / n }' "$2"
}
if command -v strace >/dev/null; then
  mkfifo "$fifo"
  timeout 300 strace -c -f -o "$work/recv.calls" "$bin/numberrecv" "$fifo" > /dev/null &
  reader=$!
  { head -n $((traced - 1)) "$work/answers"; echo no; } |
    timeout 300 strace -c -f -o "$work/send.calls" "$bin/numbersend" "$fifo" > /dev/null
  wait "$reader"
  perRecord numbersend "$work/send.calls"
  perRecord numberrecv "$work/recv.calls"
fi
