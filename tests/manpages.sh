#!/usr/bin/env bash
# The manual pages: every program has one beside its source, mandoc finds
# nothing to report in it, its sections come in the suite's order, and its
# DIAGNOSTICS names every message the program's source can print.
#
# The page of a command that is no program of the suite (FOLDER/NAME.1, the
# check's) is checked for mandoc and its sections, which may add the
# environment and the files it reads.
#
# manpages.sh SOURCE_DIR SCRATCH_DIR FOLDER/PROGRAM... [FOLDER/NAME.1...]
set -uo pipefail
top=$1 scratch=$2
shift 2
programs=() commandPages=()
for arg in "$@"; do
  if [[ $arg == *.1 ]]; then commandPages+=("$arg"); else programs+=("$arg"); fi
done
sections='NAME|SYNOPSIS|DESCRIPTION|OUTPUT|EXIT STATUS|EXAMPLES|DIAGNOSTICS|SEE ALSO'
commandSections='NAME|SYNOPSIS|DESCRIPTION|OUTPUT|ENVIRONMENT|FILES|EXIT STATUS|EXAMPLES|DIAGNOSTICS|SEE ALSO'

for tool in mandoc makewhatis man; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run .ci/install-deps" >&2; exit 1; }
done

failed=0
fail() { printf '%s\n' "$*" >&2; failed=1; }

# What `die("...")`, `dieWith(error, "...")` or `perror("...")` print, one a line.
sourceMessages() {
  grep -oE '\b(die[A-Za-z]*|perror) *\(([^"()]*, *)?"([^"\\]|\\.)*"' "$1" |
    sed -E 's/^[^"]*"//; s/"$//; s/\\(["\\])/\1/g' | sort -u
}

# The `.It Li` items of the DIAGNOSTICS section, unquoted, one a line.
pageMessages() {
  awk '/^\.Sh / { inside = ($0 ~ /^\.Sh "?DIAGNOSTICS"?$/) }
       inside && /^\.It Li / { sub(/^\.It Li /, ""); print }' "$1" |
    sed -E 's/\\&//g; s/^"(.*)"$/\1/; s/""/"/g'
}

pages=()
for program in "${programs[@]}"; do
  name=${program##*/}
  page=$top/$program.1
  if [ ! -f "$top/$program.cpp" ]; then
    fail "$program: no source $program.cpp"
  elif [ ! -f "$page" ]; then
    fail "$program: no page $program.1 beside $program.cpp"
    continue
  fi
  pages+=("$page")

  order=$(sed -nE 's/^\.Sh "?([^"]*)"?$/\1/p' "$page" | paste -sd'|')
  [ "$order" = "$sections" ] ||
    fail "$program.1: sections ${order//|/, }; expected ${sections//|/, }"

  expected=$(sourceMessages "$top/$program.cpp")
  named=$(pageMessages "$page")
  missing=$(comm -23 <(printf '%s\n' "$expected") <(printf '%s\n' "$named" | sort -u) | sed '/^$/d')
  extra=$(comm -13 <(printf '%s\n' "$expected") <(printf '%s\n' "$named" | sort -u) | sed '/^$/d')
  twice=$(printf '%s\n' "$named" | sort | uniq -d)
  [ -z "$missing" ] || fail "$program.1: DIAGNOSTICS lacks .It Li for: $(paste -sd'|' <<<"$missing")"
  [ -z "$extra" ] || fail "$program.1: DIAGNOSTICS names messages $name never prints: $(paste -sd'|' <<<"$extra")"
  [ -z "$twice" ] || fail "$program.1: DIAGNOSTICS names more than once: $(paste -sd'|' <<<"$twice")"
done

for page in "${commandPages[@]}"; do
  if [ ! -f "$top/$page" ]; then
    fail "no page $page"
    continue
  fi
  pages+=("$top/$page")
  order=$(sed -nE 's/^\.Sh "?([^"]*)"?$/\1/p' "$top/$page" | paste -sd'|')
  [ "$order" = "$commandSections" ] ||
    fail "$page: sections ${order//|/, }; expected ${commandSections//|/, }"
done

# mandoc resolves every reference through the manual path given to it: a
# scratch tree with a database (makewhatis) of the suite's pages and of the
# system's pages they refer to, so that a sibling page counts as present and
# a reference to a page found nowhere is still reported.
rm -rf "$scratch"
mkdir -p "$scratch/man1"
declare -A ours
for program in "${programs[@]}"; do
  ours[${program##*/}]=1
done
for page in "${pages[@]}"; do
  cp "$page" "$scratch/man1/"
done
if [ ${#pages[@]} -gt 0 ]; then
  grep -hoE '^\..*\bXr [^ ]+ [0-9][^ ]*' "${pages[@]}" | grep -oE 'Xr [^ ]+ [^ ]+' | sort -u |
    while read -r _ name section; do
      [ "$section" = 1 ] && [ -n "${ours[$name]:-}" ] && continue
      if found=$(LC_ALL=C man -w "$section" "$name" 2>/dev/null); then
        mkdir -p "$scratch/man$section"
        cp "$found" "$scratch/man$section/"
      fi
    done
  makewhatis "$scratch" || fail "makewhatis failed on $scratch"
  # -W style: every level but the base system's conventions, whose reference
  # check would search only the system's own manual path.
  report=$(mandoc -Tlint -W style -M "$scratch" "${pages[@]}" 2>&1)
  status=$?
  [ "$status" -eq 0 ] && [ -z "$report" ] || fail "mandoc reports:"$'\n'"$report"
fi

[ "$failed" -eq 0 ] && echo "${#programs[@]} programs and ${#commandPages[@]} other commands, every page present, clean and complete"
exit "$failed"
