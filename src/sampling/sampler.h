// Snapshot collection: refresh the table for the trees of the root and of the external processes
// (at least 200 ms after the previous refresh), select the trees of the root and of the matching
// external processes, complete, build and sort their records, stamp the snapshot. The Sampler and
// everything here belong to the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sampling/process_table.h"
#include "sampling/snapshot.h"

namespace procsampler::sampling {

inline constexpr std::chrono::milliseconds MIN_REFRESH_SPACING{200};
// The names and commands of one snapshot's records hold at most this many bytes in all; past it
// the longest commands are cut to one common length. A text byte takes at most six bytes on the
// wire (\u00XX) and the rest of a record under 400, so a snapshot line stays under 64 MiB for
// any tree of up to 40,000 processes, where 5,800 commands of control bytes once made 571 MB.
inline constexpr std::size_t SNAPSHOT_MAX_TEXT_BYTES = 8 << 20;

// What a table keeps is what a snapshot's records show.
inline constexpr TableLimits SNAPSHOT_TABLE_LIMITS{.commandBytes = MAX_COMMAND_BYTES};
static_assert(TableLimits{}.commandBytes == MAX_COMMAND_BYTES);

// pid → optional start time in milliseconds; one entry per pid, ordered so output is stable.
using ExternalProcessMap = std::map<Pid, std::optional<std::uint64_t>>;

struct Sampler {
  Sampler(std::unique_ptr<ProcessTable> processTable, Clock& clockSource)
      : table(std::move(processTable)), clock(&clockSource) {}

  std::unique_ptr<ProcessTable> table;
  Clock* clock;                           // outlives the sampler
  std::optional<MonoTime> lastRefreshAt;  // right after the most recent refresh
  std::uint64_t lastSequence = 0;
  bool withArgv = false;  // records carry argv (protocol version 3)
  // Starts to the kernel's precision in records, and in matching external processes (version 3).
  bool exactStarts = false;
};

// The refresh configure makes: the whole table, noting when it ended.
void refreshTable(Sampler& sampler);

// The refresh that looks for exits between snapshots: the trees of the root and of the external
// processes, as a collection refreshes them, at once. It reads no reported process's CPU time,
// so it neither waits for the spacing nor counts as the reading the next collection keeps it from.
void refreshTreesForExits(Sampler& sampler, Pid rootPid,
                          const ExternalProcessMap& externalProcesses);

// The records a collection would give from the table as it now is, without refreshing it: the
// starting point of the lifecycle events that configure sets.
std::vector<ProcessSample> collectRecords(Sampler& sampler, Pid rootPid,
                                          const ExternalProcessMap& externalProcesses);

// Never fails and never writes; may sleep up to MIN_REFRESH_SPACING before refreshing. The
// records' texts keep within SNAPSHOT_MAX_TEXT_BYTES.
Snapshot collectSnapshot(Sampler& sampler, Pid rootPid, const ExternalProcessMap& externalProcesses,
                         std::optional<std::string> requestId);

}  // namespace procsampler::sampling
