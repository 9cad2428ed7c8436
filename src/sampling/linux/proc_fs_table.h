// The Linux process table: the ProcessTable contract over /proc, read through the ProcFiles seam
// so its lifecycle rules can be tested with scripted files. Belongs to the main thread like every
// table; the ProcFiles object is owned, the clock must outlive the table. A full refresh reads
// stat of every pid; a tree refresh and a completion read only what can have changed.
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
#include "sampling/linux/proc_parsers.h"
#include "sampling/process_table.h"
#include "sampling/table_core.h"

namespace procsampler::sampling::procfs {

struct ProcFsTableOptions {
  std::uint64_t clockTicksPerSecond = 100;  // sysconf(_SC_CLK_TCK): the unit of every tick count
  std::uint64_t pageSize = 4096;            // sysconf(_SC_PAGESIZE): the unit of rss
  // The wall-clock instant the kernel counts start ticks from, since the Unix epoch.
  std::chrono::nanoseconds bootTime{0};
  // How many descriptors (pidfds and kept files) the table may hold at once. With none, every
  // read opens and closes its file and a tree refresh reads every entry's stat.
  std::size_t descriptorBudget = 0;
  // How many of those may be files whose reads make the kernel keep a page-sized buffer until
  // they are closed (every /proc file the table reads but cmdline).
  std::size_t keptBufferBudget = SIZE_MAX;
  TableLimits limits = {};
};

class ProcFsTable final : public ProcessTable {
 public:
  // Reads /proc/stat once, for the CPU baseline; reads no process. A failed read is not an error:
  // the first refresh then reports 0 for every cpu_percent.
  ProcFsTable(std::unique_ptr<ProcFiles> files, Clock& clock, ProcFsTableOptions options);
  ~ProcFsTable() override;
  ProcFsTable(const ProcFsTable&) = delete;
  ProcFsTable& operator=(const ProcFsTable&) = delete;

  std::size_t refreshAll() override;
  void refreshTrees(std::span<const Pid> seeds) override;
  void completeProcesses(std::span<const Pid> pids) override;
  std::size_t processCount() const override { return entries_.size(); }
  std::size_t machineProcessCount() const override { return machineCount_; }
  const Process* find(Pid pid) const override;
  void forEachProcess(const std::function<void(const Process&)>& visit) const override;
  std::optional<int> exitSignal() const override { return files_->exitSignal(); }
  MachineTotals machineTotals() const override { return machine_; }
  // A start tick stands for the tick it fell in, so a start known better may be a tick later;
  // the boot instant, taken once from two clocks, is good to a millisecond.
  std::uint64_t startToleranceMs() const override {
    return (1000 + options_.clockTicksPerSecond - 1) / options_.clockTicksPerSecond + 1;
  }

  // The descriptors the table holds now, pidfds and kept files; and of those, the files whose
  // reads made the kernel keep a buffer.
  std::size_t heldDescriptors() const { return held_; }
  std::size_t keptBuffers() const { return keptBuffers_; }

 private:
  struct Entry {
    Process process;
    std::string comm;              // stat's command name as last read, to notice an exec
    std::uint64_t startTicks = 0;  // with the pid, the process's identity
    std::uint64_t cpuTicks = 0;    // utime + stime at the last reading
    CpuMark cpuRead;               // where that reading was taken
    double cpuReadInto = 0.0;      // and how far into its refresh, in ticks
    std::uint64_t startS = 0;      // the start, whole seconds since the epoch, before holdStartBack
    std::uint64_t startMs = 0;     // and in whole milliseconds
    bool exited = false;           // the last read found a zombie
    // The leader's run time at the last completion, when stat then showed one thread; else 0.
    std::uint64_t ranNs = 0;
    bool listed = false;           // in reportedPids_
    Handle exitWatch = NO_HANDLE;  // the pidfd while the process is watched
    Handle stat = NO_HANDLE, cmdline = NO_HANDLE, schedstat = NO_HANDLE;
    MonoTime quietRead{};         // when cmdline and statm were last read
    std::uint64_t statRead = 0;   // the refresh (sweep) that last read stat
    std::uint64_t exitHeard = 0;  // the refresh that heard of its exit, not to watch it again
    std::uint64_t completed = 0;  // the refresh after which it was last completed
    std::uint64_t reported = 0;   // the refresh after which it was last to be completed
  };

  // The mean elapsed ticks per CPU since the previous computation (at least 200 ms worth), the
  // previous value when that computation is under 200 ms old, 0 when /proc/stat cannot be used.
  double cpuIntervalTicks();
  bool readSystemStat();

  // Lists the pids and starts the sweep; false, with the table emptied, when /proc cannot be
  // listed. Then turns the entries whose exit was reported into unwatched ones, to be read.
  bool beginRefresh();
  void walkListing();
  // Reads anew the entries whose parent exited or went in this refresh, and theirs in turn.
  void rereadOrphans();
  // Reads stat into pid's entry, created if need be and marked alive; watches it first when
  // `watch` is set. Null, with the entry removed, when the process is gone.
  Entry* readEntry(Pid pid, bool watch);
  void applyStat(Pid pid, Entry& entry, const StatFields& stat, bool fresh);
  // False when the process has exited or its pid was reused since the refresh.
  bool completePid(Pid pid, Entry& entry);
  void readName(Pid pid, Entry& entry);
  // Shows the entry's start, or the refresh's second when that is earlier.
  void holdStartBack(Entry& entry);
  // Ticks since the refresh began, by the monotonic clock.
  double ticksIntoRefresh();
  // The refresh under way, or the last one: the entry map counts them.
  std::uint64_t sweep() const { return entries_.sweepNumber(); }

  // Descriptors: every handle the table holds is counted, so it never asks for more than its
  // budget.
  bool mayHold() const { return held_ < budget_; }
  bool mayKeepBuffer() const { return mayHold() && keptBuffers_ < options_.keptBufferBudget; }
  // Reported after the previous refresh or this one.
  bool reportedLately(const Entry& entry) const {
    return entry.reported != 0 && entry.reported + 1 >= sweep();
  }
  // Reported lately, or not watched.
  bool readsEveryRefresh(const Entry& entry) const;
  void watch(Pid pid, Entry& entry);
  // `buffered`: a kept file whose reads make the kernel keep a buffer (every file but cmdline).
  void noteHandle(Handle before, Handle after, ReadStatus status, bool buffered = false);
  void release(Handle& handle);
  void releaseBuffered(Handle& handle);
  void releaseAll(Entry& entry);
  // When an open finds no descriptor to spare though the budget counted on one (another user of
  // the process's descriptors, or the system, took it): closes every kept file, so that reads can
  // go on, and keeps no more. False when none was kept.
  bool shedKeptFiles();
  // Lets go of what entries no longer reported hold for it: arguments and kept files.
  void forgetUnreported();
  void remove(Pid pid);

  std::unique_ptr<ProcFiles> files_;
  Clock& clock_;
  ProcFsTableOptions options_;
  ProcessEntryMap<Entry> entries_;
  std::size_t machineCount_ = 0;
  std::uint64_t nowS_ = 0;                 // the refresh's wall-clock second
  std::chrono::nanoseconds sinceBoot_{0};  // and its boot-clock instant
  MonoTime refreshAt_{};                   // and its monotonic one
  bool startsHeldBack_ = false;            // some entry shows nowS_ for a later start
  std::size_t budget_;
  std::size_t held_ = 0;
  std::size_t keptBuffers_ = 0;
  bool pidfds_ = true;  // false once the kernel refused a pidfd for want of support

  // Per-refresh scratch, kept for its storage.
  std::vector<Pid> pids_;   // the listing
  std::vector<Pid> heard_;  // the exits the pidfds report
  // Processes found gone or zombies since the orphans were last read: by a refresh, or by a
  // completion, whose finds the next refresh takes.
  std::vector<Pid> exited_;
  std::vector<Pid> orphans_;       // entries to read again for a parent that exited
  std::vector<Pid> reportedPids_;  // entries reported at some refresh, until forgotten

  std::optional<std::uint64_t> cpuElapsedTicks_;  // the aggregate total at the last computation
  std::uint64_t cpuIdleTicks_ = 0;                // and its idle part
  MachineTotals machine_;
  std::uint32_t cpuCount_ = 0;
  CpuIntervalRule cpuInterval_;
  CpuSpans cpuSpans_;
};

// This machine's: its tick rate, page size and boot instant, and the descriptors the table may
// hold once the soft limit is raised to the hard one (raiseDescriptorLimit). newPlatformTable
// makes its table with these.
ProcFsTableOptions liveOptions();

}  // namespace procsampler::sampling::procfs
