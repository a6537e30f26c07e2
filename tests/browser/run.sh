#!/usr/bin/env bash
# The browser test's entry for ctest: skips (exit 0) only when node or chromium is
# missing; scripts/deps.sh installs both, so CI never skips.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
chromium="${VAREK_CHROMIUM:-/usr/bin/chromium}"
if ! command -v node >/dev/null 2>&1; then
  echo "skipped: node is not installed (scripts/deps.sh installs it)"
  exit 0
fi
if [ ! -x "$chromium" ]; then
  echo "skipped: $chromium is not installed (scripts/deps.sh installs it)"
  exit 0
fi
if [ ! -d "$here/node_modules/playwright-core" ]; then
  echo "playwright-core is missing: run 'npm ci --prefix tests/browser' (scripts/test.sh does)" >&2
  exit 1
fi
exec node "$here/dashboard.test.mjs"
