// The single owner of standard output: every event leaves the program through one EventWriter,
// one compact JSON line at a time, flushed at once. Used only by the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/io_error.h"
#include "sampling/history_step.h"
#include "sampling/snapshot.h"

namespace procsampler::protocol {

// The version spoken unless the host asked for a later one at launch.
inline constexpr std::uint32_t PROTOCOL_VERSION = 2;
// A pipe's default capacity: a long event goes out in as few writes as the reader can take.
inline constexpr std::size_t EVENT_BUFFER_BYTES = 65536;
// Most snapshots (or steps) of one historyChunk line.
inline constexpr std::size_t HISTORY_CHUNK_SIZE = 32;
// Most bytes of one historyChunk line, unless a single snapshot is larger and goes alone: hosts
// that read a line into one string cannot take many hundred megabytes.
inline constexpr std::uint64_t HISTORY_CHUNK_MAX_BYTES = 64 << 20;

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
  std::string_view platform;  // one of the event schema's: "linux", "macos", "windows"
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
  // After a failed writeAll: how many of its leading bytes did reach the destination, so that a
  // later attempt sends only the rest instead of repeating them. Sinks that cannot tell say 0.
  virtual std::size_t acceptedBeforeFailure() const { return 0; }
  // Bytes written that the reader has not yet taken, when the destination can tell.
  virtual std::optional<std::uint64_t> unreadBytes() const { return std::nullopt; }
};

// Writes to a file descriptor: retries interrupted writes; a descriptor that is not open (EBADF)
// counts as written; a write that accepts nothing is a failure (reported as EIO); any other
// failure (EPIPE, ENOSPC, EAGAIN...) is returned with its errno.
class FdSink final : public OutputSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  IoStatus writeAll(const char* data, std::size_t size) override;
  std::size_t acceptedBeforeFailure() const override { return accepted_; }
  // What a pipe holds (FIONREAD) or a socket has not delivered (SIOCOUTQ), on Linux; a pipe's
  // write end on macOS cannot tell, nor can any other kind of descriptor.
  std::optional<std::uint64_t> unreadBytes() const override;

 private:
  int fd_;
  std::size_t accepted_ = 0;
};

class EventWriter {
 public:
  // The sink must outlive the writer. version: the protocol version every event is written in,
  // 2 or 3; version 3 adds its members and events, version 2 is written byte for byte as ever.
  explicit EventWriter(OutputSink& sink, std::uint32_t version = PROTOCOL_VERSION);

  std::uint32_t version() const { return version_; }

  // Each writes one complete line and flushes it; on failure the event stops at once and the
  // error is returned. After a failure the caller writes no further event; if it tries, nothing
  // is written and the first failure is returned again.
  IoStatus writeHello(const HelloInfo& hello);
  // requestId: written in version 3 only, and only when present.
  IoStatus writeError(std::string_view code, std::string_view message, bool recoverable,
                      std::optional<std::string_view> requestId = std::nullopt);
  // Version 3: the answer to a command that carried a request id and has no result of its own.
  IoStatus writeAck(std::string_view requestId);
  // skipped: version 3 only, the periodic snapshots left unwritten since the last one written,
  // written as "skippedSnapshots" when present.
  IoStatus writeSnapshot(const sampling::Snapshot& snapshot,
                         std::optional<std::uint64_t> skipped = std::nullopt);
  // Whether the reader has taken every byte written so far; true when the sink cannot tell.
  bool outputDrained() const { return used_ == 0 && sink_.unreadBytes().value_or(0) == 0; }
  // A history answer as historyChunk lines: the snapshots in order, written without their
  // requestId, at most HISTORY_CHUNK_SIZE a line within HISTORY_CHUNK_MAX_BYTES but at least one;
  // at least one line, so an empty answer is one chunk; only the last is marked done. A failed
  // line ends the answer there.
  IoStatus writeHistory(std::string_view requestId,
                        std::span<const sampling::Snapshot* const> snapshots);
  // Version 3, a downsampled history: steps of stepMs, framed the same way.
  IoStatus writeHistory(std::string_view requestId, std::uint64_t stepMs,
                        std::span<const sampling::HistoryStep> steps);

  // Version 3 lifecycle events: a process of the selected trees seen for the first time, and one
  // that has exited, each with its record as a snapshot writes it.
  IoStatus writeProcessStarted(const sampling::ProcessSample& process);
  IoStatus writeProcessExited(const sampling::ProcessSample& process, std::uint64_t exitedAtUnixMs);

  // What a history chunk's line takes on the wire in this writer's version, counted by the code
  // that writes it: each snapshot as an element of `snapshots` (the comma between two not
  // included), and the line of a chunk with no snapshots, its line feed included, which the
  // snapshots and commas extend.
  std::uint64_t chunkedSnapshotBytes(const sampling::Snapshot& snapshot) const;
  std::uint64_t emptyHistoryChunkBytes(std::string_view requestId, bool done) const;
  // The same for a downsampled chunk: one step as an element of `steps`, and the empty line.
  std::uint64_t historyStepBytes(const sampling::HistoryStep& step) const;
  std::uint64_t emptyHistoryStepsBytes(std::string_view requestId, std::uint64_t stepMs) const;

  // One more attempt to write whatever a failed event left in the buffer (the bytes the sink
  // had not yet accepted). Succeeds at once when nothing is left. Does not clear the failure:
  // the line it completes may be cut short, so no event may follow it.
  IoStatus flush();

 private:
  // Room for at least `size` (at most EVENT_BUFFER_BYTES) more bytes, sending the buffer first
  // when they do not fit; nullptr once a write has failed. Append unchecked, then commit.
  char* reserve(std::size_t size) {
    if (EVENT_BUFFER_BYTES - used_ >= size && !failed_) return buffer_ + used_;
    return reserveSlow();
  }
  char* reserveSlow();
  void commit(char* end) { used_ = static_cast<std::size_t>(end - buffer_); }
  IoStatus sendPending();
  bool sendBuffer();  // false, with the failure recorded, when the sink refused
  IoStatus endEvent();
  // One historyChunk line. snapshots: at most HISTORY_CHUNK_SIZE; steps: the same, of stepMs.
  IoStatus writeHistoryChunk(std::string_view requestId, bool done,
                             std::span<const sampling::Snapshot* const> snapshots);
  IoStatus writeHistorySteps(std::string_view requestId, bool done, std::uint64_t stepMs,
                             std::span<const sampling::HistoryStep> steps);

  // Each appends through reserve and returns false once a write has failed. key: a short literal
  // such as ,"sequence": written before the value.
  bool putLiteral(std::string_view text);
  bool putNumber(std::string_view key, std::uint64_t value);
  bool putBool(std::string_view key, bool value);
  bool putString(std::string_view text);  // quoted and escaped
  // The one snapshot object of both snapshot events and history chunks. first: no comma before.
  bool putSnapshot(const sampling::Snapshot& snapshot, bool withRequestId, bool first,
                   std::optional<std::uint64_t> skipped = std::nullopt);
  bool putProcess(const sampling::ProcessSample& process, bool first);
  // Version 3's members after ioSemantics, and the record's closing brace.
  bool putLaterRecordMembers(const sampling::ProcessSample& process);
  bool putStep(const sampling::HistoryStep& step, bool first);
  bool putOptionalFloat(std::string_view key, std::optional<float> value);
  bool putOptionalNumber(std::string_view key, std::optional<std::uint64_t> value);
  // Version 3's machine totals, from the comma before "machine" to the closing brace.
  bool putMachine(const sampling::MachineTotals& machine);

  OutputSink& sink_;
  std::uint32_t version_;
  std::size_t used_ = 0;
  bool failed_ = false;
  IoError failure_{};
  char buffer_[EVENT_BUFFER_BYTES];
};

}  // namespace procsampler::protocol
