// The operating system beneath the session, behind one small seam: reading the command input,
// writing events, the process id and the standard streams. os_io_posix.cpp holds the POSIX calls
// (Linux, macOS), os_io_windows.cpp the Win32 ones; the session's logic is the same above both.
// Descriptors are C runtime descriptors everywhere (0, 1, 2 for the standard streams), so the
// layers above and the tests pass them as they always have. Errors are errno values: Windows
// errors are mapped to the errno that means the same (ERROR_BROKEN_PIPE is EPIPE), so a host sees
// the same "Error: Os { ... }" line on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/expected.h"
#include "common/io_error.h"

namespace procsampler::os {

// Reads at most size bytes from fd, retrying interrupted reads: the count, 0 at the end of the
// input (a descriptor that is not open, or a pipe whose writer is gone, reads as the end), or
// the error.
Expected<std::size_t, IoError> readSome(int fd, char* data, std::size_t size);

// Writes some of the bytes, retrying interrupted writes: the count written (at least 1 for a
// non-empty request), or the error; a descriptor that is not open fails with EBADF, and a reader
// that is gone with EPIPE.
Expected<std::size_t, IoError> writeSome(int fd, const char* data, std::size_t size);

// What the reading end of fd has not read yet, where the system can tell (a pipe or a socket on
// Linux); nothing elsewhere.
std::optional<std::uint64_t> unreadBytes(int fd);

// This process's id as hosts and the process table know it.
std::uint32_t currentProcessId();

// Readies the standard streams before any thread starts: on POSIX a missing standard descriptor
// is replaced by /dev/null (else the next file opened would take its number) and SIGPIPE is
// ignored (a host that stops reading surfaces as EPIPE); on Windows the three are put in binary
// mode, so no line feed becomes a carriage return and line feed and no ^Z ends the input.
void prepareStandardStreams();

// The system's wording of an errno value, "Unknown error N" when it has none.
std::string errorMessage(int code);

}  // namespace procsampler::os
