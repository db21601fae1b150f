#!/usr/bin/env bash
# The Debian package: built from the build tree, it holds every program in
# /usr/bin and every page in /usr/share/man/man1.
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
    expect "usr/bin/${program##*/}" -rwxr-xr-x
    expect "usr/share/man/man1/${program##*/}.1" -rw-r--r--
  done
  # Directories as the system's own, whatever the umask of whoever built it.
  closed=$(awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $6 }' <<<"$listing")
  [ -z "$closed" ] || { echo "directories not drwxr-xr-x: $closed" >&2; failed=1; }
  [ "$failed" -eq 0 ] && echo "$# programs and their pages in $(basename "$deb")"
  exit "$failed"
  ;;
*)
  echo "usage: package.sh build CPACK CONFIG DIR | check DIR PROGRAM..." >&2
  exit 2
  ;;
esac
