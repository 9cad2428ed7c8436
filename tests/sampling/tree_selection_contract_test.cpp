// What every table source must give tree selection, checked through collectSnapshot. Sources
// join with INSTANTIATE_TEST_SUITE_P over TreeSelectionContract (the Linux and macOS tables do).
#include <gtest/gtest.h>

#include "fakes/process_world.h"

namespace procsampler::testing {
namespace {

using sampling::Pid;
using Pids = std::vector<Pid>;
using Externals = std::vector<sampling::ExternalProcess>;
constexpr std::uint64_t S = 1'700'000'000;  // a start second
constexpr std::uint64_t M = S * 1000;       // its first millisecond
constexpr Pid kAbsent = 9999;               // a root pid no world holds

Pids pidsOf(const sampling::Snapshot& snapshot) {
  Pids pids;
  for (const sampling::ProcessSample& record : snapshot.processes) pids.push_back(record.pid);
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
  const struct { Pid root; sampling::ExternalProcessMap external; Pids pids; Externals matched; }
      rows[] = {
      {kAbsent, {{500, M + 999}}, {500, 501}, {{500, M}}},
      {kAbsent, {{500, M + 1000}}, {}, {}},
      {kAbsent, {{500, M - 1}}, {}, {}},
      {kAbsent, {{600, {}}, {700, {}}, {701, 5}}, {600}, {{600, M + 123'000}}},
      {100, {}, {100, 101, 102}, {}},
      {100, {{100, M + 50'000}}, {100, 101, 102}, {}},
      {100, {{101, {}}, {102, {}}}, {100, 101, 102}, {{101, M + 1000}, {102, M + 2000}}},
      {20, {}, {20, 21, 24}, {}},
      {20, {{22, {}}}, {20, 21, 22, 23, 24}, {{22, M - 1000}}},
      {7, {{7, {}}}, {7, 8}, {{7, M}}},
      {0, {}, {}, {}}};
  // clang-format on
  for (const WorldProcess& process : world) world_->spawn(process);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    const auto snapshot = collect(rows[i].root, rows[i].external);
    EXPECT_EQ(pidsOf(snapshot), rows[i].pids);
    EXPECT_EQ(snapshot.externalProcesses, rows[i].matched);
    EXPECT_EQ(snapshot.scannedProcessCount, std::size(world));
    EXPECT_EQ(snapshot.retainedProcessCount, rows[i].pids.size());
    EXPECT_EQ(snapshot.inaccessibleProcessCount, 0u);
  }
  EXPECT_EQ(collect(100, {}).processes.at(0).command, "/bin/sleep 5");
  world_->spawn({0, 0, S - 5});
  EXPECT_EQ(pidsOf(collect(0, {})), (Pids{0, 3, 4}));
  // 500 reused: the old start no longer matches, and the new holder does not adopt 501.
  world_->spawn({500, 99, S + 100});
  EXPECT_EQ(pidsOf(collect(kAbsent, {{500, M}})), Pids{});
  EXPECT_EQ(pidsOf(collect(kAbsent, {{500, M + 100'000}})), Pids{500});
  world_->exit(500);
  EXPECT_EQ(pidsOf(collect(kAbsent, {{500, M + 100'000}})), Pids{});
}

}  // namespace
}  // namespace procsampler::testing
