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
 private:
  // A stored snapshot with the record count and size it added to the totals, so a removal
  // subtracts exactly what its append added without walking the records again.
  struct Stored {
    sampling::Snapshot snapshot;
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
  };

  // The queue is a ring over slots_ (whose size is the capacity, 0 or a power of two from 4):
  // the oldest snapshot sits at head_, the next ones follow with wrap-around.
  Stored& slot(std::size_t index) { return slots_[(head_ + index) & (slots_.size() - 1)]; }
  const Stored& slot(std::size_t index) const {
    return slots_[(head_ + index) & (slots_.size() - 1)];
  }
  void pushBack(Stored stored);
  void popFront();
  void popBack();
  void forget(const Stored& stored);

  std::vector<Stored> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::uint64_t totalRecords_ = 0;
  std::uint64_t totalBytes_ = 0;
};

std::uint64_t recordCount(const sampling::Snapshot& snapshot);
std::uint64_t estimatedBytes(const sampling::Snapshot& snapshot);

}  // namespace procsampler::history
