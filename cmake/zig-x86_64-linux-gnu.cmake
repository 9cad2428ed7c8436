# Builds the released Linux x86-64 sidecar: linked against glibc 2.17's symbol versions, so it runs
# on any distribution since 2014 (RHEL 7, Debian 8, Ubuntu 14.04), and with Zig's libc++ linked
# statically, so it needs no libstdc++ at all. scripts/check-elf.sh holds it to both.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PROCSAMPLER_GLIBC_MINIMUM 2.17)
set(PROCSAMPLER_ZIG_TARGET x86_64-linux-gnu.${PROCSAMPLER_GLIBC_MINIMUM})
include(${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake)
