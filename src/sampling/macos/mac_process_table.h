// The macOS process table: through a DarwinKernel, one call per pid and refresh (task info where
// the kernel allows it; else BSD info for a zombie the kernel lets this user read, and kinfo_proc
// for another user's process, taken from one listing of the whole machine when the refresh reads
// it all), a tree refresh making it only for the pids it walks to with proc_listchildpids; the
// executable's path at first sight and at an exec; arguments (as far as a command shows), disk
// totals and thread states for completed pids. Owned and used by one thread (the main thread);
// the kernel and the clock must outlive it unless the table owns the kernel. After every refresh
// whose listing succeeded, each entry is a process that listing holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/clock.h"
#include "sampling/macos/darwin_kernel.h"
#include "sampling/process_table.h"
#include "sampling/table_core.h"

namespace procsampler::sampling::macos {

// Each proc_listchildpids walks the kernel's whole process list, so walking a tree of k processes
// costs k such walks besides the k records, while reading the whole machine costs one or two
// walks and a record per process. Past the limit a tree refresh reads the whole machine. An
// estimate from xnu's code: a record found through the pid hash costs about as much as a hundred
// steps of a list walk, so for root a walk pays up to about a hundred processes. A user's sidecar
// reads another user's process through kinfo_proc, itself a walk, so each tree process may cost
// it two walks, and half the limit. To be set by a measurement on a Mac.
inline constexpr std::size_t ROOT_WALK_LIMIT = 128;
inline constexpr std::size_t USER_WALK_LIMIT = 64;
// Threads whose state a completion reads at most per process: each read searches the task's
// thread list from its start (fill_taskthreadinfo), so reading every thread costs the square of
// their number.
inline constexpr std::size_t THREAD_READ_LIMIT = 32;

class MacProcessTable final : public ProcessTable {
 public:
  // Sets up the CPU clock (timebase, tick rate, CPU load baseline); reads no process. A tree
  // refresh walks no more than walkLimit processes (0: it always reads the whole machine; by
  // default the limit of the sidecar's effective uid).
  MacProcessTable(DarwinKernel& kernel, Clock& clock,
                  std::optional<std::size_t> walkLimit = std::nullopt, TableLimits limits = {});
  // The same, owning the kernel (not null).
  MacProcessTable(std::unique_ptr<DarwinKernel> kernel, Clock& clock,
                  std::optional<std::size_t> walkLimit = std::nullopt, TableLimits limits = {});
  ~MacProcessTable() override;  // closes the exit queue
  MacProcessTable(const MacProcessTable&) = delete;
  MacProcessTable& operator=(const MacProcessTable&) = delete;

  // A listing that fails twice leaves the table as the last refresh left it, but out of readers'
  // sight until a listing succeeds: its entries are visited, so selection still finds the trees,
  // and found by no lookup, so the snapshot counts their processes as inaccessible; their CPU
  // readings carry over to the next refresh.
  std::size_t refreshAll() override;
  // Breadth first from the seeds: each pid's record, then the children the kernel lists for it.
  // Reads the rest of the machine as well when the walk cannot be trusted to have found every
  // descendant (a listing of children failed, or filled its buffer), or when the trees, as the
  // table last saw them or as the walk finds them, hold more than the walk limit.
  void refreshTrees(std::span<const Pid> seeds) override;
  void completeProcesses(std::span<const Pid> pids) override;
  std::size_t processCount() const override { return entries_.size(); }
  // The pids the last successful listing held.
  std::size_t machineProcessCount() const override { return pids_.size(); }
  // The processes a tree refresh left out that the table remembers: memory beyond its entries.
  std::size_t setAsideCount() const { return setAside_.size(); }
  const Process* find(Pid pid) const override;
  void forEachProcess(const std::function<void(const Process&)>& visit) const override;
  MachineTotals machineTotals() const override { return machine_; }
  // The kqueue holding NOTE_EXIT and NOTE_FORK for every process completed since it was last seen
  // starting.
  std::optional<int> exitSignal() const override {
    return exitQueue_ < 0 ? std::nullopt : std::optional<int>(exitQueue_);
  }
  bool heardStarts() const override { return forkHeard_; }

 private:
  // One pid's record, from whichever of the two calls the kernel answered.
  struct Reading {
    std::uint32_t ppid = 0;
    std::uint32_t uid = 0;
    std::uint32_t p_stat = 0;
    std::uint64_t startS = 0;
    std::uint64_t startUs = 0;
    std::string comm;              // the program's name as exec'd, cut by the kernel
    std::optional<TaskInfo> task;  // absent when the kernel refused it
  };

  struct Entry {
    Process process;                  // what readers see
    std::uint64_t startUs = 0;        // with process.start_time_s, the process's identity
    std::uint32_t uid = 0;            // its effective uid at the last reading
    std::uint32_t p_stat = 0;         // its p_stat at the last reading
    std::string comm;                 // its name as exec'd, cut to 15 bytes, to notice an exec
    bool taskReadable = false;        // the last reading was of its task info
    std::int32_t runningThreads = 0;  // from the task info: how many have TH_RUN
    CpuMark cpuMark;                  // when previousCpu (and previousTime) were read
    std::uint64_t previousCpu = 0;    // task user + system when last read, Mach units
    std::uint64_t previousTime = 0;   // mach_absolute_time then, when there is no CPU clock
    std::string executablePath;       // from the argument area, to notice an exec
    std::uint64_t completed = 0;      // the sweep after which it was last completed
    std::uint64_t lookedAt = 0;       // the sweep whose refresh last asked for its record
    std::uint64_t readAt = 0;         // the sweep whose refresh last got it
    bool watchAsked = false;          // its NOTE_EXIT and NOTE_FORK were asked of exitQueue_
  };

  // Turns CPU ticks into the length of a refresh interval in nanoseconds.
  struct CpuClock {
    std::uint32_t hostPort = 0;
    std::uint32_t cpuCount = 0;
    std::vector<std::uint32_t> ticks;
    CpuIntervalRule interval{1e9};
    double nsPerTick = 0.0;
  };

  // kinfo_proc of the whole machine, read at the first need of a refresh that reads it all.
  enum class Batch { Unwanted, Wanted, Read, Failed };

  void setUp(std::optional<std::size_t> walkLimit);
  std::optional<double> refreshInterval();
  // Memory and uptime, read where the CPU counters are.
  void readMachineMemory();
  bool listPids();
  bool listed(std::int32_t pid) const;
  // A refresh: its listing and interval (false when the listing failed), then its records, then
  // the end, which sets aside the listed processes it left out and removes the rest.
  bool beginRefresh();
  // Whether the seeds' trees, as the table holds them from the last refresh, are within the limit.
  bool walkPays(std::span<const Pid> seeds) const;
  // False when the walk cannot be trusted or passed the limit; what it read stays read.
  bool walkTrees(std::span<const Pid> seeds);
  // Every listed pid this refresh has not looked at yet.
  void readUnlooked();
  void endRefresh();
  // False when the pid has no process the table keeps.
  bool refreshPid(std::int32_t pid);
  // nullopt when the kernel answered none of the calls: the process is gone, or passing through
  // fork or exit.
  std::optional<Reading> readRecord(std::int32_t pid, const Entry* known);
  std::optional<Reading> readKinfo(std::int32_t pid);
  void readBatch();
  void setCpuFigures(Entry& entry, const TaskInfo& task);
  void readName(std::int32_t pid, Entry& entry, const std::string& comm);
  bool completePid(std::int32_t pid, Entry& entry);
  // Adds pid's NOTE_EXIT and NOTE_FORK to the queue, made on first use, unless they were asked for
  // before or the process is a zombie.
  void watchProcess(std::int32_t pid, Entry& entry);
  ProcessStatus threadStatus(std::int32_t pid);
  // The size of the area copied into argumentBuffer_, or nullopt.
  std::optional<std::size_t> readArgumentArea(std::int32_t pid);
  void readArguments(std::int32_t pid, Entry& entry);
  bool mayRead(std::uint32_t uid) const { return effectiveUid_ == 0 || uid == effectiveUid_; }

  std::unique_ptr<DarwinKernel> ownedKernel_;
  DarwinKernel& kernel_;
  Clock& clock_;
  std::optional<CpuClock> cpuClock_;
  std::uint32_t hostPort_ = 0;
  std::uint64_t pageSize_ = 0;  // sysconf(_SC_PAGESIZE): the unit of vm_statistics64's counts
  MachineTotals machine_;
  // mach_timebase_info: numer / denom nanoseconds make one Mach absolute-time unit.
  double timebaseNumer_ = 1.0;
  double timebaseDenom_ = 1.0;
  std::uint32_t effectiveUid_ = 0;
  std::size_t argumentBufferCap_ = 0;  // kern.argmax + 4: the largest copy the kernel accepts
  std::size_t walkLimit_ = 0;
  TableLimits limits_;
  TreeWalk treeWalk_;
  ProcessEntryMap<Entry> entries_;
  // Processes a tree refresh left out while they are still listed, out of readers' sight and
  // without arguments: a walk that reaches one again takes it back, CPU reading and all.
  std::unordered_map<Pid, Entry> setAside_;
  CpuSpans cpuSpans_;
  bool listingFailed_ = false;  // the last refresh's listing failed twice
  Batch batch_ = Batch::Unwanted;

  // The last successful listing, ascending; then per-refresh scratch, kept to avoid reallocating
  // every time.
  std::vector<std::int32_t> pids_;
  std::vector<std::int32_t> listing_;
  std::vector<KinfoProc> kinfoBatch_;  // ascending by pid once read
  std::vector<std::int32_t> walk_;     // the pids a refresh sets aside
  std::vector<std::int32_t> children_;
  int exitQueue_ = -1;           // the kqueue, once a completion has made it
  std::vector<ProcNote> notes_;  // what a refresh takes from it
  bool forkHeard_ = false;       // among them, the last refresh took a NOTE_FORK
  std::vector<std::uint64_t> threadHandles_;
  std::vector<std::byte> argumentBuffer_;
  std::uint64_t nowS_ = 0;
  std::optional<double> interval_;  // Mach units; absent without a CPU clock
};

}  // namespace procsampler::sampling::macos
