#!/usr/bin/env bash
# Checks that a Linux x86-64 binary runs on glibc 2.17 and later without any C++ runtime of the
# system's: no symbol needs a glibc version above 2.17, and no libstdc++, libc++ or libgcc_s is
# among its needed libraries.
#   scripts/check-elf-x86_64.sh BINARY
set -euo pipefail
binary=${1:?usage: $0 BINARY}
glibc_maximum=2.17

header=$(readelf -h "$binary")
grep -q 'Class:.*ELF64' <<<"$header" && grep -q 'Machine:.*X86-64' <<<"$header" ||
  { echo "check-elf: $binary is not an x86-64 ELF file" >&2; exit 1; }
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
echo "check-elf: $binary: x86-64, highest glibc symbol $highest, needs $needed"
