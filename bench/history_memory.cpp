// Resident memory of a full history against the history's own size estimate. Fills a
// SnapshotHistory through append, exactly as the sidecar does, with realistic records, and prints
// the process's resident size next to the bound 1.5 × estimate + 8 MiB. Exits 1 over the bound.
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "history/snapshot_history.h"

namespace {

using procsampler::history::SnapshotHistory;
using procsampler::sampling::ExternalProcess;
using procsampler::sampling::ProcessSample;
using procsampler::sampling::Snapshot;

std::uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t sizePages = 0;
  std::uint64_t residentPages = 0;
  statm >> sizePages >> residentPages;
  return residentPages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

Snapshot makeSnapshot(std::uint64_t sequence, std::size_t records) {
  Snapshot snapshot;
  snapshot.sequence = sequence;
  snapshot.sampledAtUnixMs = 1'700'000'000'000ULL + sequence * 1000;  // one per second: an hour
  snapshot.externalProcesses.push_back(ExternalProcess{100, 1'700'000'000'000ULL});
  for (std::size_t i = 1; i < records; ++i) {
    ProcessSample sample;
    sample.pid = static_cast<std::uint32_t>(100 + i);
    sample.ppid = 100;
    sample.startTimeMs = 1'700'000'000'000ULL;
    sample.runTimeMs = sequence * 1000;
    sample.name = "worker-" + std::to_string(i);
    sample.command = "/usr/lib/example/worker-" + std::to_string(i) +
                     " --type=renderer --lang=en-US --enable-features=Something,Else";
    sample.status = "Sleep";
    sample.cpuPercent = 1.5f;
    sample.residentBytes = 50u << 20;
    snapshot.processes.push_back(std::move(sample));
  }
  snapshot.retainedProcessCount = snapshot.processes.size();
  return snapshot;
}

bool measure(std::size_t recordsPerSnapshot) {
  SnapshotHistory history;
  for (std::uint64_t sequence = 1; sequence <= 3600; ++sequence) {
    history.append(makeSnapshot(sequence, recordsPerSnapshot));
  }
  malloc_trim(0);  // what remains resident is what the history holds, not freed temporaries
  const double estimate = static_cast<double>(history.totalBytes());
  const double bound = 1.5 * estimate + 8.0 * 1024 * 1024;
  const double resident = static_cast<double>(residentBytes());
  std::printf(
      "%3zu records/snapshot: %zu snapshots kept, estimate %.2f MiB, resident %.2f MiB, "
      "bound %.2f MiB, resident/bound %.2f\n",
      recordsPerSnapshot, history.size(), estimate / 1048576, resident / 1048576, bound / 1048576,
      resident / bound);
  return resident <= bound;
}

}  // namespace

int main() {
  // One history per process run would be cleaner still; two in sequence measure the larger
  // second one on top of whatever the first left behind, which only makes the check stricter.
  const bool small = measure(5);
  const bool large = measure(100);
  return small && large ? 0 : 1;
}
