#include "sampling/macos/mac_process_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "fakes/fake_clock.h"
#include "fakes/fake_darwin_kernel.h"

namespace procsampler::sampling::macos {
namespace {

using namespace std::chrono_literals;
using testing::argumentArea;
using testing::FakeMacProcess;
using Kind = ProcessStatusKind;

constexpr std::uint64_t NOW_S = 1'700'000'000;  // the fake clock's wall time

class MacProcessTableTest : public ::testing::Test {
 protected:
  MacProcessTable& make() {
    table = std::make_unique<MacProcessTable>(kernel, clock);
    return *table;
  }
  std::size_t refresh() { return table->refresh_processes_specifics(); }
  // A refresh one second later, every CPU having spent one second (100 ticks).
  void nextSecond() {
    clock.advance(1s);
    kernel.absolute_time += 1'000'000'000;
    kernel.passTicks(100);
    refresh();
  }
  const Process& at(Pid pid) {
    const Process* process = table->find(pid);
    if (process == nullptr) throw std::runtime_error("no entry for " + std::to_string(pid));
    return *process;
  }

  testing::FakeDarwinKernel kernel;
  testing::FakeClock clock;
  std::unique_ptr<MacProcessTable> table;
};

TEST_F(MacProcessTableTest, CpuPercentIsTaskTimeOverTheTickInterval) {
  kernel.spawn({.pid = 42,
                .task = {.pti_virtual_size = 8192,
                         .pti_resident_size = 4096,
                         .pti_total_user = 1'000'000'000,
                         .pti_total_system = 0}});
  make();
  ASSERT_TRUE(table->hasCpuClock());
  EXPECT_EQ(refresh(), 1u);
  EXPECT_EQ(at(42).cpu_percent, 0.0f);  // first sight
  EXPECT_EQ(at(42).cpu_time_ms, 1000u);
  EXPECT_EQ(at(42).resident_bytes, 4096u);
  EXPECT_EQ(at(42).virtual_bytes, 8192u);

  kernel.process(42).task.pti_total_system = 500'000'000;  // half of one CPU-second
  nextSecond();
  EXPECT_FLOAT_EQ(at(42).cpu_percent, 50.0f);
  EXPECT_EQ(at(42).cpu_time_ms, 1500u);

  nextSecond();  // no CPU used since
  EXPECT_EQ(at(42).cpu_percent, 0.0f);

  // Two ticks per CPU is far below the 200 ms floor, which then sets the interval.
  kernel.process(42).task.pti_total_user += 100'000'000;
  clock.advance(1s);
  kernel.passTicks(2);
  refresh();
  EXPECT_FLOAT_EQ(at(42).cpu_percent, 50.0f);
}

TEST_F(MacProcessTableTest, RefreshesWithin200msReuseTheInterval) {
  kernel.spawn({.pid = 42});
  make();
  refresh();
  nextSecond();  // interval: one second
  const std::size_t computations = kernel.countCalls("hostProcessorInfo");

  for (const auto step : {150ms, -1000ms}) {  // sooner, or a clock reading before the last one
    SCOPED_TRACE(step.count());
    clock.advance(step);
    kernel.passTicks(1000);
    kernel.process(42).task.pti_total_user += 100'000'000;
    refresh();
    EXPECT_EQ(kernel.countCalls("hostProcessorInfo"), computations);
    EXPECT_FLOAT_EQ(at(42).cpu_percent, 10.0f);
  }
  clock.advance(1250ms);  // 200 ms past the last computation
  refresh();
  EXPECT_EQ(kernel.countCalls("hostProcessorInfo"), computations + 1);
}

TEST_F(MacProcessTableTest, IntervalSpansTheCpusBothReadingsShareAndIgnoresCountersGoingBack) {
  kernel.spawn({.pid = 42});
  make();
  refresh();
  kernel.setCpus(4);  // two more CPUs came online
  kernel.process(42).task.pti_total_user += 500'000'000;
  nextSecond();
  EXPECT_FLOAT_EQ(at(42).cpu_percent, 50.0f);

  kernel.cpu_load.ticks[0] -= 500;  // one counter went back; the others moved 100 ticks
  kernel.process(42).task.pti_total_user += 437'500'000;
  nextSecond();  // (50 + 3 * 100) / 4 CPUs = 87.5 ticks
  EXPECT_FLOAT_EQ(at(42).cpu_percent, 50.0f);
}

TEST_F(MacProcessTableTest, LaterCpuLoadFailureZeroesThatRefreshOnly) {
  struct Failure {
    int kern_return;
    std::uint32_t cpus;
    bool array;
  };
  for (const Failure failure : {Failure{5, 2, true}, Failure{0, 0, true}, Failure{0, 2, false}}) {
    kernel = {};
    kernel.spawn({.pid = 42});
    make();
    refresh();
    const CpuLoadReply good = kernel.cpu_load;
    kernel.cpu_load = {failure.kern_return, failure.cpus,
                       failure.array ? good.ticks : std::vector<std::uint32_t>{}};
    kernel.process(42).task.pti_total_user += 500'000'000;
    clock.advance(1s);
    refresh();
    EXPECT_EQ(at(42).cpu_percent, 0.0f) << failure.kern_return << failure.cpus << failure.array;

    // The stored ticks were kept, so the next interval spans both seconds.
    kernel.cpu_load = good;
    kernel.passTicks(200);
    kernel.process(42).task.pti_total_user += 500'000'000;
    clock.advance(1s);
    refresh();
    EXPECT_FLOAT_EQ(at(42).cpu_percent, 25.0f);
  }
}

TEST_F(MacProcessTableTest, WithoutCpuClockUsesMachTimeAndReportsNoCpuTime) {
  kernel.cpu_load.kern_return = 5;  // host_processor_info fails at creation
  kernel.spawn(
      {.pid = 42,
       .thread = {
           .pth_user_time = 50'000'000, .pth_system_time = 0, .pth_run_state = RUN_STATE_RUNNING}});
  make();
  EXPECT_FALSE(table->hasCpuClock());
  kernel.cpu_load.kern_return = 0;  // never asked again
  refresh();
  nextSecond();
  EXPECT_EQ(at(42).cpu_percent, 0.0f);  // the first pass takes the baseline
  kernel.process(42).task.pti_total_user += 200'000'000;
  kernel.process(42).thread.pth_user_time += 100'000'000;
  nextSecond();
  EXPECT_FLOAT_EQ(at(42).cpu_percent, 30.0f);
  EXPECT_EQ(at(42).cpu_time_ms, 0u);
  EXPECT_EQ(kernel.countCalls("hostProcessorInfo"), 1u);
}

TEST_F(MacProcessTableTest, TimebaseConvertsCpuTimeAndFallsBackToNanoseconds) {
  const struct {
    TimebaseReply timebase;
    std::uint64_t ms;
  } cases[] = {
      {{0, 125, 3}, 125'000},  // Apple silicon: 41.67 ns per unit
      {{5, 125, 3}, 3'000},    // failed: 1 ns per unit
      {{0, 125, 0}, 3'000},    // a zero term counts as failed
  };
  for (const auto& c : cases) {
    kernel = {};
    kernel.timebase = c.timebase;
    kernel.spawn({.pid = 42,
                  .task = {.pti_virtual_size = 0,
                           .pti_resident_size = 0,
                           .pti_total_user = 2'000'000'000,
                           .pti_total_system = 1'000'000'000}});
    make();
    refresh();
    EXPECT_EQ(at(42).cpu_time_ms, c.ms) << c.timebase.kern_return << "/" << c.timebase.denom;
  }
}

TEST_F(MacProcessTableTest, ListingFailureEmptiesTheTable) {
  const struct {
    const char* what;
    std::optional<int> count, fill;
    int slack;
  } cases[] = {
      {"count 0", 0, {}, 4},
      {"count -1", -1, {}, 4},
      {"fill failed", {}, -1, 4},
      {"buffer full", {}, {}, 0},
  };
  for (const auto& c : cases) {
    kernel = {};
    kernel.spawn({.pid = 42});
    kernel.spawn({.pid = 43});
    make();
    refresh();
    kernel.process(42).task.pti_total_user += 1'000'000;
    kernel.count_reply = c.count;
    kernel.fill_reply = c.fill;
    kernel.slack = c.slack;
    EXPECT_EQ(refresh(), 0u) << c.what;
    EXPECT_EQ(table->processCount(), 0u) << c.what;

    kernel.count_reply = kernel.fill_reply = std::nullopt;
    kernel.slack = 4;
    nextSecond();
    EXPECT_EQ(table->processCount(), 2u) << c.what;
    EXPECT_EQ(at(42).cpu_percent, 0.0f) << c.what;  // re-created
  }
}

TEST_F(MacProcessTableTest, VanishedAndReusedPids) {
  kernel.spawn({.pid = 42});
  kernel.spawn({.pid = 43});
  kernel.spawn({.pid = 44});
  make();
  refresh();
  nextSecond();
  kernel.exit(43);
  // 42 is reused by a new process; 44 too, by one that cannot be inspected at all.
  FakeMacProcess& reused = kernel.process(42);
  reused.bsd.pbi_start_tvsec += 5;
  reused.arguments = argumentArea("/bin/new", {"new"});
  reused.task.pti_total_user += 900'000'000;
  kernel.process(44).bsd.pbi_start_tvsec += 5;
  kernel.process(44).arguments.reset();
  kernel.process(44).path.reset();
  nextSecond();
  EXPECT_EQ(table->find(43), nullptr);
  EXPECT_EQ(table->find(44), nullptr);
  EXPECT_EQ(at(42).name, "new");
  EXPECT_EQ(at(42).arguments, std::vector<std::string>{"new"});
  EXPECT_EQ(at(42).start_time_s, 1'699'990'005u);
  EXPECT_EQ(at(42).cpu_percent, 0.0f);
  EXPECT_EQ(table->processCount(), 1u);
}

TEST_F(MacProcessTableTest, ParentStartAndRunTime) {
  kernel.spawn(
      {.pid = 1, .bsd = {.pbi_status = STATUS_RUN, .pbi_ppid = 0, .pbi_start_tvsec = 100}});
  kernel.spawn({.pid = 42});
  kernel.spawn(
      {.pid = 43,
       .bsd = {
           .pbi_status = STATUS_RUN, .pbi_ppid = 1, .pbi_start_tvsec = NOW_S + 60}});  // clock skew
  make();
  refresh();
  EXPECT_EQ(at(1).parent_pid, std::nullopt);
  EXPECT_EQ(at(42).parent_pid, 1u);
  EXPECT_EQ(at(42).run_time_s, NOW_S - 1'699'990'000);
  EXPECT_EQ(at(43).run_time_s, 0u);
  kernel.process(42).bsd.pbi_ppid = 43;
  kernel.process(43).bsd.pbi_ppid = 0;
  nextSecond();
  EXPECT_EQ(at(42).parent_pid, 43u);
  EXPECT_EQ(at(43).parent_pid, std::nullopt);
  EXPECT_EQ(at(42).run_time_s, NOW_S + 1 - 1'699'990'000);
}

TEST_F(MacProcessTableTest, ReportedStatusFromBsdAndThreadState) {
  const struct {
    std::uint32_t bsd;
    int thread_bytes;
    std::int32_t run_state;
    ProcessStatus first, later;
  } cases[] = {
      {STATUS_RUN, THREAD_INFO_SIZE, RUN_STATE_WAITING, {Kind::Run}, {Kind::Sleep}},
      {STATUS_RUN, THREAD_INFO_SIZE, RUN_STATE_RUNNING, {Kind::Run}, {Kind::Run}},
      {STATUS_RUN, THREAD_INFO_SIZE, RUN_STATE_STOPPED, {Kind::Run}, {Kind::Stop}},
      {STATUS_RUN,
       THREAD_INFO_SIZE,
       RUN_STATE_UNINTERRUPTIBLE,
       {Kind::Run},
       {Kind::UninterruptibleDiskSleep}},
      {STATUS_RUN, THREAD_INFO_SIZE, RUN_STATE_HALTED, {Kind::Run}, {Kind::Parked}},
      {STATUS_RUN, THREAD_INFO_SIZE, 9, {Kind::Run}, {Kind::Unknown, 9}},
      {STATUS_RUN, 0, RUN_STATE_WAITING, {Kind::Run}, {Kind::Run}},   // refused: running
      {STATUS_RUN, -1, RUN_STATE_WAITING, {Kind::Run}, {Kind::Run}},  // failed: running
      {STATUS_SLEEP, THREAD_INFO_SIZE, RUN_STATE_RUNNING, {Kind::Sleep}, {Kind::Sleep}},
      {STATUS_STOP, THREAD_INFO_SIZE, RUN_STATE_RUNNING, {Kind::Stop}, {Kind::Stop}},
      {STATUS_IDLE, THREAD_INFO_SIZE, RUN_STATE_RUNNING, {Kind::Idle}, {Kind::Idle}},
      {STATUS_ZOMBIE, 0, 0, {Kind::Zombie}, {Kind::Zombie}},
      {7, THREAD_INFO_SIZE, RUN_STATE_RUNNING, {Kind::Unknown, 7}, {Kind::Unknown, 7}},
  };
  for (const auto& c : cases) {
    kernel = {};
    kernel.spawn(
        {.pid = 42,
         .bsd = {.pbi_status = c.bsd, .pbi_ppid = 1, .pbi_start_tvsec = 100},
         .thread = {.pth_user_time = 0, .pth_system_time = 0, .pth_run_state = c.run_state},
         .thread_bytes = c.thread_bytes});
    make();
    refresh();
    EXPECT_EQ(at(42).status, c.first) << c.bsd << "/" << c.run_state << "/" << c.thread_bytes;
    nextSecond();
    EXPECT_EQ(at(42).status, c.later) << c.bsd << "/" << c.run_state << "/" << c.thread_bytes;
  }

  // The BSD state is read at every refresh, so a process that exits becomes a zombie.
  kernel.process(42).bsd.pbi_status = STATUS_SLEEP;
  nextSecond();
  kernel.process(42).bsd.pbi_status = STATUS_ZOMBIE;
  nextSecond();
  EXPECT_EQ(at(42).status, ProcessStatus{Kind::Zombie});
}

TEST_F(MacProcessTableTest, NameAndArgumentsFallBackAndFollowAnExec) {
  kernel.spawn({.pid = 42, .arguments = argumentArea(0, "/usr/bin/login", {})});
  kernel.spawn({.pid = 43, .path = "/usr/sbin/daemon", .arguments = std::nullopt});
  kernel.spawn({.pid = 44, .path = "/usr/sbin/short", .probe_length = 3});
  kernel.spawn({.pid = 45, .path = "/usr/sbin/empty", .probe_length = 0});
  kernel.spawn({.pid = 46, .path = std::nullopt, .arguments = std::nullopt});
  kernel.spawn({.pid = 47, .path = "/usr/sbin/copy", .copy_fails = true});
  make();
  refresh();
  EXPECT_EQ(at(42).name, "login");
  EXPECT_TRUE(at(42).arguments.empty());
  const struct {
    Pid pid;
    const char* name;
  } fallbacks[] = {{43, "daemon"}, {44, "short"}, {45, "empty"}, {47, "copy"}};
  for (const auto& f : fallbacks) {
    EXPECT_EQ(at(f.pid).name, f.name);
    EXPECT_TRUE(at(f.pid).arguments.empty()) << f.pid;
  }
  EXPECT_EQ(table->find(46), nullptr);            // neither argument area nor path
  EXPECT_EQ(kernel.countCalls("sysctl 44"), 1u);  // too short to copy
  EXPECT_EQ(kernel.countCalls("sysctl 45"), 1u);

  // A known entry keeps its arguments while the area is unreadable; a new executable in the
  // area renames it; a changed path alone does not.
  kernel.process(42).arguments = argumentArea("/usr/bin/login", {"login", "-f"});
  nextSecond();
  kernel.process(42).arguments.reset();
  kernel.process(42).path = "/usr/bin/other";
  nextSecond();
  EXPECT_EQ(at(42).arguments, (std::vector<std::string>{"login", "-f"}));
  EXPECT_EQ(at(42).name, "login");
  EXPECT_EQ(kernel.countCalls("path 42"), 0u);  // a named entry needs no path
  kernel.process(42).arguments = argumentArea("/opt/bin/zsh", {"-zsh"});
  nextSecond();
  EXPECT_EQ(at(42).name, "zsh");
  EXPECT_EQ(at(42).arguments, std::vector<std::string>{"-zsh"});
  kernel.process(42).arguments = argumentArea("/", {"odd"});  // names nothing: keep the name
  nextSecond();
  EXPECT_EQ(at(42).name, "zsh");
  kernel.process(43).arguments = std::vector<std::byte>(2);  // copies less than its count
  kernel.process(43).probe_length = 64;
  nextSecond();
  EXPECT_EQ(at(43).name, "daemon");
  EXPECT_TRUE(at(43).arguments.empty());
}

TEST_F(MacProcessTableTest, EntryWithoutBsdInfoIsBareUntilItCanBeRead) {
  kernel.spawn({.pid = 42,
                .bsd = {.pbi_status = STATUS_SLEEP, .pbi_ppid = 1, .pbi_start_tvsec = 100},
                .bsd_bytes = BSD_INFO_SIZE - 1,
                .path = "/usr/libexec/hidden"});
  make();
  kernel.calls.clear();
  refresh();
  const Process& bare = at(42);
  EXPECT_EQ(bare.name, "hidden");
  EXPECT_EQ(bare.parent_pid, std::nullopt);
  EXPECT_TRUE(bare.arguments.empty());
  EXPECT_EQ(bare.status, (ProcessStatus{Kind::Unknown, 0}));
  EXPECT_EQ(bare.start_time_s, 0u);
  EXPECT_EQ(bare.run_time_s, 0u);
  EXPECT_EQ(bare.resident_bytes, 0u);
  EXPECT_EQ(kernel.calls, (std::vector<std::string>{"listAllPids", "listAllPids",
                                                    "hostProcessorInfo", "bsd 42", "path 42"}));

  nextSecond();
  EXPECT_EQ(at(42).run_time_s, NOW_S + 1);
  kernel.process(42).bsd_bytes = BSD_INFO_SIZE;
  nextSecond();
  EXPECT_EQ(at(42).start_time_s, 100u);
  EXPECT_EQ(at(42).status, ProcessStatus{Kind::Sleep});
  EXPECT_EQ(at(42).arguments, std::vector<std::string>{"proc"});

  kernel.process(42).bsd_bytes = 0;
  kernel.process(42).path.reset();
  nextSecond();
  EXPECT_EQ(table->find(42), nullptr);  // neither BSD info nor path: gone
}

TEST_F(MacProcessTableTest, RefusedTaskInfoAndRusageDegradeTheirValues) {
  kernel.spawn({.pid = 42,
                .task_bytes = TASK_INFO_SIZE - 1,
                .rusage = {.ri_diskio_bytesread = 10, .ri_diskio_byteswritten = 20}});
  kernel.spawn({.pid = 43,
                .rusage = {.ri_diskio_bytesread = 10, .ri_diskio_byteswritten = 20},
                .rusage_result = -1});
  make();
  refresh();
  EXPECT_EQ(at(42).resident_bytes, 0u);
  EXPECT_EQ(at(42).cpu_time_ms, 0u);
  EXPECT_EQ(at(42).disk_read_bytes, 10u);
  EXPECT_EQ(at(43).disk_read_bytes, 0u);

  // Counters first read now would count the whole life of the process as this interval's.
  kernel.process(42).task_bytes = TASK_INFO_SIZE;
  kernel.process(43).rusage_result = 0;
  nextSecond();
  EXPECT_EQ(at(42).cpu_percent, 0.0f);
  EXPECT_EQ(at(42).resident_bytes, 4096u * 16);
  EXPECT_EQ(at(43).disk_written_bytes, 20u);
  kernel.process(43).rusage = {.ri_diskio_bytesread = 99, .ri_diskio_byteswritten = 99};
  kernel.process(43).rusage_result = -1;
  nextSecond();
  EXPECT_EQ(at(43).disk_read_bytes, 10u);
  EXPECT_EQ(at(43).disk_written_bytes, 20u);
}

TEST_F(MacProcessTableTest, FiveCallsForANewProcessAndSixForAKnownOne) {
  kernel.spawn({.pid = 42});
  make();
  refresh();
  EXPECT_EQ(kernel.countCalls("listAllPids"), 2u);
  EXPECT_EQ(kernel.calls.size() - 2 - kernel.countCalls("hostProcessorInfo"), 5u);
  kernel.calls.clear();
  nextSecond();
  EXPECT_EQ(kernel.calls.size() - 2 - kernel.countCalls("hostProcessorInfo"), 6u);
  EXPECT_EQ(kernel.countCalls("sysctl 42"), 2u);
  EXPECT_EQ(kernel.countCalls("thread 42"), 1u);
}

}  // namespace
}  // namespace procsampler::sampling::macos
