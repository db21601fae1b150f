#!/usr/bin/env bash
# tests/check judges another program by the suite's cases: the worked erase
# passes every one, and a stand-in that never looks at its option fails
# exactly the cases about the option. Its reports show commands that make
# the case when typed and differences told briefly; --json reads back.
#
# check_test.sh SOURCE_DIR BUILD_DIR
# shellcheck disable=SC2016  # the patterns name $D as the report shows it
set -uo pipefail
check=$1/tests/check
export CHECK_BUILD=$2
fail() { printf '%s\n' "$*" >&2; exit 1; }
plainFile=$(mktemp)
# Stand-ins made here run a copy of a worked program kept beside them,
# where an unprivileged run can reach it too.
standIns=$(mktemp -d)
chmod 755 "$standIns"
trap 'rm -rf "$plainFile" "$standIns"' EXIT

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

# A closed standard output quietly replaced by /dev/null: the command shown
# closes it as the case did, so that typing it fails the same way.
cp "$2/bin/seeksize" "$standIns/worked-seeksize"
printf '#!/bin/sh\n[ -e /proc/$$/fd/1 ] || exec >/dev/null\nexec %s/worked-seeksize "$@"\n' "$standIns" >"$standIns/seeksize"
chmod 755 "$standIns/seeksize"
out=$("$check" seeksize "$standIns/seeksize")
printf '%s\n' "$out" | grep -q '^ *\$ seeksize \$D/a.txt <&- >&-$' || fail "no closed descriptor in the command: $out"

# A file of 1 MiB and 3 bytes, one byte of it wrong: the report names the
# file, says the offset, and shows a few bytes, not the megabyte.
cp "$2/bin/relocate" "$standIns/worked-relocate"
cat >"$standIns/relocate" <<EOF
#!/bin/sh
$standIns/worked-relocate "\$@" || exit
[ "\$(stat -c %s "\$2")" -lt 1048576 ] || printf X | dd of="\$2" bs=1 seek=1000 conv=notrunc status=none
EOF
chmod 755 "$standIns/relocate"
out=$("$check" relocate "$standIns/relocate")
printf '%s\n' "$out" | grep -q 'the contents of \$D[0-9]*/f.md: 1048579 bytes expected, 1048579 got; they differ at offset 1000 ' ||
  fail "no offset 1000 in: $out"
[ "${#out}" -lt 2000 ] || fail "a report of ${#out} bytes for one byte"

# --json: an array of one object per program, one entry per case.
json=$("$check" --json erase "$1/tests/standins/erase")
printf '%s' "$json" | python3 -m json.tool >/dev/null || fail "--json is no JSON: $json"
counts=$(printf '%s' "$json" | python3 -c '
import json, sys
[p] = json.load(sys.stdin)
statuses = sorted(c["status"] for c in p["cases"])
print(p["program"], p["passed"], p["failed"], p["skipped"], *statuses, sum(bool(c["report"]) for c in p["cases"]))')
[ "$counts" = "erase 2 2 0 failed failed passed passed 2" ] || fail "--json counts: $counts"

# Over a directory, --summary and --json list every program, the absent too.
mkdir "$standIns/mine"
ln -s "$1/tests/standins/erase" "$standIns/mine/erase"
summary=$("$check" --summary "$standIns/mine")
lines=$(printf '%s\n' "$summary" | wc -l) absent=$(printf '%s\n' "$summary" | grep -c $'\tabsent$')
if [ "$lines" -ne "$(wc -l <"$2/programs")" ] || [ "$absent" -ne $((lines - 1)) ] ||
  ! printf '%s\n' "$summary" | grep -qx $'erase\t2\t2\t0'; then
  fail "the directory's summary: $summary"
fi
present=$("$check" --json "$standIns/mine" | python3 -c '
import json, sys
print(*[p["program"] for p in json.load(sys.stdin) if p["present"]])')
[ "$present" = erase ] || fail "the directory's JSON has present: $present"

# --calls on a program that never touches its file says so, not zeros alone.
printf '#!/bin/sh\necho hi\n' >"$standIns/idle"
chmod 755 "$standIns/idle"
out=$("$check" --calls seeksize "$standIns/idle")
printf '%s\n' "$out" | grep -q '^  yours: *nowhere: it never touched its directory in this run, so none of its calls was counted' ||
  fail "--calls on a program that touched nothing: $out"
echo "tests/check judges erase as it should"
