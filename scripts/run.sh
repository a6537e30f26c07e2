#!/usr/bin/env bash
# The main job: installs what is missing, builds, and opens the dashboard
# (VarekPowerStudio) connected to the supply, so live readings show at once:
# a real supply when one is attached (/dev/ttyUSB*, then /dev/ttyACM*),
# otherwise the simulated supply (varek-sim), which is stopped again afterwards.
# Without a display ($DISPLAY and $WAYLAND_DISPLAY empty) it starts the headless
# varek-server against the same supply instead, until Ctrl+C.
# Extra arguments go to the program (for example --refresh 10).
# VAREK_BUILD_DIR picks another build directory than build/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VAREK_BUILD_DIR:-build}
headless=""
[ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && headless=1

scripts/deps.sh
cmake -S . -B "$build" -G Ninja >/dev/null
if [ -n "$headless" ]; then
  ninja -C "$build" -j "$(nproc)" varek-sim varek-server
else
  ninja -C "$build" -j "$(nproc)" varek-sim VarekPowerStudio
fi

# Byte order within each group, USB serial adapters before modem-class devices.
port=""
for pattern in '/dev/ttyUSB*' '/dev/ttyACM*'; do
  first=$(LC_ALL=C compgen -G "$pattern" | LC_ALL=C sort | head -n 1 || true)
  if [ -n "$first" ]; then port=$first; break; fi
done

sim_pid=""
workdir=$(mktemp -d)
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT

if [ -z "$port" ]; then
  "$build/bin/varek-sim" --link "$workdir/supply" </dev/null >"$workdir/sim.out" &
  sim_pid=$!
  for _ in $(seq 200); do
    [ -L "$workdir/supply" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "varek-sim failed to start" >&2; exit 1; }
    sleep 0.05
  done
  [ -L "$workdir/supply" ] || { echo "varek-sim did not come up" >&2; exit 1; }
  port=$(head -n 1 "$workdir/sim.out")
  echo "No supply attached; using the simulated supply at $port" >&2
else
  echo "Using the supply at $port" >&2
fi

if [ -n "$headless" ]; then
  echo "No display (\$DISPLAY and \$WAYLAND_DISPLAY are empty): starting varek-server instead of the dashboard; Ctrl+C stops it." >&2
  "$build/bin/varek-server" "$port" "$@"
else
  "$build/bin/VarekPowerStudio" --connect "$port" "$@"
fi
