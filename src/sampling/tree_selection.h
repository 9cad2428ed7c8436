// Which processes a snapshot reports: the external processes the host named that still match a
// live process, and the process trees grown from them and from the root pid. Works on
// (pid, parent, start) triples only, so it is the same on every platform. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sampling/process_table.h"
#include "sampling/sampler.h"
#include "sampling/snapshot.h"

namespace procsampler::sampling {

struct ProcessLink {
  Pid pid = 0;
  Pid parentPid = 0;               // 0 when the process has no parent
  std::uint64_t startMs = 0;       // whole seconds × 1000, saturating
  std::uint64_t exactStartMs = 0;  // to the kernel's precision, where the table knows it
  friend bool operator==(const ProcessLink&, const ProcessLink&) = default;
};

// start_time_s × 1000, or the largest 64-bit value when the product does not fit.
std::uint64_t startMillis(const Process& process);
// start_time_ms where the table knows it, else startMillis.
std::uint64_t exactStartMillis(const Process& process);

ProcessLink linkOf(const Process& process);

// The external processes whose pid is live and whose start time, if given, falls in the second the
// process started; each carries the process's own start. Ascending by pid. Links must have unique
// pids. Gone or mismatched entries are left out silently. With exactWithin (version 3), a start
// with a millisecond part must lie within that many milliseconds of the process's exact start,
// which the matched entry then carries.
std::vector<ExternalProcess> matchExternalProcesses(
    std::span<const ProcessLink> links, const ExternalProcessMap& externalProcesses,
    std::optional<std::uint64_t> exactWithin = std::nullopt);

// The pids reachable from the seeds by going from a process to its children, where a child is
// followed only when it started in its parent's second or later (so a pid whose parent was reused
// is not claimed by the newer process). Seeds not among the links select nothing; parentless
// processes are children of pid 0. Each pid appears once, in the order it was reached.
// Linear in the number of links.
std::vector<Pid> selectProcessTrees(std::span<const ProcessLink> links, std::span<const Pid> seeds);

}  // namespace procsampler::sampling
