// The commands a host sends, one per input line, as decoded values. Each variant carries the
// protocol version the host spoke; nothing here compares it. Plain values; owned texts and lists.
// `optionalRequestId` is the version 3 member that any command may carry; sampleNow and
// readHistory carry their request id in every version.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
  std::optional<std::string> optionalRequestId = std::nullopt;
  // Version 3: the selected processes' starts and exits are written as they are noticed.
  bool lifecycle = false;
  friend bool operator==(const Configure&, const Configure&) = default;
};

struct SetExternalProcesses {
  std::uint32_t version = 0;
  std::vector<ExternalProcess> processes;
  std::optional<std::string> optionalRequestId = std::nullopt;
  friend bool operator==(const SetExternalProcesses&, const SetExternalProcesses&) = default;
};

struct SetSampleInterval {
  std::uint32_t version = 0;
  std::uint64_t sampleIntervalMs = 0;
  std::optional<std::string> optionalRequestId = std::nullopt;
  friend bool operator==(const SetSampleInterval&, const SetSampleInterval&) = default;
};

struct SetStreaming {
  std::uint32_t version = 0;
  bool enabled = false;
  // Version 3: while the host has not read everything written, periodic snapshots are skipped.
  bool latest = false;
  std::optional<std::string> optionalRequestId = std::nullopt;
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
  std::uint64_t stepMs = 0;  // version 3: when not 0, the history is downsampled to such steps
  friend bool operator==(const ReadHistory&, const ReadHistory&) = default;
};

struct Shutdown {
  std::uint32_t version = 0;
  std::optional<std::string> optionalRequestId = std::nullopt;
  friend bool operator==(const Shutdown&, const Shutdown&) = default;
};

// In the fixed variant order (the order the unknown-variant message lists them).
using Command = std::variant<Configure, SetExternalProcesses, SetSampleInterval, SetStreaming,
                             SampleNow, ReadHistory, Shutdown>;

inline std::uint32_t commandVersion(const Command& command) {
  return std::visit([](const auto& c) { return c.version; }, command);
}

// The request id the command carries, if any, borrowed from it.
inline std::optional<std::string_view> commandRequestId(const Command& command) {
  return std::visit(
      [](const auto& c) -> std::optional<std::string_view> {
        if constexpr (requires { c.optionalRequestId; }) {
          return c.optionalRequestId ? std::optional<std::string_view>(*c.optionalRequestId)
                                     : std::nullopt;
        } else {
          return std::string_view(c.requestId);
        }
      },
      command);
}

}  // namespace procsampler::protocol
