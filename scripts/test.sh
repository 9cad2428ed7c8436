#!/usr/bin/env bash
# Builds everything and runs every test (unit, end-to-end against the real binary).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j "$(nproc)"
