#!/usr/bin/env bash
# Installs what is missing, builds and runs every test:
#   1. normal build (everything, desktop application included), all tests (the
#      dashboard's browser test in the system chromium included);
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build of core, simulator,
#      programs and their tests;
#   3. ThreadSanitizer build of the concurrency tests;
#   4. clang libFuzzer targets, each fuzzed briefly;
#   5. packages: Release build of the packaged programs, the Debian packages
#      (scripts/package.sh, lintian), installed, run, service verified, purged;
#      then the service under a real systemd in a booted container (the
#      container's root is built once and cached in /var/cache/varek-nspawn).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

"$root/scripts/deps.sh"

jobs=$(nproc)
# Qt and Asio objects are large; keep the parallel compile within memory and cores.
export CTEST_OUTPUT_ON_FAILURE=1
# Tests must never pick up a developer's real token file.
export XDG_DATA_HOME="$(mktemp -d)"
trap 'rm -rf "$XDG_DATA_HOME"' EXIT

step() { printf '\n==== %s ====\n' "$*"; }

step "normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j "$jobs"
step "normal tests"
# The browser test's driver, exactly as locked; it never downloads a browser.
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix tests/browser --no-audit --no-fund
QT_QPA_PLATFORM=offscreen ctest --test-dir build -j 2 --timeout 900

step "ASan+UBSan build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVAREK_SANITIZE=ON \
      -DVAREK_BUILD_APP=OFF -DVAREK_BENCH=OFF >/dev/null
ninja -C build-asan -j "$jobs"
step "ASan+UBSan tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j 2 --timeout 900 -LE no-sanitize

step "TSan build (concurrency tests)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVAREK_TSAN=ON \
      -DVAREK_BUILD_APP=OFF -DVAREK_BENCH=OFF >/dev/null
ninja -C build-tsan -j "$jobs"
step "TSan tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j 2 --timeout 900 -L tsan

step "fuzz build"
CXX=clang++ CC=clang cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVAREK_FUZZ=ON -DVAREK_BUILD_APP=OFF -DVAREK_BENCH=OFF >/dev/null
fuzzers=()
for f in fuzz/*_fuzz.cpp; do [ -e "$f" ] && fuzzers+=("$(basename "$f" .cpp)"); done
if [ ${#fuzzers[@]} -gt 0 ]; then
  ninja -C build-fuzz -j "$jobs" "${fuzzers[@]}"
  step "fuzz runs"
  for name in "${fuzzers[@]}"; do
    corpus="$(mktemp -d)"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    echo "-- $name"
    "build-fuzz/fuzz/$name" -max_total_time="${VAREK_FUZZ_SECONDS:-20}" -print_final_stats=1 \
      "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
    rm -rf "$corpus"
  done
fi

step "package stage: build the Debian packages (scripts/package.sh)"
"$root/scripts/package.sh"
step "package stage: install, run, verify the service, purge"
"$root/tests/packaging/install_test.sh" dist/varek_*.deb dist/varek-studio_*.deb
step "package stage: the service under systemd in a container"
"$root/tests/packaging/systemd_boot_test.sh" dist/varek_*.deb

step "all test stages passed"
