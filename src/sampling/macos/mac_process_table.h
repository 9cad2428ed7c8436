// The macOS process table: libproc, sysctl and Mach readings, through a DarwinKernel, turned into
// table entries with CPU use, memory, disk totals and command lines. Owned and used by one thread
// (the main thread); the kernel and the clock must outlive it unless the table owns the kernel.
// After every refresh each entry is one that refresh created or brought up to date.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sampling/macos/darwin_kernel.h"
#include "sampling/process_table.h"
#include "sampling/table_core.h"

namespace procsampler::sampling::macos {

class MacProcessTable final : public ProcessTable {
 public:
  // Sets up the CPU clock (timebase, tick rate, CPU load baseline); reads no process.
  MacProcessTable(DarwinKernel& kernel, Clock& clock);
  // The same, owning the kernel (not null).
  MacProcessTable(std::unique_ptr<DarwinKernel> kernel, Clock& clock);

  std::size_t refresh_processes_specifics() override;
  std::size_t processCount() const override { return entries_.size(); }
  const Process* find(Pid pid) const override;
  void forEachProcess(const std::function<void(const Process&)>& visit) const override;

  // Whether creation could take a CPU load baseline, so intervals come from CPU ticks.
  bool hasCpuClock() const { return cpu_clock_.has_value(); }

 private:
  struct Entry {
    Process process;              // what readers see; status is the reported one
    ProcessStatus process_state;  // from pbi_status
    std::optional<std::int32_t> thread_state;
    // Task user and system time at the previous refresh. Without a CPU clock they hold the
    // previous CPU time sum and mach_absolute_time reading instead, once uptime_baseline is set.
    std::uint64_t previous_user = 0;
    std::uint64_t previous_system = 0;
    bool uptime_baseline = false;
    std::uint64_t previous_disk_read = 0;
    std::uint64_t previous_disk_written = 0;
    std::optional<std::string> executable_path;  // from the argument area, to notice an exec
  };

  // Turns CPU ticks into the length of a refresh interval in Mach units.
  struct CpuClock {
    std::uint32_t host_port = 0;
    std::uint32_t cpu_count = 0;
    std::vector<std::uint32_t> ticks;
    CpuIntervalRule interval{1e9};  // in nanoseconds
    // numer / denom: nanoseconds per Mach absolute-time unit.
    double timebase_numer = 1.0;
    double timebase_denom = 1.0;
    double ns_per_tick = 0.0;
  };

  // A reading of the argument area: nullopt when it cannot be read.
  struct ArgumentReading {
    std::string executable_path;
    std::vector<std::string> arguments;
  };

  void setUpCpuClock();
  std::optional<double> refreshInterval();
  bool listPids();
  bool firstSight(std::int32_t pid, Entry& entry, const PidInfoReply<BsdInfo>& bsd);
  bool refreshKnown(std::int32_t pid, Entry& entry, const PidInfoReply<BsdInfo>& bsd);
  std::optional<ArgumentReading> readArgumentArea(std::int32_t pid);
  bool nameFromPath(std::int32_t pid, Entry& entry);
  void applyArguments(Entry& entry, ArgumentReading reading);
  TaskInfo readTaskInfo(std::int32_t pid);
  void setCpuFigures(Entry& entry, const TaskInfo& task, const ThreadInfo& thread);
  std::uint64_t cpuTimeMs(const TaskInfo& task) const;
  static ProcessStatus reportedStatus(const Entry& entry);

  std::unique_ptr<DarwinKernel> owned_kernel_;
  DarwinKernel& kernel_;
  Clock& clock_;
  std::optional<CpuClock> cpu_clock_;
  ProcessEntryMap<Entry> entries_;

  // Per-refresh scratch, kept to avoid reallocating every time.
  std::vector<std::int32_t> pids_;
  std::vector<std::byte> argument_buffer_;
  std::uint64_t now_s_ = 0;
  std::optional<double> interval_;
};

}  // namespace procsampler::sampling::macos
