# Windows x64, cross-built on Debian with MinGW-w64's GCC in its POSIX-threads flavour
# (g++-mingw-w64-x86-64-posix), linked statically, run here under Wine.
#
# Why not Zig, as the other cross targets are: Zig 0.11's x86_64-windows-gnu has no pthread.h and
# no std::jthread/std::thread support worth the name, and its first build of the C++ runtime took
# about 150 s on this two-core machine against 38 s for a GoogleTest probe with MinGW. The POSIX
# flavour brings winpthreads, so std::thread, std::timed_mutex and condition variables work as on
# the other platforms. -static folds libstdc++, libgcc and winpthreads into the executable, which
# then imports only KERNEL32.dll and msvcrt.dll (and ntdll for the process table), so the binary
# runs from any directory without DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 8 and later: the APIs used (GetTickCount64, SetConsoleCtrlHandler, NtQuery*) all exist
# there. UNICODE so that every Win32 call taking text is its wide form.
add_compile_definitions(_WIN32_WINNT=0x0602 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# The presets set CMAKE_EXE_LINKER_FLAGS, so they repeat -static there.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
