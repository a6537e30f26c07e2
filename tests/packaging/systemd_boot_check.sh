#!/bin/bash
# Runs inside the container that systemd_boot_test.sh boots, as a oneshot
# service under its systemd (PID 1 there). Installs the varek package, runs a
# simulated supply as a transient unit and serves it through a
# /dev/serial/by-id/ style name with an instance of the packaged unit, as
# shipped plus a drop-in that kills the process on a disallowed system call.
# Checks: HTTP, SCPI and metrics served on 127.0.0.1 only (the packaged
# default), samples recorded, a device outside DeviceAllow= refused, a restart
# and an automatic restart after a crash, a re-plug under another device
# number followed, a stop with Result=success, and no SIGSYS or core dump in
# the journal. Writes "passed" or "failed" to OUT/result and the journal to
# OUT/journal.txt.
#
# Usage (as ExecStart=): systemd_boot_check.sh <varek.deb> <OUT>
set -uo pipefail
deb=$1
out=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
finish() {
  journalctl -b --no-pager -o short-monotonic >"$out/journal.txt" 2>&1
  if [ "$failures" -eq 0 ]; then echo passed >"$out/result"; else echo failed >"$out/result"; fi
  sync
  exit "$failures"
}
trap finish EXIT

# Polls the command for up to $1 seconds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

http_port=18760
scpi_port=5025
metrics_port=9100
serial=4242
by_id=/dev/serial/by-id/usb-VAREK_Sim_$serial-if00-port0
instance=$(systemd-escape "${by_id#/dev/}")
unit="varek-server@$instance.service"
state="/var/lib/varek-server/$instance"

echo "-- install"
dpkg -i "$deb" >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log"; fail "dpkg -i"; exit; }
id -nG varek | grep -qw dialout || fail "varek is not in group dialout: $(id -nG varek)"
grep -q '^VAREK_SERVER_OPTIONS="--bind 127\.0\.0\.1 ' /usr/share/varek/varek-server.default ||
  fail "the packaged options do not bind 127.0.0.1: $(grep '^VAREK_SERVER_OPTIONS' /usr/share/varek/varek-server.default)"
ok "installed $(dpkg-query -W -f='${Package} ${Version}' varek)"

# A simulated supply as a transient unit, plugged in as /dev/serial/by-id/…:
# its terminal gets a USB serial device's owner and mode (root:dialout 0660),
# the name points to it, and the supply plugged in before is pulled out.
supply=0
plug() {
  local sim=varek-sim-$((supply + 1)) pty
  systemd-run --quiet --unit="$sim" /usr/bin/varek-sim --serial "$serial" --link "/run/$sim" &&
    wait_for 10 test -L "/run/$sim" || return 1
  pty=$(readlink -f "/run/$sim")
  chgrp dialout "$pty" && chmod 0660 "$pty" || return 1
  mkdir -p "${by_id%/*}"
  ln -sfn "$pty" "$by_id"
  [ "$supply" -eq 0 ] || systemctl stop "varek-sim-$supply"
  supply=$((supply + 1))
}
plug || { fail "varek-sim did not start"; exit; }
ok "supply on $(readlink "$by_id") as $by_id"

echo "-- $unit"
mkdir -p /etc/systemd/system/varek-server@.service.d
printf '[Service]\nSystemCallErrorNumber=\n' >/etc/systemd/system/varek-server@.service.d/50-kill-on-syscall.conf
defaults=$(sed -n 's/^VAREK_SERVER_OPTIONS="\(.*\)"$/\1/p' /usr/share/varek/varek-server.default)
options_file=/etc/default/varek-server-${by_id#/dev/}
mkdir -p "${options_file%/*}"
{
  grep -v '^VAREK_SERVER_OPTIONS=' /usr/share/varek/varek-server.default
  echo "VAREK_SERVER_OPTIONS=\"$defaults --poll 5 --record recordings --metrics-port $metrics_port\""
} >"$options_file"
systemctl daemon-reload
systemctl enable --now "$unit" >/dev/null 2>&1 || fail "systemctl enable --now $unit"
# The filter kills, and really is in force here: the drop-in's setting on a
# transient unit that calls setpriority(2) from @resources.
systemd-run --quiet --wait --unit=varek-syscall-probe \
  -p 'SystemCallFilter=~@resources' /usr/bin/nice -n 5 /bin/true
probe=$(journalctl -b --no-pager -u varek-syscall-probe.service)
grep -q 'status=31/SYS' <<<"$probe" || fail "a disallowed system call did not kill the probe: $probe"
allowed=$(systemctl show -p DeviceAllow --value "$unit")
grep -qx 'char-ttyUSB rw' <<<"$allowed" && grep -qx 'char-ttyACM rw' <<<"$allowed" ||
  fail "the unit does not admit USB serial adapters whole: $(tr '\n' ' ' <<<"$allowed")"
action=$(systemctl show -p SystemCallErrorNumber --value "$unit")
[ "$action" = 2147483646 ] || [ "$action" = kill ] || fail "the drop-in did not make the filter kill: $action"

token_file="$state/VAREK Studio/API/access-token"
status() { curl -sf --max-time 5 -H "Authorization: Bearer $(cat "$token_file")" "http://127.0.0.1:$http_port/v1/status"; }
connected() { status | grep -q '"connected":true'; }
# Every listener on 127.0.0.1 (0100007F in /proc/net/tcp), none on another address.
loopback_only() {
  local port hex
  for port in $http_port $scpi_port $metrics_port; do
    hex=$(printf '%04X' "$port")
    grep -q " 0100007F:$hex 00000000:0000 0A " /proc/net/tcp || return 1
    if grep " [0-9A-F]*:$hex 00000000:0000 0A " /proc/net/tcp | grep -vq " 0100007F:$hex "; then return 1; fi
  done
}
# One SCPI line in, one reply line out, over bash's own TCP.
scpi() {
  local reply
  exec 3<>"/dev/tcp/127.0.0.1/$scpi_port" || return 1
  printf '%s\n' "$1" >&3
  IFS= read -r -t 10 reply <&3
  exec 3>&-
  echo "${reply%$'\r'}"
}
serving() { connected && loopback_only && scpi '*IDN?' | grep -q ",$serial,"; }
main_pid() { systemctl show -p MainPID --value "$unit"; }

if wait_for 30 serving; then
  ok "serves HTTP and SCPI on 127.0.0.1 only: $(status | cut -c1-60)..."
else
  fail "$unit does not serve: status $(status), SCPI $(scpi '*IDN?'), listening: $(grep ' 0A ' /proc/net/tcp | cut -c1-40)"
  journalctl --no-pager -u "$unit"
  exit
fi
[ "$(stat -c '%U %a' "$token_file")" = "varek 600" ] || fail "token file: $(stat -c '%U %a' "$token_file")"
reply=$(curl -sf --max-time 10 -H "Authorization: Bearer $(cat "$token_file")" \
  -H 'Content-Type: application/json' -d '{"voltage_V": 6.5}' "http://127.0.0.1:$http_port/v1/setpoints")
grep -q '"verified":true' <<<"$reply" || fail "POST /v1/setpoints: $reply"
reply=$(scpi 'CURR 1.25;CURR?')
[ "$reply" = 1.25 ] || fail "SCPI CURR 1.25;CURR?: $reply"
metrics() { curl -sf --max-time 5 "http://127.0.0.1:$metrics_port/metrics"; }
scraped() { metrics | grep -q '^varek_up 1'; }
wait_for 10 scraped || fail "metrics: $(metrics | grep '^varek_up')"
rows() { cat "$state"/recordings/varek-"$serial"-*.csv 2>/dev/null | grep -c ',6.5,'; }
recorded() { [ "$(rows)" -ge 2 ]; }
wait_for 15 recorded || fail "recording: $(ls -l "$state/recordings" 2>&1)"
ok "setpoints written over HTTP and SCPI, metrics scraped, $(rows) samples recorded at 6.5 V"

echo "-- device filter"
# A serial port of another class than the unit admits (ptys are admitted under
# any closed device policy, so a simulated supply can be no example). A shell
# moved into the instance's cgroup opens what the instance may open.
other=/dev/ttyS9
mknod -m 0660 "$other" c 4 73 && chgrp dialout "$other" || fail "mknod $other"
cgroup=/sys/fs/cgroup$(systemctl show -p ControlGroup --value "$unit")
open_in_unit() { sh -c 'echo $$ >"$1/cgroup.procs" && exec 3<>"$2"' sh "$cgroup" "$1" 2>&1; }
refused() { [[ $(open_in_unit "$1") == *'Operation not permitted'* ]]; }
refused "$other" || fail "the instance may open $other, outside DeviceAllow=: $(open_in_unit "$other")"
outside=$(sh -c 'exec 3<>"$1"' sh "$other" 2>&1)
[[ $outside != *'Operation not permitted'* ]] || fail "$other is refused to root outside the instance too"
open_in_unit /dev/null || fail "the instance may not open /dev/null"
ok "outside DeviceAllow=, $other is refused"

echo "-- restarts"
# A device class admitted whole, as the unit admits ttyUSB and ttyACM (this
# kernel has no USB serial driver, so ttyS stands in): every device number of
# the class passes.
mkdir -p /run/systemd/system/varek-server@.service.d
printf '[Service]\nDeviceAllow=char-ttyS rw\n' >/run/systemd/system/varek-server@.service.d/60-ttyS.conf
systemctl daemon-reload
pid=$(main_pid)
systemctl restart "$unit" || fail "systemctl restart"
wait_for 30 serving && [ "$(main_pid)" != "$pid" ] || fail "not serving again after systemctl restart"
cgroup=/sys/fs/cgroup$(systemctl show -p ControlGroup --value "$unit")
refused "$other" && fail "$other is refused with its class admitted"
admitted=$(open_in_unit "$other")
pid=$(main_pid)
# A crash: systemd restarts the instance. The simulator keeps its terminal
# open, so the dead server's TIOCEXCL would stay on it (a real adapter drops it
# at its last close); the supply is plugged in again meanwhile.
kill -KILL "$pid"
plug || fail "varek-sim did not start again"
restarted() { [ "$(systemctl show -p NRestarts --value "$unit")" -ge 1 ]; }
wait_for 30 restarted && wait_for 30 serving ||
  fail "no automatic restart after SIGKILL: $(systemctl show -p NRestarts -p ActiveState "$unit" | tr '\n' ' ')"
ok "restarted by systemctl, and by systemd after SIGKILL (pid $pid -> $(main_pid)); with its class admitted, $other passes the filter (${admitted:-opened})"

echo "-- re-plug under another device number"
since=$(date '+%Y-%m-%d %H:%M:%S')
was=$(readlink "$by_id")
plug || fail "varek-sim did not start again"
link_back() { journalctl --no-pager -u "$unit" --since "$since" | grep -q "Link back: serial $serial on $by_id"; }
if wait_for 30 link_back && wait_for 10 connected; then
  ok "the server followed $by_id from $was to $(readlink "$by_id")"
else
  fail "not back after the re-plug: $(journalctl --no-pager -u "$unit" --since "$since" | tail -n 5)"
fi

echo "-- stop"
systemctl stop "$unit"
result=$(systemctl show -p Result -p ExecMainCode -p ExecMainStatus "$unit" | sort | tr '\n' ' ')
[ "$result" = "ExecMainCode=1 ExecMainStatus=0 Result=success " ] || fail "stop: $result"
ok "stopped: $result"

journal=$(journalctl -b --no-pager | grep -v varek-syscall-probe)
before=$failures
grep -Ei 'SIGSYS|31/SYS|dumped core|code=dumped|core dump' <<<"$journal" && fail "SIGSYS or a core dump in the journal"
grep -E 'Recording paused' <<<"$journal" && fail "recording paused"
[ "$failures" -ne "$before" ] || ok "no SIGSYS, core dump or recording pause in the journal"
