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
  dpkg -c "$deb"
  rm -rf "$dir/root"
  dpkg -x "$deb" "$dir/root"
  failed=0
  for program in "$@"; do
    name=${program##*/}
    [ -f "$dir/root/usr/bin/$name" ] && [ -x "$dir/root/usr/bin/$name" ] ||
      { echo "missing: /usr/bin/$name" >&2; failed=1; }
    [ -f "$dir/root/usr/share/man/man1/$name.1" ] ||
      { echo "missing: /usr/share/man/man1/$name.1" >&2; failed=1; }
  done
  [ "$failed" -eq 0 ] && echo "$# programs and their pages in $(basename "$deb")"
  exit "$failed"
  ;;
*)
  echo "usage: package.sh build CPACK CONFIG DIR | check DIR PROGRAM..." >&2
  exit 2
  ;;
esac
