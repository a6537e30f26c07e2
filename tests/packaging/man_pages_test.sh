#!/usr/bin/env bash
# Every generated manual page renders without a groff warning (the way lintian
# renders them), has the sections a user looks for, and documents every option
# that the program's own usage line names.
# Usage: man_pages_test.sh <directory of generated .1 pages> <directory of programs>
set -uo pipefail
man_dir=$1
bin_dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

pages=("$man_dir"/*.1)
[ -e "${pages[0]}" ] || { echo "FAIL: no manual pages in $man_dir"; exit 1; }
for page in "${pages[@]}"; do
  name=$(basename "$page" .1)
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$name renders with warnings: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | sed 's/.\x08//g')
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" SIGNALS EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || fail "$name has no $section section"
  done
  echo "ok: $name"
done

# The options a usage line names, one per line.
options_of() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
documented() { LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$man_dir/$1.1" 2>/dev/null | sed 's/.\x08//g' | options_of; }

check_usage() {
  local name=$1 usage=$2
  [ -n "$usage" ] || { fail "$name printed no usage line"; return; }
  local missing
  missing=$(comm -23 <(options_of <<<"$usage") <(documented "$name"))
  [ -z "$missing" ] || fail "$name(1) does not document: $missing"
}
if [ -x "$bin_dir/varek-sim" ]; then
  check_usage varek-sim "$("$bin_dir/varek-sim" --no-such-option x 2>&1 </dev/null)"
fi
if [ -x "$bin_dir/varek-read" ]; then
  check_usage varek-read "$("$bin_dir/varek-read" 2>&1)"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "manual pages: all checks passed"
