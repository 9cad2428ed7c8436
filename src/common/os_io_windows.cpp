#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "common/os_io.h"

namespace procsampler::os {
namespace {

// The C runtime's descriptor's Win32 handle; null when the descriptor is not open, or is a
// standard stream the process was started without (the runtime then gives -2).
HANDLE handleOf(int fd) {
  const intptr_t handle = ::_get_osfhandle(fd);
  if (handle == -1 || handle == -2 || handle == 0) return nullptr;
  return reinterpret_cast<HANDLE>(handle);
}

// The errno that means what a Win32 error means to the session.
int errnoOf(DWORD error) {
  switch (error) {
    // The reader is gone: ERROR_NO_DATA for a pipe being closed, ERROR_BROKEN_PIPE once it is,
    // and under Wine ERROR_PIPE_NOT_CONNECTED (233) for a write to a pipe whose reader closed.
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
      return EPIPE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_OPERATION_ABORTED:
      return EINTR;
    case ERROR_DISK_FULL:
      return ENOSPC;
    default:
      return EIO;
  }
}

// Blocking reads and writes on a standard handle write at most this much at once: WriteFile to a
// console refuses large requests on some systems.
constexpr DWORD MAX_TRANSFER = 1u << 20;

}  // namespace

Expected<std::size_t, IoError> readSome(int fd, char* data, std::size_t size) {
  const HANDLE handle = handleOf(fd);
  if (handle == nullptr) return std::size_t{0};
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(size < MAX_TRANSFER ? size : MAX_TRANSFER);
  if (::ReadFile(handle, data, wanted, &got, nullptr)) return std::size_t{got};
  const DWORD error = ::GetLastError();
  // The host closed its end of the pipe: the end of the input, as on POSIX. Under Wine, a process
  // started with its Unix descriptor 0 closed gets a handle whose reads fail with
  // ERROR_INVALID_FUNCTION: a standard input that is not open, which reads as its end.
  if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_INVALID_HANDLE ||
      error == ERROR_INVALID_FUNCTION) {
    return std::size_t{0};
  }
  return Unexpected{IoError{errnoOf(error)}};
}

Expected<std::size_t, IoError> writeSome(int fd, const char* data, std::size_t size) {
  const HANDLE handle = handleOf(fd);
  if (handle == nullptr) return Unexpected{IoError{EBADF}};
  DWORD written = 0;
  const DWORD wanted = static_cast<DWORD>(size < MAX_TRANSFER ? size : MAX_TRANSFER);
  if (::WriteFile(handle, data, wanted, &written, nullptr)) {
    if (written > 0) return std::size_t{written};
    return Unexpected{IoError{EIO}};
  }
  return Unexpected{IoError{errnoOf(::GetLastError())}};
}

std::optional<std::uint64_t> unreadBytes(int) {
  // PeekNamedPipe needs read access, which the write end of an anonymous pipe lacks: Windows
  // cannot tell, as macOS cannot.
  return std::nullopt;
}

std::uint32_t currentProcessId() { return ::GetCurrentProcessId(); }

void prepareStandardStreams() {
  for (const int fd : {0, 1, 2}) (void)::_setmode(fd, _O_BINARY);
}

std::string errorMessage(int code) {
  char buffer[256] = {};
  if (::strerror_s(buffer, sizeof buffer, code) != 0)
    return "Unknown error " + std::to_string(code);
  return buffer;
}

}  // namespace procsampler::os
