# Cross-builds procsampler for macOS on Apple Silicon from a Linux host. Zig ships the macOS SDK
# headers (libproc, sysctl, Mach) and link stubs for libSystem, so the real platform layer compiles
# and links here. The oldest macOS the binary runs on: 11.0, the first release for Apple silicon.
# Zig takes it from the target's version suffix (it ignores -mmacosx-version-min) and writes it into
# LC_BUILD_VERSION; without it, Zig's own default (11.7) would shut out Macs still on 11.0 to 11.6.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(PROCSAMPLER_MACOS_MINIMUM 11.0)
set(PROCSAMPLER_ZIG_TARGET aarch64-macos.${PROCSAMPLER_MACOS_MINIMUM})
include(${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake)
