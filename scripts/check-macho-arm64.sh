#!/usr/bin/env bash
# scripts/check-macho.sh for Apple silicon: scripts/check-macho-arm64.sh [path] [minimum macOS]
exec "$(dirname "$0")/check-macho.sh" arm64 "$@"
