#include "sampling/macos/mac_process_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <tuple>

#include "fakes/fake_clock.h"
#include "fakes/fake_darwin_kernel.h"

namespace procsampler::sampling::macos {
namespace {

using namespace std::chrono_literals;
using Kind = ProcessStatusKind;
using Strings = std::vector<std::string>;

class MacProcessTableTest : public ::testing::Test {
 protected:
  // A table over the kernel as set up so far, holding these processes, after its first refresh.
  void start(std::vector<testing::FakeMacProcess> processes = {{.pid = 42}}) {
    kernel.processes = std::move(processes);
    table = std::make_unique<MacProcessTable>(kernel, clock);
    table->refresh_processes_specifics();
  }
  // A refresh `span` later, every CPU having spent `ticks` ticks meanwhile.
  void after(std::chrono::milliseconds span = 1s, std::uint32_t ticks = 100) {
    clock.advance(span);
    kernel.absolute_time += static_cast<std::uint64_t>(std::chrono::nanoseconds(span).count());
    kernel.passTicks(ticks);
    table->refresh_processes_specifics();
  }
  const Process& at(Pid p) { return table->find(p) ? *table->find(p) : throw std::exception(); }

  testing::FakeDarwinKernel kernel;
  testing::FakeClock clock;
  std::unique_ptr<MacProcessTable> table;
};

TEST_F(MacProcessTableTest, CpuPercentIsTaskTimeOverTheTickInterval) {
  constexpr std::uint64_t MS = 24'000;  // Mach units in a millisecond on Apple silicon
  kernel.timebase = {0, 125, 3};
  start({{.pid = 42, .task = {8192, 4096, 1000 * MS, 0}}});  // virtual, resident, user, system
  EXPECT_EQ(at(42).cpu_percent, 0.0f);                       // first sight
  EXPECT_EQ(std::tuple(at(42).resident_bytes, at(42).virtual_bytes), std::tuple(4096u, 8192u));
  // Milliseconds later, ticks per CPU, CPU time used, percent.
  const std::tuple<int, std::uint32_t, std::uint64_t, float> steps[] = {
      {1000, 100, 500, 50.0f},  // half of one CPU-second
      {1000, 100, 0, 0.0f},     // no CPU used
      {1000, 4, 100, 50.0f},    // counters barely moved: the 200 ms floor
      {150, 1000, 100, 50.0f},  // too soon: the last interval again
      {50, 0, 1000, 10.0f},     // 200 ms after it: a new one, 1000 ticks long
  };
  for (const auto& [ms, ticks, used, percent] : steps) {
    kernel.process(42).task.pti_total_system += used * MS;
    after(std::chrono::milliseconds(ms), ticks);
    EXPECT_FLOAT_EQ(at(42).cpu_percent, percent) << ms << " ms, " << ticks << " ticks";
  }
  EXPECT_EQ(at(42).cpu_time_ms, 2700u);
}

TEST_F(MacProcessTableTest, FailingClocksDegradeOnlyTheCpuFigures) {
  // Timebase; host_processor_info's answer when the table is made, and at the next refresh; the
  // CPU percent of the next two refreshes; CPU time.
  const std::tuple<TimebaseReply, int, int, float, float, std::uint64_t> cases[] = {
      {{5, 125, 3}, 0, 0, 50.0f, 50.0f, 2000},  // timebase refused: Mach units are nanoseconds
      {{0, 1, 1}, 0, 5, 0.0f, 25.0f, 2000},     // that refresh only: the next spans both seconds
      {{0, 1, 1}, 5, 0, 0.0f, 60.0f, 0},  // none at all: Mach time against task and thread times
  };
  for (const auto& [timebase, at_creation, later, first, second, cpu_time_ms] : cases) {
    kernel.timebase = timebase;
    kernel.cpu_load.kern_return = at_creation;
    start({{.pid = 42, .task = {0, 0, 1'000'000'000, 0}}});
    for (const auto& [kern_return, percent] : {std::pair{later, first}, std::pair{0, second}}) {
      kernel.cpu_load.kern_return = kern_return;
      kernel.process(42).task.pti_total_user += 500'000'000;
      kernel.process(42).thread.pth_user_time += 100'000'000;
      after();
      EXPECT_FLOAT_EQ(at(42).cpu_percent, percent) << timebase.denom << " " << at_creation;
    }
    EXPECT_EQ(at(42).cpu_time_ms, cpu_time_ms);
  }
}

TEST_F(MacProcessTableTest, FollowsParentsExitsAndReusedPidsAndEmptiesOnListingFailure) {
  start({{.pid = 1, .bsd = {STATUS_RUN, 0, 100}},  // status, parent, start
         {.pid = 42},
         {.pid = 43, .rusage = {10, 20}},
         {.pid = 44}});
  EXPECT_EQ(std::tuple(at(1).parent_pid, at(43).parent_pid), std::tuple(std::nullopt, 1u));
  kernel.exit(1);
  kernel.process(43) = {.pid = 43, .rusage = {99, 99}, .rusage_result = -1};
  kernel.process(43).bsd.pbi_ppid = 0;
  kernel.process(44).bsd.pbi_ppid = 43;
  kernel.process(42) = {.pid = 42,
                        .bsd = {STATUS_RUN, 1, 1'699'990'005},
                        .task = {0, 0, 900'000'000, 0},
                        .arguments = testing::argumentArea("/bin/new", {"new"})};
  after();
  EXPECT_EQ(std::tuple(table->find(1), at(43).parent_pid, at(44).parent_pid),
            std::tuple(nullptr, std::nullopt, 43u));
  EXPECT_EQ(std::tuple(at(43).disk_read_bytes, at(43).disk_written_bytes), std::tuple(10u, 20u));
  EXPECT_EQ(std::tuple(at(42).name, at(42).start_time_s, at(42).cpu_percent),
            std::tuple("new", 1'699'990'005u, 0.0f));
  // Nothing counted; the filling call failed; a full buffer, which may have missed processes.
  const std::pair<std::optional<int>, std::optional<int>> failures[] = {{0, {}}, {{}, -1}, {3, {}}};
  for (const auto& failure : failures) {
    std::tie(kernel.count_reply, kernel.fill_reply) = failure;
    table->refresh_processes_specifics();
    EXPECT_EQ(table->processCount(), 0u) << &failure - failures;
    kernel.count_reply = kernel.fill_reply = std::nullopt;
    after();
    EXPECT_EQ(table->processCount(), 3u);
  }
}

TEST_F(MacProcessTableTest, ReportedStatusFromBsdAndThreadState) {
  // BSD state, thread state, thread info bytes, status once the thread state counts.
  const std::tuple<std::uint32_t, std::int32_t, int, ProcessStatus> cases[] = {
      {STATUS_RUN, RUN_STATE_WAITING, THREAD_INFO_SIZE, {Kind::Sleep}},
      {STATUS_RUN, RUN_STATE_UNINTERRUPTIBLE, THREAD_INFO_SIZE, {Kind::UninterruptibleDiskSleep}},
      {STATUS_RUN, RUN_STATE_WAITING, THREAD_INFO_SIZE - 1, {Kind::Run}},  // refused: running
      {STATUS_SLEEP, RUN_STATE_RUNNING, THREAD_INFO_SIZE, {Kind::Sleep}},
  };
  for (const auto& [bsd, state, bytes, later] : cases) {
    start({{.pid = 42, .bsd = {bsd, 1, 100}, .thread = {0, 0, state}, .thread_bytes = bytes}});
    EXPECT_EQ(at(42).status, bsd == STATUS_RUN ? ProcessStatus{Kind::Run} : later) << state;
    after();
    EXPECT_EQ(at(42).status, later) << state << " " << bytes;
  }
  // The BSD state is read at every refresh, so a process that exits is seen as a zombie.
  kernel.process(42).bsd.pbi_status = STATUS_ZOMBIE;
  after();
  EXPECT_EQ(at(42).status, ProcessStatus{Kind::Zombie});
}

TEST_F(MacProcessTableTest, NameAndArgumentsFallBackToThePathAndFollowAnExec) {
  start({{.pid = 42, .arguments = testing::argumentArea("/usr/bin/login", {"login", "", "-f"})},
         {.pid = 43, .path = "/usr/sbin/daemon", .arguments = std::nullopt},
         {.pid = 44, .path = "/usr/sbin/copy", .copy_fails = true},
         {.pid = 45, .path = "", .arguments = std::nullopt},
         {.pid = 46, .bsd = {STATUS_SLEEP, 1, 100}, .bsd_bytes = 0, .path = "/sbin/hidden"}});
  // 45 has neither argument area nor path, so no entry.
  EXPECT_EQ(std::tuple(table->find(45), at(43).name, at(44).name, at(44).arguments),
            std::tuple(nullptr, "daemon", "copy", Strings{}));
  // Without BSD info only the path is read: no state, parent, start or arguments.
  const Process& bare = at(46);
  EXPECT_EQ(std::tuple(bare.name, bare.status, bare.parent_pid, bare.start_time_s, bare.arguments),
            std::tuple("hidden", ProcessStatus{}, std::optional<Pid>(), 0u, Strings{}));
  kernel.process(42).arguments.reset();        // unreadable: a known entry keeps its arguments
  kernel.process(42).path = "/usr/bin/other";  // and the path alone never renames it
  after();
  EXPECT_EQ(std::tuple(at(42).name, at(42).arguments), std::tuple("login", Strings{"login", "-f"}));
  // An exec with no arguments renames it; the entry without BSD info stays while its path does.
  kernel.process(42).arguments = testing::argumentArea("/opt/bin/zsh", {});
  after();
  EXPECT_EQ(std::tuple(at(42).name, at(42).arguments, at(46).name),
            std::tuple("zsh", Strings{}, "hidden"));
}

}  // namespace
}  // namespace procsampler::sampling::macos
