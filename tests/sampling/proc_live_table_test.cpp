// The Linux table against the real /proc, over children the test starts and ends itself, on a
// machine that may be loaded: every wait asserts what it waited for, and bounds come from what the
// children were seen to do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fakes/process_world.h"
#include "sampling/linux/proc_fs_table.h"
#include "sampling/linux/proc_parsers.h"

namespace procsampler::sampling {
namespace {

using namespace std::chrono_literals;

class LiveTable : public ::testing::Test {
 protected:
  ~LiveTable() override {
    for (pid_t pid : children_)
      ::kill(-pid, SIGKILL), ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  }
  // Runs body in a child leading a process group of its own, so that one kill ends all it starts;
  // the alarm ends whatever a failed test leaves behind.
  pid_t fork(const std::function<void()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) ::setpgid(0, 0), ::alarm(600), body(), ::_exit(0);
    return pid > 0 ? children_.emplace_back(pid) : pid;
  }

  SystemClock clock_;
  std::unique_ptr<ProcessTable> table_ = newPlatformTable(clock_);
  std::vector<pid_t> children_;
};

// Polls `done` every 10 ms for up to two minutes; whether it came true.
bool waitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 12'000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string statOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

TEST_F(LiveTable, CpuOfABusyChildAndItsStorageWrites) {
  // In the working directory: a tmpfs /tmp would count no storage writes.
  std::string path = "proc_live_table_" + std::to_string(::getpid()), block(256 * 1024, 'x');
  pid_t busy = fork([&] {  // spins, syncing a block to the file (a storage write) every 100 ms
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    for (auto next = std::chrono::steady_clock::now();; next += 100ms) {
      while (std::chrono::steady_clock::now() < next) continue;
      if (::write(fd, block.data(), block.size()) <= 0 || ::fsync(fd) != 0) ::_exit(1);
    }
  });
  auto fileSize = [&] {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
  };
  Sampler sampler(std::make_unique<testing::BorrowedTable>(*table_), clock_);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point firstStart = Clock::now();
  const ProcessSample before = collectSnapshot(sampler, Pid(busy), {}, {}).processes.at(0);
  const Clock::time_point firstEnd = Clock::now();
  // However little of a CPU the machine gives it: 10 ticks more than the table read, and two
  // blocks written whole since then.
  const std::uintmax_t sizeThen = fileSize();
  ASSERT_TRUE(waitUntil([&] {
    const auto stat = procfs::parseStat(statOf(busy)).value_or(procfs::StatFields{});
    return (stat.utime + stat.stime) * 10 >= before.cpuTimeMs + 100 &&
           fileSize() >= sizeThen + 2 * block.size();
  })) << "the child did not run";
  const Clock::time_point secondStart = Clock::now();
  const ProcessSample after = collectSnapshot(sampler, Pid(busy), {}, {}).processes.at(0);
  const Clock::time_point secondEnd = Clock::now();
  // The table divides the CPU time between its two readings by the time between them, which lies
  // between the time from the first snapshot's end to the second's start and the time from the
  // first's start to the second's end; a tick (10 ms) either way on each figure.
  const double used = static_cast<double>(after.cpuTimeMs - before.cpuTimeMs);
  auto ms = [](Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
  };
  const double least = (used - 20) / (ms(secondEnd - firstStart) + 20) * 100;
  const double most = (used + 20) / (ms(secondStart - firstEnd) - 20) * 100;
  EXPECT_GE(after.cpuPercent, least) << used << " ms used";
  EXPECT_LE(after.cpuPercent, most) << used << " ms used";
  EXPECT_GE(after.ioWriteBytes, before.ioWriteBytes + block.size());
  EXPECT_EQ(after.uid, ::geteuid());
  std::filesystem::remove(path);
}

// Children started early and late in wall-clock seconds are each reported in the second they
// started in. (The kernel counts in clock ticks, so the first few milliseconds are left out.)
TEST_F(LiveTable, StartSecondsAreTheSecondsProcessesStartedIn) {
  using std::chrono::floor, std::chrono::seconds, std::chrono::system_clock;
  std::vector<std::pair<pid_t, std::uint64_t>> started;  // with the second it started in
  for (auto offset = 50ms; offset < 1000ms; offset += 100ms) {
    const auto now = system_clock::now();
    const auto second = floor<seconds>(now);
    std::this_thread::sleep_until(second + (now - second < offset ? offset : 1s + offset));
    const auto before = floor<seconds>(system_clock::now());
    const pid_t pid = fork([] { ::pause(); });
    if (before == floor<seconds>(system_clock::now())) {
      started.emplace_back(pid, static_cast<std::uint64_t>(before.time_since_epoch().count()));
    }
  }
  ASSERT_GE(started.size(), 8u);
  table_->refreshAll();
  for (const auto& [pid, second] : started) {
    EXPECT_EQ(testing::entryOf(*table_, Pid(pid)).start_time_s, second) << pid;
  }
}

// A walking table against a full read, over a root that is a subreaper: a fork by a thread, an
// exec, an exit to a zombie, a child reparented to the root, the root's own exit. What moves
// between two reads of a live process (CPU, memory, run time, and the machine's count) is left out;
// the scripted /proc covers the rest.
TEST_F(LiveTable, WalkingTablesSeeWhatAFullReadSees) {
  // Clearing the flag, which this process never sets, asks whether the call is taken at all.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 0) != 0) {
    GTEST_SKIP() << "PR_SET_CHILD_SUBREAPER is refused here (qemu-user does not emulate it), and "
                    "the root must adopt an orphaned grandchild";
  }
  // Two tables in one process share its descriptors, so each counts on half.
  procfs::ProcFsTableOptions options = procfs::liveOptions();
  options.descriptorBudget /= 2;
  procfs::ProcFsTable fullRead(procfs::makeLiveProcFiles(), clock_, options);
  std::vector<Sampler> samplers;
  samplers.emplace_back(std::make_unique<testing::BorrowedTable>(fullRead, true), clock_);
  samplers.emplace_back(
      std::make_unique<procfs::ProcFsTable>(procfs::makeLiveProcFiles(), clock_, options), clock_);
  // The root's children: one that execs, one that pauses, one with a child of its own, and the
  // child of a thread that stays. Each says (which, pid); none is ever reaped.
  int said[2];
  ASSERT_EQ(::pipe(said), 0);
  auto child = [&](pid_t which, const std::function<void()>& body) {
    if (::fork() != 0) return;
    const pid_t message[2] = {which, ::getpid()};
    if (::write(said[1], message, sizeof message) == sizeof message) body();
    ::_exit(0);
  };
  const pid_t root = fork([&] {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    child(0, [] { ::execl("/bin/sleep", "sleep", "31", nullptr); });
    child(1, [] { ::pause(); });
    child(2, [&] { child(3, [] { ::pause(); }), ::pause(); });
    std::thread([&] { child(4, [] { ::pause(); }), ::pause(); }).detach();
    ::pause();
  });
  pid_t kids[6] = {0, 0, 0, 0, 0, root};  // and the root
  for (pid_t message[2], i = 0; i < 5; ++i) {
    ASSERT_EQ(::read(said[0], message, sizeof message), static_cast<ssize_t>(sizeof message));
    kids[message[0]] = message[1];
  }
  // Waits until pid's stat line holds `text`, or no longer does; whether it came to.
  auto waitFor = [](pid_t pid, const std::string& text, bool holds = true) {
    return waitUntil([&] { return (statOf(pid).find(text) != std::string::npos) == holds; });
  };
  // The full read's record of each process, the same from every table once none runs.
  auto agree = [&](std::size_t expected) {
    for (const pid_t kid : kids) EXPECT_TRUE(waitFor(kid, ") R ", false)) << kid << " runs on";
    std::string full;
    for (Sampler& sampler : samplers) {
      std::string records;
      for (const ProcessSample& p : collectSnapshot(sampler, Pid(root), {}, {}).processes) {
        records += std::to_string(p.pid) + " " + std::to_string(p.ppid) + " " +
                   std::to_string(p.startTimeMs) + " " + p.name + " [" + p.command + "] " +
                   p.status + "\n";
      }
      EXPECT_EQ(records, full.empty() ? records : full);
      EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), expected) << records;
      if (full.empty()) full = records;
    }
    return full;
  };
  ASSERT_TRUE(waitFor(kids[0], "(sleep) "));
  EXPECT_NE(agree(6).find(" sleep [sleep 31] Sleep\n"), std::string::npos);
  ::kill(kids[1], SIGKILL);  // a zombie: the root never reaps
  ::kill(kids[2], SIGKILL);  // and its child goes to the root, a subreaper
  ASSERT_TRUE(waitFor(kids[1], ") Z "));
  ASSERT_TRUE(waitFor(kids[3], " " + std::to_string(root) + " "));  // its parent
  agree(6);
  ::kill(root, SIGKILL);  // its children go to this process's reaper, out of the tree
  ASSERT_TRUE(waitFor(root, ") Z "));
  // The root reads Z once its first thread has exited, but its children pass to the thread that
  // forked until that one has exited too; they leave the tree only then.
  auto parentOf = [](pid_t pid) {
    return static_cast<pid_t>(procfs::parseStat(statOf(pid)).value_or(procfs::StatFields{}).ppid);
  };
  ASSERT_TRUE(waitUntil([&] {
    return std::none_of(kids, kids + 5, [&](pid_t kid) { return parentOf(kid) == root; });
  }));
  agree(1);
  for (const int fd : said) ::close(fd);
}

}  // namespace
}  // namespace procsampler::sampling
