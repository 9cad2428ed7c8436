#!/usr/bin/env bash
# Builds the sidecar and runs the example host: a live table of a process tree for a few seconds.
# Arguments go to examples/watch.py (for example --root-pid 1234 --seconds 30).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(getconf _NPROCESSORS_ONLN)" --target procsampler
exec python3 examples/watch.py --binary build/procsampler "$@"
