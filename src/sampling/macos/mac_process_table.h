// The macOS process table: through a DarwinKernel, one call per pid and refresh (task info where
// the kernel allows it, kinfo_proc for another user's process or a zombie); the argument area at
// first sight and at an exec; arguments, disk totals and thread states again for completed pids.
// Owned and used by one thread (the main thread); the kernel and the clock must outlive it unless
// the table owns the kernel. After every refresh each entry is one that refresh found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sampling/macos/darwin_kernel.h"
#include "sampling/macos/proc_args.h"
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
  void completeProcesses(std::span<const Pid> pids) override;
  std::size_t processCount() const override { return entries_.size(); }
  const Process* find(Pid pid) const override;
  void forEachProcess(const std::function<void(const Process&)>& visit) const override;

 private:
  // One pid's record, from whichever of the two calls the kernel answered.
  struct Reading {
    std::uint32_t ppid = 0;
    std::uint32_t uid = 0;
    std::uint32_t p_stat = 0;
    std::uint64_t start_s = 0;
    std::uint64_t start_us = 0;
    std::string comm;              // the program's name as exec'd, cut by the kernel
    std::optional<TaskInfo> task;  // absent when the kernel refused it
  };

  struct Entry {
    Process process;             // what readers see
    std::uint64_t start_us = 0;  // with process.start_time_s, the process's identity
    std::uint32_t uid = 0;       // its effective uid at the last refresh
    std::uint32_t p_stat = 0;    // its p_stat at the last refresh
    std::string comm;            // its name as exec'd, cut to 15 bytes, to notice an exec
    bool task_readable = false;  // the last refresh read its task info
    std::int32_t threads = 0;    // from the task info: how many, and how many have TH_RUN
    std::int32_t running_threads = 0;
    bool cpu_baseline = false;        // previous_cpu (and previous_time) hold a reading
    std::uint64_t previous_cpu = 0;   // task user + system at the last refresh, Mach units
    std::uint64_t previous_time = 0;  // mach_absolute_time then, when there is no CPU clock
    std::string executable_path;      // from the argument area, to notice an exec
    std::uint64_t completed = 0;      // the sweep after which it was last completed
  };

  // Turns CPU ticks into the length of a refresh interval in nanoseconds.
  struct CpuClock {
    std::uint32_t host_port = 0;
    std::uint32_t cpu_count = 0;
    std::vector<std::uint32_t> ticks;
    CpuIntervalRule interval{1e9};
    double ns_per_tick = 0.0;
  };

  void setUp();
  std::optional<double> refreshInterval();
  bool listPids();
  void refreshPid(std::int32_t pid);
  std::optional<Reading> readRecord(std::int32_t pid, const Entry* known);
  void setCpuFigures(Entry& entry, const TaskInfo& task);
  void readNameAndArguments(std::int32_t pid, Entry& entry, const std::string& comm);
  bool completePid(std::int32_t pid, Entry& entry);
  ProcessStatus threadStatus(std::int32_t pid, const Entry& entry);
  std::optional<ArgumentArea> readArgumentArea(std::int32_t pid);
  void applyArgumentArea(Entry& entry, ArgumentArea area);
  bool mayRead(std::uint32_t uid) const { return effective_uid_ == 0 || uid == effective_uid_; }

  std::unique_ptr<DarwinKernel> owned_kernel_;
  DarwinKernel& kernel_;
  Clock& clock_;
  std::optional<CpuClock> cpu_clock_;
  // mach_timebase_info: numer / denom nanoseconds make one Mach absolute-time unit.
  double timebase_numer_ = 1.0;
  double timebase_denom_ = 1.0;
  std::uint32_t effective_uid_ = 0;
  std::size_t argument_buffer_cap_ = 0;  // kern.argmax + 4: the largest copy the kernel accepts
  ProcessEntryMap<Entry> entries_;

  // Per-refresh scratch, kept to avoid reallocating every time.
  std::vector<std::int32_t> pids_;
  std::vector<std::uint64_t> thread_handles_;
  std::vector<std::byte> argument_buffer_;
  std::uint64_t now_s_ = 0;
  std::optional<double> interval_;  // Mach units; absent without a CPU clock
};

}  // namespace procsampler::sampling::macos
