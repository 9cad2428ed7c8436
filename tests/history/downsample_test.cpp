#include "history/downsample.h"

#include <gtest/gtest.h>

#include <cmath>

namespace procsampler::history {
namespace {

using sampling::HistoryStep;
using sampling::ProcessSample;
using sampling::Snapshot;

Snapshot at(std::uint64_t ms, std::vector<ProcessSample> processes,
            sampling::MachineTotals machine = {}) {
  return {0, ms, 0, 0, 0, 0, {}, {}, std::move(processes), machine};
}
ProcessSample sample(std::uint32_t pid, std::uint64_t start, float cpu, std::uint64_t resident,
                     std::optional<std::uint64_t> footprint = std::nullopt) {
  ProcessSample record{pid, 0, start, 0, "", "", "", cpu, 0, resident};
  record.footprintBytes = footprint;
  return record;
}

// Steps start at multiples of the step; a process is summarised over the snapshots that hold it,
// a reused pid is another process, and a figure that is not finite or absent counts for nothing,
// for the processes as for the machine.
TEST(Downsample, MeansAndMaximaPerProcessAndStep) {
  const Snapshot snapshots[] = {
      at(10'000, {sample(7, 100, 10.0f, 500, 4000), sample(8, 200, NAN, 50)},
         {.cpuPercent = 20.0f, .memoryAvailableBytes = 900}),
      at(10'400, {sample(7, 100, 30.0f, 900, 6000), sample(8, 200, 5.0f, 70)},
         {.cpuPercent = NAN, .memoryAvailableBytes = 700}),
      at(10'999, {sample(7, 100, 50.0f, 700)}, {.cpuPercent = 60.0f}),
      at(13'000, {sample(7, 2000, 1.0f, 10)}),
  };
  std::vector<const Snapshot*> window;
  for (const Snapshot& s : snapshots) window.push_back(&s);
  // pid, start, samples, CPU mean and maximum, resident and footprint maxima; the machine's CPU
  // mean and maximum, its least available memory
  const std::vector<HistoryStep> expected = {
      {10'000,
       3,
       {{7, 100, 3, 30.0f, 50.0f, 900, 6000}, {8, 200, 2, 5.0f, 5.0f, 70}},
       {40.0f, 60.0f, 700}},
      {13'000, 1, {{7, 2000, 1, 1.0f, 1.0f, 10}}}};
  EXPECT_EQ(downsample(window, 1000), expected);
  EXPECT_EQ(downsample({}, 1000), std::vector<HistoryStep>{});
  EXPECT_EQ(downsample(window, 60'000).size(), 1u);
}

}  // namespace
}  // namespace procsampler::history
