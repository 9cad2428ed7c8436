#include "history/downsample.h"

#include <gtest/gtest.h>

#include <cmath>

namespace procsampler::history {
namespace {

using sampling::HistoryStep;
using sampling::ProcessSample;
using sampling::ProcessSummary;
using sampling::Snapshot;

Snapshot at(std::uint64_t ms, std::vector<ProcessSample> processes) {
  Snapshot snapshot;
  snapshot.sampledAtUnixMs = ms;
  snapshot.processes = std::move(processes);
  return snapshot;
}
ProcessSample sample(std::uint32_t pid, std::uint64_t start, float cpu, std::uint64_t resident) {
  ProcessSample process;
  process.pid = pid;
  process.startTimeMs = start;
  process.cpuPercent = cpu;
  process.residentBytes = resident;
  return process;
}

// Steps start at multiples of the step; a process is summarised over the snapshots that hold it,
// a reused pid is another process, and a CPU figure that is not finite counts for nothing.
TEST(Downsample, MeansAndMaximaPerProcessAndStep) {
  const Snapshot snapshots[] = {
      at(10'000, {sample(7, 100, 10.0f, 500), sample(8, 200, NAN, 50)}),
      at(10'400, {sample(7, 100, 30.0f, 900), sample(8, 200, 5.0f, 70)}),
      at(10'999, {sample(7, 100, 50.0f, 700)}),
      at(13'000, {sample(7, 2000, 1.0f, 10)}),
  };
  std::vector<const Snapshot*> window;
  for (const Snapshot& s : snapshots) window.push_back(&s);
  const std::vector<HistoryStep> expected = {
      {10'000,
       3,
       {{.pid = 7,
         .startTimeMs = 100,
         .sampleCount = 3,
         .cpuPercentMean = 30.0f,
         .cpuPercentMax = 50.0f,
         .residentBytesMax = 900},
        {.pid = 8,
         .startTimeMs = 200,
         .sampleCount = 2,
         .cpuPercentMean = 5.0f,
         .cpuPercentMax = 5.0f,
         .residentBytesMax = 70}}},
      {13'000,
       1,
       {{.pid = 7,
         .startTimeMs = 2000,
         .sampleCount = 1,
         .cpuPercentMean = 1.0f,
         .cpuPercentMax = 1.0f,
         .residentBytesMax = 10}}},
  };
  EXPECT_EQ(downsample(window, 1000), expected);
  EXPECT_EQ(downsample({}, 1000), std::vector<HistoryStep>{});
  EXPECT_EQ(downsample(window, 60'000).size(), 1u);
}

}  // namespace
}  // namespace procsampler::history
