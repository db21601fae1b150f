#!/usr/bin/env bash
# tests/check judges another program by the suite's cases: the worked erase
# passes every one, a stand-in that never looks at its option fails exactly
# the cases about the option, and a stand-in that attacks the check fails
# its own cases and leaves the check, the build and the machine as they were.
#
# check_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
check=$1/tests/check standins=$1/tests/standins
export CHECK_BUILD=$2
fail() { printf '%s\n' "$*" >&2; exit 1; }
scratch=$(mktemp -d)
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
# The check's work directories go here, where no other check's do.
export TMPDIR=$scratch/work
mkdir "$TMPDIR"
plainFile=$scratch/plain
touch "$plainFile"

out=$("$check" --summary erase "$2/bin/erase") || fail "the worked erase fails: $out"
[ "$out" = $'erase\t4\t0\t0' ] || fail "the worked erase: $out"

out=$("$check" erase "$standins/erase")
[ $? -eq 1 ] || fail "a wrong erase passes: $out"
failing=$(printf '%s\n' "$out" | sed -n 's/^[0-9]*\. //p' | sort)
[ "$failing" = $'erase: any other option touches nothing\nerase: the option chooses the call' ] ||
  fail "a wrong erase fails other cases than it should: $failing"
summary=$("$check" --summary erase "$standins/erase")
[ "$summary" = $'erase\t2\t2\t0' ] || fail "its summary: $summary"

# The same stand-in under a name that ends in a line feed is judged the same.
cp "$standins/erase" "$scratch/erase"$'\n'
summary=$("$check" --summary erase "$scratch/erase"$'\n')
[ "$summary" = $'erase\t2\t2\t0' ] || fail "a name with a line feed: $summary"

mkdir "$scratch/dir"
chmod -x "$plainFile"
ln -s "$scratch/nothing" "$scratch/dangling"
for args in "nosuch $2/bin/erase" "erase $plainFile" "erase $scratch/dir" "erase $scratch/dangling" "erase" \
            "--calls $2/bin"; do
  # shellcheck disable=SC2086
  "$check" $args >/dev/null 2>&1
  [ $? -eq 2 ] || fail "tests/check $args is no usage error"
done

# Each attack, then the worked umask: the attack fails its cases with a
# reason the report names, and the check after it is the same as before.
printf '\177ELF\002\001\001\000broken' >"$scratch/brokenelf"
chmod +x "$scratch/brokenelf"
attacks=(
  # stand-in                 what its report says
  "$standins/flood"          "wrote more than 1 MiB to standard output"
  "$standins/daemon"         "umask: failures"
  "$standins/signaller"      "umask: failures"
  "$standins/tamperer"       "Read-only file system"
  "$standins/sleeper"        "exit status: expected 1, got -1"
  "$scratch/brokenelf"       "Exec format error"
)
before=$("$check" --summary umask "$2/bin/umask")
[ "$before" = $'umask\t3\t0\t0' ] || fail "the worked umask: $before"
for ((i = 0; i < ${#attacks[@]}; i += 2)); do
  attack=${attacks[i]} said=${attacks[i + 1]}
  "$check" umask "$attack" >"$scratch/report" 2>&1
  status=$?
  [ $status -eq 1 ] || fail "$attack: status $status"
  grep -qF -- "$said" "$scratch/report" || fail "$attack: the report does not say \"$said\": $(head -c 2000 "$scratch/report")"
  [ "$(tail -1 "$scratch/report")" = "The full log: $2/check/umask.log" ] || fail "$attack: the report ends otherwise"
  size=$(wc -c <"$scratch/report")
  [ "$size" -lt 65536 ] || fail "$attack: a report of $size bytes"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "$attack: left $(ls "$TMPDIR")"
  ! pgrep -f 'sleep 314[0-9]' >/dev/null || fail "$attack: left $(pgrep -af 'sleep 314[0-9]')"
  if [ -e "$2/tampered" ] || [ -e "$2/bin/tampered" ]; then fail "$attack: wrote into the build"; fi
  after=$("$check" --summary umask "$2/bin/umask")
  [ "$after" = "$before" ] || fail "$attack: the worked umask is then judged $after"
done
echo "tests/check judges erase as it should, and attacks on it fail their own cases alone"
