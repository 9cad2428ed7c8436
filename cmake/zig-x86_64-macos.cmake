# Cross-builds procsampler for macOS on Intel processors from a Linux host. Zig ships the macOS SDK
# headers (libproc, sysctl, Mach) and link stubs for libSystem, so the real platform layer compiles
# and links here. The oldest macOS it runs on is 11.0, as for Apple silicon, so both builds serve
# the same releases; Zig takes it from the target's version suffix (it ignores
# -mmacosx-version-min) and writes it into LC_BUILD_VERSION. Intel Macs tick Mach absolute time in
# nanoseconds (timebase 1/1, against 125/3 on Apple silicon); the sidecar reads the timebase, and
# the tests model both.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PROCSAMPLER_MACOS_MINIMUM 11.0)
set(PROCSAMPLER_ZIG_TARGET x86_64-macos.${PROCSAMPLER_MACOS_MINIMUM})
include(${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake)
