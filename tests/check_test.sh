#!/usr/bin/env bash
# tests/check judges another program by the suite's cases: the worked erase
# passes every one, a stand-in that never looks at its option fails exactly
# the cases about the option, a stand-in that attacks the check fails its
# own cases and leaves the check, the build and the machine as they were,
# and the reports show commands that make the case when typed and
# differences told briefly; --json reads back.
#
# check_test.sh SOURCE_DIR BUILD_DIR
# shellcheck disable=SC2016  # the patterns name $D as the report shows it
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
# Stand-ins made here run a copy of a worked program kept beside them,
# where an unprivileged run can reach it too.
made=$scratch/made
mkdir "$made"
chmod 755 "$made"

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
  "$standins/tamperer"       "0 passed, 3 failed"
  "$standins/sleeper"        "did not end within"
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
  [[ "$(tail -1 "$scratch/report")" == "The full log: $2/check/umask-"*.log ]] || fail "$attack: the report ends otherwise"
  size=$(wc -c <"$scratch/report")
  [ "$size" -lt 65536 ] || fail "$attack: a report of $size bytes"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "$attack: left $(ls "$TMPDIR")"
  ! pgrep -f 'sleep 314[0-9]' >/dev/null || fail "$attack: left $(pgrep -af 'sleep 314[0-9]')"
  if [ -e "$2/tampered" ] || [ -e "$2/bin/tampered" ]; then fail "$attack: wrote into the build"; fi
  after=$("$check" --summary umask "$2/bin/umask")
  [ "$after" = "$before" ] || fail "$attack: the worked umask is then judged $after"
done

# Reports, one stand-in a row of three lines: the program, what the
# stand-in's script does (WORKED runs a copy of the worked program), and a
# line its report must hold (a grep pattern).
cp "$2/bin/seeksize" "$2/bin/relocate" "$2/bin/erase" "$made"
while read -r program && read -r script && read -r wanted; do
  printf '#!/bin/sh\n%s\n' "${script//WORKED/$made/$program}" >"$made/wrong-$program"
  chmod 755 "$made/wrong-$program"
  out=$("$check" "$program" "$made/wrong-$program")
  printf '%s\n' "$out" | grep -q -- "$wanted" || fail "$program's report has no line $wanted: $out"
  # Bytes the program made reach the terminal escaped.
  [ "$(printf '%s' "$out" | tr -d '\n\t' | tr -d '[:print:]' | wc -c)" -eq 0 ] || fail "raw control bytes in: $out"
  # One wrong byte of a megabyte is told in a few lines (the whole report
  # also tells the cases a wrapping script cannot meet, more under a sanitizer).
  [ "$program" != relocate ] || [ "${#out}" -lt 4096 ] || fail "a report of ${#out} bytes: $out"
  read -r _ || true
done <<'EOF'
seeksize
[ -e /proc/$$/fd/1 ] || exec >/dev/null; exec WORKED "$@"
^ *\$ seeksize \$D/a.txt <&- >&-$

relocate
WORKED "$@" && { [ "$(stat -c %s "$2")" -lt 1048576 ] || printf X | dd of="$2" bs=1 seek=1000 conv=notrunc status=none; }
the contents of \$D[0-9]*/f.md: 1048579 bytes expected, 1048579 got; they differ at offset 1000 

erase
kill -SEGV $$
exit status: expected 1, but it was killed by SIGSEGV$

erase
: >"$(printf '\033[2J\033[32mforged')"
left on disk: .*\\033\[2J\\033\[32mforged
EOF

# --json: an array of one object per program, one entry per case.
json=$("$check" --json erase "$1/tests/standins/erase")
printf '%s' "$json" | python3 -m json.tool >/dev/null || fail "--json is no JSON: $json"
counts=$(printf '%s' "$json" | python3 -c '
import json, sys
[p] = json.load(sys.stdin)
statuses = sorted(c["status"] for c in p["cases"])
print(p["program"], p["passed"], p["failed"], p["skipped"], *statuses, sum(bool(c["report"]) for c in p["cases"]))')
[ "$counts" = "erase 2 2 0 failed failed passed passed 2" ] || fail "--json counts: $counts"

# Over a directory: every failing program detailed in the course's order,
# the first to work on named first; --summary and --json list every
# program, the absent too.
mkdir "$made/mine"
ln -s "$1/tests/standins/erase" "$made/mine/erase"
ln -s "$made/wrong-seeksize" "$made/mine/seeksize"
headings=$("$check" "$made/mine" | grep -E '^(Work on next|====)' | tr '\n' /)
[ "$headings" = "Work on next: seeksize/==== seeksize ====/==== erase ====/" ] || fail "the directory's report: $headings"
summary=$("$check" --summary "$made/mine")
lines=$(printf '%s\n' "$summary" | wc -l) absent=$(printf '%s\n' "$summary" | grep -c $'\tabsent$')
if [ "$lines" -ne "$(wc -l <"$2/tests/programs")" ] || [ "$absent" -ne $((lines - 2)) ] ||
  ! printf '%s\n' "$summary" | grep -qx $'erase\t2\t2\t0'; then
  fail "the directory's summary: $summary"
fi
present=$("$check" --json "$made/mine" | python3 -c '
import json, sys
print(*[p["program"] for p in json.load(sys.stdin) if p["present"]])')
[ "$present" = "seeksize erase" ] || fail "the directory's JSON has present: $present"

# --calls on a program that never touches its file says so, not zeros alone.
printf '#!/bin/sh\necho hi\n' >"$made/idle"
chmod 755 "$made/idle"
out=$("$check" --calls seeksize "$made/idle")
printf '%s\n' "$out" | grep -q '^  yours: *nowhere: it never touched its directory in this run, so none of its calls was counted' ||
  fail "--calls on a program that touched nothing: $out"
echo "tests/check judges erase as it should, attacks on it fail their own cases alone, and its reports are short and exact"
