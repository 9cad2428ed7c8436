#include "common/io_error.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "common/os_io.h"

namespace procsampler {
namespace {

struct KindName {
  int code;
  const char* name;
};

// The kind names hosts see in the "Error: Os { ... }" line; unlisted values are Uncategorized.
constexpr KindName KIND_NAMES[] = {
    {EPERM, "PermissionDenied"},
    {EACCES, "PermissionDenied"},
    {ENOENT, "NotFound"},
    {EINTR, "Interrupted"},
    {E2BIG, "ArgumentListTooLong"},
    {EAGAIN, "WouldBlock"},
    {ENOMEM, "OutOfMemory"},
    {EBUSY, "ResourceBusy"},
    {EEXIST, "AlreadyExists"},
    {EXDEV, "CrossesDevices"},
    {ENOTDIR, "NotADirectory"},
    {EISDIR, "IsADirectory"},
    {EINVAL, "InvalidInput"},
    {ETXTBSY, "ExecutableFileBusy"},
    {EFBIG, "FileTooLarge"},
    {ENOSPC, "StorageFull"},
    {ESPIPE, "NotSeekable"},
    {EROFS, "ReadOnlyFilesystem"},
    {EMLINK, "TooManyLinks"},
    {EPIPE, "BrokenPipe"},
    {EDEADLK, "Deadlock"},
    {ENAMETOOLONG, "InvalidFilename"},
    {ENOSYS, "Unsupported"},
    {ENOTEMPTY, "DirectoryNotEmpty"},
    {ELOOP, "FilesystemLoop"},
    {EADDRINUSE, "AddrInUse"},
    {EADDRNOTAVAIL, "AddrNotAvailable"},
    {ENETDOWN, "NetworkDown"},
    {ENETUNREACH, "NetworkUnreachable"},
    {ECONNABORTED, "ConnectionAborted"},
    {ECONNRESET, "ConnectionReset"},
    {ENOTCONN, "NotConnected"},
    {ETIMEDOUT, "TimedOut"},
    {ECONNREFUSED, "ConnectionRefused"},
    {EHOSTUNREACH, "HostUnreachable"},
    {EINPROGRESS, "InProgress"},
#if defined(ESTALE) && defined(EDQUOT)  // not in the Windows C runtime
    {ESTALE, "StaleNetworkFileHandle"},
    {EDQUOT, "FilesystemQuotaExceeded"},
#endif
};

}  // namespace

const char* ioErrorKindName(int code) {
  for (const auto& entry : KIND_NAMES) {
    if (entry.code == code) return entry.name;
  }
  return "Uncategorized";
}

std::string renderIoErrorDebug(const IoError& error) {
  return "Os { code: " + std::to_string(error.code) + ", kind: " + ioErrorKindName(error.code) +
         ", message: \"" + os::errorMessage(error.code) + "\" }";
}

std::string ioErrorText(const IoError& error) {
  return os::errorMessage(error.code) + " (os error " + std::to_string(error.code) + ")";
}

}  // namespace procsampler
