#!/usr/bin/env bash
# Installs the two packages from dist/ on this machine (as root, with apt-get,
# as CI runs), checks what they installed, runs the installed varek-read against
# the installed varek-sim, verifies an installed service instance, runs the
# service's command as its account would, then purges both packages and checks
# that nothing of theirs is left except the instance's token (and recordings).
# systemd is not PID 1 on these machines, so here the service is verified with
# systemd-analyze and its command run by hand; systemd_boot_test.sh starts it
# under a real systemd in a container.
#
# Usage: tests/packaging/install_test.sh dist/varek_<v>_<arch>.deb dist/varek-studio_<v>_<arch>.deb
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 <varek.deb> <varek-studio.deb>" >&2; exit 2; }
varek_deb=$(realpath "$1")
studio_deb=$(realpath "$2")

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
as_root() { "${sudo_cmd[@]}" "$@"; }

# Known to dpkg in any state but purged.
present() {
  local status
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
  [[ $status != *not-installed ]]
}

for package in varek varek-studio; do
  if present "$package"; then
    echo "SKIPPED: $package is already installed here; this test would replace and purge it." >&2
    exit 0
  fi
done

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

work=$(mktemp -d)
chmod 755 "$work"
sim_pid=""
server_pid=""
instance=""
env_file=""
user_existed=""
getent passwd varek >/dev/null && user_existed=1

cleanup() {
  set +e
  [ -n "$server_pid" ] && { kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
  [ -n "$sim_pid" ] && { kill -TERM "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
  if [ -n "$instance" ]; then
    as_root rm -f "$env_file"
    as_root rmdir "${env_file%/*}" 2>/dev/null
    as_root rm -rf "/var/lib/varek-server/$instance"
    as_root rmdir /var/lib/varek-server 2>/dev/null
  fi
  for package in varek-studio varek; do
    present "$package" && as_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$package" >/dev/null
  done
  # The account outlives a purge on purpose (it owns tokens and recordings);
  # the one this test made goes again.
  if [ -z "$user_existed" ] && getent passwd varek >/dev/null; then
    as_root deluser --quiet --system varek >/dev/null 2>&1
    getent group varek >/dev/null && as_root delgroup --quiet --system varek >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Waits (bounded) until the command succeeds, while process $1 still runs.
wait_until() {
  local pid=$1
  shift
  for _ in $(seq 600); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# Two unused loopback ports for the instance, never the defaults another run may hold.
read -r http_port scpi_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

echo "-- install"
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "$varek_deb" "$studio_deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install"; exit 1; }
dpkg-query -L varek varek-studio | sort -u >"$work/installed.txt"
ok "installed $(dpkg-query -W -f='${Package} ${Version}  ' varek varek-studio)"

echo "-- what the packages hold"
for file in /usr/bin/varek-server /usr/bin/varek-read /usr/bin/varek-sim /usr/bin/VarekPowerStudio \
            /lib/systemd/system/varek-server@.service /usr/share/varek/varek-server.default \
            /usr/share/applications/varek-power-studio.desktop \
            /usr/share/icons/hicolor/scalable/apps/varek-power-studio.svg \
            /usr/share/icons/hicolor/48x48/apps/varek-power-studio.png \
            /usr/share/bash-completion/completions/varek-server \
            /usr/share/doc/varek/copyright /usr/share/doc/varek-studio/copyright; do
  [ -e "$file" ] || fail "missing $file"
done
for page in varek-server varek-read varek-sim VarekPowerStudio; do
  path=$(man -w "$page" 2>/dev/null) || { fail "man -w $page finds no page"; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$path" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page(1) renders with warnings: $warnings"
done
if dpkg-deb -f "$varek_deb" Depends | grep -qi qt; then fail "varek depends on Qt: $(dpkg-deb -f "$varek_deb" Depends)"; fi
for program in varek-server varek-read varek-sim; do
  if ldd "/usr/bin/$program" | grep -qi 'libqt'; then fail "$program links Qt"; fi
done
if ldd /usr/bin/VarekPowerStudio | grep -q 'not found'; then fail "VarekPowerStudio misses libraries"; fi
# Whatever examples/ holds in the source tree is installed.
examples=$(cd "$(dirname "$0")/../.." && pwd)/examples
if [ -d "$examples" ]; then
  while read -r example; do
    [ -f "/usr/share/doc/varek/examples/$example" ] || fail "example $example not installed"
  done < <(cd "$examples" && find . -type f -printf '%P\n')
fi
getent passwd varek >/dev/null || fail "no account varek"
id -nG varek 2>/dev/null | grep -qw dialout || fail "varek is not in group dialout"
ok "files, manual pages, dependencies, account"

echo "-- installed varek-read against installed varek-sim"
/usr/bin/varek-sim --link "$work/supply" </dev/null >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_until "$sim_pid" test -L "$work/supply" || { cat "$work/sim.err" >&2; fail "varek-sim did not come up"; exit 1; }
pty=$(head -n 1 "$work/sim.out")
if /usr/bin/varek-read "$work/supply" >"$work/reading.json" 2>"$work/read.err"; then
  python3 - "$work/reading.json" <<'EOF' || fail "varek-read printed an unexpected reading: $(cat "$work/reading.json")"
import json, sys
reading = json.load(open(sys.argv[1]))
assert reading["model"] == 60301, reading
assert reading["functions_sent"] == [3], reading
assert reading["output_enabled"] is False, reading
EOF
  ok "varek-read: $(tr -d ' \n' <"$work/reading.json" | cut -c1-100)..."
else
  fail "varek-read exited $?: $(cat "$work/read.err")"
fi

echo "-- service instance for $pty"
# The pseudo-terminal gets a real serial device's owner and mode (root:dialout
# 0660), so that only the account's dialout membership lets the server in.
as_root chgrp dialout "$pty"
as_root chmod 660 "$pty"
instance=$(systemd-escape "${pty#/dev/}")
unit="varek-server@$instance.service"
# The unit reads its options under the unescaped name (EnvironmentFile= globs).
env_file="/etc/default/varek-server-${pty#/dev/}"
as_root mkdir -p "${env_file%/*}"
state="/var/lib/varek-server/$instance"
# Recording where the server has it: an option it does not know ends it with 2
# before any port is opened; one it knows gets it as far as the port (1).
record_options=""
probe=0
/usr/bin/varek-server "$work/no-such-port" --record "$work/probe" >/dev/null 2>&1 || probe=$?
[ "$probe" -eq 1 ] && record_options=" --poll 1 --record $state/recordings"
{
  grep -v '^VAREK_SERVER_OPTIONS=' /usr/share/varek/varek-server.default
  echo "VAREK_SERVER_OPTIONS=\"--http-port $http_port --scpi-port $scpi_port$record_options\""
} | as_root tee "$env_file" >/dev/null
if as_root systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 && [ ! -s "$work/verify.log" ]; then
  ok "systemd-analyze verify $unit: clean"
else
  fail "systemd-analyze verify $unit: $(cat "$work/verify.log")"
fi
as_root systemd-analyze security --offline=yes "$unit" >"$work/security.log" 2>&1 || true
exposure=$(grep -o 'Overall exposure level.*' "$work/security.log" || true)
[ -n "$exposure" ] || fail "systemd-analyze security gave no score: $(tail -3 "$work/security.log")"
echo "systemd-analyze security --offline=yes $unit: $exposure"

echo "-- the service's command, run as its account (no systemd here to start it)"
# What the unit does: state directory, environment, account and groups, command line.
as_root install -d -m 0755 /var/lib/varek-server
as_root install -d -m 0700 -o varek -g varek "$state"
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/varek-server@.service)
options=$(set -a; . "$env_file"; echo "$VAREK_SERVER_OPTIONS")
command_line=${exec_start//%I/${pty#/dev/}}
command_line=${command_line//\$VAREK_SERVER_OPTIONS/$options}
echo "$command_line"
# shellcheck disable=SC2086  # the options split into words, as systemd splits $VAREK_SERVER_OPTIONS
# Not through as_root: a function would leave a shell between $! and the server.
"${sudo_cmd[@]}" env -i PATH=/usr/bin:/bin XDG_DATA_HOME="$state" \
  setpriv --reuid=varek --regid=varek --init-groups --no-new-privs --inh-caps=-all \
  $command_line >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
if wait_until "$server_pid" grep -q "^SCPI ready" "$work/server.err" &&
   wait_until "$server_pid" grep -q "^API" "$work/server.err"; then
  token_file="$state/VAREK Studio/API/access-token"
  token=$(as_root cat "$token_file")
  [ "$(as_root stat -c '%U %a' "$token_file")" = "varek 600" ] || fail "token file: $(as_root stat -c '%U %a' "$token_file")"
  status=$(curl -s -H "Authorization: Bearer $token" "http://127.0.0.1:$http_port/v1/status")
  grep -q '"connected":true' <<<"$status" || fail "GET /v1/status as the service: $status"
  ok "served by the account varek: $(cut -c1-80 <<<"$status")..."
  if [ -n "$record_options" ]; then
    recorded() { as_root find "$state/recordings" -name '*.csv' -size +0 2>/dev/null | grep -q .; }
    if wait_until "$server_pid" recorded; then ok "recording in $state/recordings"; else fail "no recording"; fi
  fi
else
  fail "the service's command did not come up: $(cat "$work/server.err")"
fi
as_root kill -TERM "$server_pid" 2>/dev/null || true
code=0
wait "$server_pid" || code=$?
server_pid=""
[ "$code" -eq 0 ] || fail "varek-server exited $code on SIGTERM"
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
as_root rm -f "$env_file"
as_root rmdir "${env_file%/*}"

echo "-- purge"
as_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq varek-studio varek >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "apt-get purge"; }
for package in varek varek-studio; do
  present "$package" && fail "$package after purge: $(dpkg-query -W -f='${Status}' "$package")"
done
# Every file the packages installed is gone; a directory may stay where
# something else keeps it (another package owns it, or it is not empty).
while read -r path; do
  [ -e "$path" ] || continue
  if [ -d "$path" ]; then
    [ -n "$(ls -A "$path")" ] && continue
    dpkg-query -S "$path" >/dev/null 2>&1 && continue
  fi
  fail "left after purge: $path"
done <"$work/installed.txt"
# Anything else named after us, or in the state directory, is the instance's
# token or one of its recordings.
kept() {
  case $1 in
    /var/lib/varek-server | "$state" | "$state/VAREK Studio" | "$state/VAREK Studio/API" | \
      "$state/VAREK Studio/API/access-token" | "$state/recordings" | "$state/recordings/"*.csv) return 0 ;;
  esac
  return 1
}
{
  as_root find /etc /usr /lib /var/lib -iname '*varek*' 2>/dev/null
  as_root find /var/lib/varek-server 2>/dev/null
} | sort -u >"$work/leftovers.txt"
while read -r path; do
  kept "$path" || fail "left after purge: $path"
done <"$work/leftovers.txt"
as_root test -s "$state/VAREK Studio/API/access-token" || fail "purge removed the token"
if [ -n "$record_options" ]; then
  as_root find "$state/recordings" -name '*.csv' | grep -q . || fail "purge removed the recordings"
fi
ok "purged; left behind: $(grep -c . "$work/leftovers.txt") paths, the token and recordings: $(tr '\n' ' ' <"$work/leftovers.txt")"

if [ "$failures" -ne 0 ]; then
  echo "package install test: $failures failure(s)"
  exit 1
fi
echo "package install test: all checks passed"
