#!/usr/bin/env bash
# Checks that a file is a Windows x64 executable linked statically: it imports nothing but the
# system's own DLLs (KERNEL32, msvcrt, ntdll), so it runs without any runtime installed.
#   scripts/check-pe.sh BINARY
set -euo pipefail
binary=${1:?usage: $0 BINARY}
headers=$(x86_64-w64-mingw32-objdump -p "$binary") ||
  { echo "check-pe: $binary is not a PE file" >&2; exit 1; }
grep -q '^architecture: i386:x86-64' <<<"$(x86_64-w64-mingw32-objdump -f "$binary")" ||
  { echo "check-pe: $binary is not for x86-64" >&2; exit 1; }
imports=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll msvcrt.dll ntdll.dll " ] ||
  { echo "check-pe: $binary imports $imports" >&2; exit 1; }
echo "check-pe: $binary: x86-64, imports $imports"
