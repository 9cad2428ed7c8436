// The machine as a whole at one refresh: its processors, their use, its memory and how long it has
// been up. A plain value: tables fill it where they read the machine's CPU counters, snapshots
// carry it, the protocol writes it. Each figure is absent when the system would not give it.
#pragma once

#include <cstdint>
#include <optional>

namespace procsampler::sampling {

struct MachineTotals {
  std::optional<std::uint32_t> cpuCount = std::nullopt;
  // Percent of one CPU, 0 to 100 × cpuCount: the busy time of every CPU over the interval the
  // refresh divides the processes' CPU times by.
  std::optional<float> cpuPercent = std::nullopt;
  std::optional<std::uint64_t> memoryTotalBytes = std::nullopt;
  // What could be handed to programs without swapping: free memory and what the kernel can drop.
  std::optional<std::uint64_t> memoryAvailableBytes = std::nullopt;
  std::optional<std::uint64_t> uptimeMs = std::nullopt;  // since boot, suspended time included
  friend bool operator==(const MachineTotals&, const MachineTotals&) = default;
};

}  // namespace procsampler::sampling
