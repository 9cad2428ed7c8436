#!/usr/bin/env bash
# Checks that a file is a 64-bit Mach-O executable for the given processor that runs on the oldest
# macOS we support. From its header: magic CF FA ED FE (MH_MAGIC_64, little-endian), cputype
# 0x0100000C (CPU_TYPE_ARM64) or 0x01000007 (CPU_TYPE_X86_64), filetype 2 (MH_EXECUTE); then,
# among its load commands, LC_BUILD_VERSION (0x32), whose minos field (X.Y.Z as nibbles
# xxxx.yy.zz) is the oldest macOS the loader accepts. Prints OK, or what is wrong and exits 1.
# Usage: scripts/check-macho.sh arm64|x86_64 [path] [minimum macOS]
#        (defaults: build/macos-arm64/procsampler or build/macos-x64/procsampler, 11.0)
set -euo pipefail
arch=${1:-}
case $arch in
  arm64) cputype_wanted=0c000001 tree=macos-arm64 ;;
  x86_64) cputype_wanted=07000001 tree=macos-x64 ;;
  *) echo "usage: $0 arm64|x86_64 [path] [minimum macOS]" >&2; exit 2 ;;
esac
file=${2:-build/$tree/procsampler}
wanted=${3:-11.0}
fail() {
  echo "check-macho: $file: $*" >&2
  exit 1
}
[ -f "$file" ] || fail "no such file"

header=$(od -An -tx1 -N16 -v "$file" | tr -d ' \n')
magic=$(printf '%s' "$header" | cut -c1-8)
cputype=$(printf '%s' "$header" | cut -c9-16)
filetype=$(printf '%s' "$header" | cut -c25-32)
[ "$magic" = "cffaedfe" ] || fail "not a 64-bit Mach-O file (magic $magic)"
[ "$cputype" = "$cputype_wanted" ] || fail "not $arch (cputype bytes $cputype)"
[ "$filetype" = "02000000" ] || fail "not an executable (filetype bytes $filetype)"

# The little-endian 32-bit value at a byte offset, whatever the byte order of this machine.
length=$(wc -c < "$file")
u32() {
  [ $(($1 + 4)) -le "$length" ] || fail "cut short at byte $1"
  od -An -tu1 -j "$1" -N4 -v "$file" |
    awk '{ printf "%.0f\n", $1 + 256 * $2 + 65536 * $3 + 16777216 * $4 }'
}
commands=$(u32 16)
offset=32  # the load commands follow the 32-byte mach_header_64
minos=""
while [ "$commands" -gt 0 ]; do
  command=$(u32 "$offset")
  size=$(u32 $((offset + 4)))
  [ "$size" -ge 8 ] || fail "malformed load command at byte $offset"
  if [ "$command" -eq 50 ]; then  # LC_BUILD_VERSION
    minos=$(u32 $((offset + 12)))
    break
  fi
  offset=$((offset + size))
  commands=$((commands - 1))
done
[ -n "$minos" ] || fail "no LC_BUILD_VERSION load command"
version="$((minos >> 16)).$(((minos >> 8) & 255))"
[ $((minos & 255)) -eq 0 ] || version="$version.$((minos & 255))"
[ "$version" = "$wanted" ] || fail "minimum macOS is $version, not $wanted"
echo "OK: $arch executable for macOS $version and later"
