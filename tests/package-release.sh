#!/usr/bin/env bash
# The package as a Debian maintainer takes it: built from two clones of the
# last commit at paths of different lengths, the two .debs are byte for byte
# the same, and `lintian -I --pedantic` reports nothing; every tag that stays
# is overridden, with its reason, in package/lintian-overrides.
#
# package-release.sh [SOURCE_DIR [KEEP_DIR]]   (the clone whose last commit is
# packaged; the directory the package is left in, for a test that installs it)
set -euo pipefail
top=$(cd "${1:-$(dirname "$0")/..}" && pwd)
keep=${2-}
command -v lintian >/dev/null || { echo "lintian is missing: run .ci/install-deps" >&2; exit 1; }
scratch=$(mktemp -d /tmp/sysdrills-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# package CLONE: clones the last commit there and makes its package; its
# build's output is shown only if it fails.
package() {
  git clone --quiet "$top" "$1"
  if ! (cd "$1" && cmake --preset default && cmake --build --preset default &&
        cpack --preset default) >"$1.log" 2>&1; then
    cat "$1.log" >&2
    echo "the package from $1 failed" >&2
    exit 1
  fi
}
package "$scratch/a"
package "$scratch/second-clone"
one=("$scratch"/a/build/default/*.deb)
other=("$scratch"/second-clone/build/default/*.deb)

if ! cmp -s "${one[0]}" "${other[0]}"; then
  echo "not reproducible: the packages from two clones differ" >&2
  for member in $(ar t "${one[0]}"); do
    cmp -s <(ar p "${one[0]}" "$member") <(ar p "${other[0]}" "$member") || echo "member $member differs" >&2
  done
  diff <(dpkg -c "${one[0]}") <(dpkg -c "${other[0]}") >&2 || true
  dpkg-deb -R "${one[0]}" "$scratch/one" && dpkg-deb -R "${other[0]}" "$scratch/other"
  diff -r "$scratch/one" "$scratch/other" >&2 || true
  exit 1
fi
echo "reproducible: two clones make the same $(basename "${one[0]}")"

lintian -I --pedantic --fail-on error,warning,info,pedantic "${one[0]}"
echo "lintian -I --pedantic: nothing to report"
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp "${one[0]}" "$keep/"
fi
