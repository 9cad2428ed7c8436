// The Linux table over scripted /proc files and a scripted clock: its arithmetic, its lifecycle,
// which files it reads when, and that reading lazily still reports what a full read would.
#include "sampling/linux/proc_fs_table.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/proc_fake_files.h"
#include "fakes/process_world.h"

namespace procsampler::sampling::procfs {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using testing::TreeSelectionContract;
using Pids = std::vector<Pid>;
using Strings = std::vector<std::string>;
constexpr auto kGone = ReadStatus::Gone, kUnreadable = ReadStatus::Unreadable;

Pids pidsOf(const ProcessTable& table) {
  Pids pids;
  table.forEachProcess([&](const Process& p) { pids.push_back(p.pid); });
  std::sort(pids.begin(), pids.end());
  return pids;
}

// The table over scripted files; a process spawned as "x" runs /opt/x.bin. The machine booted
// 0.7 s after the epoch, so a start of whole seconds of ticks is still in its second.
struct ProcFilesWorld final : testing::ProcessWorld {
  explicit ProcFilesWorld(Clock& clock)
      : proc(std::unique_ptr<ProcFiles>(files), clock, {.bootTime = 700ms}) {}
  void spawn(const testing::WorldProcess& p) override {
    std::string cmdline;
    for (const std::string& argument : p.arguments) cmdline += argument + '\0';
    files->add({p.pid, p.ppid, p.name, p.startSeconds * 100, cmdline, "/opt/" + p.name + ".bin"});
  }
  void exit(Pid pid) override { files->procs.erase(pid); }
  ProcessTable& table() override { return proc; }
  testing::FakeProcFiles* files = new testing::FakeProcFiles;
  ProcFsTable proc;
};

INSTANTIATE_TEST_SUITE_P(ProcFiles, TreeSelectionContract,
                         ::testing::Values(testing::ProcessWorldFactory([](Clock& clock) {
                           return std::make_unique<ProcFilesWorld>(clock);
                         })));

class ProcFsTableTest : public ::testing::Test {
 protected:
  void pass(std::chrono::milliseconds time) {  // on both clocks and both CPUs
    clock_.advance(time);
    files_.cpuTicks += static_cast<std::uint64_t>(time / 10ms) * 2;
  }
  void refresh() {  // as if every process were reported
    table_.refresh_processes_specifics();
    table_.completeProcesses(pidsOf(table_));
  }
  const Process& at(Pid pid) {
    return table_.find(pid) ? *table_.find(pid) : throw std::out_of_range(std::to_string(pid));
  }
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
                 float percent; long systemStatReads; } kSteps[] = {
      {0ms, 1000ms, 150, 150.0f, 1},  // user and system time, in percent of one CPU
      {0ms, 2000ms, 0, 0.0f, 1},      // idle since
      {200ms, 100ms, 10, 50.0f, 1},   // 300 ms apart: an interval of at least 200 ms
      {0ms, 150ms, 5, 25.0f, 0},      // under 200 ms: the previous interval again
      {0ms, 250ms, 20, 50.0f, 1}};    // since the last reading, 400 ms
  // clang-format on
  for (const auto& step : kSteps) {
    clock_.advance(step.monotonicOnly);
    pass(step.passed);
    files_.procs[10].utime += step.ticks / 2;
    files_.procs[10].stime += step.ticks - step.ticks / 2;
    files_.calls.clear();
    refresh();
    EXPECT_FLOAT_EQ(at(10).cpu_percent, step.percent) << step.passed.count();
    EXPECT_EQ(std::count(files_.calls.begin(), files_.calls.end(), "system"), step.systemStatReads);
  }
}

TEST_F(ProcFsTableTest, KnownProcessKeepsUnreadableDetailsVanishedOnesGoAReusedPidStartsOver) {
  files_.add({42, 0, "old", 1000, "old\0\0-x\0"s, "/bin/old (deleted)", 'S', 0, 0, 9000, 10, 7, 9});
  for (Pid pid : {10u, 11u, 12u, 13u}) world_.spawn({pid, 1, 5, "p", {"p"}});
  files_.procs[13].starttime = 530;  // 5.3 s after a boot 0.7 s into its second: in the 6th
  refresh();
  // What 42 now holds in cmdline and io must not show: both turn unreadable below.
  files_.procs[42] = {42, 0, "old", 1000, "new args", "/bin/old", 'S', 10, 0, 9000, 10, 99, 99};
  files_.procs[13].state = 'Z';
  // 10 exits; 11 goes between the listing and its stat, 12 after its stat.
  world_.exit(10);
  files_.failing = {{"stat 11", kGone}, {"cmdline 12", kGone}};
  files_.failing["cmdline 42"] = files_.failing["io 42"] = kUnreadable;
  pass(1000ms);
  EXPECT_EQ(table_.refresh_processes_specifics(), 4u);
  EXPECT_EQ(pidsOf(table_), (Pids{13, 42}));
  EXPECT_EQ(std::tuple(at(13).status.kind, at(13).start_time_s),
            std::tuple(ProcessStatusKind::Zombie, 6u));
  const Process& p = at(42);
  EXPECT_EQ(std::tie(p.name, p.arguments, p.parent_pid),
            std::tuple("old", Strings{"old", "-x"}, std::nullopt));
  EXPECT_EQ((std::vector{p.cpu_time_ms, p.resident_bytes, p.virtual_bytes, p.disk_read_bytes,
                         p.disk_written_bytes, p.start_time_s, p.run_time_s}),
            (std::vector<std::uint64_t>{100, 40960, 9000, 7, 9, 10, 1'700'000'001 - 10}));

  // The same pid and command name, a later start: another process, whose details are unreadable.
  files_.add({42, 1, "old", 1001, "", "/bin/new", 'S', 80});
  pass(1000ms);
  refresh();
  const Process& q = at(42);
  EXPECT_EQ(std::tie(q.name, q.arguments, q.cpu_percent, q.disk_read_bytes, q.disk_written_bytes),
            std::tuple("new", Strings{}, 0.0f, 0u, 0u));

  files_.failing = {{"list", kUnreadable}};  // a failed listing leaves the table empty
  EXPECT_EQ(table_.refresh_processes_specifics(), 0u);
  EXPECT_EQ(table_.processCount(), 0u);
}

TEST_F(ProcFsTableTest, ReadsBeyondStatOnlyWhatANewProgramOrAReportedPidNeeds) {
  auto callsOf = [&](const Pids& reported, const std::function<void()>& meanwhile) {
    files_.calls.clear();
    pass(1000ms);
    table_.refresh_processes_specifics();
    meanwhile();
    table_.completeProcesses(reported);
    std::string calls;  // past "list" and "system"
    for (std::size_t i = 2; i < files_.calls.size(); ++i) calls += files_.calls[i] + ",";
    return calls;
  };
  // A megabyte of arguments: never read unreported, and reported only as far as a command shows.
  const std::string huge = std::string(1 << 20, 'a') + '\0';
  for (Pid pid : {5u, 6u}) world_.spawn({pid, 1, 1, "sh", {pid == 5 ? "sh" : huge}});
  // First sight names a process, reported or not; completing it reads its details and confirms
  // with stat who holds the pid.
  EXPECT_EQ(callsOf({5}, [] {}), "stat 5,exe 5,stat 6,exe 6,cmdline 5,io 5,stat 5,");
  // Reported last time: read with its stat. Unreported and unchanged: stat alone.
  for (Pid pid : {7u, 8u}) world_.spawn({pid, 1, 1, "sh", {"sh"}});
  EXPECT_EQ(callsOf({5}, [] {}), "stat 5,cmdline 5,io 5,stat 6,stat 7,exe 7,stat 8,exe 8,");
  // An unreported exec: the new program is named at once.
  world_.spawn({7, 1, 1, "sleep", {"sleep", "5"}});
  EXPECT_EQ(callsOf({}, [] {}), "stat 5,cmdline 5,io 5,stat 6,stat 7,exe 7,stat 8,");
  // Newly reported, named twice, unknown pids ignored: cmdline, io, and a stat that confirms who
  // holds the pid and shows an exec since the refresh. Gone (7) or replaced (8) since: dropped.
  EXPECT_EQ(
      callsOf({6, 999, 6, 7, 8},
              [&] {
                world_.spawn({6, 1, 1, "vi", {huge}});
                world_.exit(7);
                world_.spawn({8, 1, 90, "new", {"new"}});
              }),
      "stat 5,stat 6,stat 7,stat 8,cmdline 6,io 6,stat 6,exe 6,cmdline 7,cmdline 8,io 8,stat 8,");
  EXPECT_EQ(at(6).name, "vi.bin");
  EXPECT_EQ(at(6).arguments, Strings{std::string(MAX_COMMAND_BYTES + 1, 'a')});
  EXPECT_LT(files_.cmdlineBytes, 2 * MAX_COMMAND_BYTES);
  EXPECT_EQ(pidsOf(table_), (Pids{5, 6}));
  // Read with its stat once more, in case it is reported again; after that, nothing is kept.
  callsOf({}, [] {});
  callsOf({}, [] {});
  EXPECT_EQ(at(6).arguments.capacity(), 0u);
}

TEST_F(ProcFsTableTest, LazySnapshotsReportWhatAFullReadWould) {
  ProcFilesWorld twin(clock_);
  Sampler lazy(std::make_unique<testing::BorrowedTable>(table_), clock_);
  Sampler full(std::make_unique<testing::BorrowedTable>(twin.proc), clock_);
  // But for a process first reported as a zombie: its command line reads as empty, so the full
  // read shows the arguments it had when last read alive, which it may have rewritten since, and
  // the lazy table, which never read them, shows its name.
  auto collect = [&](Pid root, const ExternalProcessMap& externals, Pid zombie = 0) {
    *twin.files = files_;
    Snapshot mine = collectSnapshot(lazy, root, externals, std::nullopt);
    Snapshot whole = collectSnapshot(full, root, externals, std::nullopt);
    for (ProcessSample& record : whole.processes) {
      if (record.pid == zombie) record.command = record.name;
    }
    EXPECT_TRUE(mine == whole) << root;
    twin.proc.completeProcesses(pidsOf(twin.proc));  // the rest as well: a full read
    pass(1000ms);
    return mine;
  };
  const testing::WorldProcess kWorld[] = {
      {1, 0, 0, "init", {"init"}},          {100, 1, 50, "sh", {"sh", "-c", "run"}},
      {101, 100, 60, "worker", {"worker"}}, {102, 100, 60, "short", {"short"}},
      {200, 1, 10, "daemon", {"daemon"}},   {201, 200, 20, "helper", {"helper", "-x"}}};
  for (const auto& process : kWorld) world_.spawn(process);
  collect(0, {});
  // 102 exits unreported: a zombie has no exe link and an empty command line, so only the name
  // read at first sight stands for it. The unreported daemon and helper exec.
  files_.procs[102].state = 'Z';
  files_.procs[102].cmdline.clear();
  files_.failing = {{"exe 102", kGone}};
  world_.spawn({200, 1, 10, "daemon2", {"daemon2", "--fg"}});
  world_.spawn({201, 200, 20, "helper2", {"helper2"}});
  const ProcessSample zombie = collect(100, {}, 102).processes.at(2);
  EXPECT_EQ(zombie.name + " " + zombie.command, "short.bin short.bin");
  // 102 is reaped and its pid reused under the root; the worker, reported, reads and retitles
  // itself; the new helper exits, and the daemon's tree is reported for the first time.
  world_.spawn({102, 100, 500, "again", {"again"}});
  files_.procs[101].readBytes = 4096;
  files_.procs[101].cmdline = "worker: busy";
  files_.procs[201].state = 'Z';
  files_.procs[201].cmdline.clear();
  files_.failing = {{"exe 201", kGone}};
  EXPECT_EQ(collect(100, {{200, std::nullopt}}, 201).processes.size(), 5u);
}

}  // namespace
}  // namespace procsampler::sampling::procfs
