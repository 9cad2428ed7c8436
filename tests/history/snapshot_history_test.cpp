#include "history/snapshot_history.h"

#include <gtest/gtest.h>

#include <tuple>

namespace procsampler::history {
namespace {

using sampling::Snapshot;
using std::uint64_t;
using Stamps = std::vector<uint64_t>;
constexpr uint64_t kHour = HISTORY_MAX_AGE_MS;
constexpr uint64_t kBase = 1'700'000'000'000;

// Each record is estimated at 144 bytes, plus commandBytes for the first one.
Snapshot at(uint64_t ms, std::size_t records = 0, std::size_t commandBytes = 0) {
  Snapshot snapshot;
  snapshot.sampledAtUnixMs = ms;
  snapshot.processes.resize(records);
  if (records > 0) snapshot.processes[0].command.assign(commandBytes, 'c');
  return snapshot;
}

Stamps stamps(const SnapshotHistory& history, uint64_t nowMs, uint64_t windowMs = kHour) {
  Stamps out;
  for (const Snapshot* s : history.selectWindow(nowMs, windowMs)) out.push_back(s->sampledAtUnixMs);
  return out;
}

TEST(SnapshotHistory, StoresACopyWithoutTheRequestIdAndCountsItsEstimatedSize) {
  Snapshot snapshot = at(5000, 2, 3);
  snapshot.processes[0].name = "ab";
  snapshot.processes[0].status = "Run";
  snapshot.externalProcesses = {{1, 1000}, {2, std::nullopt}};
  snapshot.requestId = "req-7";
  SnapshotHistory history;
  history.append(snapshot);
  snapshot.requestId.reset();
  EXPECT_EQ(*history.selectWindow(5000, 0).at(0), snapshot);
  EXPECT_EQ(history.totalRecords(), 4u);
  EXPECT_EQ(history.totalBytes(), 144u + (144 + 2 + 3 + 3) + 144 + 2 * 24);
}

TEST(SnapshotHistory, DropsTheOldestOnceABoundIsExceeded) {
  SnapshotHistory count;
  for (uint64_t i = 0; i <= HISTORY_MAX_SNAPSHOTS; ++i) count.append(at(kBase + i));
  EXPECT_EQ(stamps(count, kBase + 3600).at(0), kBase + 1);

  SnapshotHistory records;
  for (uint64_t i = 0; i <= 200; ++i) records.append(at(kBase + i, 100));
  EXPECT_EQ(records.totalRecords(), 20000u);
  records.append(at(kBase + 201, 20001));  // too big alone: removed by its own append
  EXPECT_EQ(records.size() + records.totalRecords() + records.totalBytes(), 0u);

  SnapshotHistory bytes;  // 288 + (64 MiB - 288) is exactly the bound; the third append crosses it
  for (uint64_t i = 0; i < 3; ++i) bytes.append(at(i, 1, i == 1 ? HISTORY_MAX_BYTES - 576 : 0));
  EXPECT_EQ(stamps(bytes, 2), (Stamps{1, 2}));
  EXPECT_EQ(bytes.totalBytes(), HISTORY_MAX_BYTES);
}

TEST(SnapshotHistory, SelectsTheClampedWindowFromWhatTheAgeBoundKept) {
  SnapshotHistory history;  // the oldest is one ms past the hour, so the newest drops it
  for (const uint64_t ago : Stamps{kHour + 1, kHour, 1000, 1, 0}) history.append(at(kBase - ago));
  const std::tuple<uint64_t, uint64_t, Stamps> rows[] = {
      {kBase, 1000, {kBase - 1000, kBase - 1, kBase}},
      {kBase, 0, {kBase}},
      {kBase, kHour, {kBase - kHour, kBase - 1000, kBase - 1, kBase}},
      {kBase + 1, 10 * kHour, {kBase - 1000, kBase - 1, kBase}},
      {kBase - 1, kHour, {kBase - kHour, kBase - 1000, kBase - 1}},  // later than now: set back
  };
  for (const auto& [now, window, want] : rows) EXPECT_EQ(stamps(history, now, window), want);
}

TEST(SnapshotHistory, KeepsOrderAndTotalsAsTheRingWrapsGrowsAndLosesBothEnds) {
  SnapshotHistory history;
  // A million ms apart the age bound keeps four, so the front walks round the ring and the back
  // wraps; the set-back to 7 s removes across the wrap (an equal stamp stays), then the ring grows
  // with its front mid-buffer.
  for (uint64_t i = 1; i <= 9; ++i) history.append(at(i * 1'000'000, 1));
  history.append(at(7'000'000, 2));
  Stamps expected{6'000'000, 7'000'000, 7'000'000};
  for (uint64_t i = 1; i <= 10; ++i) history.append(at(expected.emplace_back(7'000'000 + i), 1));
  EXPECT_EQ(stamps(history, 7'000'010), expected);
  EXPECT_EQ(history.totalRecords(), 14u);
  history.append(at(5));  // set back before everything
  EXPECT_EQ(stamps(history, 5), Stamps{5});
  EXPECT_EQ(history.totalBytes(), 144u);
}

}  // namespace
}  // namespace procsampler::history
