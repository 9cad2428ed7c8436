#!/usr/bin/env bash
# Checks that a Linux binary is for the given processor and runs on glibc 2.17 and later without
# any C++ runtime of the system's: no symbol needs a glibc version above 2.17, and no libstdc++,
# libc++ or libgcc_s is among its needed libraries.
#   scripts/check-elf.sh x86_64|aarch64 BINARY
set -euo pipefail
case ${1:-} in
  x86_64) machine=X86-64 ;;
  aarch64) machine=AArch64 ;;
  *) echo "usage: $0 x86_64|aarch64 BINARY" >&2; exit 2 ;;
esac
binary=${2:?usage: $0 x86_64|aarch64 BINARY}
glibc_maximum=2.17

header=$(readelf -h "$binary")
grep -q 'Class:.*ELF64' <<<"$header" && grep -q "Machine:.*$machine" <<<"$header" ||
  { echo "check-elf: $binary is not a 64-bit $machine ELF file" >&2; exit 1; }
# objdump reads the dynamic symbols of any ELF file, whatever processor it was built for.
highest=$(objdump -T "$binary" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
if [ "$(printf '%s\n%s\n' "$highest" "$glibc_maximum" | sort -V | tail -n 1)" != "$glibc_maximum" ]; then
  echo "check-elf: $binary needs glibc $highest, above $glibc_maximum:" >&2
  objdump -T "$binary" | grep -E "GLIBC_$highest\b" >&2
  exit 1
fi
needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
if grep -Eq 'libstdc\+\+|libc\+\+|libgcc_s' <<<"$needed"; then
  echo "check-elf: $binary needs a C++ runtime from the system: $needed" >&2
  exit 1
fi
echo "check-elf: $binary: $machine, highest glibc symbol $highest, needs $needed"
