#!/usr/bin/env bash
# The package as a learner takes it: installed with apt, its sysdrills-check,
# run from a directory outside the clone with no build at hand, passes the
# installed erase, fails a wrong one on exactly its wrong cases, passes every
# installed program, also as an ordinary user, and leaves nothing in the
# temporary directory; purged, the package leaves none of its files behind.
#
# Given a build of the same commit, each program's cases are the ones ctest
# finds there by its label.
#
# package-install.sh DEB WRONG_ERASE [BUILD_DIR]   (as root: it installs and purges)
set -uo pipefail
deb=$(realpath "$1") wrongErase=$(realpath "$2") build=${3:+$(realpath "$3")}
fail() { printf '%s\n' "$*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "package-install.sh installs a package: run it as root"
! dpkg-query -W -f='${Status}' sysdrills 2>/dev/null | grep -q installed ||
  fail "sysdrills is installed already: remove it first, so that this test may purge it"
scratch=$(mktemp -d -t sysdrills-install-XXXXXX)
chmod 755 "$scratch"
mkdir -m 1777 "$scratch/tmp"
cp "$wrongErase" "$scratch/erase"
trap 'cd / && apt-get purge -y sysdrills >/dev/null 2>&1; rm -rf "$scratch"' EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "$deb" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; fail "apt cannot install $deb"; }
owned=$(dpkg -L sysdrills)
cd "$scratch" || exit 1
check() { TMPDIR=$scratch/tmp sysdrills-check "$@"; }

[ "$(command -v sysdrills-check)" = /usr/bin/sysdrills-check ] || fail "sysdrills-check is not on PATH"
start=$(date +%s%N)
out=$(check --summary erase /usr/lib/sysdrills/bin/erase) || fail "the installed erase fails: $out"
echo "one check of erase, installed: $(( ($(date +%s%N) - start) / 1000000 )) ms"
[ "$out" = $'erase\t4\t0\t0' ] || fail "the installed erase: $out"

out=$(check erase ./erase)
[ $? -eq 1 ] || fail "a wrong erase passes: $out"
failing=$(printf '%s\n' "$out" | sed -n 's/^[0-9]*\. //p' | sort)
[ "$failing" = $'erase: any other option touches nothing\nerase: the option chooses the call' ] ||
  fail "a wrong erase fails other cases than it should: $failing"

out=$(check --summary /usr/lib/sysdrills/bin) || fail "the installed programs fail:"$'\n'"$out"
[ "$(cut -f1 <<<"$out")" = "$(cat /usr/lib/sysdrills/tests/programs)" ] || fail "not every program was checked: $out"
awk -F '\t' '$3 != 0 || $2 == 0 { bad = 1 } END { exit bad }' <<<"$out" ||
  fail "an installed program fails, or passes no case:"$'\n'"$out"
if [ -n "$build" ]; then
  while IFS=$'\t' read -r name passed failed skipped; do
    cases=$(ctest --test-dir "$build" -N -L "^$name\$" | sed -n 's/^Total Tests: //p')
    [ "$((passed + failed + skipped))" = "$cases" ] || fail "$name: $((passed + failed + skipped)) cases installed, $cases in the build"
  done <<<"$out"
fi

# An ordinary user, from a directory it may not write: the cases that need root skip.
out=$(cd / && TMPDIR=$scratch/tmp setpriv --reuid=65534 --regid=65534 --clear-groups \
        sysdrills-check --summary erase /usr/lib/sysdrills/bin/erase) || fail "as uid 65534: $out"
[[ $out == erase$'\t'[1-4]$'\t0\t'* ]] || fail "as uid 65534: $out"

left=$(ls -A "$scratch/tmp")
[ -z "$left" ] || fail "the checks left in the temporary directory: $left"

apt-get purge -y sysdrills >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; fail "the purge failed"; }
# What stays is a directory that another package owns too (/usr/bin).
while read -r path; do
  if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; }; then
    fail "left after the purge: $path"
  fi
done <<<"$owned"
echo "installed with apt, sysdrills-check judges from $scratch as it should; purged, nothing is left"
