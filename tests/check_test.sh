#!/usr/bin/env bash
# tests/check judges another program by the suite's cases: the worked erase
# passes every one, and a stand-in that never looks at its option fails
# exactly the cases about the option.
#
# check_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
check=$1/tests/check
export CHECK_BUILD=$2
fail() { printf '%s\n' "$*" >&2; exit 1; }
plainFile=$(mktemp)
trap 'rm -f "$plainFile"' EXIT

out=$("$check" --summary erase "$2/bin/erase") || fail "the worked erase fails: $out"
[ "$out" = $'erase\t4\t0\t0' ] || fail "the worked erase: $out"

out=$("$check" erase "$1/tests/standins/erase")
[ $? -eq 1 ] || fail "a wrong erase passes: $out"
failing=$(printf '%s\n' "$out" | sed -n 's/^[0-9]*\. //p' | sort)
[ "$failing" = $'erase: any other option touches nothing\nerase: the option chooses the call' ] ||
  fail "a wrong erase fails other cases than it should: $failing"
summary=$("$check" --summary erase "$1/tests/standins/erase")
[ "$summary" = $'erase\t2\t2\t0' ] || fail "its summary: $summary"

for args in "nosuch $2/bin/erase" "erase $plainFile" "erase" "--calls $2/bin"; do
  # shellcheck disable=SC2086
  "$check" $args >/dev/null 2>&1
  [ $? -eq 2 ] || fail "tests/check $args is no usage error"
done
echo "tests/check judges erase as it should"
