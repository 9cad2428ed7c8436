#include "history/downsample.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace procsampler::history {
namespace {

using sampling::HistoryStep;
using sampling::ProcessSummary;

// A summary being gathered: the CPU sum stays double so a long step loses nothing to rounding.
struct Gathering {
  ProcessSummary summary;
  double cpuSum = 0.0;
  std::uint32_t cpuCount = 0;
};

HistoryStep finish(std::uint64_t startUnixMs, std::uint32_t snapshotCount,
                   std::map<std::pair<std::uint32_t, std::uint64_t>, Gathering>& gathered) {
  HistoryStep step{startUnixMs, snapshotCount, {}};
  step.processes.reserve(gathered.size());
  for (auto& [identity, gathering] : gathered) {
    if (gathering.cpuCount > 0) {
      gathering.summary.cpuPercentMean = static_cast<float>(gathering.cpuSum / gathering.cpuCount);
    }
    step.processes.push_back(std::move(gathering.summary));
  }
  gathered.clear();
  return step;
}

}  // namespace

std::vector<HistoryStep> downsample(std::span<const sampling::Snapshot* const> snapshots,
                                    std::uint64_t stepMs) {
  std::vector<HistoryStep> steps;
  std::map<std::pair<std::uint32_t, std::uint64_t>, Gathering> gathered;
  std::uint64_t stepStart = 0;
  std::uint32_t snapshotCount = 0;
  for (const sampling::Snapshot* snapshot : snapshots) {
    const std::uint64_t start = snapshot->sampledAtUnixMs - snapshot->sampledAtUnixMs % stepMs;
    if (snapshotCount > 0 && start != stepStart) {
      steps.push_back(finish(stepStart, snapshotCount, gathered));
      snapshotCount = 0;
    }
    stepStart = start;
    ++snapshotCount;
    for (const sampling::ProcessSample& process : snapshot->processes) {
      Gathering& g = gathered[{process.pid, process.startTimeMs}];
      g.summary.pid = process.pid;
      g.summary.startTimeMs = process.startTimeMs;
      ++g.summary.sampleCount;
      g.summary.residentBytesMax = std::max(g.summary.residentBytesMax, process.residentBytes);
      if (!std::isfinite(process.cpuPercent)) continue;
      g.cpuSum += process.cpuPercent;
      ++g.cpuCount;
      g.summary.cpuPercentMax =
          std::max(g.summary.cpuPercentMax.value_or(0.0f), process.cpuPercent);
    }
  }
  if (snapshotCount > 0) steps.push_back(finish(stepStart, snapshotCount, gathered));
  return steps;
}

}  // namespace procsampler::history
