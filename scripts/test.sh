#!/usr/bin/env bash
# Builds everything and runs every test (unit, end-to-end against the real binary).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset dev
cmake --build --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
ctest --preset dev -j "$(getconf _NPROCESSORS_ONLN)"
