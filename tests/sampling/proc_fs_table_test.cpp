// The Linux table's lifecycle and arithmetic over scripted /proc files and a scripted clock.
#include "sampling/linux/proc_fs_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/proc_fake_files.h"

namespace procsampler::sampling::procfs {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using testing::FakeClock;
using testing::FakeProc;
using testing::FakeProcFiles;
using K = ProcessStatusKind;

constexpr std::uint64_t kBoot = 1'699'990'000;

// The table with its fake files; the aggregate CPU counter advances only when a test moves it.
struct Fixture {
  explicit Fixture(int cpus = 2) : cpus_(cpus) {
    auto owned = std::make_unique<FakeProcFiles>();
    files = owned.get();
    files->setCpu(elapsed, cpus_, kBoot);
    table = std::make_unique<ProcFsTable>(std::move(owned), clock, ProcFsTableOptions{100, 4096});
  }
  // Real time passing: both clocks, and ticks × CPUs on the aggregate line.
  void pass(std::chrono::milliseconds duration) {
    clock.advance(duration);
    elapsed +=
        static_cast<std::uint64_t>(duration.count() / 10) * static_cast<std::uint64_t>(cpus_);
    files->setCpu(elapsed, cpus_, kBoot);
  }
  // A full read: the refresh, then every entry completed, as if every process were reported.
  std::size_t refresh() {
    std::size_t examined = table->refresh_processes_specifics();
    std::vector<Pid> pids;
    table->forEachProcess([&](const Process& p) { pids.push_back(p.pid); });
    table->completeProcesses(pids);
    return examined;
  }
  const Process& at(Pid pid) {
    const Process* p = table->find(pid);
    EXPECT_NE(p, nullptr) << pid;
    static const Process kNone;
    return p ? *p : kNone;
  }

  int cpus_;
  std::uint64_t elapsed = 1'000'000;
  FakeClock clock;
  FakeProcFiles* files;
  std::unique_ptr<ProcFsTable> table;
};

TEST(ProcFsTable, FirstSightConvertsEveryValue) {
  Fixture f;
  f.files->add({.pid = 42,
                .comm = "python3",
                .state = 'R',
                .ppid = 7,
                .utime = 150,
                .stime = 25,
                .starttime = 12'345,
                .vsize = 9'000'000,
                .rss = 10,
                .cmdline = "python3\0-c\0\0pass\0"s,
                .exe = "/usr/bin/python3.11 (deleted)",
                .readBytes = 4096,
                .writeBytes = 8192});
  f.files->add({.pid = 1, .comm = "init", .ppid = 0, .exe = "/sbin/init"});
  EXPECT_EQ(f.refresh(), 2u);

  const Process& p = f.at(42);
  EXPECT_EQ(p.pid, 42u);
  EXPECT_EQ(p.parent_pid, 7u);
  EXPECT_EQ(p.name, "python3.11");
  EXPECT_EQ(p.arguments, (std::vector<std::string>{"python3", "-c", "pass"}));
  EXPECT_EQ(p.status, (ProcessStatus{K::Run, 0}));
  EXPECT_EQ(p.cpu_percent, 0.0f);
  EXPECT_EQ(p.cpu_time_ms, 1750u);
  EXPECT_EQ(p.resident_bytes, 40960u);
  EXPECT_EQ(p.virtual_bytes, 9'000'000u);
  EXPECT_EQ(p.disk_read_bytes, 4096u);
  EXPECT_EQ(p.disk_written_bytes, 8192u);
  EXPECT_EQ(p.start_time_s, kBoot + 123);  // 12345 ticks: whole seconds only
  EXPECT_EQ(p.run_time_s, 1'700'000'000u - (kBoot + 123));
  EXPECT_EQ(f.at(1).parent_pid, std::nullopt);
  EXPECT_EQ(f.table->processCount(), 2u);
}

TEST(ProcFsTable, CpuPercentIsTicksOverTheMeanElapsedPerCpu) {
  Fixture f;  // two CPUs
  f.files->add({.pid = 10, .utime = 100, .starttime = 5});
  f.files->add({.pid = 11, .utime = 100, .starttime = 5});
  f.files->add({.pid = 12, .utime = 100, .starttime = 5});
  f.files->add({.pid = 13, .utime = 100, .starttime = 5});
  f.refresh();
  EXPECT_EQ(f.at(10).cpu_percent, 0.0f);  // first sight, whatever was used before

  f.pass(1000ms);  // 100 ticks per CPU
  f.files->at(10).utime += 50;
  f.files->at(11).stime += 150;  // two threads busy
  f.files->at(12).utime += 1;
  f.refresh();
  EXPECT_FLOAT_EQ(f.at(10).cpu_percent, 50.0f);
  EXPECT_FLOAT_EQ(f.at(11).cpu_percent, 150.0f);
  EXPECT_FLOAT_EQ(f.at(12).cpu_percent, 1.0f);
  EXPECT_EQ(f.at(13).cpu_percent, 0.0f);

  f.pass(2000ms);
  f.files->at(11).utime += 100;
  f.refresh();
  EXPECT_EQ(f.at(10).cpu_percent, 0.0f);  // idle since: 0, not its earlier figure
  EXPECT_FLOAT_EQ(f.at(11).cpu_percent, 50.0f);
}

TEST(ProcFsTable, CpuIntervalIsAtLeast200MsAndReusedWithin200Ms) {
  Fixture f(1);
  f.files->add({.pid = 10, .utime = 100, .starttime = 5});
  f.refresh();

  // 100 ms of CPU clock seen after 300 ms on the monotonic clock: the floor of 20 ticks applies.
  f.clock.advance(200ms);
  f.pass(100ms);
  f.files->at(10).utime += 10;
  f.refresh();
  EXPECT_FLOAT_EQ(f.at(10).cpu_percent, 50.0f);

  // 150 ms later the previous interval (20 ticks) is used and /proc/stat is not read.
  std::size_t reads = f.files->count("system");
  f.pass(150ms);
  f.files->at(10).utime += 5;
  f.refresh();
  EXPECT_EQ(f.files->count("system"), reads);
  EXPECT_FLOAT_EQ(f.at(10).cpu_percent, 25.0f);

  // Past 200 ms a new one is made, over the 40 ticks since the last reading.
  f.pass(250ms);
  f.files->at(10).utime += 20;
  f.refresh();
  EXPECT_EQ(f.files->count("system"), reads + 1);
  EXPECT_FLOAT_EQ(f.at(10).cpu_percent, 50.0f);
}

TEST(ProcFsTable, UnusableSystemStatGivesZeroPercentForThatRefreshOnly) {
  Fixture f(1);
  f.files->add({.pid = 10, .utime = 100, .starttime = 5});
  f.refresh();
  f.pass(1000ms);
  f.files->at(10).utime += 50;
  f.files->systemStatStatus = FakeProcFiles::ReadStatus::Unreadable;
  f.refresh();
  EXPECT_EQ(f.at(10).cpu_percent, 0.0f);
  EXPECT_EQ(f.at(10).cpu_time_ms, 1500u);  // everything else is still read

  // The baseline kept from before the failure still spans the whole two seconds.
  f.files->systemStatStatus = FakeProcFiles::ReadStatus::Ok;
  f.pass(1000ms);
  f.files->at(10).utime += 50;
  f.refresh();
  EXPECT_FLOAT_EQ(f.at(10).cpu_percent, 25.0f);
}

TEST(ProcFsTable, BootTimeIsReadOnceAndLateWhenFirstUnreadable) {
  Fixture f;
  f.files->add({.pid = 10, .starttime = 500});
  f.pass(1000ms);
  f.files->setCpu(f.elapsed, 2, kBoot + 1);  // the kernel's btime moved by a second
  f.refresh();
  EXPECT_EQ(f.at(10).start_time_s, kBoot + 5);

  auto owned = std::make_unique<FakeProcFiles>();
  FakeProcFiles& files = *owned;
  files.systemStatStatus = FakeProcFiles::ReadStatus::Unreadable;
  FakeClock clock;
  ProcFsTable late(std::move(owned), clock, {100, 4096});
  files.add({.pid = 10, .starttime = 500});
  files.systemStatStatus = FakeProcFiles::ReadStatus::Ok;
  files.setCpu(1000, 1, kBoot);
  late.refresh_processes_specifics();
  ASSERT_NE(late.find(10), nullptr);
  EXPECT_EQ(late.find(10)->start_time_s, kBoot + 5);
}

TEST(ProcFsTable, ReusedPidStartsOverWithItsOwnValues) {
  Fixture f;
  f.files->add({.pid = 42,
                .comm = "old",
                .utime = 10,
                .starttime = 1000,
                .cmdline = "old\0-x\0"s,
                .exe = "/bin/old",
                .readBytes = 7,
                .writeBytes = 9});
  f.refresh();
  f.pass(1000ms);
  // Same pid, same command name, a later start: another process, whose cmdline and io cannot
  // be read. Nothing of the old process may show as the new one's.
  f.files->add({.pid = 42,
                .comm = "old",
                .utime = 80,
                .starttime = 1001,
                .cmdline = "new\0"s,
                .exe = "/bin/new",
                .cmdlineStatus = FakeProcFiles::ReadStatus::Unreadable,
                .ioStatus = FakeProcFiles::ReadStatus::Unreadable});
  f.refresh();
  const Process& p = f.at(42);
  EXPECT_EQ(p.name, "new");
  EXPECT_TRUE(p.arguments.empty());
  EXPECT_EQ(p.cpu_percent, 0.0f);
  EXPECT_EQ(p.disk_read_bytes, 0u);
  EXPECT_EQ(p.disk_written_bytes, 0u);

  // Its next refresh measures from its own first reading.
  f.pass(1000ms);
  f.files->at(42).utime += 10;
  f.refresh();
  EXPECT_FLOAT_EQ(f.at(42).cpu_percent, 10.0f);
}

TEST(ProcFsTable, VanishedProcessesAreAbsentAfterTheRefresh) {
  Fixture f;
  for (Pid pid : {10u, 11u, 12u, 13u}) f.files->add({.pid = pid, .starttime = 5});
  f.refresh();
  ASSERT_EQ(f.table->processCount(), 4u);

  f.files->procs.erase(10);                                         // no longer listed
  f.files->vanishAfterListing = {11};                               // gone before its stat is read
  f.files->at(12).cmdlineStatus = FakeProcFiles::ReadStatus::Gone;  // gone after its stat
  f.files->add({.pid = 20, .starttime = 9, .cmdlineStatus = FakeProcFiles::ReadStatus::Gone});
  f.files->add({.pid = 21, .starttime = 9, .statStatus = FakeProcFiles::ReadStatus::Unreadable});
  EXPECT_EQ(f.refresh(), 5u);
  for (Pid pid : {10u, 11u, 12u, 20u, 21u}) EXPECT_EQ(f.table->find(pid), nullptr) << pid;
  EXPECT_NE(f.table->find(13), nullptr);
  EXPECT_EQ(f.table->processCount(), 1u);
  std::size_t visited = 0;
  f.table->forEachProcess([&](const Process& p) { visited += p.pid == 13; });
  EXPECT_EQ(visited, 1u);
}

TEST(ProcFsTable, GarbledStatOrFailedListingLeavesNoEntry) {
  Fixture f;
  f.files->add({.pid = 10, .comm = "x", .starttime = 5});
  f.files->add({.pid = 11, .comm = "no) (end", .starttime = 5});
  f.files->add({.pid = 12, .statOverride = "12 (cut) S 1 2"});
  f.refresh();
  EXPECT_EQ(f.table->processCount(), 2u);
  EXPECT_EQ(f.table->find(12), nullptr);

  f.files->listingFails = true;
  EXPECT_EQ(f.refresh(), 0u);
  EXPECT_EQ(f.table->processCount(), 0u);

  // After the failure every entry is new again: 0 percent, whatever it used meanwhile.
  f.files->listingFails = false;
  f.pass(1000ms);
  f.files->at(10).utime += 50;
  f.refresh();
  EXPECT_EQ(f.at(10).cpu_percent, 0.0f);
  EXPECT_EQ(f.at(11).name, "no) (end");
}

TEST(ProcFsTable, UnreadableFilesDegradeOnlyTheirValues) {
  using RS = FakeProcFiles::ReadStatus;
  Fixture f;
  f.files->add({.pid = 10,
                .comm = "known",
                .starttime = 5,
                .cmdline = "known\0-v\0"s,
                .exe = "/bin/known",
                .readBytes = 100,
                .writeBytes = 200});
  f.files->add(
      {.pid = 11, .comm = "kworker/0:1", .ppid = 2, .starttime = 5, .exeStatus = RS::Gone});
  f.files->add({.pid = 12,
                .comm = "other",
                .starttime = 5,
                .cmdline = "other\0"s,
                .exe = "/bin/x",
                .readBytes = 3,
                .cmdlineStatus = RS::Unreadable,
                .ioStatus = RS::Unreadable,
                .exeStatus = RS::Unreadable});
  f.refresh();
  EXPECT_EQ(f.at(11).name, "kworker/0:1");  // no exe link: stat's command name
  EXPECT_TRUE(f.at(11).arguments.empty());
  EXPECT_EQ(f.at(12).name, "other");
  EXPECT_TRUE(f.at(12).arguments.empty());
  EXPECT_EQ(f.at(12).disk_read_bytes, 0u);

  // A known process keeps its previous arguments and totals when their files fail.
  f.files->at(10).cmdlineStatus = RS::Unreadable;
  f.files->at(10).ioStatus = RS::Unreadable;
  f.files->at(10).readBytes = 999;
  f.files->at(10).utime = 40;
  f.refresh();
  const Process& p = f.at(10);
  EXPECT_EQ(p.arguments, (std::vector<std::string>{"known", "-v"}));
  EXPECT_EQ(p.disk_read_bytes, 100u);
  EXPECT_EQ(p.disk_written_bytes, 200u);
  EXPECT_EQ(p.cpu_time_ms, 400u);

  // Readable again: fresh values, and a shorter command line replaces the longer one whole.
  f.files->at(10).cmdlineStatus = RS::Ok;
  f.files->at(10).ioStatus = RS::Ok;
  f.files->at(10).cmdline = "k\0"s;
  f.refresh();
  EXPECT_EQ(f.at(10).arguments, std::vector<std::string>{"k"});
  EXPECT_EQ(f.at(10).disk_read_bytes, 999u);
}

TEST(ProcFsTable, BeyondStatReadsOnlyNewProgramsAndReportedPids) {
  using Calls = std::vector<std::string>;
  Fixture f;
  f.files->add(
      {.pid = 50, .comm = "bash", .starttime = 5, .cmdline = "bash\0"s, .exe = "/usr/bin/bash"});
  f.files->add({.pid = 60, .comm = "bash", .starttime = 5, .exe = "/usr/bin/bash"});
  // First sight reads a process whole, reported or not; completing it in the same refresh then
  // reads nothing more.
  f.files->calls.clear();
  f.table->refresh_processes_specifics();
  f.table->completeProcesses(std::vector<Pid>{50});
  EXPECT_EQ(f.files->calls, (Calls{"list", "system", "stat 50", "cmdline 50", "io 50", "exe 50",
                                   "stat 60", "cmdline 60", "io 60", "exe 60"}));

  // Reported after the previous refresh: read in the same pass as its stat, so completing it
  // costs nothing. Unreported and unchanged: stat alone.
  f.files->calls.clear();
  f.pass(1000ms);
  f.table->refresh_processes_specifics();
  f.table->completeProcesses(std::vector<Pid>{50});
  EXPECT_EQ(f.files->calls, (Calls{"list", "system", "stat 50", "cmdline 50", "io 50", "stat 60"}));

  // The unreported shell execs: the new program is read at once, link included.
  f.files->at(60).comm = "sleep";
  f.files->at(60).exe = "/usr/bin/sleep";
  f.files->at(60).cmdline =
      "sleep\0"s
      "5\0"s;
  f.files->calls.clear();
  f.pass(1000ms);
  f.table->refresh_processes_specifics();
  EXPECT_EQ(f.files->calls, (Calls{"list", "system", "stat 50", "cmdline 50", "io 50", "stat 60",
                                   "cmdline 60", "io 60", "exe 60"}));
  EXPECT_EQ(f.at(60).name, "sleep");
  EXPECT_EQ(f.at(60).arguments, (std::vector<std::string>{"sleep", "5"}));

  // Newly reported, once however often named, unknown pids ignored: cmdline, io and a confirming
  // stat, which also shows an exec since the refresh.
  f.pass(1000ms);
  f.table->refresh_processes_specifics();
  f.files->at(60).comm = "vi";
  f.files->at(60).exe = "/usr/bin/vim.basic";
  f.files->calls.clear();
  f.table->completeProcesses(std::vector<Pid>{60, 999, 60});
  EXPECT_EQ(f.files->calls, (Calls{"cmdline 60", "io 60", "stat 60", "exe 60"}));
  EXPECT_EQ(f.at(60).name, "vim.basic");
}

TEST(ProcFsTable, CompletionDropsAProcessGoneOrReplacedSinceTheRefresh) {
  Fixture f;
  for (Pid pid : {10u, 11u, 12u, 13u}) {
    f.files->add({.pid = pid, .starttime = 5, .cmdline = "old\0"s, .exe = "/bin/old"});
  }
  // Seen, then left unreported: the second refresh reads only stat.
  f.table->refresh_processes_specifics();
  f.pass(1000ms);
  f.table->refresh_processes_specifics();
  f.files->procs.erase(10);                                         // exited and reaped
  f.files->at(11).cmdlineStatus = FakeProcFiles::ReadStatus::Gone;  // exiting as it is read
  // 12 exits and its pid goes to another process, whose files must not pass for the old one's.
  f.files->add({.pid = 12, .comm = "new", .starttime = 90, .cmdline = "new\0"s, .exe = "/bin/new"});
  f.table->completeProcesses(std::vector<Pid>{10, 11, 12, 13});
  for (Pid pid : {10u, 11u, 12u}) EXPECT_EQ(f.table->find(pid), nullptr) << pid;
  EXPECT_EQ(f.at(13).arguments, std::vector<std::string>{"old"});
  EXPECT_EQ(f.table->processCount(), 1u);

  // The next refresh finds the new holder of 12 as a process of its own.
  f.pass(1000ms);
  f.refresh();
  EXPECT_EQ(f.at(12).name, "new");
  EXPECT_EQ(f.at(12).arguments, std::vector<std::string>{"new"});
}

TEST(ProcFsTable, StateParentAndRunTimeAreReadEveryRefresh) {
  Fixture f;
  f.files->add({.pid = 30,
                .state = 'S',
                .ppid = 20,
                .starttime = 100 * 10'000,
                .cmdline = "daemon\0--fg\0"s});
  f.refresh();
  EXPECT_EQ(f.at(30).status, (ProcessStatus{K::Sleep, 0}));

  f.files->at(30).state = 'Z';
  f.files->at(30).ppid = 1;         // reparented when its parent exited
  f.files->at(30).cmdline.clear();  // and its memory is gone
  f.pass(3000ms);
  f.refresh();
  EXPECT_EQ(f.at(30).status, (ProcessStatus{K::Zombie, 0}));
  EXPECT_EQ(f.at(30).parent_pid, 1u);
  EXPECT_EQ(f.at(30).arguments, (std::vector<std::string>{"daemon", "--fg"}));
  EXPECT_EQ(f.at(30).run_time_s, 1'700'000'003u - (kBoot + 10'000));

  // A wall clock set back before the start gives 0, not a wrapped number.
  f.clock.setWallMillis(1'000'000'000'000LL);
  f.refresh();
  EXPECT_EQ(f.at(30).run_time_s, 0u);
}

TEST(ProcFsTable, HugeCountersSaturate) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  Fixture f;
  f.files->add({.pid = 1, .utime = kMax - 5, .stime = 10, .starttime = 5, .rss = kMax / 2});
  f.files->add({.pid = 2, .utime = kMax / 20, .starttime = 5});  // × 1000 would overflow
  f.files->add({.pid = 3, .utime = kMax / 5, .starttime = 5});
  f.refresh();
  EXPECT_EQ(f.at(1).cpu_time_ms, kMax);
  EXPECT_EQ(f.at(1).resident_bytes, kMax);
  EXPECT_EQ(f.at(2).cpu_time_ms, kMax / 20 * 10);
  EXPECT_EQ(f.at(3).cpu_time_ms, kMax);
}

}  // namespace
}  // namespace procsampler::sampling::procfs
