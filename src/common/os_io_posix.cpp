#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/os_io.h"

namespace procsampler::os {
namespace {

// strerror_r comes in two shapes: GNU returns the text, XSI (macOS) fills the buffer and returns
// a status. Overloads on the result pick the right reading for whichever the platform has.
[[maybe_unused]] std::string messageFrom(char* text, const char*, int) { return text; }
[[maybe_unused]] std::string messageFrom(int status, const char* buffer, int code) {
  return status == 0 ? std::string(buffer) : "Unknown error " + std::to_string(code);
}

}  // namespace

Expected<std::size_t, IoError> readSome(int fd, char* data, std::size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, data, size);
  } while (got < 0 && errno == EINTR);
  if (got >= 0) return static_cast<std::size_t>(got);
  // A descriptor that is not open at all reads as an empty input, not as a failure.
  if (errno == EBADF) return std::size_t{0};
  return Unexpected{IoError{errno}};
}

Expected<std::size_t, IoError> writeSome(int fd, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t written = ::write(fd, data, size);
    if (written > 0) return static_cast<std::size_t>(written);
    if (written < 0 && errno == EINTR) continue;
    // write(2) accepting nothing for a non-empty request has no errno of its own.
    return Unexpected{IoError{written == 0 ? EIO : errno}};
  }
}

std::optional<std::uint64_t> unreadBytes(int fd) {
#if defined(__linux__)
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::nullopt;
  // FIONREAD counts the pipe's buffer from either end; SIOCOUTQ (TIOCOUTQ) what a socket's peer
  // has not yet read.
  const unsigned long request = S_ISFIFO(status.st_mode)   ? FIONREAD
                                : S_ISSOCK(status.st_mode) ? TIOCOUTQ
                                                           : 0;
  int bytes = 0;
  if (request == 0 || ::ioctl(fd, request, &bytes) != 0 || bytes < 0) return std::nullopt;
  return static_cast<std::uint64_t>(bytes);
#else
  (void)fd;
  return std::nullopt;
#endif
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

void prepareStandardStreams() {
  // A standard descriptor that is not open would go to the next file the process opens (the
  // process table opens /proc while the reader thread starts), and the reader or the writer would
  // then use that file. /dev/null in its place reads as end of input and swallows writes, which
  // is what a missing descriptor means to the session anyway.
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  // A host that stops reading must surface as a write error (EPIPE), not kill us silently.
  ::signal(SIGPIPE, SIG_IGN);
}

std::string errorMessage(int code) {
  char buffer[256] = {};
  return messageFrom(strerror_r(code, buffer, sizeof buffer), buffer, code);
}

}  // namespace procsampler::os
