// The bounded store of past snapshots behind readHistory: at most 3600 snapshots, one hour back
// from the newest, 20000 records and an estimated 64 MiB, oldest dropped first. Owned and used by
// the main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "sampling/snapshot.h"

namespace procsampler::history {

inline constexpr std::size_t HISTORY_MAX_SNAPSHOTS = 3600;
inline constexpr std::uint64_t HISTORY_MAX_AGE_MS = 3600000;
inline constexpr std::uint64_t HISTORY_MAX_RECORDS = 20000;
inline constexpr std::uint64_t HISTORY_MAX_BYTES = 67108864;
inline constexpr std::uint64_t MAX_HISTORY_WINDOW_MS = 3600000;
inline constexpr std::size_t HISTORY_CHUNK_SIZE = 32;

class SnapshotHistory {
 public:
  // Stores a copy without its requestId, then trims to the bounds (which may drop the copy itself).
  void append(const sampling::Snapshot& snapshot);

  // The stored snapshots with nowMs - min(windowMs, one hour) <= sampledAtUnixMs <= nowMs, oldest
  // first. The pointers stay valid until the next append.
  std::vector<const sampling::Snapshot*> selectWindow(std::uint64_t nowMs,
                                                      std::uint64_t windowMs) const;

  std::size_t size() const;
  std::uint64_t totalRecords() const;
  std::uint64_t totalBytes() const;

  // Implementation-defined members follow.
};

std::uint64_t recordCount(const sampling::Snapshot& snapshot);
std::uint64_t estimatedBytes(const sampling::Snapshot& snapshot);

}  // namespace procsampler::history
