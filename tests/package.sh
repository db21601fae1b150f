#!/usr/bin/env bash
# The Debian package: built from the build tree, it holds every program in
# /usr/lib/sysdrills/bin, every page gzipped in /usr/share/man/man1 under the
# suite's own section suffix, sysdrills-check with its page and, in
# /usr/lib/sysdrills/tests, each test binary with its labels, the copyright
# and the changelog, and nothing under a name that another package could
# take too.
#
# package.sh build CPACK CPACK_CONFIG DIR   makes DIR/NAME_VERSION_ARCH.deb afresh
# package.sh check DIR FOLDER/PROGRAM...    unpacks it into DIR/root and looks
set -euo pipefail

case $1 in
build)
  cpack=$2 config=$3 dir=$4
  rm -rf "$dir"
  "$cpack" --config "$config" -B "$dir"
  ;;
check)
  dir=$2
  shift 2
  debs=("$dir"/*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "not one package in $dir" >&2; exit 1; }
  deb=${debs[0]}
  dpkg-deb --field "$deb" Package Version Depends
  listing=$(dpkg -c "$deb")
  printf '%s\n' "$listing"
  rm -rf "$dir/root"
  dpkg -x "$deb" "$dir/root"
  failed=0
  # A path of the unpacked tree, there as a regular file, with this mode in the package.
  expect() {
    local mode
    mode=$(awk -v path="./$1" '$6 == path { print $1 "," $2 }' <<<"$listing")
    if [ ! -f "$dir/root/$1" ]; then
      echo "missing: /$1" >&2; failed=1
    elif [ "$mode" != "$2,root/root" ]; then
      echo "/$1 is $mode, not $2,root/root" >&2; failed=1
    fi
  }
  for program in "$@"; do
    name=${program##*/}
    expect "usr/lib/sysdrills/bin/$name" -rwxr-xr-x
    page=usr/share/man/man1/$name.1sysdrills.gz
    expect "$page" -rw-r--r--
    [ ! -f "$dir/root/$page" ] || gzip -dc "$dir/root/$page" | grep -x "\.Dt ${name^^} 1" >/dev/null ||
      { echo "/$page is not the page of $name" >&2; failed=1; }
  done
  expect usr/bin/sysdrills-check -rwxr-xr-x
  expect usr/share/man/man1/sysdrills-check.1.gz -rw-r--r--
  expect usr/lib/sysdrills/tests/programs -rw-r--r--
  expect usr/lib/sysdrills/tests/check-calls.sh -rw-r--r--
  expect usr/lib/sysdrills/tests/sandbox-init -rwxr-xr-x
  [ "$(cat "$dir/root/usr/lib/sysdrills/tests/programs" 2>/dev/null)" = "$(printf '%s\n' "${@##*/}")" ] ||
    { echo "/usr/lib/sysdrills/tests/programs does not list the programs in their order" >&2; failed=1; }
  testBinaries=("$dir"/root/usr/lib/sysdrills/tests/*_test)
  [ -f "${testBinaries[0]}" ] || { echo "no test binary in /usr/lib/sysdrills/tests" >&2; failed=1; }
  for binary in "${testBinaries[@]}"; do
    [ -f "$binary" ] || continue
    expect "${binary#"$dir/root/"}" -rwxr-xr-x
    expect "${binary#"$dir/root/"}_labels.cmake" -rw-r--r--
    # GoogleTest linked in: no library package needed when the check runs.
    ! objdump -p "$binary" | grep -q 'NEEDED.*gtest' || { echo "$binary needs a GoogleTest library" >&2; failed=1; }
  done
  expect usr/share/doc/sysdrills/copyright -rw-r--r--
  expect usr/share/doc/sysdrills/changelog.gz -rw-r--r--
  expect usr/share/lintian/overrides/sysdrills -rw-r--r--
  version=$(dpkg-deb --field "$deb" Version)
  latest=$(gzip -dc "$dir/root/usr/share/doc/sysdrills/changelog.gz" 2>/dev/null | head -1) || true
  [[ $latest == "sysdrills ($version) "* ]] || { echo "changelog starts \"$latest\", not version $version" >&2; failed=1; }
  # Shared namespaces: no program in the system's bin directories, no page
  # without the suffix, but for the suite's own sysdrills-check.
  shared=$(awk '$1 !~ /^d/ && $6 !~ /\/sysdrills-check(\.1\.gz)?$/ &&
                ($6 ~ /^\.\/usr\/(local\/)?s?bin\// || $6 ~ /^\.\/usr\/share\/man\/.*[^\/]$/ && $6 !~ /\.1sysdrills\.gz$/) { print $6 }' <<<"$listing")
  [ -z "$shared" ] || { echo "generic names in shared directories: $shared" >&2; failed=1; }
  # Directories as the system's own, whatever the umask of whoever built it.
  closed=$(awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $6 }' <<<"$listing")
  [ -z "$closed" ] || { echo "directories not drwxr-xr-x: $closed" >&2; failed=1; }
  [ "$failed" -eq 0 ] && echo "$# programs and their pages, sysdrills-check and ${#testBinaries[@]} test binaries in $(basename "$deb")"
  exit "$failed"
  ;;
*)
  echo "usage: package.sh build CPACK CONFIG DIR | check DIR PROGRAM..." >&2
  exit 2
  ;;
esac
