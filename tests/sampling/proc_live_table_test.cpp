// The Linux table against the real /proc, with children this test starts and ends itself.
// Timing is real here, so every bound is generous.
#include <errno.h>  // program_invocation_short_name
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "sampling/process_table.h"

extern char** environ;

namespace procsampler::sampling {
namespace {

using namespace std::chrono_literals;

// A child process, killed and reaped when the guard goes.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { end(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  Pid pid() const { return static_cast<Pid>(pid_); }
  void end() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// Runs body in a forked child that never returns into the test; alarm ends a child the test
// forgot, so nothing outlives a failed run for long.
std::unique_ptr<Child> forkChild(const std::function<void()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(30);
    body();
    ::_exit(0);
  }
  EXPECT_GT(pid, 0);
  return std::make_unique<Child>(pid);
}

std::uint64_t wallSeconds() { return static_cast<std::uint64_t>(std::time(nullptr)); }

std::string finalName(const char* path) {
  return std::filesystem::canonical(path).filename().string();
}

// A full read: the refresh, then every entry completed, as if every process were reported.
void refreshAll(ProcessTable& table) {
  table.refresh_processes_specifics();
  std::vector<Pid> pids;
  table.forEachProcess([&](const Process& p) { pids.push_back(p.pid); });
  table.completeProcesses(pids);
}

// Reads the table fully until done(table) holds or 5 s have passed; true when it held.
bool refreshUntil(ProcessTable& table, const std::function<bool(ProcessTable&)>& done) {
  for (auto until = std::chrono::steady_clock::now() + 5s;
       std::chrono::steady_clock::now() < until;) {
    refreshAll(table);
    if (done(table)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::vector<const Process*> childrenOf(const ProcessTable& table, Pid parent) {
  std::vector<const Process*> children;
  table.forEachProcess([&](const Process& p) {
    if (p.parent_pid == parent) children.push_back(&p);
  });
  return children;
}

class LiveTable : public ::testing::Test {
 protected:
  SystemClock clock_;
  std::unique_ptr<ProcessTable> table_ = new_with_specifics(clock_);
};

TEST_F(LiveTable, FindsASpawnedTreeWithParentsNamesArgumentsAndStartTimes) {
  std::uint64_t before = wallSeconds();
  const char* argv[] = {"/bin/sh", "-c", "sleep 31 & sleep 32 & wait", nullptr};
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);  // one group, ended with one kill
  pid_t shell = 0;
  ASSERT_EQ(posix_spawn(&shell, "/bin/sh", nullptr, &attr, const_cast<char**>(argv), environ), 0);
  posix_spawnattr_destroy(&attr);
  Child guard(shell);
  struct GroupKill {
    pid_t group;
    ~GroupKill() { ::kill(-group, SIGKILL); }
  } groupKill{shell};

  std::string sleepName = finalName("/bin/sleep");
  bool found = refreshUntil(*table_, [&](ProcessTable& t) {
    auto kids = childrenOf(t, guard.pid());
    return kids.size() == 2 && kids[0]->name == sleepName && kids[1]->name == sleepName &&
           kids[0]->arguments.size() == 2 && kids[1]->arguments.size() == 2;
  });
  ASSERT_TRUE(found) << "the shell's two sleeps never showed";
  std::uint64_t after = wallSeconds();

  const Process* sh = table_->find(guard.pid());
  ASSERT_NE(sh, nullptr);
  EXPECT_EQ(sh->parent_pid, static_cast<Pid>(::getpid()));
  EXPECT_EQ(sh->name, finalName("/bin/sh"));
  EXPECT_EQ(sh->arguments,
            (std::vector<std::string>{"/bin/sh", "-c", "sleep 31 & sleep 32 & wait"}));
  std::set<std::vector<std::string>> commands;
  for (const Process* kid : childrenOf(*table_, guard.pid())) {
    commands.insert(kid->arguments);
    // btime is whole seconds and rounded by the kernel, so allow a second either side.
    EXPECT_GE(kid->start_time_s + 1, before);
    EXPECT_LE(kid->start_time_s, after + 1);
    EXPECT_LE(kid->run_time_s, after + 1 - before + 1);
  }
  EXPECT_EQ(commands, (std::set<std::vector<std::string>>{{"sleep", "31"}, {"sleep", "32"}}));

  const Process* self = table_->find(static_cast<Pid>(::getpid()));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->name, program_invocation_short_name);
  EXPECT_GT(self->resident_bytes, 0u);
  EXPECT_GE(self->virtual_bytes, self->resident_bytes);
  // Kernel threads have no executable, yet every entry is named.
  table_->forEachProcess([](const Process& p) { EXPECT_FALSE(p.name.empty()) << p.pid; });
}

TEST_F(LiveTable, BusyChildReportsTheCpuItUsedAndIdleChildZero) {
  auto busy = forkChild([] {
    volatile std::uint64_t spin = 0;
    while (true) spin = spin + 1;
  });
  auto idle = forkChild([] { ::pause(); });
  table_->refresh_processes_specifics();
  auto start = std::chrono::steady_clock::now();
  ASSERT_NE(table_->find(busy->pid()), nullptr);
  std::uint64_t cpuBefore = table_->find(busy->pid())->cpu_time_ms;
  std::this_thread::sleep_for(1500ms);
  table_->refresh_processes_specifics();
  double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const Process* b = table_->find(busy->pid());
  const Process* i = table_->find(idle->pid());
  ASSERT_NE(b, nullptr);
  ASSERT_NE(i, nullptr);
  // Near 100 on an idle machine; on a shared one the child gets what the scheduler gives it, so
  // the figure is held to the CPU time it really used over the real time that passed.
  double used = static_cast<double>(b->cpu_time_ms - cpuBefore) / wallMs * 100.0;
  EXPECT_NEAR(b->cpu_percent, used, std::max(15.0, used / 4)) << "CPU time used: " << used << "%";
  EXPECT_GT(b->cpu_percent, 10.0f);
  EXPECT_LT(b->cpu_percent, 130.0f);
  EXPECT_EQ(i->cpu_percent, 0.0f);
  EXPECT_EQ(b->status.kind, ProcessStatusKind::Run);
}

// Counts storage writes of this process, when the kernel and the file system account them.
std::optional<std::uint64_t> ownWrittenBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "write_bytes:") return value;
  }
  return std::nullopt;
}

void writeAndSync(const std::string& path, std::size_t bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::string block(bytes, 'x');
  if (fd < 0 || ::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
    ::_exit(3);
  }
  ::fsync(fd);
  ::close(fd);
}

TEST_F(LiveTable, WrittenAndSyncedBytesGrow) {
  constexpr std::size_t kBlock = 256 * 1024;
  std::string path = ::testing::TempDir() + "proc_live_table_io_" + std::to_string(::getpid());
  std::optional<std::uint64_t> own = ownWrittenBytes();
  if (!own) GTEST_SKIP() << "/proc/self/io cannot be read here";
  writeAndSync(path, kBlock);
  std::optional<std::uint64_t> ownAfter = ownWrittenBytes();
  if (!ownAfter || *ownAfter < *own + kBlock) {
    std::filesystem::remove(path);
    GTEST_SKIP() << "writes to " << path << " are not counted as storage I/O";
  }

  int go[2], done[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(done), 0);
  auto writer = forkChild([&] {
    char byte = 0;
    while (::read(go[0], &byte, 1) == 1) {
      writeAndSync(path, kBlock);
      if (::write(done[1], &byte, 1) != 1) ::_exit(4);
    }
  });
  auto step = [&] {
    char byte = 1;
    ASSERT_EQ(::write(go[1], &byte, 1), 1);
    ASSERT_EQ(::read(done[0], &byte, 1), 1);
  };
  // Only the writer is completed, as when it alone is reported.
  const std::vector<Pid> reported = {writer->pid()};
  step();
  table_->refresh_processes_specifics();
  table_->completeProcesses(reported);
  ASSERT_NE(table_->find(writer->pid()), nullptr);
  std::uint64_t first = table_->find(writer->pid())->disk_written_bytes;
  EXPECT_GE(first, kBlock);
  step();
  table_->refresh_processes_specifics();
  table_->completeProcesses(reported);
  ASSERT_NE(table_->find(writer->pid()), nullptr);
  EXPECT_GE(table_->find(writer->pid())->disk_written_bytes, first + kBlock);

  writer->end();
  for (int fd : {go[0], go[1], done[0], done[1]}) ::close(fd);
  std::filesystem::remove(path);
}

TEST_F(LiveTable, ChildThatExitsIsZombieThenGoneOnceReaped) {
  auto child = forkChild([] { ::pause(); });
  table_->refresh_processes_specifics();
  ASSERT_NE(table_->find(child->pid()), nullptr);
  std::vector<std::string> arguments = table_->find(child->pid())->arguments;
  ASSERT_FALSE(arguments.empty());

  ::kill(static_cast<pid_t>(child->pid()), SIGKILL);
  ASSERT_TRUE(refreshUntil(*table_, [&](ProcessTable& t) {
    const Process* p = t.find(child->pid());
    return p && p->status.kind == ProcessStatusKind::Zombie;
  }));
  // A zombie's command line reads empty; it is still reported with the one it had.
  EXPECT_EQ(table_->find(child->pid())->arguments, arguments);
  child->end();
  table_->refresh_processes_specifics();
  EXPECT_EQ(table_->find(child->pid()), nullptr);
}

TEST_F(LiveTable, NameFollowsAnExecAfterFirstSight) {
  int go[2], execed[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe2(execed, O_CLOEXEC), 0);
  auto child = forkChild([&] {
    ::close(execed[0]);
    char byte = 0;
    if (::read(go[0], &byte, 1) != 1) ::_exit(5);
    ::execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
    ::_exit(6);
  });
  ::close(execed[1]);

  // First sight between fork and exec: the child is still this program.
  table_->refresh_processes_specifics();
  ASSERT_NE(table_->find(child->pid()), nullptr);
  EXPECT_EQ(table_->find(child->pid())->name, program_invocation_short_name);

  char byte = 1;
  ASSERT_EQ(::write(go[1], &byte, 1), 1);
  ASSERT_EQ(::read(execed[0], &byte, 1), 0);  // end of file: the exec closed the child's end
  // The new command line is set up a moment after the exec closes descriptors.
  bool execSeen = refreshUntil(*table_, [&](ProcessTable& t) {
    const Process* p = t.find(child->pid());
    return p && p->arguments == std::vector<std::string>{"sleep", "5"};
  });
  ASSERT_TRUE(execSeen);
  EXPECT_EQ(table_->find(child->pid())->name, finalName("/bin/sleep"));
  for (int fd : {go[0], go[1], execed[0]}) ::close(fd);
}

}  // namespace
}  // namespace procsampler::sampling
