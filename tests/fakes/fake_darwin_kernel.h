// A scripted macOS kernel for tests of the macOS process table: processes whose every reading can
// be changed, refused or made to fail between refreshes, CPU tick counters, a timebase and a Mach
// clock. Single-threaded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sampling/macos/darwin_kernel.h"

namespace procsampler::testing {

namespace mac = sampling::macos;

// A KERN_PROCARGS2 area: the argument count, the executable path, NUL padding to 8 bytes, the
// NUL-terminated arguments, then an environment.
inline std::vector<std::byte> argumentArea(std::string_view executable,
                                           const std::vector<std::string>& arguments) {
  const auto argc = static_cast<std::int32_t>(arguments.size());
  std::string text(reinterpret_cast<const char*>(&argc), sizeof argc);
  text.append(executable).push_back('\0');
  while (text.size() % 8 != 0) text.push_back('\0');
  for (const auto& argument : arguments) text.append(argument).push_back('\0');
  text.append("HOME=/Users/test").push_back('\0');
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  return {bytes, bytes + text.size()};
}

// One process as the kernel would describe it. A reply size other than the structure's size
// refuses that call; the fake still hands back the fields, so a table that reads them shows it.
struct FakeMacProcess {
  std::int32_t pid = 0;
  mac::BsdInfo bsd{mac::STATUS_RUN, 1, 1'699'990'000};  // status, parent, start
  int bsd_bytes = mac::BSD_INFO_SIZE;
  mac::TaskInfo task{1 << 20, 1 << 16, 1'000'000, 0};  // virtual, resident, user, system
  int task_bytes = mac::TASK_INFO_SIZE;
  mac::ThreadInfo thread{0, 0, mac::RUN_STATE_RUNNING};  // user, system, run state
  int thread_bytes = mac::THREAD_INFO_SIZE;
  mac::RusageInfo rusage{};
  int rusage_result = 0;
  std::string path = "/usr/bin/proc";  // empty: proc_pidpath fails
  std::optional<std::vector<std::byte>> arguments = argumentArea("/usr/bin/proc", {"proc"});
  bool copy_fails = false;  // the size probe succeeds, the copy fails
};

class FakeDarwinKernel final : public mac::DarwinKernel {
 public:
  using P = FakeMacProcess;
  std::vector<P> processes;  // in listing order
  // Only listed pids are ever asked for.
  P& process(std::int32_t pid) { return *std::ranges::find(processes, pid, &P::pid); }
  void exit(std::int32_t pid) {
    std::erase_if(processes, [&](P& p) { return p.pid == pid; });
  }

  // The count call answers count_reply, or the process count plus room for newcomers; the
  // filling call answers fill_reply, or what fits.
  std::optional<int> count_reply, fill_reply;
  mac::TimebaseReply timebase{0, 1, 1};
  std::uint64_t absolute_time = 1'000'000'000'000;
  mac::CpuLoadReply cpu_load{0, 2, std::vector<std::uint32_t>(2 * mac::CPU_STATE_COUNT, 1000)};
  // Every CPU spends `ticks` more ticks, spread evenly over user, system, idle and nice.
  void passTicks(std::uint32_t ticks) {
    for (auto& counter : cpu_load.ticks) counter += ticks / 4;
  }

  std::uint32_t machHostSelf() override { return 7; }
  long sysconf(mac::SysconfName) override { return 100; }
  mac::TimebaseReply machTimebaseInfo() override { return timebase; }
  mac::CpuLoadReply hostProcessorInfo(std::uint32_t) override { return cpu_load; }
  std::uint64_t machAbsoluteTime() override { return absolute_time; }
  int listAllPids(std::span<std::int32_t> buffer) override {
    if (buffer.empty()) return count_reply.value_or(static_cast<int>(processes.size()) + 4);
    const std::size_t fits = std::min(buffer.size(), processes.size());
    for (std::size_t i = 0; i < fits; ++i) buffer[i] = processes[i].pid;
    return fill_reply.value_or(static_cast<int>(fits));
  }
  mac::PidInfoReply<mac::BsdInfo> pidBsdInfo(std::int32_t pid) override {
    return {process(pid).bsd_bytes, process(pid).bsd};
  }
  mac::PidInfoReply<mac::TaskInfo> pidTaskInfo(std::int32_t pid) override {
    return {process(pid).task_bytes, process(pid).task};
  }
  mac::PidInfoReply<mac::ThreadInfo> pidThreadInfo(std::int32_t pid) override {
    return {process(pid).thread_bytes, process(pid).thread};
  }
  mac::RusageReply pidRusage(std::int32_t pid) override {
    return {process(pid).rusage_result, process(pid).rusage};
  }
  mac::PathReply pidPath(std::int32_t pid) override {
    return {static_cast<int>(process(pid).path.size()), process(pid).path};
  }
  mac::SysctlReply procArgs2(std::int32_t pid, std::span<std::byte> buffer) override {
    const P& p = process(pid);
    if (!p.arguments) return {-1, 0};
    if (buffer.empty()) return {0, p.arguments->size()};
    if (p.copy_fails) return {-1, buffer.size()};  // whatever the buffer holds is no answer
    const std::size_t copied = std::min(buffer.size(), p.arguments->size());
    std::copy_n(p.arguments->begin(), copied, buffer.begin());
    return {0, copied};
  }
};

}  // namespace procsampler::testing
