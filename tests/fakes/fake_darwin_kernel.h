// A scripted macOS kernel for tests of the macOS process table: a list of processes whose every
// reading can be changed, refused or made to fail between refreshes, CPU tick counters, a timebase
// and a Mach clock. It records the calls it answers so tests can count them. Single-threaded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sampling/macos/darwin_kernel.h"

namespace procsampler::testing {

namespace mac = sampling::macos;

// A KERN_PROCARGS2 area: count, executable path, NUL padding to 8 bytes, NUL-terminated
// arguments, then the environment.
inline std::vector<std::byte> argumentArea(std::int32_t count, std::string_view executable,
                                           const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& environment = {}) {
  std::string text(sizeof count, '\0');
  std::memcpy(text.data(), &count, sizeof count);
  text.append(executable).push_back('\0');
  while (text.size() % 8 != 0) text.push_back('\0');
  for (const auto& argument : arguments) text.append(argument).push_back('\0');
  for (const auto& variable : environment) text.append(variable).push_back('\0');
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  return {bytes, bytes + text.size()};
}

inline std::vector<std::byte> argumentArea(std::string_view executable,
                                           const std::vector<std::string>& arguments) {
  return argumentArea(static_cast<std::int32_t>(arguments.size()), executable, arguments,
                      {"HOME=/Users/test"});
}

// One process as the kernel would describe it. A reply size other than the structure's size
// refuses that call (the fake still hands back the fields, so a table that reads them anyway
// shows it).
struct FakeMacProcess {
  std::int32_t pid = 0;
  mac::BsdInfo bsd{.pbi_status = mac::STATUS_RUN, .pbi_ppid = 1, .pbi_start_tvsec = 1'699'990'000};
  int bsd_bytes = mac::BSD_INFO_SIZE;
  mac::TaskInfo task{.pti_virtual_size = 4096 * 1024,
                     .pti_resident_size = 4096 * 16,
                     .pti_total_user = 1'000'000,
                     .pti_total_system = 500'000};
  int task_bytes = mac::TASK_INFO_SIZE;
  mac::ThreadInfo thread{
      .pth_user_time = 0, .pth_system_time = 0, .pth_run_state = mac::RUN_STATE_RUNNING};
  int thread_bytes = mac::THREAD_INFO_SIZE;
  mac::RusageInfo rusage{.ri_diskio_bytesread = 0, .ri_diskio_byteswritten = 0};
  int rusage_result = 0;
  std::optional<std::string> path = "/usr/bin/proc";  // nullopt: proc_pidpath fails
  // nullopt: both sysctl calls fail. probe_length replaces the size the probe reports.
  std::optional<std::vector<std::byte>> arguments = argumentArea("/usr/bin/proc", {"proc"});
  std::optional<std::size_t> probe_length = std::nullopt;
  bool copy_fails = false;  // the probe succeeds, the copy fails
};

class FakeDarwinKernel final : public mac::DarwinKernel {
 public:
  FakeDarwinKernel() { setCpus(2); }

  // Processes in listing order.
  std::vector<FakeMacProcess> processes;
  FakeMacProcess& spawn(FakeMacProcess process) {
    return processes.emplace_back(std::move(process));
  }
  FakeMacProcess& process(std::int32_t pid) {
    return *std::find_if(processes.begin(), processes.end(),
                         [pid](const FakeMacProcess& p) { return p.pid == pid; });
  }
  void exit(std::int32_t pid) {
    std::erase_if(processes, [pid](const FakeMacProcess& p) { return p.pid == pid; });
  }

  // Listing: the count call answers count_reply (or the process count plus slack, as the
  // kernel leaves room for newcomers), the filling call fill_reply (or what fits).
  std::optional<int> count_reply;
  std::optional<int> fill_reply;
  int slack = 4;

  mac::TimebaseReply timebase{.kern_return = 0, .numer = 1, .denom = 1};
  long clock_ticks = 100;
  std::uint64_t absolute_time = 1'000'000'000'000;
  mac::CpuLoadReply cpu_load;
  void setCpus(std::uint32_t count) {
    cpu_load.cpu_count = count;
    cpu_load.ticks.assign(count * mac::CPU_STATE_COUNT, 1000);
  }
  // Every CPU spends `ticks` more ticks, split over user and idle.
  void passTicks(std::uint32_t ticks) {
    for (std::size_t cpu = 0; cpu < cpu_load.cpu_count; ++cpu) {
      cpu_load.ticks[cpu * mac::CPU_STATE_COUNT] += ticks / 2;
      cpu_load.ticks[cpu * mac::CPU_STATE_COUNT + 2] += ticks - ticks / 2;
    }
  }

  std::vector<std::string> calls;
  std::size_t countCalls(std::string_view prefix) const {
    return static_cast<std::size_t>(std::count_if(
        calls.begin(), calls.end(), [&](const std::string& c) { return c.starts_with(prefix); }));
  }

  std::uint32_t machHostSelf() override { return 7; }
  long sysconf(mac::SysconfName name) override {
    return name == mac::SysconfName::ClockTicks ? clock_ticks : 16384;
  }
  mac::TimebaseReply machTimebaseInfo() override { return timebase; }
  mac::CpuLoadReply hostProcessorInfo(std::uint32_t) override {
    calls.push_back("hostProcessorInfo");
    return cpu_load;
  }
  std::uint64_t machAbsoluteTime() override { return absolute_time; }

  int listAllPids(std::span<std::int32_t> buffer) override {
    calls.push_back("listAllPids");
    const int count = static_cast<int>(processes.size());
    if (buffer.empty()) return count_reply.value_or(count + slack);
    const std::size_t fits = std::min(buffer.size(), processes.size());
    for (std::size_t i = 0; i < fits; ++i) buffer[i] = processes[i].pid;
    return fill_reply.value_or(static_cast<int>(fits));
  }

  mac::PidInfoReply<mac::BsdInfo> pidBsdInfo(std::int32_t pid) override {
    const FakeMacProcess* p = note("bsd ", pid);
    if (p == nullptr) return {};
    return {p->bsd_bytes, p->bsd};
  }
  mac::PidInfoReply<mac::TaskInfo> pidTaskInfo(std::int32_t pid) override {
    const FakeMacProcess* p = note("task ", pid);
    if (p == nullptr) return {};
    return {p->task_bytes, p->task};
  }
  mac::PidInfoReply<mac::ThreadInfo> pidThreadInfo(std::int32_t pid) override {
    const FakeMacProcess* p = note("thread ", pid);
    if (p == nullptr) return {};
    return {p->thread_bytes, p->thread};
  }
  mac::RusageReply pidRusage(std::int32_t pid) override {
    const FakeMacProcess* p = note("rusage ", pid);
    if (p == nullptr) return {};
    return {p->rusage_result, p->rusage};
  }
  mac::PathReply pidPath(std::int32_t pid) override {
    const FakeMacProcess* p = note("path ", pid);
    if (p == nullptr || !p->path) return {0, {}};
    return {static_cast<int>(p->path->size()), *p->path};
  }
  mac::SysctlReply procArgs2(std::int32_t pid, std::span<std::byte> buffer) override {
    const FakeMacProcess* p = note("sysctl ", pid);
    if (p == nullptr || !p->arguments) return {-1, 0};
    const std::vector<std::byte>& area = *p->arguments;
    if (buffer.empty()) return {0, p->probe_length.value_or(area.size())};
    if (p->copy_fails) return {-1, buffer.size()};  // whatever the buffer held is not an answer
    const std::size_t copied = std::min(buffer.size(), area.size());
    std::copy_n(area.begin(), copied, buffer.begin());
    return {0, copied};
  }

 private:
  const FakeMacProcess* note(std::string_view call, std::int32_t pid) {
    calls.push_back(std::string(call) + std::to_string(pid));
    const auto found = std::find_if(processes.begin(), processes.end(),
                                    [pid](const FakeMacProcess& p) { return p.pid == pid; });
    return found == processes.end() ? nullptr : &*found;
  }
};

}  // namespace procsampler::testing
