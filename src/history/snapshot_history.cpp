#include "history/snapshot_history.h"

#include <utility>

#include "common/saturating.h"

namespace procsampler::history {
namespace {

constexpr std::size_t INITIAL_CAPACITY = 4;
// What one snapshot, one process record and one external-process entry cost besides their texts.
constexpr std::uint64_t SNAPSHOT_OVERHEAD_BYTES = 144;
constexpr std::uint64_t RECORD_OVERHEAD_BYTES = 144;
constexpr std::uint64_t EXTERNAL_BYTES = 24;

}  // namespace

std::uint64_t recordCount(const sampling::Snapshot& snapshot) {
  return saturatingAdd(snapshot.externalProcesses.size(), snapshot.processes.size());
}

std::uint64_t estimatedBytes(const sampling::Snapshot& snapshot) {
  std::uint64_t bytes = SNAPSHOT_OVERHEAD_BYTES;
  for (const sampling::ProcessSample& record : snapshot.processes) {
    bytes = saturatingAdd(bytes, RECORD_OVERHEAD_BYTES);
    bytes = saturatingAdd(bytes, record.name.size());
    bytes = saturatingAdd(bytes, record.command.size());
    bytes = saturatingAdd(bytes, record.status.size());
    for (const std::string& argument : record.argv) {
      bytes = saturatingAdd(bytes, argument.size() + 1);
    }
  }
  for (std::size_t i = 0; i < snapshot.externalProcesses.size(); ++i) {
    bytes = saturatingAdd(bytes, EXTERNAL_BYTES);
  }
  return bytes;
}

void SnapshotHistory::append(const sampling::Snapshot& snapshot) {
  Stored stored{snapshot, recordCount(snapshot), estimatedBytes(snapshot)};
  // Only a live request's answer carries its id; a stored copy may be replayed to anyone.
  stored.snapshot.requestId.reset();
  const std::uint64_t stampedAt = stored.snapshot.sampledAtUnixMs;

  // The queue is in time order, so after the wall clock was set back the snapshots stamped later
  // than this one are all at the back.
  while (count_ > 0 && slot(count_ - 1).snapshot.sampledAtUnixMs > stampedAt) popBack();
  pushBack(std::move(stored));

  const std::uint64_t cutoff = saturatingSub(stampedAt, HISTORY_MAX_AGE_MS);
  while (count_ > 0 &&
         (count_ > HISTORY_MAX_SNAPSHOTS || slot(0).snapshot.sampledAtUnixMs < cutoff ||
          totalRecords_ > HISTORY_MAX_RECORDS || totalBytes_ > HISTORY_MAX_BYTES)) {
    popFront();
  }
}

std::vector<const sampling::Snapshot*> SnapshotHistory::selectWindow(std::uint64_t nowMs,
                                                                     std::uint64_t windowMs) const {
  const std::uint64_t window = windowMs < MAX_HISTORY_WINDOW_MS ? windowMs : MAX_HISTORY_WINDOW_MS;
  const std::uint64_t since = saturatingSub(nowMs, window);
  std::vector<const sampling::Snapshot*> selected;
  for (std::size_t i = 0; i < count_; ++i) {
    const sampling::Snapshot& snapshot = slot(i).snapshot;
    // Stamped later than now: taken before the wall clock was set back.
    if (snapshot.sampledAtUnixMs >= since && snapshot.sampledAtUnixMs <= nowMs) {
      selected.push_back(&snapshot);
    }
  }
  return selected;
}

std::size_t SnapshotHistory::size() const { return count_; }
std::uint64_t SnapshotHistory::totalRecords() const { return totalRecords_; }
std::uint64_t SnapshotHistory::totalBytes() const { return totalBytes_; }

void SnapshotHistory::pushBack(Stored stored) {
  if (count_ == slots_.size()) {
    std::vector<Stored> grown(slots_.empty() ? INITIAL_CAPACITY : slots_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i) grown[i] = std::move(slot(i));
    slots_ = std::move(grown);
    head_ = 0;
  }
  totalRecords_ = saturatingAdd(totalRecords_, stored.records);
  totalBytes_ = saturatingAdd(totalBytes_, stored.bytes);
  slot(count_) = std::move(stored);
  ++count_;
}

void SnapshotHistory::popFront() {
  Stored& front = slot(0);
  forget(front);
  front = Stored{};
  head_ = (head_ + 1) & (slots_.size() - 1);
  --count_;
}

void SnapshotHistory::popBack() {
  Stored& back = slot(count_ - 1);
  forget(back);
  back = Stored{};
  --count_;
}

void SnapshotHistory::forget(const Stored& stored) {
  totalRecords_ = saturatingSub(totalRecords_, stored.records);
  totalBytes_ = saturatingSub(totalBytes_, stored.bytes);
}

}  // namespace procsampler::history
