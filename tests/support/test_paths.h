// Where a test finds what it needs beyond itself (the sidecar, data files): from an environment
// variable when one is set, else at a path relative to the test executable, which the build lays
// out the same way wherever the tree is copied. Nothing here depends on where it was built.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace procsampler::testing {

// The directory holding the running executable; empty when it cannot be told.
inline std::filesystem::path executableDirectory() {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  path.resize(path.find('\0'));
  return std::filesystem::path(path).parent_path();
#elif defined(_WIN32)
  wchar_t path[32768];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, 32768);
  if (length == 0 || length == 32768) return {};
  return std::filesystem::path(std::wstring(path, length)).parent_path();
#else
  std::error_code error;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path.parent_path();
#endif
}

// The variable's value when it is set and not empty, else `relative` to the executable.
inline std::string testPath(const char* variable, const char* relative) {
  if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') return value;
  return (executableDirectory() / relative).lexically_normal().string();
}

}  // namespace procsampler::testing
