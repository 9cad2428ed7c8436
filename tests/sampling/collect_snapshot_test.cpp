#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_table.h"
#include "sampling/sampler.h"

namespace procsampler::sampling {
namespace {

using namespace std::chrono_literals;
using testing::FakeProcessTable;

// Collects the tree of process 1 from a table whose every refresh takes 50.0015 ms.
struct Rig {
  Rig() {
    table->set(testing::makeProcess(1, std::nullopt, 0));
    table->onRefresh = [this](FakeProcessTable&) { clock.advance(50ms + 1500ns); };
  }
  Snapshot collect() { return collectSnapshot(sampler, 1, {}, std::nullopt); }
  testing::FakeClock clock;
  FakeProcessTable* table = new FakeProcessTable(&clock);  // owned by the sampler
  Sampler sampler{std::unique_ptr<ProcessTable>(table), clock};
};

TEST(CollectSnapshot, SpacesRefreshesFromTheEndOfThePreviousOne) {
  const struct {
    std::chrono::nanoseconds gap;  // from the end of configure's refresh to the first collection
    std::vector<std::chrono::nanoseconds> sleeps;  // of that collection and one right after it
  } rows[] = {
      {0ns, {200ms, 200ms}}, {50ms, {150ms, 200ms}}, {200ms - 1ns, {1ns, 200ms}},
      {200ms, {200ms}},      {5s, {200ms}},          {-1h, {200ms, 200ms}},  // a clock gone back
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.gap.count());
    Rig rig;
    refreshTable(rig.sampler);
    rig.clock.advance(row.gap);
    // The sleep is no part of the duration; the sub-microsecond rest is dropped.
    EXPECT_EQ(rig.collect().collectionDurationMicros, 50'001u);
    rig.collect();
    EXPECT_EQ(rig.clock.sleeps, row.sleeps);
    const auto& at = rig.table->refreshInstants();
    EXPECT_GE(at.at(2) - at.at(1), MIN_REFRESH_SPACING);
  }
}

TEST(CollectSnapshot, NumbersAndStampsEverySnapshot) {
  Rig rig;
  rig.clock.setWall(WallTime(-10s));
  EXPECT_EQ(rig.collect().sampledAtUnixMs, 0u);  // before 1970
  refreshTable(rig.sampler);                     // configure again: the numbering goes on
  rig.clock.setWallMillis(1'700'000'000'123);
  const Snapshot second = collectSnapshot(rig.sampler, 1, {}, "req");
  EXPECT_EQ(second.sequence, 2u);
  EXPECT_EQ(second.sampledAtUnixMs, 1'700'000'000'373u);  // after the sleep and the refresh
  EXPECT_EQ(second.requestId, "req");
  rig.sampler.lastSequence = UINT64_MAX;
  EXPECT_EQ(rig.collect().sequence, UINT64_MAX);
}

TEST(CollectSnapshot, RefreshesTheCandidateTreesAndCompletesTheSelectedProcesses) {
  Rig rig;
  for (const Pid pid : {2u, 3u}) rig.table->set(testing::makeProcess(pid, pid - 1, 0));
  rig.table->set(testing::makeProcess(9, std::nullopt, 0));
  refreshTable(rig.sampler);  // configure's refresh: the whole table, completing nothing
  EXPECT_TRUE(rig.table->treeSeeds.empty() && rig.table->completions.empty());
  // A name is read only now, and 3 turns out to have exited since the refresh.
  rig.table->onComplete = [](FakeProcessTable& table, std::span<const Pid>) {
    table.remove(3);
    table.set(testing::makeProcess(2, 1, 0, "read"));
  };
  rig.table->machineCount = 40;  // a table that left the rest of the machine out
  const Snapshot snapshot = collectSnapshot(rig.sampler, 1, {{7, 5}, {9, {}}}, std::nullopt);
  EXPECT_EQ(rig.table->treeSeeds, (std::vector<std::vector<Pid>>{{1, 7, 9}}));
  EXPECT_EQ(rig.table->completions, (std::vector<std::vector<Pid>>{{9, 1, 2, 3}}));
  EXPECT_EQ(snapshot.processes.at(1).name, "read");
  // Scanned counts the machine the refresh saw; the selected process gone since is inaccessible.
  EXPECT_EQ(snapshot.scannedProcessCount, 40u);
  EXPECT_EQ(snapshot.retainedProcessCount, 3u);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 1u);
}

}  // namespace
}  // namespace procsampler::sampling
