#include "history/snapshot_history.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace procsampler::history {
namespace {

using sampling::ExternalProcess;
using sampling::ProcessSample;
using sampling::Snapshot;

Snapshot snapshotAt(std::uint64_t sampledAtMs, std::size_t processes = 0,
                    std::size_t externals = 0) {
  Snapshot snapshot;
  snapshot.sequence = sampledAtMs;  // tells stored snapshots apart when stamps repeat
  snapshot.sampledAtUnixMs = sampledAtMs;
  for (std::size_t i = 0; i < processes; ++i) {
    ProcessSample record;
    record.pid = static_cast<std::uint32_t>(i);
    snapshot.processes.push_back(record);
  }
  for (std::size_t i = 0; i < externals; ++i) {
    snapshot.externalProcesses.push_back({static_cast<std::uint32_t>(i), 1000});
  }
  return snapshot;
}

// A snapshot of one record whose estimated size is exactly `bytes` (at least 288).
Snapshot snapshotOfBytes(std::uint64_t sampledAtMs, std::uint64_t bytes) {
  Snapshot snapshot = snapshotAt(sampledAtMs, 1);
  snapshot.processes[0].command.assign(bytes - 288, 'c');
  return snapshot;
}

// The stamps of the last hour up to nowMs, which the tests pick to cover everything stored.
std::vector<std::uint64_t> stamps(const SnapshotHistory& history, std::uint64_t nowMs) {
  std::vector<std::uint64_t> out;
  for (const Snapshot* s : history.selectWindow(nowMs, MAX_HISTORY_WINDOW_MS)) {
    out.push_back(s->sampledAtUnixMs);
  }
  return out;
}

std::vector<std::uint64_t> sequences(const std::vector<const Snapshot*>& selected) {
  std::vector<std::uint64_t> out;
  for (const Snapshot* s : selected) out.push_back(s->sequence);
  return out;
}

TEST(SnapshotHistorySize, EstimatesTextsAndCountsRecords) {
  Snapshot snapshot = snapshotAt(0);
  EXPECT_EQ(estimatedBytes(snapshot), 144u);
  EXPECT_EQ(recordCount(snapshot), 0u);
  ProcessSample record;
  record.name = "ab";
  record.command = "abc";
  record.status = "Run";
  snapshot.processes.push_back(record);
  snapshot.processes.push_back(ProcessSample{});
  snapshot.externalProcesses = {{1, 1000}, {2, std::nullopt}};
  EXPECT_EQ(estimatedBytes(snapshot), 144u + (144 + 2 + 3 + 3) + 144 + 2 * 24);
  EXPECT_EQ(recordCount(snapshot), 4u);
}

TEST(SnapshotHistoryAppend, StoresACopyWithoutTheRequestId) {
  SnapshotHistory history;
  Snapshot snapshot = snapshotAt(5000, 2, 1);
  snapshot.requestId = "req-7";
  history.append(snapshot);
  const auto selected = history.selectWindow(5000, 0);
  ASSERT_EQ(selected.size(), 1u);
  EXPECT_EQ(selected[0]->requestId, std::nullopt);
  snapshot.requestId.reset();
  EXPECT_EQ(*selected[0], snapshot);
  EXPECT_EQ(history.totalRecords(), 3u);
  EXPECT_EQ(history.totalBytes(), estimatedBytes(snapshot));
}

TEST(SnapshotHistoryAppend, KeepsEveryBoundWithItsExactEdge) {
  const std::uint64_t base = 1'700'000'000'000;
  {
    SCOPED_TRACE("age: exactly one hour older stays, a millisecond more goes");
    SnapshotHistory history;
    history.append(snapshotAt(base - 1));
    history.append(snapshotAt(base));
    history.append(snapshotAt(base + HISTORY_MAX_AGE_MS));
    EXPECT_EQ(stamps(history, base + HISTORY_MAX_AGE_MS),
              (std::vector<std::uint64_t>{base, base + HISTORY_MAX_AGE_MS}));
  }
  {
    SCOPED_TRACE("age: the cutoff does not go below the epoch");
    SnapshotHistory history;
    history.append(snapshotAt(0));
    history.append(snapshotAt(1000));
    EXPECT_EQ(history.size(), 2u);
  }
  {
    SCOPED_TRACE("count: the 3601st append drops the oldest");
    SnapshotHistory history;
    for (std::uint64_t i = 0; i < HISTORY_MAX_SNAPSHOTS; ++i) history.append(snapshotAt(base + i));
    EXPECT_EQ(history.size(), 3600u);
    history.append(snapshotAt(base + 3600));
    EXPECT_EQ(history.size(), 3600u);
    EXPECT_EQ(stamps(history, base + 3600).front(), base + 1);
  }
  {
    SCOPED_TRACE("records: 200 snapshots of 100 stay, the 201st drops the oldest");
    SnapshotHistory history;
    for (std::uint64_t i = 0; i < 200; ++i) history.append(snapshotAt(base + i, 60, 40));
    EXPECT_EQ(history.size(), 200u);
    EXPECT_EQ(history.totalRecords(), 20000u);
    history.append(snapshotAt(base + 200, 60, 40));
    EXPECT_EQ(history.size(), 200u);
    EXPECT_EQ(history.totalRecords(), 20000u);
    EXPECT_EQ(stamps(history, base + 200).front(), base + 1);
  }
  {
    SCOPED_TRACE("bytes: exactly 64 MiB stays, one byte more drops the oldest");
    SnapshotHistory history;
    constexpr std::uint64_t kMiB = 1 << 20;
    for (std::uint64_t i = 0; i < 63; ++i) history.append(snapshotOfBytes(base + i, kMiB));
    history.append(snapshotOfBytes(base + 63, kMiB));
    EXPECT_EQ(history.size(), 64u);
    EXPECT_EQ(history.totalBytes(), HISTORY_MAX_BYTES);
    history.append(snapshotOfBytes(base + 64, 288));
    EXPECT_EQ(history.size(), 64u);
    EXPECT_EQ(history.totalBytes(), HISTORY_MAX_BYTES - kMiB + 288);
    EXPECT_EQ(stamps(history, base + 64).front(), base + 1);
  }
}

TEST(SnapshotHistoryAppend, AnOversizeSnapshotEmptiesTheHistory) {
  const struct {
    const char* label;
    Snapshot (*make)();
  } rows[] = {
      {"more than 20000 records", [] { return snapshotAt(10'000, 20000, 1); }},
      {"above 64 MiB", [] { return snapshotOfBytes(10'000, HISTORY_MAX_BYTES + 1); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    SnapshotHistory history;
    history.append(snapshotAt(9'000, 3));
    history.append(row.make());
    EXPECT_EQ(history.size(), 0u);
    EXPECT_EQ(history.totalRecords(), 0u);
    EXPECT_EQ(history.totalBytes(), 0u);
    EXPECT_TRUE(history.selectWindow(10'000, MAX_HISTORY_WINDOW_MS).empty());
    // It recovers: the next ordinary snapshot is kept.
    history.append(snapshotAt(11'000, 1));
    EXPECT_EQ(history.size(), 1u);
    EXPECT_EQ(history.totalRecords(), 1u);
  }
}

TEST(SnapshotHistoryAppend, AClockSetBackDropsTheLaterSnapshots) {
  SnapshotHistory history;
  for (const std::uint64_t at : {1000u, 2000u, 2000u, 3000u, 4000u})
    history.append(snapshotAt(at, 1));
  history.append(snapshotAt(2000, 2));
  EXPECT_EQ(stamps(history, 5000), (std::vector<std::uint64_t>{1000, 2000, 2000, 2000}));
  EXPECT_EQ(history.totalRecords(), 1u + 1 + 1 + 2);
  EXPECT_EQ(history.totalBytes(),
            3 * estimatedBytes(snapshotAt(0, 1)) + estimatedBytes(snapshotAt(0, 2)));
  history.append(snapshotAt(10));
  EXPECT_EQ(stamps(history, 5000), (std::vector<std::uint64_t>{10}));
  EXPECT_EQ(history.totalRecords(), 0u);
  EXPECT_EQ(history.totalBytes(), 144u);
}

TEST(SnapshotHistorySelect, TakesTheClampedWindowWithBothEndsIncluded) {
  const std::uint64_t now = 10'000'000;
  SnapshotHistory history;
  for (const std::uint64_t at : {now - HISTORY_MAX_AGE_MS, now - 1001, now - 1000, now - 1, now}) {
    history.append(snapshotAt(at));
  }
  ASSERT_EQ(history.size(), 5u);
  const struct {
    const char* label;
    std::uint64_t now;
    std::uint64_t windowMs;
    std::vector<std::uint64_t> expected;
  } rows[] = {
      {"window of 1000 includes its start", now, 1000, {now - 1000, now - 1, now}},
      {"zero window: exactly now", now, 0, {now}},
      {"zero window, nothing at now", now - 2, 0, {}},
      {"one hour reaches the oldest",
       now,
       HISTORY_MAX_AGE_MS,
       {now - HISTORY_MAX_AGE_MS, now - 1001, now - 1000, now - 1, now}},
      {"one hour minus one excludes the oldest",
       now,
       HISTORY_MAX_AGE_MS - 1,
       {now - 1001, now - 1000, now - 1, now}},
      {"window above one hour is one hour",
       now + 1,
       10 * HISTORY_MAX_AGE_MS,
       {now - 1001, now - 1000, now - 1, now}},
      {"later than now is skipped after a set-back",
       now - 1,
       5000,
       {now - 1001, now - 1000, now - 1}},
      {"now before the window length: since is 0", 5000, 1'000'000, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(sequences(history.selectWindow(row.now, row.windowMs)), row.expected);
  }
  SnapshotHistory early;
  early.append(snapshotAt(0));
  early.append(snapshotAt(30));
  EXPECT_EQ(sequences(early.selectWindow(20, 1000)), (std::vector<std::uint64_t>{0}));
}

TEST(SnapshotHistoryQueue, KeepsOrderAndTotalsThroughWrapGrowthAndRemovals) {
  SnapshotHistory history;
  std::vector<std::uint64_t> expected;
  std::uint64_t at = 0;
  auto append = [&](std::uint64_t stamp, std::size_t records) {
    history.append(snapshotAt(stamp, records));
    at = stamp;
  };
  // A thousand seconds apart: the age bound keeps the newest four, so the oldest leaves at each
  // append and the ring's start walks around the initial four slots.
  for (int i = 0; i < 9; ++i) append(at + 1'000'000, 1);
  EXPECT_EQ(stamps(history, at),
            (std::vector<std::uint64_t>{6'000'000, 7'000'000, 8'000'000, 9'000'000}));
  // Closer together: the ring grows twice while its start is not at slot 0.
  for (std::uint64_t i = 1; i <= 10; ++i) append(9'000'000 + i, 2);
  expected = {6'000'000, 7'000'000, 8'000'000, 9'000'000};
  for (std::uint64_t i = 1; i <= 10; ++i) expected.push_back(9'000'000 + i);
  EXPECT_EQ(stamps(history, at), expected);
  EXPECT_EQ(history.totalRecords(), 4u + 20);
  // Set back: the later ones leave from the back, then the queue grows again past them.
  append(9'000'003, 3);
  expected.resize(7);
  expected.push_back(9'000'003);
  EXPECT_EQ(stamps(history, at), expected);
  EXPECT_EQ(history.totalRecords(), 4u + 6 + 3);
  for (std::uint64_t i = 4; i < 40; ++i) {
    append(9'000'000 + i, 1);
    expected.push_back(9'000'000 + i);
  }
  EXPECT_EQ(stamps(history, at), expected);
  EXPECT_EQ(history.size(), expected.size());
  EXPECT_EQ(history.totalRecords(), 4u + 6 + 3 + 36);
  // Age bound again drops the front across the grown ring.
  append(9'000'039 + HISTORY_MAX_AGE_MS - 2'000'000, 1);
  EXPECT_EQ(stamps(history, at).front(), 8'000'000u);
  EXPECT_EQ(history.totalRecords(), 4u + 6 + 3 + 36 + 1 - 2);
}

}  // namespace
}  // namespace procsampler::history
