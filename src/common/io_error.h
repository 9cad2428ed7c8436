// Operating-system I/O failures as values, and the two ways the sidecar words them: the debug
// rendering main prints on standard error, and the plain text the command reader puts in an event.
#pragma once

#include <optional>
#include <string>

namespace procsampler {

struct IoError {
  int code = 0;  // the errno value
  friend bool operator==(const IoError&, const IoError&) = default;
};

// Success, or the I/O error that ended the operation.
class [[nodiscard]] IoStatus {
 public:
  IoStatus() = default;
  IoStatus(IoError failure) : error_(failure) {}  // NOLINT: implicit by design

  bool ok() const { return !error_.has_value(); }
  const IoError& error() const { return *error_; }

 private:
  std::optional<IoError> error_;
};

// "Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }"
std::string renderIoErrorDebug(const IoError& error);

// "Broken pipe (os error 32)"
std::string ioErrorText(const IoError& error);

// The error-kind name of an errno value ("BrokenPipe", "NotFound", ..., "Uncategorized").
const char* ioErrorKindName(int code);

}  // namespace procsampler
