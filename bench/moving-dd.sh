#!/usr/bin/env bash
# Times relocate and relocate2 against `dd` with the same block size moving a
# 64 MiB file (dd copies, then rm removes the old name), warm cache,
# interleaved rounds; prints the medians and their ratios.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$top/build/default/bin
[ -x "$bin/relocate2" ] || { cmake --preset default >/dev/null -S "$top" && cmake --build --preset default --target relocate relocate2 >/dev/null; }
rounds=${ROUNDS:-7}

work=$(mktemp -d /tmp/bench-move-XXXXXX)
trap 'rm -rf "$work"' EXIT
head -c 64M /dev/urandom > "$work/original"

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
ddMove() { dd if="$1" of="$2" bs="$3" status=none && rm "$1"; }

# move COMMAND...: times one move of a fresh copy of the original to $work/moved.
move() {
  cp "$work/original" "$work/source"
  rm -f "$work/moved"
  seconds "$@"
  cmp -s "$work/original" "$work/moved" || { echo "bench: $1 moved the wrong bytes" >&2; exit 1; }
}

for pair in "relocate 256" "relocate2 1024"; do
  read -r program block <<<"$pair"
  ours=() theirs=()
  move "$bin/$program" "$work/source" "$work/moved" >/dev/null   # warm up
  for _ in $(seq 1 "$rounds"); do
    ours+=("$(move "$bin/$program" "$work/source" "$work/moved")")
    theirs+=("$(move ddMove "$work/source" "$work/moved" "$block")")
  done
  t=$(printf '%s\n' "${ours[@]}" | median)
  d=$(printf '%s\n' "${theirs[@]}" | median)
  awk -v p="$program" -v b="$block" -v t="$t" -v d="$d" \
    'BEGIN { printf "%s %.4f s, dd bs=%s %.4f s, ratio %.3f\n", p, t, b, d, t / d }'
done
