// Collection above the table contract: its spacing, numbering and completion over an in-memory
// table, and the tree-selection contract that every table source must meet, checked through
// collectSnapshot (sources join with INSTANTIATE_TEST_SUITE_P over TreeSelectionContract, as the
// /proc table does in each of its ways of finding children; the macOS table's walk is held to what
// its full read reports instead).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_table.h"
#include "fakes/process_world.h"
#include "sampling/sampler.h"

namespace procsampler::sampling {
namespace {

using namespace std::chrono_literals;
using testing::FakeProcessTable, testing::TreeSelectionContract, testing::WorldProcess;
using Pids = std::vector<Pid>;
using Externals = std::vector<ExternalProcess>;

// Collects the tree of process 1 from a table whose every refresh takes 50.0015 ms.
struct Rig {
  Rig() {
    table->set({1, std::nullopt, "proc", {}, {}});
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
  }
}

TEST(CollectSnapshot, NumbersAndStampsEverySnapshot) {
  Rig rig;
  rig.clock.setWall(WallTime(-10s));
  EXPECT_EQ(rig.collect().sampledAtUnixMs, 0u);  // before 1970
  refreshTable(rig.sampler);                     // configure again: the numbering goes on
  rig.clock.setWall(WallTime(1'700'000'000'123ms));
  const Snapshot second = collectSnapshot(rig.sampler, 1, {}, "req");
  // Stamped after the sleep and the refresh.
  EXPECT_EQ(std::tuple(second.sequence, second.sampledAtUnixMs, second.requestId),
            std::tuple(2u, 1'700'000'000'373u, "req"));
  rig.sampler.lastSequence = UINT64_MAX;
  EXPECT_EQ(rig.collect().sequence, UINT64_MAX);
}

TEST(CollectSnapshot, CompletesTheSelectedProcessesAndCountsThoseGoneSinceTheRefresh) {
  Rig rig;
  for (const Pid pid : {2u, 3u}) rig.table->set({pid, pid - 1, "proc", {}, {}});
  rig.table->set({9, std::nullopt, "proc", {}, {}});
  refreshTable(rig.sampler);  // configure's refresh: the whole table, completing nothing
  rig.table->onComplete = [](FakeProcessTable& table) { table.remove(3); };  // 3 has exited
  const Snapshot snapshot = collectSnapshot(rig.sampler, 1, {{7, 5}, {9, {}}}, std::nullopt);
  EXPECT_EQ(rig.table->completions, (std::vector<Pids>{{9, 1, 2, 3}}));
  EXPECT_EQ(std::tuple(snapshot.retainedProcessCount, snapshot.inaccessibleProcessCount),
            std::tuple(3u, 1u));
}

TEST(CollectSnapshot, CutsTheLongestCommandsToOneLengthOnceTheTextsPassTheirBound) {
  // 16 KiB commands: under the bound the texts stay whole; over it each keeps the same share.
  for (const Pid count : {500u, 600u}) {
    SCOPED_TRACE(count);
    Rig rig;
    rig.table->set({1, std::nullopt, "proc", {"short"}, {}});
    for (Pid pid = 2; pid <= count; ++pid) {
      rig.table->set({pid, 1, "proc", {std::string(MAX_COMMAND_BYTES, '\x01')}, {}});
    }
    const Snapshot snapshot = rig.collect();
    std::size_t texts = 0;
    for (const ProcessSample& r : snapshot.processes) texts += r.name.size() + r.command.size();
    const std::size_t cut = snapshot.processes.back().command.size();
    EXPECT_EQ(snapshot.processes.front().command, "short");
    EXPECT_EQ(snapshot.processes.at(1).command.size(), cut);
    // Over the bound, as near it as one common length gets.
    EXPECT_TRUE(count == 500 ? cut == MAX_COMMAND_BYTES : texts + count > SNAPSHOT_MAX_TEXT_BYTES)
        << cut << " " << texts;
    EXPECT_LE(texts, SNAPSHOT_MAX_TEXT_BYTES);
  }
}

constexpr std::uint64_t S = 1'700'000'000;  // a start second
constexpr std::uint64_t M = S * 1000;       // its first millisecond
constexpr Pid kAbsent = 9999;               // a root pid no world holds

Pids pidsOf(const Snapshot& snapshot) {
  Pids pids;
  for (const ProcessSample& record : snapshot.processes) pids.push_back(record.pid);
  return pids;
}

TEST_P(TreeSelectionContract, SelectsTheRootsTreeAndTheMatchingExternalsTrees) {
  // Trees under a parent 99 that no world holds, spawned out of order so the sort shows;
  // 22 started before its parent 20, 5 before the process 0 spawned at the end.
  // clang-format off
  const WorldProcess world[] = {
      {101, 100, S + 1}, {100, 99, S, "sleep", {"/bin/sleep", "5"}}, {102, 101, S + 2},
      {501, 500, S}, {500, 99, S}, {600, 99, S + 123}, {7, 7, S}, {8, 7, S}, {5, 0, S - 10},
      {3, 0, S}, {4, 3, S + 1}, {24, 21, S + 1}, {20, 99, S}, {21, 20, S}, {22, 20, S - 1},
      {23, 22, S + 5}};
  const struct { Pid root; ExternalProcessMap external; Pids pids; Externals matched; } rows[] = {
      {kAbsent, {{500, M + 999}}, {500, 501}, {{500, M}}}, {kAbsent, {{500, M + 1000}}, {}, {}},
      {kAbsent, {{500, M - 1}}, {}, {}},
      {kAbsent, {{600, {}}, {700, {}}, {701, 5}}, {600}, {{600, M + 123'000}}},
      {100, {}, {100, 101, 102}, {}}, {100, {{100, M + 50'000}}, {100, 101, 102}, {}},
      {100, {{101, {}}, {102, {}}}, {100, 101, 102}, {{101, M + 1000}, {102, M + 2000}}},
      {20, {}, {20, 21, 24}, {}}, {20, {{22, {}}}, {20, 21, 22, 23, 24}, {{22, M - 1000}}},
      {7, {{7, {}}}, {7, 8}, {{7, M}}}, {0, {}, {}, {}}};
  // clang-format on
  for (const WorldProcess& process : world) world_->spawn(process);
  for (const auto& [root, external, pids, matched] : rows) {
    const Snapshot got = collect(root, external);
    EXPECT_EQ(std::tuple(pidsOf(got), got.externalProcesses, got.scannedProcessCount),
              std::tuple(pids, matched, std::size(world)))
        << root << " with " << external.size() << " external";
  }
  EXPECT_EQ(collect(100, {}).processes.at(0).command, "/bin/sleep 5");
  world_->spawn({0, 0, S - 5});
  EXPECT_EQ(pidsOf(collect(0, {})), (Pids{0, 3, 4}));
  // 500 reused: the new holder matches by its own start, and does not adopt 501.
  world_->spawn({500, 99, S + 100});
  EXPECT_EQ(pidsOf(collect(kAbsent, {{500, M + 100'000}})), Pids{500});
  world_->exit(500);
  EXPECT_EQ(pidsOf(collect(kAbsent, {{500, M + 100'000}})), Pids{});
}

}  // namespace
}  // namespace procsampler::sampling
