#!/usr/bin/env bash
# Proves the packaged service under a real systemd. systemd is not PID 1 on the
# machines that run the tests, so this boots a minimal Debian root under
# systemd-nspawn, with a unified cgroup hierarchy and BPF allowed so that the
# unit's device filter is really enforced. systemd_boot_check.sh runs inside
# as a oneshot service: it installs the package with dpkg and drives the
# instance (see there for what it checks), writes its log and result into the
# root and powers the container off; this script prints them.
#
# The root is made once (mmdebstrap, from the Debian mirror apt uses) and kept
# as a tar file in $VAREK_NSPAWN_CACHE (default /var/cache/varek-nspawn); every
# run unpacks a fresh copy, so no run sees what an earlier one left. Needs
# root (sudo otherwise), mmdebstrap and systemd-container (scripts/deps.sh).
#
# Usage: tests/packaging/systemd_boot_test.sh dist/varek_<v>_<arch>.deb
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <varek.deb>" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || exec sudo -- "$0" "$@"
here=$(cd "$(dirname "$0")" && pwd)
deb=$(realpath "$1")
cache=${VAREK_NSPAWN_CACHE:-/var/cache/varek-nspawn}

suite=bookworm
packages=systemd,systemd-sysv,dbus,adduser,curl,socat
# A change of the recipe makes a new cache file; the old one goes.
recipe="$suite minbase $packages"
root_tar="$cache/$suite-root-$(sha256sum <<<"$recipe" | cut -c1-12).tar"

mkdir -p "$cache"
# One builder at a time; a second run waits for the first one's root.
exec 9>"$cache/lock"
flock -w 900 9 || { echo "FAIL: $cache/lock held for 15 minutes" >&2; exit 1; }
if [ ! -s "$root_tar" ]; then
  echo "-- building the $suite root (once; cached in $root_tar)"
  started=$SECONDS
  partial="$root_tar.partial"
  rm -f "$partial"
  timeout -k 10 900 mmdebstrap --quiet --format=tar --variant=minbase --include="$packages" "$suite" "$partial" ||
    { rm -f "$partial"; echo "FAIL: mmdebstrap could not build the root" >&2; exit 1; }
  find "$cache" -maxdepth 1 -name "$suite-root-*.tar" -delete
  mv "$partial" "$root_tar"
  echo "root built in $((SECONDS - started)) s"
fi
flock -u 9

work=$(mktemp -d /var/tmp/varek-nspawn.XXXXXX)
# VAREK_NSPAWN_KEEP=1 keeps the root and the console log for a look afterwards.
if [ -n "${VAREK_NSPAWN_KEEP:-}" ]; then echo "work directory: $work"; else trap 'rm -rf "$work"' EXIT; fi
root=$work/root
mkdir "$root"
tar -C "$root" --numeric-owner -xf "$root_tar"

# What the check needs, inside the root; results come back the same way.
test_dir=/root/varek-test
install -d "$root$test_dir/out"
install -m 0644 "$deb" "$root$test_dir/varek.deb"
install -m 0755 "$here/systemd_boot_check.sh" "$root$test_dir/check.sh"
cat >"$root/etc/systemd/system/varek-boot-check.service" <<EOF
[Unit]
Description=varek service check
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=$test_dir/check.sh $test_dir/varek.deb $test_dir/out
StandardOutput=file:$test_dir/out/check.log
StandardError=inherit
TimeoutStartSec=240

[Install]
WantedBy=multi-user.target
EOF
ln -s /etc/systemd/system/varek-boot-check.service \
  "$root/etc/systemd/system/multi-user.target.wants/varek-boot-check.service"

echo "-- booting the container"
started=$SECONDS
code=0
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 timeout -k 10 300 systemd-nspawn --quiet --directory="$root" \
  --machine="varek-boot-$$" --boot --register=no --keep-unit --private-network \
  --console=read-only --system-call-filter=bpf --capability=CAP_BPF \
  </dev/null >"$work/console.log" 2>&1 || code=$?
echo "container ran $((SECONDS - started)) s (systemd-nspawn exit $code)"

out=$root$test_dir/out
[ -f "$out/check.log" ] && cat "$out/check.log"
if [ "$(cat "$out/result" 2>/dev/null)" != passed ]; then
  echo "-- container console (last 60 lines)" >&2
  tail -n 60 "$work/console.log" >&2
  if [ -f "$out/journal.txt" ]; then
    echo "-- container journal: varek (last 100 lines)" >&2
    grep -a varek "$out/journal.txt" | tail -n 100 >&2
  fi
  echo "systemd boot test: failed" >&2
  exit 1
fi
echo "systemd boot test: all checks passed"
