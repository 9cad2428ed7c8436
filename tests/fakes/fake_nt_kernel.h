// A scripted NT kernel for the Windows table: processes as SYSTEM_PROCESS_INFORMATION describes
// them, processor times, and the rules of the calls the table makes, each following the
// behaviour Microsoft documents for that call (cited beside it). Single-threaded, like the table.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sampling/windows/nt_kernel.h"

namespace procsampler::testing {

using namespace sampling::windows;

// FILETIME of a Unix second.
constexpr std::uint64_t fileTimeOf(std::uint64_t unixSeconds) {
  return UNIX_EPOCH_FILETIME + unixSeconds * 10'000'000;
}

struct FakeWinProcess {
  std::uint32_t pid = 0, ppid = 0;
  std::uint64_t create_time = 0;  // FILETIME
  std::string image = "proc.exe";
  std::string command_line = {};  // what the PEB holds
  std::vector<ThreadRecord> threads = {{THREAD_WAITING, 0}};
  std::uint64_t user = 0, kernel = 0;  // 100 ns
  std::uint64_t working_set = 0, private_bytes = 0, virtual_size = 0;
  std::uint64_t read_transfer = 0, write_transfer = 0;
  bool may_open = true;     // false: OpenProcess is refused (another user's, protected)
  bool class60 = true;      // false: ProcessCommandLineInformation refused (Wine, before 8.1)
  bool may_read_vm = true;  // false: ReadProcessMemory fails
};

class FakeNtKernel final : public NtKernel {
 public:
  std::vector<FakeWinProcess> processes;
  std::uint32_t cpus = 4;
  SystemTimes times{};
  std::optional<MemoryStatus> memory = MemoryStatus{8ULL << 30, 3ULL << 30};
  std::uint64_t ticks = 3'600'000;  // GetTickCount64
  // Runs after each process listing, as processes that start between two calls do.
  std::function<void(FakeNtKernel&)> afterListing;
  int listings = 0;
  int opens = 0;
  std::set<std::uint64_t> handles;  // open, each naming a pid

  FakeWinProcess* process(std::uint32_t pid) {
    auto found = std::ranges::find(processes, pid, &FakeWinProcess::pid);
    return found == processes.end() ? nullptr : &*found;
  }
  // Every processor spends `units` (100 ns) of kernel + user time.
  void pass(std::uint64_t units) { times.kernel += units * cpus; }

  std::uint32_t processorCount() override { return cpus; }
  std::optional<SystemTimes> systemTimes() override { return times; }
  std::optional<MemoryStatus> memoryStatus() override { return memory; }
  std::uint64_t tickCount64() override { return ticks; }

  // NtQuerySystemInformation: "If the buffer is too small, the function fails with
  // STATUS_INFO_LENGTH_MISMATCH and ReturnLength receives the size required" (the entries are
  // variable-sized: SYSTEM_PROCESS_INFORMATION, its SYSTEM_THREAD_INFORMATION array, then the
  // image name, each entry at an 8-byte boundary, found through NextEntryOffset).
  ProcessListReply querySystemProcesses(std::size_t bufferBytes) override {
    ++listings;
    ProcessListReply reply;
    std::size_t needed = 0;
    for (const FakeWinProcess& p : processes) {
      needed += (256 + 80 * p.threads.size() + 2 * p.image.size() + 2 + 7) / 8 * 8;
    }
    reply.return_length = needed;
    if (bufferBytes < needed) {
      reply.status = NT_INFO_LENGTH_MISMATCH;
    } else {
      for (const FakeWinProcess& p : processes) {
        reply.processes.push_back({p.pid, p.ppid, p.create_time, p.user, p.kernel, p.image,
                                   p.working_set, p.private_bytes, p.virtual_size, p.read_transfer,
                                   p.write_transfer, static_cast<std::uint32_t>(p.threads.size()),
                                   p.threads});
      }
    }
    if (afterListing) afterListing(*this);
    return reply;
  }

  // OpenProcess: "If the specified process is the System Idle Process (0x00000000), the function
  // fails and the last error code is ERROR_INVALID_PARAMETER"; so does a pid no process has. A
  // process the caller may not open fails with ERROR_ACCESS_DENIED.
  OpenReply openProcess(std::uint32_t pid) override {
    ++opens;
    const FakeWinProcess* p = process(pid);
    if (pid == 0 || p == nullptr) return {0, WIN_ERROR_INVALID_PARAMETER};
    if (!p->may_open) return {0, WIN_ERROR_ACCESS_DENIED};
    const std::uint64_t handle = (std::uint64_t{pid} << 8) | 4;
    handles.insert(handle);
    return {handle, 0};
  }
  void closeHandle(std::uint64_t handle) override { handles.erase(handle); }
  // A handle keeps its process object, which is signaled once the process has exited.
  bool hasExited(std::uint64_t handle) override {
    return process(static_cast<std::uint32_t>(handle >> 8)) == nullptr;
  }
  // NtQueryInformationProcess(ProcessCommandLineInformation): Windows 8.1 and later; older
  // systems and Wine 8 answer STATUS_INVALID_INFO_CLASS.
  CommandLineReply commandLineInformation(std::uint64_t handle) override {
    const FakeWinProcess* p = process(static_cast<std::uint32_t>(handle >> 8));
    if (p == nullptr || !p->class60) return {NT_INVALID_INFO_CLASS, {}};
    return {NT_SUCCESS_CODE, p->command_line};
  }
  // ReadProcessMemory of the PEB's ProcessParameters->CommandLine: needs PROCESS_VM_READ.
  std::optional<std::string> pebCommandLine(std::uint64_t handle) override {
    const FakeWinProcess* p = process(static_cast<std::uint32_t>(handle >> 8));
    if (p == nullptr || !p->may_read_vm) return std::nullopt;
    return p->command_line;
  }
};

}  // namespace procsampler::testing
