#!/usr/bin/env bash
# The dashboard in a real browser (Debian's Chromium, installed if missing; on macOS an installed
# Chrome or Chromium, else the test is skipped). It writes screenshots to build/dashboard.png and,
# in the dark scheme, build/dashboard-dark.png.
#   tests/dashboard/run.sh [--update-screenshot]
#   --update-screenshot  write them to docs/ instead, the README's pictures
set -euo pipefail
cd "$(dirname "$0")/../.."
case ${1:-} in
  --update-screenshot) export DASHBOARD_SCREENSHOT=docs/dashboard.png ;;
  "") ;;
  *) echo "usage: $0 [--update-screenshot]" >&2; exit 2 ;;
esac
scripts/deps.sh --browser
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error
cd tests/dashboard
npx tsc -p .
node --test build/tests/dashboard/*.test.js
