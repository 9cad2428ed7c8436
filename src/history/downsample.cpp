#include "history/downsample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

// The machine's figures of a step being gathered.
struct MachineGathering {
  sampling::MachineSummary summary;
  double cpuSum = 0.0;
  std::uint32_t cpuCount = 0;

  void add(const sampling::MachineTotals& machine) {
    if (machine.cpuPercent && std::isfinite(*machine.cpuPercent)) {
      cpuSum += *machine.cpuPercent;
      ++cpuCount;
      summary.cpuPercentMax = std::max(summary.cpuPercentMax.value_or(0.0f), *machine.cpuPercent);
    }
    if (machine.memoryAvailableBytes) {
      summary.memoryAvailableBytesMin = std::min(
          summary.memoryAvailableBytesMin.value_or(UINT64_MAX), *machine.memoryAvailableBytes);
    }
  }
};

HistoryStep finish(std::uint64_t startUnixMs, std::uint32_t snapshotCount,
                   std::map<std::pair<std::uint32_t, std::uint64_t>, Gathering>& gathered,
                   MachineGathering& machine) {
  HistoryStep step{startUnixMs, snapshotCount, {}};
  if (machine.cpuCount > 0) {
    machine.summary.cpuPercentMean = static_cast<float>(machine.cpuSum / machine.cpuCount);
  }
  step.machine = machine.summary;
  machine = {};
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
  MachineGathering machine;
  std::uint64_t stepStart = 0;
  std::uint32_t snapshotCount = 0;
  for (const sampling::Snapshot* snapshot : snapshots) {
    const std::uint64_t start = snapshot->sampledAtUnixMs - snapshot->sampledAtUnixMs % stepMs;
    if (snapshotCount > 0 && start != stepStart) {
      steps.push_back(finish(stepStart, snapshotCount, gathered, machine));
      snapshotCount = 0;
    }
    stepStart = start;
    ++snapshotCount;
    machine.add(snapshot->machine);
    for (const sampling::ProcessSample& process : snapshot->processes) {
      Gathering& g = gathered[{process.pid, process.startTimeMs}];
      g.summary.pid = process.pid;
      g.summary.startTimeMs = process.startTimeMs;
      ++g.summary.sampleCount;
      g.summary.residentBytesMax = std::max(g.summary.residentBytesMax, process.residentBytes);
      if (process.footprintBytes) {
        g.summary.footprintBytesMax =
            std::max(g.summary.footprintBytesMax.value_or(0), *process.footprintBytes);
      }
      if (!std::isfinite(process.cpuPercent)) continue;
      g.cpuSum += process.cpuPercent;
      ++g.cpuCount;
      g.summary.cpuPercentMax =
          std::max(g.summary.cpuPercentMax.value_or(0.0f), process.cpuPercent);
    }
  }
  if (snapshotCount > 0) steps.push_back(finish(stepStart, snapshotCount, gathered, machine));
  return steps;
}

}  // namespace procsampler::history
