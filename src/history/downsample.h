// Downsampling of a history window into steps of a fixed length, for hosts that draw an hour
// rather than read it whole. Pure; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sampling/history_step.h"
#include "sampling/snapshot.h"

namespace procsampler::history {

// snapshots: oldest first, as selectWindow gives them; stepMs > 0. One HistoryStep per step that
// holds at least one snapshot, oldest first; steps without snapshots are left out.
std::vector<sampling::HistoryStep> downsample(std::span<const sampling::Snapshot* const> snapshots,
                                              std::uint64_t stepMs);

}  // namespace procsampler::history
