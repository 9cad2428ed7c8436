// The Windows process table: one NtQuerySystemInformation(SystemProcessInformation) per refresh
// gives every process's identity, tree fields, CPU and memory figures, I/O transfer counts and
// thread states, through an NtKernel; completion adds the command line of the reported processes
// (ProcessCommandLineInformation, else the PEB). Owned and used by one thread (the main thread);
// the kernel and the clock must outlive it unless the table owns the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "common/clock.h"
#include "sampling/process_table.h"
#include "sampling/table_core.h"
#include "sampling/windows/nt_kernel.h"

namespace procsampler::sampling::windows {

// The list buffer starts at this size and grows to what the kernel asks for plus this much room,
// for processes started between two calls; a listing that keeps growing is tried this often.
inline constexpr std::size_t INITIAL_LIST_BYTES = 256 * 1024;
inline constexpr std::size_t LIST_ROOM_BYTES = 64 * 1024;
inline constexpr int LIST_ATTEMPTS = 4;

class WinProcessTable final : public ProcessTable {
 public:
  WinProcessTable(NtKernel& kernel, Clock& clock);
  WinProcessTable(std::unique_ptr<NtKernel> kernel, Clock& clock);

  // A listing that fails LIST_ATTEMPTS times empties the table and returns 0.
  std::size_t refreshAll() override;
  void completeProcesses(std::span<const Pid> pids) override;
  std::size_t processCount() const override { return entries_.size(); }
  const Process* find(Pid pid) const override;
  void forEachProcess(const std::function<void(const Process&)>& visit) const override;
  MachineTotals machineTotals() const override { return machine_; }
  // The size the list buffer has reached.
  std::size_t listBufferBytes() const { return listBytes_; }

 private:
  struct Entry {
    Process process;
    std::uint64_t createTime = 0;  // with the pid, the process's identity
    std::uint64_t cpuTime = 0;     // user + kernel at the last refresh, 100 ns
    CpuMark cpuMark;
    bool commandRead = false;     // tried once per process: command lines do not change
    std::uint64_t completed = 0;  // the sweep after which it was last completed
  };

  void setUp();
  std::optional<double> refreshInterval();
  void apply(const ProcessRecord& record, Entry& entry, bool fresh);
  // False when the process has exited since the refresh.
  bool readCommandLine(Pid pid, Entry& entry);

  std::unique_ptr<NtKernel> ownedKernel_;
  NtKernel& kernel_;
  Clock& clock_;
  ProcessEntryMap<Entry> entries_;
  CpuIntervalRule interval_{FILETIME_UNITS_PER_SECOND};
  CpuSpans cpuSpans_;
  std::optional<SystemTimes> times_;
  std::uint32_t processors_ = 1;
  MachineTotals machine_;
  std::size_t listBytes_ = INITIAL_LIST_BYTES;
  std::uint64_t nowS_ = 0;
};

}  // namespace procsampler::sampling::windows
