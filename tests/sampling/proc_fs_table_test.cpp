// The Linux source: the parsers of /proc's files, and the table over scripted /proc files and a
// scripted clock: its arithmetic, its lifecycle, which files it reads when, and that walking the
// trees and reading lazily still reports what a full read would.
#include "sampling/linux/proc_fs_table.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/proc_fake_files.h"
#include "fakes/process_world.h"

namespace procsampler::sampling::procfs {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using testing::pidsOf, testing::TreeSelectionContract;
using K = ProcessStatusKind;
using Pids = std::vector<Pid>;
using Strings = std::vector<std::string>;
constexpr auto kGone = ReadStatus::Gone, kUnreadable = ReadStatus::Unreadable;
// The machine booted 0.7 s after the epoch, so a start of whole seconds of ticks is still in its
// second. Without descriptors nothing is watched or kept: every refresh reads every stat.
constexpr ProcFsTableOptions kListing{.bootTime = 700ms, .descriptorBudget = 64};
constexpr ProcFsTableOptions kScan{.bootTime = 700ms};

TEST(ProcParsers, StatTakesTheNameToTheLastParenthesisTheFieldsAfterItAndTheStateLetter) {
  for (std::string comm : {"my prog", "a) (b", ")", "x) S 1 2 3"}) {
    std::string line = "42 (" + comm + ") S 7 1 1 0 -1 0 0 0 0 0 11 12 0 0 20 0 3 0 13 14 15 0 1\n";
    StatFields s = parseStat(line).value_or(StatFields{});
    EXPECT_EQ(std::tuple(s.comm, s.state, s.ppid, s.utime, s.stime, s.threads, s.starttime, s.vsize,
                         s.rss),
              std::tuple(comm, 'S', 7u, 11u, 12u, 3u, 13u, 14u, 15u));
  }
  // The shortest line (the scripted /proc's) ends at rss; cut short or garbled, it is refused.
  const std::string kShortest = "1 (a) R 7 1 1 0 -1 0 0 0 0 0 11 12 0 0 20 0 1 0 13 14 15";
  const std::pair<std::string, std::string> kGarbled[] = {
      {"(a)", "a)"},   {"(a)", "(a"},    {"(a)", ")a("}, {" 15", ""},
      {"R 7", "R -7"}, {" 11 ", " 1x "}, {"R", "RS"},    {"15", "99999999999999999999"}};
  for (auto [from, to] : kGarbled) {
    std::string line = kShortest;
    EXPECT_FALSE(parseStat(line.replace(line.find(from), from.size(), to))) << line;
  }
  // Sleep and Zombie show in the tables' tests.
  // clang-format off
  const std::pair<char, ProcessStatus> kLetters[] = {
      {'R', {K::Run}}, {'D', {K::UninterruptibleDiskSleep}}, {'T', {K::Stop}}, {'t', {K::Tracing}},
      {'X', {K::Dead}}, {'x', {K::Dead}}, {'K', {K::Wakekill}}, {'W', {K::Waking}},
      {'P', {K::Parked}}, {'I', {K::Idle}}, {'r', {K::Unknown, 114}}, {'\xe9', {K::Unknown, 0xe9}}};
  // clang-format on
  for (auto [letter, status] : kLetters) EXPECT_EQ(statusFromStateLetter(letter), status) << letter;
}

TEST(ProcParsers, IoTakesStorageBytesOnlySchedstatItsFirstFieldExeItsFinalComponent) {
  EXPECT_EQ(parseSchedstat("35107000 2215 14\n"), 35107000u);
  EXPECT_FALSE(parseSchedstat("-1 0 0\n"));
  EXPECT_EQ(parseStatusEffectiveUid("Name:\tUid:\t7\nUmask:\t0022\nUid:\t1000\t0\t0\t0\n"), 0u);
  EXPECT_FALSE(parseStatusEffectiveUid("Name:\tsh\nGid:\t0\t0\t0\t0\n"));
  auto io = parseIo("rchar: 40\nread_bytes: 12288\nwrite_bytes: 8192\ncancelled_write_bytes: 4096");
  EXPECT_EQ(std::tuple(io.value().readBytes, io.value().writeBytes), std::tuple(12288u, 8192u));
  for (const char* refused : {"rchar: 4000\nwchar: 3000\n", "read_bytes: 1\nwrite_bytes: -2\n",
                              "read_bytes: 1\ncancelled_write_bytes: 2\n"}) {
    EXPECT_FALSE(parseIo(refused)) << refused;
  }
  // clang-format off
  const std::pair<std::string_view, std::string_view> kLinks[] = {
      {"/tmp/ (deleted)x", " (deleted)x"}, {"/opt/my app (deleted) (deleted)", "my app (deleted)"},
      {"plain", "plain"}, {"/usr/lib/./", "lib"}, {"/usr/..", ""}, {"/", ""}};
  // clang-format on
  for (auto [link, name] : kLinks)
    EXPECT_EQ(finalComponent(stripDeletedSuffix(link)), name) << link;
}

TEST(ProcParsers, MachineAndFootprintMemoryInKiBAndSystemStatCountsIowaitAsIdle) {
  const SystemStat stat = parseSystemStat(
      "cpu  10 1 5 100 7 1 1 2 3 0\ncpu0 5 0 2 50 3 0 0 1\ncpu1 5 1 3 50 4 1 1 1\n");
  EXPECT_EQ(std::tuple(stat.cpu->elapsedTicks, stat.cpu->idleTicks, stat.cpu->cpuCount),
            std::tuple(127u, 107u, 2u));
  const MemInfo memory = parseMemInfo("MemTotal:  16 kB\nMemFree:  1 kB\nMemAvailable:  9 kB\n");
  EXPECT_EQ(std::tuple(memory.totalBytes, memory.availableBytes), std::tuple(16384u, 9216u));
  // A kernel before 3.14 has no MemAvailable; a garbled figure is none.
  for (const char* partial : {"MemTotal: 16 kB\n", "MemTotal: 16 kB\nMemAvailable: -9 kB\n"}) {
    EXPECT_EQ(std::tuple(parseMemInfo(partial).totalBytes, parseMemInfo(partial).availableBytes),
              std::tuple(16384u, std::nullopt))
        << partial;
  }
  EXPECT_EQ(parseStatusFootprint("VmRSS:\t9 kB\nRssAnon:\t3 kB\nRssFile:\t6 kB\nVmSwap:\t2 kB\n"),
            5120u);
  EXPECT_FALSE(parseStatusFootprint("Name:\tkthreadd\nUid:\t0\t0\t0\t0\n"));  // no memory
}

// The table over scripted files; a process spawned as "x" runs /opt/x.bin.
struct ProcFilesWorld final : testing::ProcessWorld {
  explicit ProcFilesWorld(Clock& clock, ProcFsTableOptions options = kListing)
      : proc(std::unique_ptr<ProcFiles>(files), clock, options) {}
  void spawn(const testing::WorldProcess& p) override {
    std::string cmdline;
    for (const std::string& argument : p.arguments) cmdline += argument + '\0';
    // clang-format off
    files->add({.pid = p.pid, .ppid = p.ppid, .comm = p.name, .starttime = p.startSeconds * 100,
                .cmdline = cmdline, .exe = "/opt/" + p.name + ".bin", .ranNs = 1});
    // clang-format on
  }
  void exit(Pid pid) override { files->exitProcess(pid, true); }
  ProcessTable& table() override { return proc; }
  testing::FakeProcFiles* files = new testing::FakeProcFiles;
  ProcFsTable proc;
};

// The contract's processes start up to minutes past its clock's wall time, which the table would
// show as the refresh's second, so its clock is set a day on.
testing::ProcessWorldFactory worldWith(ProcFsTableOptions options) {
  return [options](Clock& clock) {
    static_cast<testing::FakeClock&>(clock).setWall(WallTime(1'700'086'400s));
    return std::make_unique<ProcFilesWorld>(clock, options);
  };
}
INSTANTIATE_TEST_SUITE_P(ProcFiles, TreeSelectionContract,
                         ::testing::Values(worldWith(kListing), worldWith(kScan)));

class ProcFsTableTest : public ::testing::Test {
 protected:
  // The boot clock of a machine that booted 0.7 s after the epoch, as the options say.
  ProcFsTableTest() { files_.sinceBoot = clock_.wallNow().time_since_epoch() - 700ms; }
  void pass(std::chrono::milliseconds time) {  // on every clock and both CPUs
    clock_.advance(time);
    files_.sinceBoot += time;
    files_.cpuTicks += static_cast<std::uint64_t>(time / 10ms) * 2;
  }
  void refresh() { testing::refreshAll(table_); }  // as if every process were reported
  const Process& at(Pid pid) { return testing::entryOf(table_, pid); }
  testing::FakeClock clock_;
  ProcFilesWorld world_{clock_};
  testing::FakeProcFiles& files_ = *world_.files;
  ProcFsTable& table_ = world_.proc;
};

TEST_F(ProcFsTableTest, CpuPercentIsTicksOverTheMeanElapsedTimePerCpu) {
  files_.add({.pid = 10, .utime = 100});
  refresh();
  EXPECT_EQ(at(10).cpu_percent, 0.0f);  // first sight
  // clang-format off
  const struct { std::chrono::milliseconds monotonicOnly, passed; std::uint64_t ticks;
                 bool reported, systemFails; float percent; long systemStatReads; } kSteps[] = {
      {0ms, 1000ms, 150, true, false, 150.0f, 1},  // user and system time, in percent of one CPU
      {0ms, 2000ms, 0, true, false, 0.0f, 1},      // idle since
      {200ms, 100ms, 10, true, false, 50.0f, 1},   // 300 ms apart: an interval of at least 200 ms
      {0ms, 150ms, 5, true, false, 25.0f, 0},      // under 200 ms: the previous interval again
      {0ms, 250ms, 20, true, false, 50.0f, 1},     // since the last reading, 400 ms
      // Not read while unreported: then its mean use since its last reading, over every interval
      // since, unless one of them had none.
      {0ms, 1000ms, 100, false, true, 50.0f, 1}, {0ms, 1000ms, 300, true, false, 0.0f, 1},
      {0ms, 1000ms, 300, true, false, 300.0f, 1}};
  // clang-format on
  for (const auto& step : kSteps) {
    clock_.advance(step.monotonicOnly);
    pass(step.passed);
    files_.procs[10].utime += step.ticks / 2;
    files_.procs[10].stime += step.ticks - step.ticks / 2;
    files_.calls.clear();
    files_.failing["system"] = step.systemFails ? kUnreadable : ReadStatus::Ok;
    const Pids reported = step.reported ? Pids{10} : Pids{};
    table_.refreshTrees(reported);
    table_.completeProcesses(reported);
    EXPECT_FLOAT_EQ(at(10).cpu_percent, step.percent) << step.passed.count();
    EXPECT_EQ(std::count(files_.calls.begin(), files_.calls.end(), "system"), step.systemStatReads);
  }
}

TEST_F(ProcFsTableTest, MachineCpuIsBusyTicksOverTheProcessesIntervalReadWithMemory) {
  refresh();
  // A second on both CPUs (200 ticks), 120 of them idle and 30 waiting for I/O: half a CPU busy.
  files_.idleTicks += 120, files_.iowaitTicks += 30;
  pass(1000ms);
  refresh();
  const MachineTotals read{.cpuCount = 2,
                           .cpuPercent = 50.0f,
                           .memoryTotalBytes = 8'192'000'000,
                           .memoryAvailableBytes = 6'144'000'000,
                           .uptimeMs = 1'700'000'000'300};
  EXPECT_EQ(table_.machineTotals(), read);
  // Within 200 ms the figures are the last interval's, as the processes' are; then a failed
  // meminfo costs the memory figures only, a failed stat the CPU figures only.
  files_.failing["meminfo"] = kUnreadable;
  pass(100ms);
  refresh();
  EXPECT_EQ(table_.machineTotals().memoryAvailableBytes, read.memoryAvailableBytes);
  pass(200ms);
  files_.failing["system"] = kUnreadable;
  refresh();
  EXPECT_EQ(table_.machineTotals(), (MachineTotals{.uptimeMs = 1'700'000'000'600}));
}

TEST_F(ProcFsTableTest, KnownProcessKeepsUnreadableDetailsVanishedOnesGoAsDoesAFailedListing) {
  files_.add({42, 0, "old", 1000, "old\0\0-x\0"s, "/bin/old (deleted)", 'S', 0, 0, 9000, 10, 7, 9});
  for (Pid pid : {12u, 13u}) world_.spawn({pid, 1, 5, "p", {"p"}});
  files_.procs[13].starttime = 530;  // 5.3 s after a boot 0.7 s into its second: in the 6th
  refresh();
  // What 42 now holds in cmdline and io must not show: both turn unreadable below. 12 goes after
  // the refresh read its stat.
  // Its resident memory is statm's, not stat's approximation.
  files_.procs[42] = {42, 0, "old", 1000, "new args", "/bin/old", 'S', 10, 0, 9000, 10, 99, 99};
  files_.procs[42].resident = 12;
  files_.failing = {{"schedstat 12", kGone}, {"cmdline 12", kGone}};
  files_.failing["cmdline 42"] = files_.failing["io 42"] = kUnreadable;
  pass(1000ms);
  refresh();
  EXPECT_EQ(pidsOf(table_), (Pids{13, 42}));
  EXPECT_EQ(at(13).start_time_s, 6u);
  const Process& p = at(42);
  EXPECT_EQ(std::tie(p.name, p.arguments, p.parent_pid),
            std::tuple("old", Strings{"old", "-x"}, std::nullopt));
  EXPECT_EQ((std::vector{p.cpu_time_ms, p.resident_bytes, p.virtual_bytes, p.disk_read_bytes,
                         p.disk_written_bytes, p.start_time_s, p.run_time_s}),
            (std::vector<std::uint64_t>{100, 49152, 9000, 7, 9, 10, 1'700'000'000 - 10}));
  EXPECT_EQ(std::tuple(p.io_refused, at(13).io_refused), std::tuple(true, false));
  files_.failing = {{"list", kUnreadable}};  // a failed listing leaves the table empty
  EXPECT_EQ(table_.refreshAll(), 0u);
  EXPECT_EQ(table_.processCount() + table_.heldDescriptors(), 0u);
}

// A refresh that reads a process's ticks 700 ms in: its first percentage divides what it used by
// the 300 ms between its own two readings, not by the refreshes' whole second.
TEST_F(ProcFsTableTest, AProcessSpanRunsBetweenTheTwoReadingsOfItsOwnTicks) {
  files_.add({.pid = 10});
  files_.races["stat 10"] = [this](testing::FakeProcFiles&) { pass(700ms); };
  refresh();
  pass(300ms);
  files_.procs[10].utime += 15;
  refresh();
  EXPECT_FLOAT_EQ(at(10).cpu_percent, 50.0f);
}

// The wall clock set back an hour: run times follow the boot clock, a start stays what it was, and
// one that falls after the refresh shows the refresh's second until the clock has passed it.
TEST_F(ProcFsTableTest, AWallClockSetBackMovesNoRunTimeAndNoStartPastTheRefresh) {
  files_.add({.pid = 1, .ppid = 0});
  refresh();
  const std::uint64_t start = at(1).start_time_s, startedAt = unixSeconds(clock_.wallNow());
  const auto started = files_.sinceBoot;
  clock_.setWall(clock_.wallNow() - 1h);
  files_.add({.pid = 2, .starttime = static_cast<std::uint64_t>(started / 10ms)});
  for (const auto passed : {1s, 3600s}) {
    pass(passed);
    refresh();
    EXPECT_EQ(std::tuple(at(1).start_time_s, at(1).run_time_s),
              std::tuple(start, static_cast<std::uint64_t>(files_.sinceBoot / 1s)));
    EXPECT_EQ(at(2).start_time_s, std::min(unixSeconds(clock_.wallNow()), startedAt));
    // To the millisecond, the boot instant's fraction included, but held back with the second.
    EXPECT_EQ(std::tuple(at(1).start_time_ms, at(2).start_time_ms),
              std::tuple(700u, at(2).start_time_s * 1000));
  }
}

// A report shows what the kernel holds at its completion, whether or not the process ran since the
// last one, and whether or not it was reported in between.
TEST_F(ProcFsTableTest, AReportShowsWhatTheKernelHoldsWhetherOrNotTheProcessRan) {
  world_.spawn({10, 1, 1, "sleep", {"sleep", "9"}});
  auto report = [&](bool reported = true,
                    std::chrono::milliseconds passed = 1000ms) -> const Process& {
    pass(passed);
    const Pids pids = reported ? Pids{10} : Pids{};
    table_.refreshTrees(Pids{10});
    table_.completeProcesses(pids);
    return at(10);
  };
  report();
  EXPECT_EQ(report().uid, 1000u);  // the effective one
  // Another process writes its argument area while it sleeps (its run time does not move), and
  // reclaim takes pages: both show once their reading is 10 s old.
  files_.procs[10].cmdline = "title\0"s;
  files_.procs[10].resident = 3;
  EXPECT_EQ(report(true, 9s).arguments, Strings{"title"});
  EXPECT_EQ(at(10).resident_bytes, 3u * 4096);
  // It execs a link of another name to a program of the same short name, reported or not, and
  // then a set-user-ID one, which makes root its effective user.
  for (const auto& [reported, uid] : {std::pair(true, 1000u), std::pair(false, 0u)}) {
    const std::string exe = reported ? "/opt/walkhelper" : "/opt/walkhelper2";
    files_.add(
        {.pid = 10, .comm = "sleep", .starttime = 100, .cmdline = "s\0"s, .exe = exe, .uid = uid});
    report(reported), report(reported), report(reported);
    EXPECT_EQ(report().name, exe.substr(5));
    EXPECT_EQ(at(10).uid, uid);
  }
  // It exits: a zombie keeps the arguments it was last reported with, however long it goes
  // unreported in between.
  files_.exitProcess(10, false);
  report(), report(false), report(false), report(false);
  EXPECT_EQ(report().arguments, Strings{"s"});
}

// Each step changes the machine, then refreshes root 5's tree and completes the reported pids;
// the calls past "list" and "system" are compared.
TEST_F(ProcFsTableTest, ATreeRefreshReadsWhatCanHaveChangedAndCompletionWhatIsReported) {
  // A megabyte of NULs before its arguments, as a program that blanks its title leaves: never
  // read unreported, and at a report only as far as a command shows.
  const std::string huge = std::string(1 << 20, '\0') + "sh";
  const testing::WorldProcess kWorld[] = {{1, 0, 1, "init", {"init"}}, {5, 1, 1, "sh", {"sh"}},
                                          {6, 5, 1, "sh", {huge}},     {7, 1, 1, "sh", {"sh"}},
                                          {8, 7, 1, "sh", {"sh"}},     {9, 1, 1, "sh", {"sh"}}};
  for (const testing::WorldProcess& p : kWorld) world_.spawn(p);
  auto callsOf = [&](const Pids& reported) {
    files_.calls.clear();
    table_.refreshTrees(Pids{5});
    table_.completeProcesses(reported);
    std::string calls;  // past "list" and "system"
    for (std::size_t i = 2; i < files_.calls.size(); ++i) calls += files_.calls[i] + ",";
    return calls;
  };
  table_.refreshAll();  // configure's: every stat, watching each process
  // clang-format off
  const struct { std::function<void()> change; Pids reported; std::string calls; } kSteps[] = {
      // Watched and unchanged: nothing read but the reported, whose files are then kept open.
      {[] {}, {5, 6},
       "schedstat 5,cmdline 5,statm 5,io 5,status 5,exe 5,stat 5,"
       "schedstat 6,cmdline 6,statm 6,io 6,status 6,exe 6,stat 6,"},
      // Not run since, and its arguments and memory read a second ago: its run time and stat.
      {[] {}, {5, 6}, "schedstat 5,stat 5,schedstat 6,stat 6,"},
      // 7 ends and 8 goes to pid 1, 9 forks 10, 5 starts a thread that forks 11, 6 execs: a new
      // pid is watched, read and named; an orphan read anew; an exec named at its report.
      {[&] {
         files_.exitProcess(7, true);
         world_.spawn({10, 9, 2, "sh", {"sh"}});
         files_.procs[5].threads = {51};
         ++files_.procs[5].ranNs;
         world_.spawn({11, 5, 2, "cc", {"cc"}});
         world_.spawn({6, 5, 1, "vi", {"vi"}});
       }, {5, 6, 11},
       "watch 10,stat 10,exe 10,watch 11,stat 11,exe 11,stat 8,"
       "schedstat 5,cmdline 5,statm 5,io 5,status 5,exe 5,stat 5,"
       "schedstat 6,cmdline 6,statm 6,io 6,status 6,exe 6,stat 6,exe 6,"
       "schedstat 11,cmdline 11,statm 11,io 11,status 11,exe 11,stat 11,"},
      // 11 exits unreported; the tree is no longer reported but for its root, now of two threads:
      // read in full, as its run time covers only one of them.
      {[&] { files_.exitProcess(11, false); }, {5},
       "stat 11,schedstat 5,cmdline 5,statm 5,io 5,status 5,exe 5,stat 5,"}};
  // clang-format on
  for (const auto& step : kSteps) {
    step.change();
    pass(1000ms);
    EXPECT_EQ(callsOf(step.reported), step.calls);
  }
  EXPECT_LT(files_.cmdlineBytes, 4 * MAX_COMMAND_BYTES);  // 6 reported three times
  // 6 and 11 let go of their kept files (and 6 of its arguments) after a refresh without a
  // report. Left: a watch for every live process, the zombie's stat (read until it is gone), and
  // the files of the one still reported that are read at every completion (stat, schedstat) or
  // hold no kernel buffer (cmdline).
  callsOf({5});
  EXPECT_EQ(table_.heldDescriptors(), 6u + 1 + 3);
  EXPECT_EQ(at(6).arguments.capacity(), 0u);
}

TEST_F(ProcFsTableTest, WalkingSnapshotsReportWhatAFullReadWould) {
  // Every way of reading, each against a full read (stat of every pid at every refresh, every
  // process completed: table_) of the machine files_ holds: the listing; the scan (no descriptors
  // at all); descriptors running out mid-way.
  // A table may also find fewer descriptors than its budget counts on (another table in the process
  // holds the rest).
  // clang-format off
  const struct { const char* name; ProcFsTableOptions options; std::size_t limit; } kVariants[] = {
      {"listing", kListing, SIZE_MAX}, {"scan", kScan, SIZE_MAX},
      {"few descriptors", {.bootTime = 700ms, .descriptorBudget = 7}, SIZE_MAX},
      {"fewer descriptors", {.bootTime = 700ms, .descriptorBudget = 4}, SIZE_MAX},
      {"few kernel buffers", {.bootTime = 700ms, .descriptorBudget = 64, .keptBufferBudget = 3},
       SIZE_MAX},
      {"fewer descriptors than counted on", kListing, 12}};
  // clang-format on
  std::vector<std::unique_ptr<ProcFilesWorld>> walkers;
  std::vector<Sampler> samplers;
  for (const auto& variant : kVariants) {
    walkers.push_back(std::make_unique<ProcFilesWorld>(clock_, variant.options));
    walkers.back()->files->descriptorLimit = variant.limit;
    samplers.emplace_back(std::make_unique<testing::BorrowedTable>(walkers.back()->proc), clock_);
  }
  Sampler full(std::make_unique<testing::BorrowedTable>(table_, true), clock_);
  auto collect = [&](Pid root, const ExternalProcessMap& externals) {
    for (auto& walker : walkers) walker->files->mirror(files_);
    const Snapshot whole = collectSnapshot(full, root, externals, std::nullopt);
    for (std::size_t i = 0; i < std::size(kVariants); ++i) {
      EXPECT_TRUE(collectSnapshot(samplers[i], root, externals, std::nullopt) == whole)
          << kVariants[i].name << " under " << root;
      EXPECT_LE(walkers[i]->proc.heldDescriptors(), kVariants[i].options.descriptorBudget);
      EXPECT_LE(walkers[i]->proc.keptBuffers(), kVariants[i].options.keptBufferBudget);
    }
    // Each process busy at a steady rate, so that its mean use since any earlier reading is its
    // use since the previous one: a walker reads unreported processes seldom, the full read always.
    pass(1000ms);
    for (auto& [pid, p] : files_.procs) p.utime += p.state == 'Z' ? 0 : pid % 7;
    return whole;
  };
  // 300 is a subreaper with a grandchild.
  const testing::WorldProcess kWorld[] = {
      {1, 0, 0, "init", {"init"}},          {100, 1, 50, "sh", {"sh", "-c", "run"}},
      {101, 100, 60, "worker", {"worker"}}, {102, 100, 60, "short", {"short"}},
      {300, 1, 30, "reaper", {"reaper"}},   {301, 300, 30, "mid", {"mid"}},
      {302, 301, 30, "leaf", {"leaf"}}};
  for (const auto& process : kWorld) world_.spawn(process);
  const ExternalProcessMap reaper{{300, std::nullopt}};
  collect(100, reaper);
  // The root and the worker fork.
  world_.spawn({103, 100, 70, "cc", {"cc", "-c"}});
  world_.spawn({104, 101, 70, "sub", {"sub"}});
  collect(100, reaper);
  // 101 execs a program of the same short name; 302 forks 303 and is killed and reaped while the
  // collection completes it, which hands 303 to the subreaper: one snapshot without 302, the next
  // with 303 under 300.
  files_.add({.pid = 101, .ppid = 100, .comm = "worker", .starttime = 6000, .exe = "/opt/w2"});
  world_.spawn({303, 302, 80, "leaf", {"leaf"}});
  files_.races["schedstat 302"] = [](testing::FakeProcFiles& f) { f.exitProcess(302, true, 300); };
  EXPECT_EQ(collect(100, reaper).processes.at(1).name, "w2");
  EXPECT_EQ(collect(100, reaper).processes.size(), 8u);
  // 102 exits, a zombie; 104 ends; 301 ends, 302 goes to the subreaper, and 301's pid is taken at
  // once.
  files_.exitProcess(102, false);
  files_.exitProcess(104, true);
  files_.exitProcess(301, true, 300);
  world_.spawn({301, 1, 90, "mid", {"mid"}});
  EXPECT_EQ(collect(100, reaper).processes.at(2).status, "Zombie");
  // The root exits: a zombie, then gone, its children handed to pid 1.
  files_.exitProcess(100, false);
  EXPECT_EQ(collect(100, reaper).processes.size(), 3u);
  files_.exitProcess(100, true);
  EXPECT_EQ(collect(100, reaper).processes.size(), 2u);
}

}  // namespace
}  // namespace procsampler::sampling::procfs
