// The Linux table against the real /proc, over children the test starts and ends itself. Time is
// real here, so every bound is generous.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "sampling/process_table.h"

namespace procsampler::sampling {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

std::string finalName(const char* path) { return std::filesystem::canonical(path).filename(); }

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
    if (pid == 0) ::setpgid(0, 0), ::alarm(30), body(), ::_exit(0);
    return pid > 0 ? children_.emplace_back(pid) : pid;
  }
  void refreshAll() {  // every process read whole, as if all were reported
    std::vector<Pid> pids;
    table_->refresh_processes_specifics();
    table_->forEachProcess([&](const Process& p) { pids.push_back(p.pid); });
    table_->completeProcesses(pids);
  }
  const Process* find(pid_t pid) { return table_->find(static_cast<Pid>(pid)); }

  SystemClock clock_;
  std::unique_ptr<ProcessTable> table_ = new_with_specifics(clock_);
  std::vector<pid_t> children_;
};

TEST_F(LiveTable, FollowsChildrenThroughTheirTreeCpuWritesExecAndEnd) {
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  // In the working directory: a tmpfs /tmp would count no storage writes.
  std::string path = "proc_live_table_" + std::to_string(::getpid()), block(256 * 1024, 'x');
  pid_t sh = fork([] { ::execl("/bin/sh", "sh", "-c", "sleep 31 & wait", nullptr); });
  pid_t busy = fork([&] {  // spins, syncing a block to the file (a storage write) every 100 ms
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    for (auto next = std::chrono::steady_clock::now();; next += 100ms) {
      while (std::chrono::steady_clock::now() < next) continue;
      if (::write(fd, block.data(), block.size()) <= 0 || ::fsync(fd) != 0) ::_exit(1);
    }
  });
  pid_t idle = fork([] { ::pause(); });
  pid_t waiter = fork([&] {  // this program until told to exec
    if (::read(go[0], &block[0], 1) == 1) ::execl("/bin/sleep", "sleep", "5", nullptr);
  });
  refreshAll();
  ASSERT_TRUE(find(busy) && find(idle) && find(waiter));
  EXPECT_EQ(find(waiter)->name, finalName("/proc/self/exe"));  // between fork and exec
  auto start = std::chrono::steady_clock::now();
  std::uint64_t cpuBefore = find(busy)->cpu_time_ms, written = find(busy)->disk_written_bytes;
  ASSERT_EQ(::write(go[1], "!", 1), 1);
  std::this_thread::sleep_for(1500ms);
  refreshAll();
  std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(find(busy) && find(idle) && find(waiter) && find(sh));
  // Near 100 on an idle machine; on a shared one, what the scheduler really gave it.
  double used = static_cast<double>(find(busy)->cpu_time_ms - cpuBefore) / wall.count() * 100;
  EXPECT_NEAR(find(busy)->cpu_percent, used, std::max(15.0, used / 4)) << used << "% used";
  EXPECT_GT(find(busy)->cpu_percent, 10.0f);
  EXPECT_EQ(find(idle)->cpu_percent, 0.0f);
  EXPECT_GE(find(busy)->disk_written_bytes, written + block.size());
  EXPECT_EQ(std::tie(find(waiter)->name, find(waiter)->arguments),
            std::tuple(finalName("/bin/sleep"), Strings{"sleep", "5"}));
  EXPECT_EQ(std::tie(find(sh)->parent_pid, find(sh)->name, find(sh)->arguments),
            std::tuple(static_cast<Pid>(::getpid()), finalName("/bin/sh"),
                       Strings{"sh", "-c", "sleep 31 & wait"}));
  const Process* kid = nullptr;  // of the shell
  table_->forEachProcess([&](const Process& p) { kid = p.parent_pid == Pid(sh) ? &p : kid; });
  ASSERT_NE(kid, nullptr);
  EXPECT_EQ(std::tie(kid->name, kid->arguments),
            std::tuple(finalName("/bin/sleep"), Strings{"sleep", "31"}));
  // Ended and reaped: gone at the next refresh.
  ::kill(idle, SIGKILL);
  ::waitpid(idle, nullptr, 0);
  std::erase(children_, idle);
  table_->refresh_processes_specifics();
  EXPECT_EQ(find(idle), nullptr);
  std::filesystem::remove(path);
  ::close(go[0]), ::close(go[1]);
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
  table_->refresh_processes_specifics();
  for (const auto& [pid, second] : started) {
    ASSERT_NE(find(pid), nullptr);
    EXPECT_EQ(find(pid)->start_time_s, second) << pid;
  }
}

}  // namespace
}  // namespace procsampler::sampling
