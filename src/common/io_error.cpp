#include "common/io_error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace procsampler {
namespace {

struct KindName {
  int code;
  const char* name;
};

// The kind names hosts see in the "Error: Os { ... }" line; unlisted values are Uncategorized.
constexpr KindName kKindNames[] = {
    {EPERM, "PermissionDenied"},   {EACCES, "PermissionDenied"},
    {ENOENT, "NotFound"},          {EINTR, "Interrupted"},
    {E2BIG, "ArgumentListTooLong"}, {EAGAIN, "WouldBlock"},
    {ENOMEM, "OutOfMemory"},       {EBUSY, "ResourceBusy"},
    {EEXIST, "AlreadyExists"},     {EXDEV, "CrossesDevices"},
    {ENOTDIR, "NotADirectory"},    {EISDIR, "IsADirectory"},
    {EINVAL, "InvalidInput"},      {ETXTBSY, "ExecutableFileBusy"},
    {EFBIG, "FileTooLarge"},       {ENOSPC, "StorageFull"},
    {ESPIPE, "NotSeekable"},       {EROFS, "ReadOnlyFilesystem"},
    {EMLINK, "TooManyLinks"},      {EPIPE, "BrokenPipe"},
    {EDEADLK, "Deadlock"},         {ENAMETOOLONG, "InvalidFilename"},
    {ENOSYS, "Unsupported"},       {ENOTEMPTY, "DirectoryNotEmpty"},
    {ELOOP, "FilesystemLoop"},     {EADDRINUSE, "AddrInUse"},
    {EADDRNOTAVAIL, "AddrNotAvailable"}, {ENETDOWN, "NetworkDown"},
    {ENETUNREACH, "NetworkUnreachable"}, {ECONNABORTED, "ConnectionAborted"},
    {ECONNRESET, "ConnectionReset"}, {ENOTCONN, "NotConnected"},
    {ETIMEDOUT, "TimedOut"},       {ECONNREFUSED, "ConnectionRefused"},
    {EHOSTUNREACH, "HostUnreachable"}, {EINPROGRESS, "InProgress"},
    {ESTALE, "StaleNetworkFileHandle"}, {EDQUOT, "FilesystemQuotaExceeded"},
};

// strerror_r comes in two shapes: GNU returns the text, XSI (macOS) fills the buffer and returns
// a status. Overloads on the result pick the right reading for whichever the platform has.
[[maybe_unused]] std::string messageFrom(char* text, const char*, int) { return text; }
[[maybe_unused]] std::string messageFrom(int status, const char* buffer, int code) {
  return status == 0 ? std::string(buffer) : "Unknown error " + std::to_string(code);
}

std::string systemMessage(int code) {
  char buffer[256] = {};
  return messageFrom(strerror_r(code, buffer, sizeof buffer), buffer, code);
}

}  // namespace

const char* ioErrorKindName(int code) {
  for (const auto& entry : kKindNames) {
    if (entry.code == code) return entry.name;
  }
  return "Uncategorized";
}

std::string renderIoErrorDebug(const IoError& error) {
  return "Os { code: " + std::to_string(error.code) + ", kind: " + ioErrorKindName(error.code) +
         ", message: \"" + systemMessage(error.code) + "\" }";
}

std::string ioErrorText(const IoError& error) {
  return systemMessage(error.code) + " (os error " + std::to_string(error.code) + ")";
}

}  // namespace procsampler
