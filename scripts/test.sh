#!/usr/bin/env bash
# Builds everything and runs every test (unit, end-to-end against the real binary, the Node client,
# the dashboard in a real browser).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --browser
# The Node client and the schema checker that the end-to-end tests' events go through; one npm
# workspace holds them, the dashboard and its test.
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error
(cd clients/node && npm run --silent build:test)
cmake --preset dev
cmake --build --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
ctest --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
(cd clients/node && node --test build/test/client.test.js)
# The npm package is packed on Linux x86-64 only (CI packs both platforms).
if [ "$(uname -sm)" = "Linux x86_64" ]; then scripts/pack-node.sh --host-only --test; fi
tests/dashboard/run.sh
