// An in-memory OutputSink for tests: keeps every write, and can be told to fail once a number of
// bytes has gone through, taking part of the write that crosses that point, as a pipe whose reader
// goes away does. Single-threaded.
#pragma once

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "protocol/event_writer.h"

namespace procsampler::testing {

class RecordingSink final : public protocol::OutputSink {
 public:
  IoStatus writeAll(const char* data, std::size_t size) override {
    ++calls;
    if (failAfter_ && output.size() + size > *failAfter_) {
      accepted_ = *failAfter_ > output.size() ? *failAfter_ - output.size() : 0;
      output.append(data, accepted_);
      return IoError{failCode_};
    }
    output.append(data, size);
    writes.push_back(size);
    return {};
  }
  std::size_t acceptedBeforeFailure() const override { return accepted_; }

  // Every write fails from the moment `bytes` bytes in total have been taken, until heal().
  void failAfter(std::size_t bytes, int code = EPIPE) {
    failAfter_ = bytes;
    failCode_ = code;
  }
  void heal() { failAfter_.reset(); }

  std::string output;               // everything taken, in order
  std::vector<std::size_t> writes;  // the size of each successful write
  int calls = 0;                    // successful or not

 private:
  std::optional<std::size_t> failAfter_;
  int failCode_ = EPIPE;
  std::size_t accepted_ = 0;
};

}  // namespace procsampler::testing
