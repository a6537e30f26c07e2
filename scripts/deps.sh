#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
# Usage: scripts/deps.sh [extra-package...]
# The second-to-last line builds and checks the Debian packages (scripts/package.sh).
set -euo pipefail

packages=(cmake ninja-build g++ git libgtest-dev libgmock-dev libbenchmark-dev
          libasio-dev nlohmann-json3-dev
          qt6-base-dev qt6-charts-dev libqt6opengl6-dev fonts-wqy-microhei
          clang libclang-rt-14-dev
          python3 python3-pyvisa python3-pyvisa-py
          prometheus wrk
          scdoc man-db librsvg2-bin pkg-config
          dpkg-dev file lintian systemd adduser curl
          mmdebstrap systemd-container
          chromium
          "$@")
# Node.js and npm (for the browser test's playwright-core) only where missing: a
# machine's own Node.js 20 is kept rather than replaced by Debian's older one.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
