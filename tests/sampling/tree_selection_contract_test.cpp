// What every table source must give tree selection, checked through collectSnapshot. Sources
// join with INSTANTIATE_TEST_SUITE_P over TreeSelectionContract (fakes/process_world.h); the
// in-memory table double joins at the bottom of this file.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "fakes/fake_process_table.h"
#include "fakes/process_world.h"

namespace procsampler::testing {
namespace {

using sampling::ExternalProcess;
using sampling::Pid;

constexpr std::uint64_t S = 1'700'000'000;  // a start second
constexpr Pid kAbsent = 9999;               // a root pid no world holds

using Pids = std::vector<Pid>;
using Externals = std::vector<ExternalProcess>;

WorldProcess process(Pid pid, Pid ppid, std::uint64_t startSeconds) {
  return {pid, ppid, startSeconds, "proc", {}};
}

TEST_P(TreeSelectionContract, ExternalStartTimeMatchesWithinTheProcessesSecond) {
  spawn(process(500, 1, S));
  spawn(process(501, 500, S));
  const struct {
    std::uint64_t startTimeMs;
    bool matches;
  } rows[] = {
      {1'700'000'000'000, true},  {1'700'000'000'999, true},  {1'700'000'000'500, true},
      {1'700'000'001'000, false}, {1'699'999'999'999, false}, {0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.startTimeMs);
    const auto snapshot = collect(kAbsent, {{500, row.startTimeMs}});
    if (row.matches) {
      EXPECT_EQ(snapshot.externalProcesses, (Externals{{500, S * 1000}}));
      EXPECT_EQ(pidsOf(snapshot), (Pids{500, 501}));
    } else {
      EXPECT_EQ(snapshot.externalProcesses, Externals{});
      EXPECT_EQ(pidsOf(snapshot), Pids{});
    }
  }
}

TEST_P(TreeSelectionContract, ExternalsAreMatchedByPidAloneWithoutAStartTime) {
  spawn(process(600, 1, S + 123));
  spawn(process(602, 1, S));
  // 700 and 701 are not in the table: skipped without a trace.
  const auto snapshot =
      collect(kAbsent, {{600, std::nullopt}, {602, S * 1000}, {700, std::nullopt}, {701, 5}});
  EXPECT_EQ(snapshot.externalProcesses, (Externals{{600, (S + 123) * 1000}, {602, S * 1000}}));
  EXPECT_EQ(pidsOf(snapshot), (Pids{600, 602}));
}

TEST_P(TreeSelectionContract, RootPidIsAlwaysASeedAndNeverMatchedByStartTime) {
  spawn(process(100, 1, S));
  spawn(process(101, 100, S + 1));
  spawn(process(102, 101, S + 2));
  spawn(process(200, 1, S));
  auto snapshot = collect(100);
  EXPECT_EQ(pidsOf(snapshot), (Pids{100, 101, 102}));
  EXPECT_EQ(snapshot.externalProcesses, Externals{});
  // The root named again as an external with another start: still collected, not listed.
  snapshot = collect(100, {{100, (S + 50) * 1000}});
  EXPECT_EQ(pidsOf(snapshot), (Pids{100, 101, 102}));
  EXPECT_EQ(snapshot.externalProcesses, Externals{});
}

TEST_P(TreeSelectionContract, AProcessReachableManyWaysIsListedOnce) {
  spawn(process(10, 1, S));
  spawn(process(11, 10, S));
  spawn(process(12, 11, S));
  spawn(process(13, 12, S));
  const auto snapshot = collect(10, {{11, std::nullopt}, {12, std::nullopt}, {13, std::nullopt}});
  EXPECT_EQ(pidsOf(snapshot), (Pids{10, 11, 12, 13}));
  EXPECT_EQ(snapshot.externalProcesses.size(), 3u);
  EXPECT_EQ(snapshot.retainedProcessCount, 4u);
}

TEST_P(TreeSelectionContract, AChildThatStartedBeforeItsParentIsNotFollowed) {
  spawn(process(20, 1, S));
  spawn(process(21, 20, S));      // same second: followed
  spawn(process(24, 21, S + 1));  // later: followed
  spawn(process(22, 20, S - 1));  // earlier: a previous holder's child
  spawn(process(23, 22, S + 5));
  EXPECT_EQ(pidsOf(collect(20)), (Pids{20, 21, 24}));
  // 22's own tree is still reachable when 22 is named itself.
  EXPECT_EQ(pidsOf(collect(20, {{22, std::nullopt}})), (Pids{20, 21, 22, 23, 24}));
}

TEST_P(TreeSelectionContract, PidZeroIsTheParentOfParentlessProcesses) {
  spawn(process(1, 0, S));
  spawn(process(3, 1, S + 1));
  spawn(process(4, 0, S));
  // Without a process 0 in the table, seed 0 selects nothing.
  EXPECT_EQ(pidsOf(collect(0)), Pids{});
  spawn(process(0, 0, S));
  spawn(process(2, 0, S - 10));  // started before process 0
  EXPECT_EQ(pidsOf(collect(0)), (Pids{0, 1, 3, 4}));
}

TEST_P(TreeSelectionContract, AProcessThatIsItsOwnParentIsVisitedOnce) {
  spawn(process(7, 7, S));
  spawn(process(8, 7, S));
  const auto snapshot = collect(7, {{7, std::nullopt}});
  EXPECT_EQ(pidsOf(snapshot), (Pids{7, 8}));
  EXPECT_EQ(snapshot.processes[0].ppid, 7u);
}

TEST_P(TreeSelectionContract, AReusedPidNoLongerMatchesTheOldStartTime) {
  spawn(process(30, 1, S));
  spawn(process(31, 30, S));
  const sampling::ExternalProcessMap old = {{30, S * 1000 + 500}};
  EXPECT_EQ(pidsOf(collect(kAbsent, old)), (Pids{30, 31}));

  exit(30);
  auto snapshot = collect(kAbsent, old);
  EXPECT_EQ(snapshot.externalProcesses, Externals{});
  EXPECT_EQ(pidsOf(snapshot), Pids{});

  spawn(process(30, 1, S + 100));
  snapshot = collect(kAbsent, old);
  EXPECT_EQ(snapshot.externalProcesses, Externals{});
  EXPECT_EQ(pidsOf(snapshot), Pids{});
  // The new holder of 30 does not adopt the orphan 31, which started before it.
  snapshot = collect(kAbsent, {{30, (S + 100) * 1000}});
  EXPECT_EQ(snapshot.externalProcesses, (Externals{{30, (S + 100) * 1000}}));
  EXPECT_EQ(pidsOf(snapshot), Pids{30});
}

TEST_P(TreeSelectionContract, RecordsAreSortedCountedAndCarryTheEntry) {
  const Pid scrambled[] = {4000, 41, 3, 900, 77, 12345, 5, 600};
  for (const Pid pid : scrambled) spawn(process(pid, 2, S + 1));
  spawn({2, 0, S, "sleep", {"/bin/sleep", "5"}});
  for (Pid pid = 50000; pid < 50005; ++pid) spawn(process(pid, 0, S));
  const auto snapshot = collect(2);
  EXPECT_EQ(pidsOf(snapshot), (Pids{2, 3, 5, 41, 77, 600, 900, 4000, 12345}));
  EXPECT_EQ(snapshot.scannedProcessCount, 14u);
  EXPECT_EQ(snapshot.retainedProcessCount, 9u);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 0u);
  ASSERT_FALSE(snapshot.processes.empty());
  EXPECT_EQ(snapshot.processes[0].ppid, 0u);
  EXPECT_EQ(snapshot.processes[0].startTimeMs, S * 1000);
  EXPECT_EQ(snapshot.processes[0].command, "/bin/sleep 5");
  EXPECT_EQ(snapshot.processes[1].ppid, 2u);
  EXPECT_EQ(snapshot.processes[1].startTimeMs, (S + 1) * 1000);
}

// The in-memory table double as a world: what the test spawns is what the table lists.
class TableDoubleWorld final : public ProcessWorld {
 public:
  explicit TableDoubleWorld(Clock& clock) : table_(&clock) {}
  void spawn(const WorldProcess& process) override {
    sampling::Process entry = makeProcess(
        process.pid, process.ppid == 0 ? std::nullopt : std::optional<Pid>(process.ppid),
        process.startSeconds, process.name);
    entry.arguments = process.arguments;
    table_.set(std::move(entry));
  }
  void exit(Pid pid) override { table_.remove(pid); }
  sampling::ProcessTable& table() override { return table_; }

 private:
  FakeProcessTable table_;
};

INSTANTIATE_TEST_SUITE_P(TableDouble, TreeSelectionContract,
                         ::testing::Values(ProcessWorldFactory([](Clock& clock) {
                           return std::make_unique<TableDoubleWorld>(clock);
                         })));

}  // namespace
}  // namespace procsampler::testing
