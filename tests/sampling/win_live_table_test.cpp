// The live Windows table over the system it runs on (Wine, where it has been run): three children
// of this test, one busy, one sleeping, one already exited. Only what Wine makes real is checked:
// it lists its own processes with their parents, names, command lines (from the PEB) and real
// CPU times, while thread states, private bytes and transfer counts read 0 there.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "sampling/process_table.h"
#include "support/test_paths.h"

namespace procsampler::sampling {
namespace {

class Child {
 public:
  explicit Child(const std::string& mode) {
    const std::string path = testing::testPath("PROCSAMPLER_WIN_CHILD", "win_child.exe");
    std::wstring line = L"\"" + std::wstring(path.begin(), path.end()) + L"\" " +
                        std::wstring(mode.begin(), mode.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &startup, &info_)) {
      ADD_FAILURE() << "cannot start " << path << ": error " << ::GetLastError();
    }
  }
  ~Child() {
    if (info_.hProcess == nullptr) return;
    ::TerminateProcess(info_.hProcess, 0);
    ::CloseHandle(info_.hProcess);
    ::CloseHandle(info_.hThread);
  }
  Pid pid() const { return info_.dwProcessId; }
  bool waitForExit() const { return ::WaitForSingleObject(info_.hProcess, 60000) == WAIT_OBJECT_0; }

 private:
  PROCESS_INFORMATION info_{};
};

TEST(WinLiveTable, ChildrenUnderTheirParentTheBusyOneBusyTheExitedOneGone) {
  const Child busy("busy"), sleeping("sleep"), exited("exit");
  ASSERT_TRUE(exited.waitForExit());
  SystemClock clock;
  const std::unique_ptr<ProcessTable> table = newPlatformTable(clock);
  const Pid self = ::GetCurrentProcessId();
  // The busy child gets most of a processor over a second, unless the machine is loaded: each
  // refresh measures the second before it, for up to a minute.
  float busiest = 0.0f;
  for (int second = 0; second < 60 && busiest <= 50.0f; ++second) {
    table->refreshAll();
    table->completeProcesses(std::vector<Pid>{busy.pid(), sleeping.pid()});
    if (const Process* found = table->find(busy.pid()))
      busiest = std::max(busiest, found->cpu_percent);
    ::Sleep(1000);
  }
  EXPECT_GT(busiest, 50.0f);
  for (const Child* child : {&busy, &sleeping}) {
    const Process* found = table->find(child->pid());
    ASSERT_NE(found, nullptr) << child->pid();
    EXPECT_EQ(found->parent_pid, self);
    EXPECT_EQ(found->name, "win_child.exe");
    ASSERT_EQ(found->arguments.size(), 1u);
    EXPECT_NE(found->arguments[0].find(child == &busy ? " busy" : " sleep"), std::string::npos);
    EXPECT_GT(found->resident_bytes, 0u);
    EXPECT_TRUE(found->io_counts_all_io);
  }
  EXPECT_GT(table->find(busy.pid())->cpu_time_ms, table->find(sleeping.pid())->cpu_time_ms);
  const Process* gone = table->find(exited.pid());
  EXPECT_TRUE(gone == nullptr || gone->parent_pid != self) << "the exited child is still listed";
}

}  // namespace
}  // namespace procsampler::sampling
