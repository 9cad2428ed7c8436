// The Linux process table: the ProcessTable contract over /proc, read through the ProcFiles seam
// so its lifecycle rules can be tested with scripted files. Belongs to the main thread like every
// table; the ProcFiles object is owned, the clock must outlive the table.
// A refresh reads stat for every pid: all that tree selection and the CPU figures need. It reads
// the exe link, for the name, of a process it sees for the first time or whose command name
// changed (an exec), and cmdline and io, in the same pass, of a process reported after the
// previous refresh. Completing any other pid reads cmdline, io and then stat again, to confirm
// the refresh's process still holds the pid. So an unreported, unchanged process costs one file
// read per refresh, one reported again three, and one newly reported four. Arguments are read
// only as far as a reported command can show, and kept only while the process is reported.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sampling/linux/proc_files.h"
#include "sampling/process_table.h"
#include "sampling/table_core.h"

namespace procsampler::sampling::procfs {

struct ProcFsTableOptions {
  std::uint64_t clockTicksPerSecond = 100;  // sysconf(_SC_CLK_TCK): the unit of every tick count
  std::uint64_t pageSize = 4096;            // sysconf(_SC_PAGESIZE): the unit of rss
  // The wall-clock instant the kernel counts start ticks from, since the Unix epoch.
  std::chrono::nanoseconds bootTime{0};
};

class ProcFsTable final : public ProcessTable {
 public:
  // Reads /proc/stat once, for the CPU baseline; reads no process. A failed read is not an error:
  // the first refresh then reports 0 for every cpu_percent.
  ProcFsTable(std::unique_ptr<ProcFiles> files, Clock& clock, ProcFsTableOptions options);

  std::size_t refresh_processes_specifics() override;
  void completeProcesses(std::span<const Pid> pids) override;
  std::size_t processCount() const override { return entries_.size(); }
  const Process* find(Pid pid) const override;
  void forEachProcess(const std::function<void(const Process&)>& visit) const override;

 private:
  struct Entry {
    Process process;
    std::string comm;              // stat's command name as last read, to notice an exec
    std::uint64_t startTicks = 0;  // with the pid, the process's identity
    std::uint64_t cpuTicks = 0;    // utime + stime at the last refresh
    std::uint64_t completed = 0;   // the last refresh (sweep) after which cmdline and io were read
    std::uint64_t reported = 0;    // the last refresh (sweep) after which it was to be completed
  };

  // The mean elapsed ticks per CPU since the previous computation (at least 200 ms worth), the
  // previous value when that computation is under 200 ms old, 0 when /proc/stat cannot be used.
  double cpuIntervalTicks();
  bool readSystemStat();
  void refreshPid(Pid pid, double intervalTicks, std::uint64_t nowS);
  // False when the process has exited or its pid was reused since the refresh.
  bool completePid(Pid pid, Entry& entry);
  // cmdline and io; false when the process has exited.
  bool readDetails(Pid pid, Entry& entry);
  void readName(Pid pid, Entry& entry);

  std::unique_ptr<ProcFiles> files_;
  Clock& clock_;
  ProcFsTableOptions options_;
  ProcessEntryMap<Entry> entries_;
  std::vector<Pid> pids_;  // the listing, kept for its storage

  std::optional<std::uint64_t> cpuElapsedTicks_;  // the aggregate total at the last computation
  std::uint32_t cpuCount_ = 0;
  CpuIntervalRule cpuInterval_;
};

}  // namespace procsampler::sampling::procfs
