// An in-memory OutputSink for tests: keeps every write, and can be told to fail once a number of
// bytes has gone through, taking the part of the write before that point, as a pipe whose reader
// goes away does. Single-threaded.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/event_writer.h"

namespace procsampler::testing {

class RecordingSink final : public protocol::OutputSink {
 public:
  IoStatus writeAll(const char* data, std::size_t size) override {
    ++writes;
    accepted_ = std::min(size, limit_ - std::min(limit_, output.size()));
    output.append(data, accepted_);
    return accepted_ < size ? IoStatus(IoError{EPIPE}) : IoStatus();
  }
  std::size_t acceptedBeforeFailure() const override { return accepted_; }

  // Every write fails with EPIPE from the moment `bytes` bytes in total have been taken; SIZE_MAX
  // heals.
  void failAfter(std::size_t bytes) { limit_ = bytes; }

  std::string output;      // everything taken, in order
  std::size_t writes = 0;  // calls, failed or not

 private:
  std::size_t limit_ = SIZE_MAX;
  std::size_t accepted_ = 0;
};

}  // namespace procsampler::testing
