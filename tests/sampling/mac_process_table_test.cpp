// The macOS table over a model of xnu and a scripted clock: its arithmetic, states, lifecycle,
// what a user's sidecar sees of other users' processes, argument areas, which calls it makes when,
// and that reading lazily still reports what a full read would.
#include "sampling/macos/mac_process_table.h"

#include <gtest/gtest.h>

#include <tuple>

#include "fakes/fake_darwin_kernel.h"
#include "fakes/process_world.h"

namespace procsampler::sampling::macos {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using testing::FakeMacProcess, testing::OTHER_USER, testing::ROOT, testing::USER, testing::pidsOf,
    testing::TIMEBASES, testing::TreeSelectionContract;
using Kind = ProcessStatusKind;
using Pids = std::vector<Pid>;
using Strings = std::vector<std::string>;
constexpr std::uint64_t S = 1'699'990'000;  // the model's start second

// A Mac as a user's sidecar sees it: the low pids (launchd and the daemons it starts) are root's.
void spawnIn(testing::FakeDarwinKernel& kernel, const testing::WorldProcess& p) {
  const auto pid = static_cast<std::int32_t>(p.pid);
  // clang-format off
  kernel.spawn({.pid = pid, .ppid = p.ppid, .uid = pid < 100 ? ROOT : USER,
                .kernel = pid == 0, .start_s = p.startSeconds, .start_us = p.pid,
                .path = "/usr/bin/" + p.name, .argv = p.arguments});
  // clang-format on
}

// The machine as a sidecar of this uid sees it, walking trees of up to this many processes.
struct MacWorld final : testing::ProcessWorld {
  MacWorld(Clock& clock, std::uint32_t sidecarUid, std::size_t walkLimit, TimebaseReply timebase) {
    kernel.sidecar_uid = sidecarUid;
    kernel.timebase = timebase;
    mac = std::make_unique<MacProcessTable>(kernel, clock, walkLimit);
  }
  void spawn(const testing::WorldProcess& p) override { spawnIn(kernel, p); }
  void exit(Pid pid) override { kernel.reap(static_cast<std::int32_t>(pid)); }
  ProcessTable& table() override { return *mac; }
  testing::FakeDarwinKernel kernel;
  std::unique_ptr<MacProcessTable> mac;
};

std::vector<testing::ProcessWorldFactory> macWorlds() {
  std::vector<testing::ProcessWorldFactory> worlds;
  for (const TimebaseReply timebase : TIMEBASES) {
    for (const auto& [uid, limit] :
         {std::pair{USER, USER_WALK_LIMIT}, {USER, 0}, {ROOT, ROOT_WALK_LIMIT}}) {
      worlds.emplace_back(
          [=](Clock& clock) { return std::make_unique<MacWorld>(clock, uid, limit, timebase); });
    }
  }
  return worlds;
}
INSTANTIATE_TEST_SUITE_P(MacKernel, TreeSelectionContract, ::testing::ValuesIn(macWorlds()));

class MacProcessTableTest : public ::testing::TestWithParam<TimebaseReply> {
 protected:
  MacProcessTableTest() { kernel.timebase = GetParam(); }
  // Mach absolute time units in a millisecond.
  std::uint64_t unitsPerMs() const {
    return 1'000'000u * kernel.timebase.denom / kernel.timebase.numer;
  }
  // A table over the kernel as set up so far, holding these processes, after its first refresh.
  void start(std::vector<FakeMacProcess> processes) {
    kernel.processes = std::move(processes);
    table = std::make_unique<MacProcessTable>(kernel, clock);
    testing::refreshAll(*table);
  }
  // Time passes on both clocks, every CPU spending `ticks` ticks meanwhile; then, unless told
  // otherwise, a refresh as if every process were reported.
  void after(std::chrono::milliseconds span = 1s, std::uint32_t ticks = 100, bool refresh = true) {
    clock.advance(span);
    const auto ns = static_cast<std::uint64_t>(std::chrono::nanoseconds(span).count());
    const TimebaseReply& base = kernel.timebase;
    kernel.absolute_time += base.kern_return == 0 ? ns * base.denom / base.numer : ns;
    kernel.passTicks(ticks);
    if (refresh) testing::refreshAll(*table);
  }
  const Process& at(Pid pid) { return testing::entryOf(*table, pid); }

  testing::FakeDarwinKernel kernel;
  testing::FakeClock clock;
  std::unique_ptr<MacProcessTable> table;
};

TEST_P(MacProcessTableTest, CpuPercentIsTaskTimeOverTheTickIntervalOrOverMachTime) {
  const std::uint64_t MS = unitsPerMs();
  // 32-bit tick counters wrap (about 497 days per state at 100 Hz): the first interval spans it.
  std::ranges::fill(kernel.cpu_load.ticks, 0xFFFF'FFF0u);
  start({{.pid = 42, .task = {8192, 4096, 1000 * MS, 0}}});  // virtual, resident, user, system
  EXPECT_EQ(std::tuple(at(42).cpu_percent, at(42).resident_bytes, at(42).virtual_bytes),
            std::tuple(0.0f, 4096u, 8192u));  // 0 at first sight
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

  // Failing clocks degrade the CPU figures only. Timebase and Mach units in a millisecond;
  // host_processor_info's answer when the table is made, and at the next refresh; the CPU percent
  // of the next two refreshes.
  const TimebaseReply refused{5, GetParam().numer, GetParam().denom};
  const std::tuple<TimebaseReply, std::uint64_t, int, int, float, float> failing[] = {
      {refused, 1'000'000, 0, 0, 50.0f, 50.0f},  // timebase refused: units are nanoseconds
      {GetParam(), MS, 0, 5, 0.0f, 25.0f},       // that refresh only: the next spans both
      {GetParam(), MS, 5, 0, 50.0f, 50.0f},      // none: task time over mach_absolute_time
  };
  for (const auto& [timebase, perMs, at_creation, later, first, second] : failing) {
    kernel.timebase = timebase;
    kernel.cpu_load.kern_return = at_creation;
    start({{.pid = 42, .task = {0, 0, 1000 * perMs, 0}}});
    for (const auto& [kern_return, percent] : {std::pair{later, first}, std::pair{0, second}}) {
      kernel.cpu_load.kern_return = kern_return;
      kernel.process(42).task.pti_total_user += 500 * perMs;
      after();
      EXPECT_FLOAT_EQ(at(42).cpu_percent, percent) << timebase.denom << " " << at_creation;
    }
    EXPECT_EQ(at(42).cpu_time_ms, 2000u);
  }
}

// Available memory: the free pages without the speculative ones vm_stats adds to them, the
// file-backed pages (speculative ones included) and the purgeable ones.
TEST_P(MacProcessTableTest, MachineTotalsFromTheCpuTicksVmStatisticsMemsizeAndBoottime) {
  clock.setWall(WallTime(std::chrono::seconds(1'699'000'100)));
  start({{.pid = 42}});
  after(1s, 100);  // each CPU a quarter of its ticks in each state: three quarters busy
  const MachineTotals read{.cpuCount = 2,
                           .cpuPercent = 150.0f,
                           .memoryTotalBytes = 16ULL << 30,
                           .memoryAvailableBytes = (1000 + 3000 + 50) * 16384ULL,
                           .uptimeMs = 100'750};
  EXPECT_EQ(table->machineTotals(), read);
  kernel.vm_stats_return = 5, kernel.hw_memsize.result = -1, kernel.kern_boottime.result = -1;
  kernel.cpu_load.kern_return = 5;
  after();
  EXPECT_EQ(table->machineTotals(), MachineTotals{});
}

TEST_P(MacProcessTableTest, StatesAsPsDerivesThem) {
  using T = std::vector<testing::FakeThread>;
  constexpr std::int32_t RUNNING = RUN_STATE_RUNNING, WAITING = RUN_STATE_WAITING,
                         UNINTERRUPTIBLE = RUN_STATE_UNINTERRUPTIBLE;
  // p_stat, the threads' states, whose process (another user's in the last rows; read by root in
  // the very last): the reported status.
  const std::tuple<std::uint32_t, T, std::uint32_t, ProcessStatus> rows[] = {
      {STATUS_RUN, {{1, WAITING}, {2, RUNNING}}, USER, {Kind::Run}},
      {STATUS_RUN, {{1, WAITING}, {2, UNINTERRUPTIBLE}}, USER, {Kind::UninterruptibleDiskSleep}},
      {STATUS_RUN, {{1, WAITING}, {2, RUN_STATE_STOPPED}}, USER, {Kind::Sleep}},
      {STATUS_RUN, {{1, RUN_STATE_STOPPED}, {2, RUN_STATE_HALTED}}, USER, {Kind::Stop}},
      {STATUS_RUN, {{1, RUN_STATE_HALTED}}, USER, {Kind::Parked}},
      {STATUS_RUN, {}, USER, {Kind::Sleep}},  // no threads to list, none running
      {STATUS_STOP, {{1, RUNNING}}, USER, {Kind::Stop}},
      {STATUS_IDLE, {}, USER, {Kind::Idle}},
      {STATUS_RUN, {{1, RUNNING}}, OTHER_USER, {Kind::Unknown, 0}},  // its threads are refused
      {STATUS_RUN, {{1, UNINTERRUPTIBLE}}, ROOT, {Kind::UninterruptibleDiskSleep}},
  };
  for (const auto& [stat, threads, uid, status] : rows) {
    kernel.sidecar_uid = uid == ROOT ? ROOT : USER;
    start({{.pid = 42, .uid = uid == USER ? USER : OTHER_USER, .stat = stat, .threads = threads}});
    EXPECT_EQ(at(42).status, status) << stat << " " << threads.size() << " " << uid;
  }
  // kernel_task gives every thread the handle 0, which names its first thread alone: that one is
  // read, once; it has no path and no arguments. Of a thousand threads, the first few are read.
  T many(1000, {0, WAITING});
  for (std::size_t i = 0; i < many.size(); ++i) many[i].handle = i + 1;
  many[5].state = UNINTERRUPTIBLE;
  kernel.sidecar_uid = ROOT;
  kernel.calls.clear();
  kernel.thread_steps = 0;
  const T kernelThreads{{1, WAITING}, {2, UNINTERRUPTIBLE}};
  start({{.pid = 0, .ppid = 0, .uid = ROOT, .kernel = true, .threads = kernelThreads},
         {.pid = 42, .threads = many}});
  auto reads = [&](Pid pid) {
    return static_cast<std::size_t>(
        std::ranges::count(kernel.calls, "thread " + std::to_string(pid)));
  };
  EXPECT_EQ(std::tuple(at(0).status, at(0).name, at(0).arguments, reads(0)),
            std::tuple(ProcessStatus{Kind::Sleep}, "kernel_task", Strings{}, std::size_t{1}));
  EXPECT_EQ(std::tuple(at(42).status, reads(42), kernel.thread_steps - 1),
            std::tuple(ProcessStatus{Kind::UninterruptibleDiskSleep}, THREAD_READ_LIMIT,
                       THREAD_READ_LIMIT * (THREAD_READ_LIMIT + 1) / 2));
}

TEST_P(MacProcessTableTest,
       FollowsUsersZombiesReusedPidsAndPassingMomentsKeepsThroughFailedListings) {
  // launchd is root's: the sidecar's user sees its parent, start and name, no more.
  start({{.pid = 1, .ppid = 0, .uid = ROOT, .start_s = S - 100, .path = "/sbin/launchd"},
         {.pid = 42},
         {.pid = 43, .rusage = {10, 20}},
         {.pid = 45, .path = "/usr/bin/short-lived-helper", .argv = {"short", "1"}},
         {.pid = 47, .uid = OTHER_USER, .path = "/usr/libexec/trustd-helper-agent"}});
  const Process& launchd = at(1);
  EXPECT_EQ(std::tuple(launchd.parent_pid, launchd.start_time_s, launchd.run_time_s, launchd.name,
                       launchd.arguments, launchd.resident_bytes, launchd.disk_read_bytes),
            std::tuple(std::nullopt, S - 100, 10'100u, "launchd", Strings{}, 0u, 0u));
  // Its zeros are refusals, which version 3 reports as such; the sidecar's own user's are not.
  EXPECT_EQ(std::tuple(launchd.uid, launchd.cpu_memory_refused, launchd.io_refused,
                       launchd.thread_count, launchd.footprint_bytes),
            std::tuple(std::optional(ROOT), true, true, std::nullopt, std::nullopt));
  EXPECT_EQ(std::tuple(at(43).uid, at(43).cpu_memory_refused, at(43).io_refused),
            std::tuple(std::optional(USER), false, false));
  EXPECT_TRUE(at(43).thread_count && at(43).footprint_bytes);
  EXPECT_EQ(at(47).name, "trustd-helper-agent");
  kernel.process(47).uid = USER;  // it drops its privileges to the sidecar's user
  // 45 dies unreaped; 46 is first seen as a zombie; 42 is reused within the second it started in.
  kernel.process(45).stat = STATUS_ZOMBIE;
  kernel.spawn({.pid = 46, .stat = STATUS_ZOMBIE, .path = "/opt/early-exit-and-then-some"});
  kernel.spawn({.pid = 42, .start_us = 250'001, .path = "/bin/new", .argv = {"new"}});
  after();
  EXPECT_EQ(pidsOf(*table), (Pids{1, 42, 43, 45, 46, 47}));
  EXPECT_EQ(std::tuple(at(47).resident_bytes, at(43).disk_read_bytes, at(43).disk_written_bytes),
            std::tuple(1u << 16, 10u, 20u));
  EXPECT_EQ(std::tuple(at(42).name, at(42).arguments, at(42).cpu_percent),
            std::tuple("new", Strings{"new"}, 0.0f));
  // A zombie keeps the name and arguments it was seen with alive, but no memory; one never seen
  // alive is named by its p_comm.
  EXPECT_EQ(
      std::tuple(at(45).status, at(45).name, at(45).arguments, at(45).resident_bytes),
      std::tuple(ProcessStatus{Kind::Zombie}, "short-lived-helper", Strings{"short", "1"}, 0u));
  EXPECT_EQ(at(46).name, "early-exit-and-t");
  // 43 begins to exit and 44 is being forked: the kernel answers nothing of either but the
  // listings. 43 keeps what was read of it, its CPU reading too; 44 waits for its first answer.
  const std::uint64_t cpuSecond = 1000 * unitsPerMs();
  kernel.process(43).passing = true;
  kernel.process(43).task.pti_total_user += cpuSecond;
  kernel.spawn({.pid = 44, .passing = true});
  after();
  EXPECT_EQ(std::tuple(pidsOf(*table), at(43).disk_read_bytes),
            std::tuple(Pids{1, 42, 43, 45, 46, 47}, 10u));
  kernel.process(43).passing = kernel.process(44).passing = false;
  after();
  EXPECT_EQ(std::tuple(at(43).cpu_percent, at(44).cpu_percent), std::tuple(50.0f, 0.0f));
  // A listing fails: its count, its filling, or a full buffer that may have missed processes. It
  // is tried again; failing twice, the table keeps its entries out of readers' sight (a snapshot
  // counts their processes inaccessible), and the next refresh spans both seconds.
  for (const auto& failure : {std::pair{-1, 9}, {9, -1}, {3, 3}}) {
    std::tie(kernel.count_reply, kernel.fill_reply) = failure;
    for (const int failing : {1, 2}) {
      kernel.overridden_listings = failing;
      kernel.process(43).task.pti_total_user += cpuSecond;
      after();
      EXPECT_EQ(std::tuple(table->find(43) != nullptr, pidsOf(*table).size()),
                std::tuple(failing == 1, 7u));
    }
    after();
    EXPECT_FLOAT_EQ(at(43).cpu_percent, 50.0f) << failure.first;
  }
}

TEST_P(MacProcessTableTest, ArgumentAreasAreReadWholeOrNotAtAll) {
  auto longer = [](FakeMacProcess& p) { p.argv = {"vim", std::string(20'000, 'x'), "notes"}; };
  const std::string atTheCap(1024 * 1024 - 28, 'y');  // with path, NULs and env: 1 MiB exactly
  // The process, its name and arguments once read, kern.argmax. The NULs after the path pad to an
  // 8-byte boundary; one beyond is an empty argv[0], and the environment is never an argument.
  // Areas no exec lays out end early, have no NUL, or are not UTF-8 (kept as they are).
  // clang-format off
  const struct { FakeMacProcess process; std::string name; Strings args; int argMax = 1 << 20; }
      rows[] = {
      {{.path = "/usr/bin/vim", .argv = {"vim"}, .after_probe = longer}, "vim",
       {"vim", std::string(MAX_COMMAND_BYTES - 3, 'x')}},  // kept as far as a command shows
      {{.path = "/bin/ab", .argv = {"ab", atTheCap}, .env = {"E=12"}}, "ab",
       {"ab", std::string(MAX_COMMAND_BYTES - 2, 'y')}},
      {{.path = "/bin/ab", .argv = {"ab", atTheCap}, .env = {"E=123"}}, "ab", {}},
      {{.path = "/bin/cd", .argv = {"cd", "x"}}, "cd", {}, 8},
      {{.path = "/bin/ef", .argv = {}}, "ef", {}},
      {{.argv = Strings(9), .area = "/bin/sh\0\0\0sh\0-"s}, "sh", {"sh", "-"}},
      {{.argv = {"x"}, .area = "/bin/sh"s}, "sh", {}},
      {{.argv = {"x"}, .area = "/x\0\xff\xfe\0"s}, "x", {"\xff\xfe"}},
      // Signed with restrictions, under SIP: the kernel leaves out what follows argv, and an
      // empty argv[0] among the path's NULs makes it keep one string more.
      {{.restricted = true, .path = "/bin/ab", .argv = {"", "-y"}}, "ab", {"-y"}},
      {{.argv = Strings(2), .area = "/x\0\0\0\0\0\0\0-y\0SECRET=1\0"s}, "x", {"-y"}}};
  // clang-format on
  for (const auto& [process, name, args, argMax] : rows) {
    kernel.arg_max = argMax;
    start({process});
    EXPECT_EQ(std::tie(at(0).name, at(0).arguments), std::tie(name, args)) << name;
  }
}

TEST_P(MacProcessTableTest, RefreshReadsOnlyWhatSelectionAndCpuNeedTheRestWhenReported) {
  // The calls of a refresh (of the trees of the seeds, when given) and of completing `reported`,
  // past the listing (count, then pids) and the CPU load.
  auto callsOf = [&](const Pids& reported, std::optional<Pids> seeds = std::nullopt) {
    kernel.calls.clear();
    after(1s, 100, false);
    seeds ? table->refreshTrees(*seeds) : void(table->refreshAll());
    table->completeProcesses(reported);
    std::string calls;
    for (std::size_t i = 3; i < kernel.calls.size(); ++i) calls += kernel.calls[i] + ",";
    return calls;
  };
  start({{.pid = 5},
         {.pid = 6, .threads = {{1, RUN_STATE_RUNNING}}},
         {.pid = 7, .uid = OTHER_USER},
         {.pid = 8, .stat = STATUS_ZOMBIE}});
  // Unreported: one call each, but another user's processes, which come from one kinfo_proc of the
  // whole machine: two walks of the process list in all. Reported: the argument area, the disk
  // totals, the threads when no thread runs, and a check that the refresh's process still holds
  // the pid; of another user's nothing the kernel would refuse, and so no check either.
  kernel.walks = 0;
  EXPECT_EQ(callsOf({}), "taskall 5,taskall 6,kinfo-all,bsd 8,");
  EXPECT_EQ(kernel.walks, 2u);
  EXPECT_EQ(callsOf({5, 6, 7, 8, 999}),
            "taskall 5,taskall 6,kinfo-all,bsd 8,"
            "args? 5,args 5,rusage 5,threads 5,thread 5,taskall 5,"
            "args? 6,args 6,rusage 6,taskall 6,rusage 8,bsd 8,");
  // A tree refresh reads each pid it walks to, then lists its children (a new process is named
  // from its path); the rest is left out of the table, and still counted.
  kernel.spawn({.pid = 9, .ppid = 5});
  EXPECT_EQ(callsOf({}, Pids{5}), "taskall 5,children 5,taskall 9,path 9,children 9,");
  EXPECT_EQ(std::tuple(pidsOf(*table), table->machineProcessCount()), std::tuple(Pids{5, 9}, 5u));
  kernel.reap(8);  // what is left out is forgotten once it leaves the listing
  callsOf({}, Pids{5});
  EXPECT_EQ(table->setAsideCount(), 2u);
  // Children that cannot be listed, or that may not all have fitted: the rest is read as well.
  for (const int reply : {-1, 4 + 20}) {
    kernel.children_reply = reply;
    EXPECT_EQ(callsOf({}, Pids{5}), "taskall 5,children 5,taskall 6,kinfo-all,taskall 9,");
  }
  kernel.children_reply.reset();
  EXPECT_EQ(at(5).arguments.capacity(), 0u);  // kept only while reported
  // Past the walk limit too; trees the table saw past it are not walked at all.
  table = std::make_unique<MacProcessTable>(kernel, clock, 1);
  table->refreshAll();
  kernel.spawn({.pid = 10, .ppid = 6});
  EXPECT_EQ(callsOf({}, Pids{6}),
            "taskall 6,children 6,taskall 10,path 10,taskall 5,kinfo-all,taskall 9,");
  EXPECT_EQ(callsOf({}, Pids{6}), "taskall 5,taskall 6,kinfo-all,taskall 9,taskall 10,");
  // Gone (6) or replaced (5) between the refresh and the completion: dropped, not reported.
  table->refreshAll();
  kernel.reap(6);
  kernel.spawn({.pid = 5, .start_s = S + 9});
  table->completeProcesses(Pids{5, 6});
  EXPECT_EQ(pidsOf(*table), (Pids{7, 9, 10}));
}

TEST_P(MacProcessTableTest, WalkedAndLazySnapshotsReportWhatAFullReadWould) {
  auto spawn = [&](const testing::WorldProcess& p) { spawnIn(kernel, p); };
  // One table walks the trees (reading the whole machine past its walk limit) and completes what
  // it reports; its twin reads and completes every process.
  for (const std::size_t limit : {USER_WALK_LIMIT, std::size_t{3}}) {
    kernel.processes.clear();
    Sampler lazy(std::make_unique<MacProcessTable>(kernel, clock, limit), clock);
    MacProcessTable everything(kernel, clock);
    Sampler full(std::make_unique<testing::BorrowedTable>(everything, true), clock);
    // But for a zombie not reported alive since its exec: the full read shows the arguments it
    // had when last read alive, and the lazy table, which never read them, shows its name.
    auto collect = [&](Pid root, const ExternalProcessMap& externals, Pid zombie = 0) {
      // Each process uses CPU at a pace of its own, so its mean use since any earlier reading is
      // its use over the last second.
      for (FakeMacProcess& p : kernel.processes) p.task.pti_total_user += 1000u * Pid(p.pid);
      kernel.passTicks(100);
      Snapshot mine = collectSnapshot(lazy, root, externals, std::nullopt);
      Snapshot whole = collectSnapshot(full, root, externals, std::nullopt);
      for (ProcessSample& r : whole.processes) r.command = r.pid == zombie ? r.name : r.command;
      EXPECT_TRUE(mine == whole) << limit << " " << root;
      clock.advance(1s);
      return mine;
    };
    const testing::WorldProcess processes[] = {
        {0, 0, S - 60, "kernel_task", {}},        {1, 0, S - 50, "launchd", {"launchd"}},
        {100, 1, S, "sh", {"sh", "-c", "run"}},   {101, 100, S, "worker", {"worker", "-v"}},
        {102, 100, S, "short", {"short", "-q"}},  {50, 1, S - 40, "daemon", {"daemon"}},
        {200, 50, S, "helper", {"helper", "-x"}}, {60, 50, S + 1, "sudo", {"sudo", "id"}},
        {202, 50, S, "agent", {"agent"}}};
    for (const auto& process : processes) spawn(process);
    collect(0, {});
    // 102 exits, 101 is in the middle of a fork; the unreported helper execs.
    kernel.process(102).stat = STATUS_ZOMBIE;
    kernel.process(101).passing = true;
    spawn({200, 50, S, "helper2", {"helper2", "--fg"}});
    EXPECT_EQ(collect(100, {}).processes.at(2).command, "short -q");
    kernel.process(101).passing = false;
    // 102 is reaped and its pid reused, 100 forks; the daemon's tree comes back after a snapshot
    // without it: the helper dead, the agent with its mean CPU use, the sudo child's pid reused.
    spawn({102, 100, S + 500, "again", {"again"}});
    spawn({103, 100, S + 500, "cc", {"cc", "-c"}});
    kernel.process(200).stat = STATUS_ZOMBIE;
    spawn({60, 50, S + 2, "sudo", {"sudo", "id"}});
    EXPECT_TRUE(collect(1, {{60, (S + 1) * 1000}}, 200).externalProcesses.empty());
    // The root exits and launchd takes its children.
    kernel.reap(100);
    for (const std::int32_t pid : {101, 102, 103}) kernel.process(pid).ppid = 1;
    EXPECT_EQ(collect(100, {{103, std::nullopt}}).processes.size(), 1u);
    // A debugger takes the worker, which launchd still lists as its child (p_oppid), and the
    // worker blanks its arguments, as a program hiding a password does. (The debugger is started
    // now: a process a walk meets after it has run a while shows 0 at first sight, where a full
    // read shows its last second.)
    spawn({300, 1, S - 10, "lldb", {"lldb"}});
    kernel.process(101).ppid = 300;
    kernel.process(101).oppid = 1;
    kernel.process(101).argv = {"", ""};
    EXPECT_EQ(collect(300, {}).processes.at(0).command, "worker");
    // The debugger execs a setuid program, whose arguments a user's sidecar may not read.
    kernel.process(300).path = "/usr/bin/sudo";
    kernel.process(300).uid = ROOT;
    EXPECT_EQ(collect(1, {}, 200).processes.back().command, "sudo");
  }
}

INSTANTIATE_TEST_SUITE_P(Timebases, MacProcessTableTest, ::testing::ValuesIn(TIMEBASES),
                         [](const auto& timebase) -> std::string {
                           return timebase.param.numer == 1 ? "Intel" : "AppleSilicon";
                         });

}  // namespace
}  // namespace procsampler::sampling::macos
