#!/usr/bin/env bash
# Builds the Debian packages into dist/:
#   dist/varek_<version>_<arch>.deb         varek-server, varek-read, varek-sim
#   dist/varek-studio_<version>_<arch>.deb  VarekPowerStudio
#   dist/*-dbgsym_<version>_<arch>.ddeb     their debug symbols
# from a Release build in build-release/ (reused from one run to the next),
# for this machine's own architecture, then checks them with lintian.
# The version is the project's plus the commit: 0.1.2+git<commits>.<hash>
# (".dirty" when the work tree has changes), so a later commit sorts higher.
# VAREK_PACKAGE_BUILD_DIR picks another build directory; VAREK_BUILD_APP=OFF
# builds only the varek package (no Qt needed, for a headless machine).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VAREK_PACKAGE_BUILD_DIR:-build-release}
app=${VAREK_BUILD_APP:-ON}

"$root/scripts/deps.sh"

project_version=$(sed -n 's/^project(varek VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if git rev-parse --git-dir >/dev/null 2>&1; then
  commit=$(git rev-parse HEAD)
  version="$project_version+git$(git rev-list --count HEAD).$(git rev-parse --short=10 HEAD)"
  [ -z "$(git status --porcelain --untracked-files=no)" ] || version="$version.dirty"
  date=$(git log -1 --format=%aD)
else
  commit=unknown
  version=$project_version
  date=$(date -R)
fi

# Debian's hardening and optimisation flags, as debhelper would pass them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DVAREK_BUILD_APP="$app" -DVAREK_BUILD_TESTS=OFF -DVAREK_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DVAREK_PACKAGE_VERSION="$version" -DVAREK_PACKAGE_COMMIT="$commit" \
  -DVAREK_PACKAGE_DATE="$date" >/dev/null
ninja -C "$build" -j "$(nproc)"

rm -rf "$build/cpack"
(cd "$build" && cpack -G DEB -B "$root/$build/cpack" >/dev/null)
mkdir -p dist
rm -f dist/varek_*.deb dist/varek-studio_*.deb dist/*.ddeb
cp "$build"/cpack/*.deb dist/
shopt -s nullglob
for debug in "$build"/cpack/*.ddeb; do cp "$debug" dist/; done
shopt -u nullglob
ls -1 dist/

# Errors fail the build; warnings are shown.
lintian --fail-on error --info "$build"/cpack/*.deb
