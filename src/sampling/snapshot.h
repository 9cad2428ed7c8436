// The plain values one sampling produces: the per-process record, the external-process entry and
// the snapshot. Built by collection, written by the protocol layer, stored by the history; they
// own their texts and lists, and copying one copies everything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sampling/machine_totals.h"

namespace procsampler::sampling {

inline constexpr std::size_t MAX_NAME_BYTES = 1024;
inline constexpr std::size_t MAX_COMMAND_BYTES = 16384;
inline constexpr std::size_t MAX_STATUS_BYTES = 256;

// A process tree root named by the host, and the matched form written back in snapshots.
struct ExternalProcess {
  std::uint32_t pid = 0;
  std::optional<std::uint64_t> startTimeMs;
  friend bool operator==(const ExternalProcess&, const ExternalProcess&) = default;
};

// One process's record, in wire order. Texts are valid UTF-8 within their byte bounds.
struct ProcessSample {
  std::uint32_t pid = 0;
  std::uint32_t ppid = 0;  // 0 when the process has no parent
  std::uint64_t startTimeMs = 0;
  std::uint64_t runTimeMs = 0;
  std::string name;
  std::string command;
  std::string status;
  float cpuPercent = 0.0f;
  std::uint64_t cpuTimeMs = 0;
  std::uint64_t residentBytes = 0;
  std::uint64_t virtualBytes = 0;
  std::uint64_t ioReadBytes = 0;
  std::uint64_t ioWriteBytes = 0;
  bool ioCountsAllIo = false;  // clear: "storage"; set: "all-io"
  // Written from protocol version 3 on: refused figures as null, and these after ioSemantics.
  bool cpuMemoryRefused = false;
  bool ioRefused = false;
  std::optional<std::uint32_t> uid = std::nullopt;
  std::optional<std::uint32_t> threads = std::nullopt;
  std::optional<std::uint64_t> footprintBytes = std::nullopt;
  // Only when the collection asks for it; at most MAX_COMMAND_BYTES of UTF-8 with one byte per
  // separator counted, as command is, the argument at the cut shortened at a character boundary.
  std::vector<std::string> argv = {};
  friend bool operator==(const ProcessSample&, const ProcessSample&) = default;
};

struct Snapshot {
  std::uint64_t sequence = 0;
  std::uint64_t sampledAtUnixMs = 0;
  std::uint64_t collectionDurationMicros = 0;
  std::uint64_t scannedProcessCount = 0;
  std::uint64_t retainedProcessCount = 0;
  std::uint64_t inaccessibleProcessCount = 0;
  std::optional<std::string> requestId;
  std::vector<ExternalProcess> externalProcesses;
  std::vector<ProcessSample> processes;  // ascending by pid
  // Written from protocol version 3 on, before externalProcesses.
  MachineTotals machine = {};
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

}  // namespace procsampler::sampling
