#include "session/lifecycle_ledger.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_darwin_kernel.h"
#include "fakes/fake_process_table.h"
#include "fakes/recording_sink.h"
#include "protocol/command_decoder.h"
#include "sampling/macos/mac_process_table.h"
#include "sampling/sampler.h"
#include "session/handle_message.h"

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

// The lifecycle events in a session's output, as "type pid".
std::vector<std::string> events(const std::string& output) {
  static constexpr std::string_view TYPE = R"("type":"process)";
  static constexpr std::string_view PID = R"(","pid":)";
  std::vector<std::string> found;
  for (std::size_t at = output.find(TYPE); at != std::string::npos; at = output.find(TYPE, at)) {
    const std::size_t name = at + TYPE.size() - std::string_view("process").size();
    const std::size_t pid = output.find(PID, name);
    if (pid == std::string::npos) break;
    const std::size_t digits = pid + PID.size();
    found.push_back(output.substr(name, pid - name) + " " +
                    output.substr(digits, output.find_first_not_of("0123456789", digits) - digits));
    at = digits;
  }
  return found;
}

// On the model of xnu, an exit or a fork in the trees fires the kqueue and the wake's check tells
// the exit, then the child's start, without a snapshot; a child dead before the check is told of
// neither way, and an exit alone costs no collection (no arguments read).
TEST(LifecycleLedger, AMacExitOrForkFiresTheKqueueAndTheWakesCheckTellsIt) {
  testing::FakeDarwinKernel kernel;
  kernel.spawn({.pid = 1, .ppid = 0});
  kernel.spawn({.pid = 42});
  kernel.spawn({.pid = 50});
  testing::FakeClock clock;
  testing::RecordingSink sink;
  protocol::EventWriter writer{sink, 3};
  sampling::Sampler sampler(std::make_unique<sampling::macos::MacProcessTable>(kernel, clock),
                            clock);
  history::SnapshotHistory history;
  SessionContext session{writer, sampler, history, clock, {}, {}};
  const auto configure = protocol::decodeCommand(
      R"({"type":"configure","version":3,"rootPid":1,"sampleIntervalMs":0,"lifecycle":true})");
  ASSERT_TRUE(handleMessage(session, configure.value()).hasValue());
  const int queue = sampler.table->exitSignal().value();
  sink.output.clear();
  kernel.exit(42);
  kernel.fork(50, {.pid = 60});
  kernel.fork(50, {.pid = 61});
  kernel.exit(61);
  EXPECT_TRUE(kernel.readable(queue));
  ASSERT_TRUE(checkLifecycle(session).ok());
  EXPECT_FALSE(kernel.readable(queue));
  EXPECT_EQ(events(sink.output),
            (std::vector<std::string>{"processExited 42", "processStarted 60"}));
  kernel.exit(60);  // watched since its start was told
  kernel.calls.clear();
  sink.output.clear();
  ASSERT_TRUE(checkLifecycle(session).ok());
  EXPECT_EQ(events(sink.output), std::vector<std::string>{"processExited 60"});
  EXPECT_EQ(std::ranges::count(kernel.calls, std::string("args? 50")), 0);
}

}  // namespace
}  // namespace procsampler::session
