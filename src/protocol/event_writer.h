// The single owner of standard output: every event leaves the program through one EventWriter,
// one compact JSON line at a time, flushed at once. Used only by the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/io_error.h"
#include "sampling/snapshot.h"

namespace procsampler::protocol {

inline constexpr std::uint32_t PROTOCOL_VERSION = 2;
inline constexpr std::size_t EVENT_BUFFER_BYTES = 8192;

struct Capabilities {
  bool cumulativeCpuTime = true;
  bool currentCpuPercent = true;
  bool residentMemory = true;
  bool virtualMemory = true;
  bool ioBytes = true;
  bool processStartTime = true;
  bool processTree = true;
};

struct HelloInfo {
  std::string_view sidecarVersion;  // "0.1.0"
  std::uint32_t sidecarPid = 0;
  std::string_view platform;  // "linux", "macos"
  std::string_view arch;      // "x86_64", "aarch64"
  Capabilities capabilities;
};

// Where finished bytes go. The real one writes to a descriptor; benchmarks and tests may
// substitute their own.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Writes all of data or returns the failure.
  virtual IoStatus writeAll(const char* data, std::size_t size) = 0;
};

// Writes to a file descriptor: retries interrupted writes; a descriptor that is not open (EBADF)
// counts as written; a write that accepts nothing is a failure.
class FdSink final : public OutputSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  IoStatus writeAll(const char* data, std::size_t size) override;

 private:
  int fd_;
};

class EventWriter {
 public:
  // The sink must outlive the writer.
  explicit EventWriter(OutputSink& sink);

  // Each writes one complete line and flushes it; on failure the event stops at once and the
  // error is returned. After a failure the caller writes no further event.
  IoStatus writeHello(const HelloInfo& hello);
  IoStatus writeError(std::string_view code, std::string_view message, bool recoverable);
  IoStatus writeSnapshot(const sampling::Snapshot& snapshot);
  // snapshots: at most 32, written without their requestId.
  IoStatus writeHistoryChunk(std::string_view requestId, bool done,
                             std::span<const sampling::Snapshot* const> snapshots);

  // One more attempt to write whatever a failed event left in the buffer.
  IoStatus flush();

 private:
  // Implementation-defined members follow.
  OutputSink& sink_;
  char buffer_[EVENT_BUFFER_BYTES];
  std::size_t used_ = 0;
  bool failed_ = false;
  IoError failure_{};
};

}  // namespace procsampler::protocol
