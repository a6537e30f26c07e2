#!/usr/bin/env bash
# The bash completion offers exactly the options each manual page documents,
# the allowed rates where a rate is asked for, and option names only where a
# name is due (varek-server's options come in pairs after the serial port).
# Usage: completion_test.sh <completion script> <directory of manual page sources>
set -uo pipefail
script=$1
man_sources=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# shellcheck source=/dev/null
source "$script"

# COMPREPLY for the command line $2..., the last word being the one completed.
complete_words() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  "$function"
  printf '%s\n' "${COMPREPLY[@]}" | sort -u | sed '/^$/d'
}

# Options in the OPTIONS section of a page source: lines that start with *--name*.
documented() {
  sed -n '/^# OPTIONS/,/^# [A-Z]/p' "$man_sources/$1.1.scd" | grep -o '^\*--[a-z-]*' | tr -d '*' | sort -u
}

expect_equal() {
  local what=$1 expected=$2 actual=$3
  [ "$expected" = "$actual" ] || fail "$what: expected [$(echo $expected)] got [$(echo $actual)]"
}

expect_equal "varek-server option names" "$(documented varek-server)" \
  "$(complete_words _varek_server varek-server /dev/ttyUSB0 '')"
expect_equal "varek-server names after a pair" "$(documented varek-server)" \
  "$(complete_words _varek_server varek-server /dev/ttyUSB0 --http-port 18761 '')"
expect_equal "varek-server no name where a value is due" "" \
  "$(complete_words _varek_server varek-server /dev/ttyUSB0 --http-port '')"
expect_equal "varek-server --poll" "$(printf '%s\n' 1 10 2 5)" \
  "$(complete_words _varek_server varek-server /dev/ttyUSB0 --poll '')"
expect_equal "varek-sim option names" "$(documented varek-sim)" "$(complete_words _varek_sim varek-sim '')"
expect_equal "varek-read option names" "$(documented varek-read)" \
  "$(complete_words _varek_read varek-read /dev/ttyUSB0 '')"
expect_equal "varek-read --benchmark" "$(printf '%s\n' 1 10 2 5)" \
  "$(complete_words _varek_read varek-read /dev/ttyUSB0 --benchmark '')"
expect_equal "VarekPowerStudio option names" "$(documented VarekPowerStudio)" \
  "$(complete_words _varek_power_studio VarekPowerStudio '')"
expect_equal "VarekPowerStudio --refresh" "$(printf '%s\n' 1 10 2 5)" \
  "$(complete_words _varek_power_studio VarekPowerStudio --refresh '')"

for command in varek-server varek-read varek-sim VarekPowerStudio; do
  complete -p "$command" >/dev/null 2>&1 || fail "no completion registered for $command"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "completion: all checks passed"
