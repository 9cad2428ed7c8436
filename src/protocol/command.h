// The commands a host sends, one per input line, as decoded values. Each variant carries the
// protocol version the host spoke; nothing here compares it. Plain values; owned texts and lists.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "sampling/snapshot.h"

namespace procsampler::protocol {

using sampling::ExternalProcess;

struct Configure {
  std::uint32_t version = 0;
  std::uint32_t rootPid = 0;
  std::uint64_t sampleIntervalMs = 0;
  std::vector<ExternalProcess> externalProcesses;
  friend bool operator==(const Configure&, const Configure&) = default;
};

struct SetExternalProcesses {
  std::uint32_t version = 0;
  std::vector<ExternalProcess> processes;
  friend bool operator==(const SetExternalProcesses&, const SetExternalProcesses&) = default;
};

struct SetSampleInterval {
  std::uint32_t version = 0;
  std::uint64_t sampleIntervalMs = 0;
  friend bool operator==(const SetSampleInterval&, const SetSampleInterval&) = default;
};

struct SetStreaming {
  std::uint32_t version = 0;
  bool enabled = false;
  friend bool operator==(const SetStreaming&, const SetStreaming&) = default;
};

struct SampleNow {
  std::uint32_t version = 0;
  std::string requestId;
  friend bool operator==(const SampleNow&, const SampleNow&) = default;
};

struct ReadHistory {
  std::uint32_t version = 0;
  std::string requestId;
  std::uint64_t windowMs = 0;
  friend bool operator==(const ReadHistory&, const ReadHistory&) = default;
};

struct Shutdown {
  std::uint32_t version = 0;
  friend bool operator==(const Shutdown&, const Shutdown&) = default;
};

// In the fixed variant order (the order the unknown-variant message lists them).
using Command = std::variant<Configure, SetExternalProcesses, SetSampleInterval, SetStreaming,
                             SampleNow, ReadHistory, Shutdown>;

inline std::uint32_t commandVersion(const Command& command) {
  return std::visit([](const auto& c) { return c.version; }, command);
}

}  // namespace procsampler::protocol
