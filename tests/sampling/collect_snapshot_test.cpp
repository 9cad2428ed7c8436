#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_table.h"
#include "sampling/sampler.h"

namespace procsampler::sampling {
namespace {

using namespace std::chrono_literals;
using procsampler::testing::FakeClock;
using procsampler::testing::FakeProcessTable;
using procsampler::testing::makeProcess;

class CollectSnapshot : public ::testing::Test {
 protected:
  CollectSnapshot() {
    auto owned = std::make_unique<FakeProcessTable>(&clock_);
    table_ = owned.get();
    sampler_ = std::make_unique<Sampler>(std::move(owned), clock_);
    table_->set(makeProcess(1, std::nullopt, 100, "init"));
  }

  Snapshot collect(std::optional<std::string> requestId = std::nullopt) {
    return collectSnapshot(*sampler_, 1, {}, std::move(requestId));
  }

  FakeClock clock_;
  FakeProcessTable* table_;  // owned by the sampler
  std::unique_ptr<Sampler> sampler_;
};

TEST_F(CollectSnapshot, WaitsOnlyForTheRestOfTheSpacingSinceTheLastRefresh) {
  const struct {
    const char* label;
    bool refreshedBefore;
    std::chrono::nanoseconds gap;  // from the previous refresh to the collection
    std::vector<std::chrono::nanoseconds> sleeps;
  } rows[] = {
      {"never refreshed", false, 0ns, {}},
      {"right after configure's refresh", true, 0ns, {200ms}},
      {"50 ms after", true, 50ms, {150ms}},
      {"1 ns short", true, 200ms - 1ns, {1ns}},
      {"exactly 200 ms after", true, 200ms, {}},
      {"well after", true, 5s, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    FakeClock clock;
    auto owned = std::make_unique<FakeProcessTable>(&clock);
    FakeProcessTable& table = *owned;
    Sampler sampler(std::move(owned), clock);
    if (row.refreshedBefore) refreshTable(sampler);
    clock.advance(row.gap);
    collectSnapshot(sampler, 1, {}, std::nullopt);
    EXPECT_EQ(clock.sleeps, row.sleeps);
    if (row.refreshedBefore) {
      ASSERT_EQ(table.refreshCount(), 2u);
      EXPECT_GE(table.refreshInstants()[1] - table.refreshInstants()[0], MIN_REFRESH_SPACING);
    }
  }
}

TEST_F(CollectSnapshot, SpacingCountsFromTheEndOfTheRefreshAndToleratesAClockBehind) {
  // A refresh that takes 50 ms: the next one may start only 200 ms after it ended.
  table_->onRefresh = [this](FakeProcessTable&) { clock_.advance(50ms); };
  refreshTable(*sampler_);
  EXPECT_EQ(sampler_->lastRefreshAt, clock_.monotonicNow());
  collect();
  collect();
  EXPECT_EQ(clock_.sleeps, (std::vector<std::chrono::nanoseconds>{200ms, 200ms}));
  const auto& at = table_->refreshInstants();
  ASSERT_EQ(at.size(), 3u);
  EXPECT_EQ(at[1] - at[0], 250ms);
  EXPECT_EQ(at[2] - at[1], 250ms);

  // A last refresh that appears to lie in the future counts as just now.
  clock_.sleeps.clear();
  sampler_->lastRefreshAt = clock_.monotonicNow() + 1h;
  collect();
  EXPECT_EQ(clock_.sleeps, (std::vector<std::chrono::nanoseconds>{200ms}));
}

TEST_F(CollectSnapshot, DurationCoversTheWorkButNotTheSleep) {
  table_->onRefresh = [this](FakeProcessTable&) { clock_.advance(7ms + 1500ns); };
  refreshTable(*sampler_);
  const Snapshot snapshot = collect();
  ASSERT_EQ(clock_.sleeps.size(), 1u);
  EXPECT_EQ(snapshot.collectionDurationMicros, 7001u);
}

TEST_F(CollectSnapshot, StampsWallClockMillisecondsAtTheEnd) {
  const struct {
    const char* label;
    std::chrono::nanoseconds wallBeforeRefresh;  // since the epoch
    std::uint64_t expected;
  } rows[] = {
      {"whole milliseconds plus the refresh", 1'700'000'000'123ms, 1'700'000'000'128},
      {"sub-millisecond part dropped", 1'234'567'891ns, 1'239},
      {"epoch", 0ns, 5},
      {"before 1970", -10s, 0},
  };
  table_->onRefresh = [this](FakeProcessTable&) { clock_.advance(5ms); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    clock_.advance(1s);  // no spacing sleep to move the wall clock
    clock_.setWall(WallTime(std::chrono::duration_cast<WallTime::duration>(row.wallBeforeRefresh)));
    EXPECT_EQ(collect().sampledAtUnixMs, row.expected);
  }
}

TEST_F(CollectSnapshot, NumbersEverySnapshotAndSaturates) {
  EXPECT_EQ(collect().sequence, 1u);
  refreshTable(*sampler_);  // configure again: the numbering goes on
  EXPECT_EQ(collect("req").sequence, 2u);
  EXPECT_EQ(collect().sequence, 3u);
  sampler_->lastSequence = std::numeric_limits<std::uint64_t>::max() - 1;
  EXPECT_EQ(collect().sequence, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(collect().sequence, std::numeric_limits<std::uint64_t>::max());
}

TEST_F(CollectSnapshot, PassesTheRequestIdThrough) {
  EXPECT_EQ(collect("abc").requestId, "abc");
  EXPECT_EQ(collect().requestId, std::nullopt);
}

TEST_F(CollectSnapshot, SortsRecordsAndCountsTheWholeTable) {
  // A tree under 1 inserted in scrambled order, and unrelated processes that are scanned only.
  for (const Pid pid : {907u, 13u, 400u, 2u, 65000u, 31u}) table_->set(makeProcess(pid, 1, 200));
  table_->set(makeProcess(70000, 907, 300, "grandchild"));
  for (Pid pid = 5000; pid < 5010; ++pid) table_->set(makeProcess(pid, std::nullopt, 50));
  const Snapshot snapshot = collect();
  std::vector<Pid> pids;
  for (const ProcessSample& record : snapshot.processes) pids.push_back(record.pid);
  EXPECT_EQ(pids, (std::vector<Pid>{1, 2, 13, 31, 400, 907, 65000, 70000}));
  EXPECT_EQ(snapshot.processes.back().name, "grandchild");
  EXPECT_EQ(snapshot.processes.back().ppid, 907u);
  EXPECT_EQ(snapshot.scannedProcessCount, 18u);
  EXPECT_EQ(snapshot.retainedProcessCount, 8u);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 0u);
  EXPECT_TRUE(snapshot.externalProcesses.empty());
}

TEST_F(CollectSnapshot, SeesTheTableAsTheRefreshLeftIt) {
  // A process that appears during the refresh is collected; one that exits during it is not.
  table_->set(makeProcess(2, 1, 100));
  table_->onRefresh = [](FakeProcessTable& table) {
    table.remove(2);
    table.set(makeProcess(3, 1, 100));
  };
  const Snapshot snapshot = collect();
  ASSERT_EQ(snapshot.processes.size(), 2u);
  EXPECT_EQ(snapshot.processes[1].pid, 3u);
  EXPECT_EQ(snapshot.scannedProcessCount, 2u);

  // An emptied table (a failed listing) is no error, just an empty snapshot.
  table_->onRefresh = [](FakeProcessTable& table) { table.clear(); };
  const Snapshot empty = collect();
  EXPECT_EQ(empty.scannedProcessCount, 0u);
  EXPECT_TRUE(empty.processes.empty());
}

TEST_F(CollectSnapshot, CompletesTheSelectedProcessesBeforeBuildingTheirRecords) {
  table_->set(makeProcess(2, 1, 100));
  table_->set(makeProcess(3, 2, 100));
  table_->set(makeProcess(9, std::nullopt, 100, "unselected"));
  refreshTable(*sampler_);  // configure's refresh reports nothing, so completes nothing
  EXPECT_TRUE(table_->completions.empty());

  // Details are read only now; process 3 turns out to have exited since the refresh.
  table_->onComplete = [](FakeProcessTable& table, std::span<const Pid> pids) {
    for (const Pid pid : pids) {
      if (pid == 3) {
        table.remove(pid);
      } else if (const Process* process = table.find(pid)) {
        Process completed = *process;
        completed.name = "completed";
        table.set(completed);
      }
    }
  };
  const Snapshot snapshot = collect();
  ASSERT_EQ(table_->completions.size(), 1u);
  std::vector<Pid> completed = table_->completions[0];
  std::sort(completed.begin(), completed.end());
  EXPECT_EQ(completed, (std::vector<Pid>{1, 2, 3}));
  ASSERT_EQ(snapshot.processes.size(), 2u);
  EXPECT_EQ(snapshot.processes[0].name, "completed");
  EXPECT_EQ(snapshot.processes[1].name, "completed");
  // Scanned counts what the refresh saw; the selected process gone since is inaccessible.
  EXPECT_EQ(snapshot.scannedProcessCount, 4u);
  EXPECT_EQ(snapshot.retainedProcessCount, 2u);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 1u);
}

}  // namespace
}  // namespace procsampler::sampling
