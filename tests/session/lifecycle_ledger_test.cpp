#include "session/lifecycle_ledger.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_darwin_kernel.h"
#include "fakes/fake_process_table.h"
#include "sampling/macos/mac_process_table.h"
#include "sampling/sampler.h"

namespace procsampler::session {
namespace {

using sampling::ProcessSample;
using sampling::ProcessStatusKind;

struct LedgerRig {
  // The process pid, started at `second`, as the table holds it and as a record shows it.
  void live(sampling::Pid pid, std::uint64_t second,
            ProcessStatusKind kind = ProcessStatusKind::Sleep) {
    sampling::Process process;
    process.pid = pid;
    process.status.kind = kind;
    process.start_time_s = second;
    table.set(process);
  }
  static ProcessSample record(sampling::Pid pid, std::uint64_t second,
                              const char* status = "Sleep") {
    ProcessSample sample;
    sample.pid = pid;
    sample.startTimeMs = second * 1000;
    sample.status = status;
    return sample;
  }
  static std::vector<sampling::Pid> pids(const std::vector<ProcessSample>& records) {
    std::vector<sampling::Pid> out;
    for (const ProcessSample& r : records) out.push_back(r.pid);
    return out;
  }
  testing::FakeClock clock;
  testing::FakeProcessTable table{&clock};
  LifecycleLedger ledger;
};

TEST(LifecycleLedger, TellsAZombieOnceWhetherSeenBetweenSnapshotsOrInOne) {
  LedgerRig rig;
  rig.live(10, 5);
  rig.live(11, 5);
  const LifecycleNews first = rig.ledger.afterCollection(
      std::vector{LedgerRig::record(10, 5), LedgerRig::record(11, 5)}, rig.table);
  EXPECT_EQ(LedgerRig::pids(first.started), (std::vector<sampling::Pid>{10, 11}));
  rig.live(11, 5, ProcessStatusKind::Zombie);
  EXPECT_EQ(LedgerRig::pids(rig.ledger.exitsIn(rig.table)), std::vector<sampling::Pid>{11});
  EXPECT_TRUE(rig.ledger.exitsIn(rig.table).empty());
  const LifecycleNews zombie = rig.ledger.afterCollection(
      std::vector{LedgerRig::record(10, 5), LedgerRig::record(11, 5, "Zombie")}, rig.table);
  EXPECT_TRUE(zombie.started.empty() && zombie.exited.empty());
  rig.live(10, 5, ProcessStatusKind::Zombie);  // seen dead first by a snapshot
  const LifecycleNews dead =
      rig.ledger.afterCollection(std::vector{LedgerRig::record(10, 5, "Zombie")}, rig.table);
  EXPECT_EQ(LedgerRig::pids(dead.exited), std::vector<sampling::Pid>{10});
  EXPECT_TRUE(dead.started.empty());
}

TEST(LifecycleLedger, AReusedPidIsAnExitAndAStartWhileLeavingTheTreesAliveIsNeither) {
  LedgerRig rig;
  rig.live(10, 5);
  rig.live(12, 5);
  (void)rig.ledger.afterCollection(std::vector{LedgerRig::record(10, 5), LedgerRig::record(12, 5)},
                                   rig.table);
  rig.live(10, 9);  // 12 is reparented out of the trees, alive
  const LifecycleNews news =
      rig.ledger.afterCollection(std::vector{LedgerRig::record(10, 9)}, rig.table);
  ASSERT_EQ(news.exited.size(), 1u);
  EXPECT_EQ(news.exited[0].startTimeMs, 5000u);
  ASSERT_EQ(news.started.size(), 1u);
  EXPECT_EQ(news.started[0].startTimeMs, 9000u);
  rig.table.remove(12);
  EXPECT_TRUE(rig.ledger.exitsIn(rig.table).empty());  // forgotten, so its exit is not news
}

// The macOS table over the model of xnu: an exit in the trees fires the kqueue the session waits
// on, and the refresh for exits empties it and shows the ledger the exit.
TEST(LifecycleLedger, AMacExitFiresTheKqueueAndTheRefreshForExitsShowsIt) {
  testing::FakeDarwinKernel kernel;
  kernel.spawn({.pid = 1, .ppid = 0});
  kernel.spawn({.pid = 42});
  testing::FakeClock clock;
  sampling::Sampler sampler(std::make_unique<sampling::macos::MacProcessTable>(kernel, clock),
                            clock);
  sampling::refreshTable(sampler);
  LifecycleLedger ledger;
  (void)ledger.afterCollection(sampling::collectRecords(sampler, 1, {}), *sampler.table);
  const std::optional<int> queue = sampler.table->exitSignal();
  ASSERT_TRUE(queue);
  kernel.exit(42);
  EXPECT_TRUE(kernel.readable(*queue));
  sampling::refreshTreesForExits(sampler, 1, {});
  EXPECT_FALSE(kernel.readable(*queue));
  EXPECT_EQ(LedgerRig::pids(ledger.exitsIn(*sampler.table)), std::vector<sampling::Pid>{42});
}

}  // namespace
}  // namespace procsampler::session
