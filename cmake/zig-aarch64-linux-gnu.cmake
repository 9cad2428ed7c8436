# Builds procsampler for Linux on 64-bit Arm: linked against glibc 2.17's symbol versions, the
# oldest glibc with an aarch64 port, and with Zig's libc++ linked statically, so it needs no
# libstdc++ at all. On an x86-64 host the tests run under qemu-user (the linux-arm64-tests preset
# names the emulator).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PROCSAMPLER_GLIBC_MINIMUM 2.17)
set(PROCSAMPLER_ZIG_TARGET aarch64-linux-gnu.${PROCSAMPLER_GLIBC_MINIMUM})
include(${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake)
