#!/usr/bin/env bash
# Builds everything and runs every test (unit, end-to-end against the real binary, the Node client,
# the dashboard in a real browser). With --target, builds the sidecar and every test executable for
# another platform instead, and runs them here under its emulator:
#   scripts/test.sh [--under-load | --target linux-arm64 | --target windows-x64]
#   --under-load  build as usual, then run only the tests that watch real processes and real time
#                 (the live /proc tables, the sessions' threads, the end-to-end, client and browser
#                 tests) with scripts/under-load.sh keeping every processor busy
#   --target linux-arm64  built with the Zig toolchain, run under qemu-user
#   --target windows-x64  built with MinGW-w64's GCC, run under Wine; the end-to-end tests, a
#                         POSIX host, are built for Linux and drive the Windows sidecar under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { echo "usage: $0 [--under-load | --target linux-arm64 | --target windows-x64]" >&2; exit 2; }
under_load=false target=""
while (($#)); do
  case $1 in
    --under-load) under_load=true; shift ;;
    --target) target=${2:-}; [ -n "$target" ] || usage; shift 2 ;;
    *) usage ;;
  esac
done

if [ -n "$target" ]; then
  case $target in
    linux-arm64 | windows-x64) ;;
    *) usage ;;
  esac
  scripts/deps.sh --target "$target"
  # One npm workspace holds the pinned Zig and the schema checker the end-to-end tests' events go
  # through, which runs here, under Node.
  [ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error
  (cd clients/node && npm run --silent build:test)
  [ "$target" = windows-x64 ] && exec scripts/test-windows.sh
  cmake --preset "$target-tests"
  cmake --build --preset "$target-tests" -j "$(getconf _NPROCESSORS_ONLN)"
  ctest --preset "$target-tests" -j "$(getconf _NPROCESSORS_ONLN)"
  exit 0
fi

scripts/deps.sh --browser
# The Node client and the schema checker that the end-to-end tests' events go through; one npm
# workspace holds them, the dashboard and its test.
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error
(cd clients/node && npm run --silent build:test)
cmake --preset dev
cmake --build --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
if $under_load; then
  # Each part runs whatever the others did, so one run shows every failure.
  status=0
  scripts/under-load.sh ctest --preset dev -j "$(getconf _NPROCESSORS_ONLN)" \
    -R '^(LiveTable|Sidecar|CommandChannel)\.|^e2e_' || status=1
  scripts/under-load.sh sh -c 'cd clients/node && node --test build/test/client.test.js' || status=1
  scripts/under-load.sh tests/dashboard/run.sh || status=1
  exit "$status"
fi
ctest --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
(cd clients/node && node --test build/test/client.test.js)
# The npm package is packed on Linux x86-64 only (CI packs both platforms).
if [ "$(uname -sm)" = "Linux x86_64" ]; then scripts/pack-node.sh --host-only --test; fi
tests/dashboard/run.sh
