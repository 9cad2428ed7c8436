// The Windows table over a scripted NT kernel and a scripted clock: the tree-selection contract,
// states from threads, start times and CPU from the listing's 100 ns figures, what a process the
// sidecar may not open still shows, and a process list that grows while it is being sized.
#include "sampling/windows/win_process_table.h"

#include <gtest/gtest.h>

#include "fakes/fake_nt_kernel.h"
#include "fakes/process_world.h"

namespace procsampler::sampling::windows {
namespace {

using namespace std::chrono_literals;
using testing::FakeWinProcess, testing::fileTimeOf, testing::TreeSelectionContract;
using Kind = ProcessStatusKind;
using Strings = std::vector<std::string>;
constexpr std::uint64_t S = 1'700'000'000;

struct WinWorld final : testing::ProcessWorld {
  explicit WinWorld(Clock& clock) : table_(kernel, clock) {}
  void spawn(const testing::WorldProcess& p) override {
    std::string line;
    for (const std::string& argument : p.arguments) line += (line.empty() ? "" : " ") + argument;
    exit(p.pid);
    kernel.processes.push_back({.pid = p.pid,
                                .ppid = p.ppid,
                                .create_time = fileTimeOf(p.startSeconds),
                                .image = p.name,
                                .command_line = line});
  }
  void exit(Pid pid) override {
    std::erase_if(kernel.processes, [&](auto& q) { return q.pid == pid; });
  }
  ProcessTable& table() override { return table_; }
  testing::FakeNtKernel kernel;
  WinProcessTable table_;
};
INSTANTIATE_TEST_SUITE_P(
    NtKernel, TreeSelectionContract,
    ::testing::Values([](Clock& clock) -> std::unique_ptr<testing::ProcessWorld> {
      return std::make_unique<WinWorld>(clock);
    }));

struct WinTable : ::testing::Test {
  void start() {
    table = std::make_unique<WinProcessTable>(kernel, clock);
    testing::refreshAll(*table);
  }
  const Process& at(Pid pid) { return testing::entryOf(*table, pid); }
  testing::FakeNtKernel kernel;
  testing::FakeClock clock;
  std::unique_ptr<WinProcessTable> table;
};

TEST_F(WinTable, StatesAsTaskManagerShowsThem) {
  const ThreadRecord running{THREAD_RUNNING, 0}, ready{THREAD_READY, 0},
      suspended{THREAD_WAITING, WAIT_REASON_SUSPENDED}, waiting{THREAD_WAITING, 6};
  const std::pair<std::vector<ThreadRecord>, Kind> rows[] = {{{suspended, running}, Kind::Run},
                                                             {{waiting, ready}, Kind::Run},
                                                             {{suspended, suspended}, Kind::Stop},
                                                             {{suspended, waiting}, Kind::Sleep},
                                                             {{waiting}, Kind::Sleep},
                                                             {{}, Kind::Zombie}};
  for (std::uint32_t pid = 1; const auto& row : rows) {
    kernel.processes.push_back({.pid = pid++, .threads = row.first});
  }
  start();
  for (std::uint32_t pid = 1; const auto& row : rows) {
    EXPECT_EQ(at(pid).status.kind, row.second) << pid;
    EXPECT_EQ(at(pid++).thread_count, row.first.size());
  }
}

TEST_F(WinTable, StartFromCreateTimeCpuFromUserAndKernelTimeFiguresFromTheListing) {
  clock.setWall(WallTime(std::chrono::seconds(S + 10)));
  kernel.processes.push_back({.pid = 8,
                              .ppid = 4,
                              .create_time = fileTimeOf(S) + 9'999'999,
                              .image = "busy.exe",
                              .command_line = "busy.exe --spin",
                              .working_set = 1 << 20,
                              .private_bytes = 1 << 19,
                              .virtual_size = 1ull << 40,
                              .read_transfer = 7,
                              .write_transfer = 9});
  kernel.processes.push_back({.pid = 4, .create_time = 0, .image = "System", .may_open = false});
  start();
  // The second it started in, and to the millisecond.
  EXPECT_EQ(std::tuple(at(8).start_time_s, at(8).start_time_ms), std::tuple(S, S * 1000 + 999));
  EXPECT_EQ(at(8).run_time_s, 10u);
  EXPECT_EQ(at(4).start_time_s, 0u);  // the system process reports no create time
  EXPECT_EQ(at(4).parent_pid, std::nullopt);
  EXPECT_EQ(at(8).parent_pid, 4u);
  EXPECT_EQ(std::tuple(at(8).resident_bytes, at(8).virtual_bytes, at(8).footprint_bytes,
                       at(8).disk_read_bytes, at(8).disk_written_bytes, at(8).io_counts_all_io),
            std::tuple(1u << 20, 1ull << 40, std::optional<std::uint64_t>(1 << 19), 7u, 9u, true));
  EXPECT_EQ(at(8).arguments, std::vector<std::string>{"busy.exe --spin"});
  // One second on each of 4 processors; the process spent 1.5 s of one of them.
  clock.advance(1s);
  kernel.pass(10'000'000);
  kernel.process(8)->user = 10'000'000;
  kernel.process(8)->kernel = 5'000'000;
  testing::refreshAll(*table);
  EXPECT_FLOAT_EQ(at(8).cpu_percent, 150.0f);
  EXPECT_EQ(at(8).cpu_time_ms, 1500u);
}

TEST_F(WinTable, AProcessThatCannotBeOpenedKeepsWhatTheListingGaveOneGoneIsRemoved) {
  kernel.processes = {
      {.pid = 10, .image = "lsass.exe", .may_open = false},
      {.pid = 11, .image = "app.exe", .command_line = "app.exe -x", .class60 = false},
      {.pid = 12,
       .image = "tool.exe",
       .command_line = "tool.exe",
       .class60 = false,
       .may_read_vm = false}};
  start();
  EXPECT_EQ(testing::pidsOf(*table), (std::vector<Pid>{10, 11, 12}));
  EXPECT_TRUE(at(10).arguments.empty());
  EXPECT_EQ(at(10).name, "lsass.exe");
  EXPECT_EQ(at(11).arguments, std::vector<std::string>{"app.exe -x"});  // from the PEB
  EXPECT_TRUE(at(12).arguments.empty());
  // Exited between the refresh and the completion: no other process's figures under its pid.
  kernel.processes.push_back({.pid = 13, .image = "gone.exe"});
  clock.advance(1s);
  table->refreshAll();
  kernel.processes.pop_back();
  table->completeProcesses(std::vector<Pid>{10, 13});
  EXPECT_EQ(table->find(13), nullptr);
  EXPECT_TRUE(kernel.handles.empty());
  // Command lines are read once per process: again only for a process that took over a pid.
  const int opens = kernel.opens;
  testing::refreshAll(*table);
  EXPECT_EQ(kernel.opens, opens);
  *kernel.process(11) = {.pid = 11, .create_time = fileTimeOf(S), .command_line = "new.exe"};
  testing::refreshAll(*table);
  EXPECT_EQ(std::pair(kernel.opens, at(11).arguments), std::pair(opens + 1, Strings{"new.exe"}));
}

TEST_F(WinTable, AListThatGrowsWhileItIsSizedIsAskedForAgainWithRoom) {
  // More than the first buffer holds: 1200 processes of 360 bytes.
  for (std::uint32_t pid = 1; pid <= 1200; ++pid) kernel.processes.push_back({.pid = pid * 4});
  // A hundred processes start right after the listing that sized the buffer: the room takes them.
  kernel.afterListing = [burst = true](testing::FakeNtKernel& k) mutable {
    for (std::uint32_t i = 0; burst && i < 100; ++i) k.processes.push_back({.pid = 100'000 + i});
    burst = false;
  };
  start();
  EXPECT_EQ(std::pair(table->processCount(), kernel.listings), std::pair(std::size_t{1300}, 2));
  EXPECT_GT(table->listBufferBytes(), INITIAL_LIST_BYTES);
  // A list that outgrows every attempt by more than the room leaves the table as it was.
  const auto grow = [](testing::FakeNtKernel& k) {
    for (int i = 0; i < 1000; ++i) {
      k.processes.push_back({.pid = 200'000 + static_cast<std::uint32_t>(k.processes.size())});
    }
  };
  grow(kernel);
  kernel.afterListing = grow;
  kernel.listings = 0;
  EXPECT_EQ(table->refreshAll(), 0u);
  EXPECT_EQ(kernel.listings, LIST_ATTEMPTS);
  EXPECT_EQ(table->processCount(), 1300u);
}

}  // namespace
}  // namespace procsampler::sampling::windows
