#!/bin/sh
# Checks that a file is a 64-bit Mach-O executable for arm64 (Apple silicon), from its header:
# magic CF FA ED FE (MH_MAGIC_64, little-endian), cputype 0x0100000C (CPU_TYPE_ARM64) and
# filetype 2 (MH_EXECUTE). Prints OK, or what is wrong and exits 1.
# Usage: scripts/check-macho-arm64.sh [path]   (default: build/macos-arm64/procsampler)
set -eu
file=${1:-build/macos-arm64/procsampler}
if [ ! -f "$file" ]; then
  echo "check-macho-arm64: $file: no such file" >&2
  exit 1
fi
header=$(od -An -tx1 -N16 -v "$file" | tr -d ' \n')
magic=$(printf '%s' "$header" | cut -c1-8)
cputype=$(printf '%s' "$header" | cut -c9-16)
filetype=$(printf '%s' "$header" | cut -c25-32)
if [ "$magic" != "cffaedfe" ]; then
  echo "check-macho-arm64: $file: not a 64-bit Mach-O file (magic $magic)" >&2
  exit 1
fi
if [ "$cputype" != "0c000001" ]; then
  echo "check-macho-arm64: $file: not arm64 (cputype bytes $cputype)" >&2
  exit 1
fi
if [ "$filetype" != "02000000" ]; then
  echo "check-macho-arm64: $file: not an executable (filetype bytes $filetype)" >&2
  exit 1
fi
echo OK
