#!/usr/bin/env bash
# Builds what the dashboard needs (the sidecar, the Node client, the dashboard), then serves a live
# picture of a process tree on 127.0.0.1 and prints its address, whose #token=... part lets the page
# read the processes: open that whole address. Ctrl-C stops it.
#   scripts/dashboard.sh [--root-pid N] [--port P] [--interval-ms MS]
#   --root-pid  the tree's root (default 1: the whole machine)
#   --port      the port to serve on (default 8090; 0 picks a free one)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(getconf _NPROCESSORS_ONLN)
[ -f build/CMakeCache.txt ] || cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs" --target procsampler >/dev/null

# npm ci (of the one workspace that holds the client and the dashboard) only when the lockfile
# changed since the last install; tsc only rebuilds what changed.
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error
if [ ! -f clients/node/dist/index.js ] || [ -n "$(find clients/node/src -newer clients/node/dist/index.js)" ]; then
  (cd clients/node && npm run --silent build)
fi
(cd examples/dashboard && npm run --silent build)
exec node examples/dashboard/dist/server/main.js --binary build/procsampler "$@"
