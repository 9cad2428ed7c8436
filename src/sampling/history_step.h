// The plain values of a downsampled history: per step of time, one summary per process seen in
// it. Built by the history, written by the protocol layer; they own their lists.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace procsampler::sampling {

// One process (a pid and its start, so a reused pid is another process) over one step.
struct ProcessSummary {
  std::uint32_t pid = 0;
  std::uint64_t startTimeMs = 0;
  std::uint32_t sampleCount = 0;  // snapshots of the step that hold the process
  // Over the finite CPU figures of those snapshots; absent when none was finite.
  std::optional<float> cpuPercentMean;
  std::optional<float> cpuPercentMax;
  std::uint64_t residentBytesMax = 0;
  std::optional<std::uint64_t> footprintBytesMax = std::nullopt;  // absent when no figure was
  friend bool operator==(const ProcessSummary&, const ProcessSummary&) = default;
};

// The machine over one step, from the snapshots' machine totals; each absent when no snapshot of
// the step had its figure.
struct MachineSummary {
  std::optional<float> cpuPercentMean = std::nullopt;
  std::optional<float> cpuPercentMax = std::nullopt;
  std::optional<std::uint64_t> memoryAvailableBytesMin = std::nullopt;
  friend bool operator==(const MachineSummary&, const MachineSummary&) = default;
};

// The snapshots with startUnixMs <= sampledAtUnixMs < startUnixMs + step; startUnixMs is a
// multiple of the step, so the steps of two requests line up.
struct HistoryStep {
  std::uint64_t startUnixMs = 0;
  std::uint32_t snapshotCount = 0;
  std::vector<ProcessSummary> processes;  // ascending by pid, then start
  MachineSummary machine = {};
  friend bool operator==(const HistoryStep&, const HistoryStep&) = default;
};

}  // namespace procsampler::sampling
