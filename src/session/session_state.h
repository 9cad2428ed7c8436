// What the session knows about its host's wishes: whether configure was accepted and with what,
// and whether periodic snapshots are written. Owned by the main loop; no other thread sees it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "common/clock.h"
#include "history/snapshot_history.h"
#include "protocol/command.h"
#include "protocol/event_writer.h"
#include "sampling/process_table.h"
#include "sampling/sampler.h"

namespace procsampler::session {

using protocol::PROTOCOL_VERSION;
inline constexpr std::uint64_t MIN_SAMPLE_INTERVAL_MS = 250;
inline constexpr std::uint64_t MAX_SAMPLE_INTERVAL_MS = 60000;
using history::MAX_HISTORY_WINDOW_MS;

struct SessionConfig {
  // Absent: no periodic sampling. Present: within MIN_ and MAX_SAMPLE_INTERVAL_MS.
  std::optional<std::chrono::milliseconds> sampleInterval;
  sampling::ExternalProcessMap externalProcesses;
  sampling::Pid rootPid = 0;
  bool lifecycle = false;  // version 3: starts and exits of the selected processes are written
};

struct SessionState {
  std::optional<SessionConfig> config;  // present from the first accepted configure on
  bool streaming = false;               // whether periodic snapshots are written
  // Version 3's "latest" streaming: a periodic snapshot is skipped while the host has not read
  // everything written before it, and the next one written says how many were.
  bool latestOnly = false;
  std::uint64_t skippedSnapshots = 0;  // since the last periodic snapshot written
};

// When the next periodic sample is due, on the monotonic clock: never while the configuration
// has no interval. The main loop asks it; configure, setSampleInterval and the end of each
// periodic sample tell it, through these alone.
class SampleSchedule {
 public:
  std::optional<MonoTime> nextDue() const { return nextDue_; }
  // Due at once (configure's first sample), given an interval.
  void restart(std::optional<std::chrono::milliseconds> interval, MonoTime now) {
    nextDue_ = interval ? std::optional<MonoTime>(now) : std::nullopt;
  }
  // Due a full interval after now, given one.
  void waitFrom(std::optional<std::chrono::milliseconds> interval, MonoTime now) {
    nextDue_ = interval ? std::optional<MonoTime>(now + *interval) : std::nullopt;
  }

 private:
  std::optional<MonoTime> nextDue_;
};

// 0 means no periodic sampling; anything else is clamped into the allowed range, never refused.
std::optional<std::chrono::milliseconds> sampleIntervalFromMs(std::uint64_t sampleIntervalMs);

// One entry per pid; a later element for the same pid replaces the earlier one's start time.
sampling::ExternalProcessMap externalProcessMap(
    std::span<const sampling::ExternalProcess> processes);

}  // namespace procsampler::session
