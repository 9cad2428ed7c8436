// The process-table contract: the sidecar's view of the operating system's process list, keyed
// by pid, brought up to date by an explicit refresh and read between refreshes. Everything above
// this header is platform-independent; the Linux, macOS and Windows sources implement it.
// A table belongs to the main thread: creation, refreshes, completions and reads never run
// concurrently. A refresh makes its entries' identity and tree fields (pid, parent, start)
// current; every other field is current once completeProcesses has been given the pid after that
// refresh. Whoever reports those must complete the entries first.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sampling/machine_totals.h"

namespace procsampler::sampling {

using Pid = std::uint32_t;

// In the order of the status table; the wire texts live beside buildProcessSample.
enum class ProcessStatusKind : std::uint8_t {
  Idle,
  Run,
  Sleep,
  Stop,
  Zombie,
  Tracing,
  Dead,
  Wakekill,
  Waking,
  Parked,
  LockBlocked,
  UninterruptibleDiskSleep,
  Suspended,
  Unknown,
};

struct ProcessStatus {
  ProcessStatusKind kind = ProcessStatusKind::Unknown;
  std::uint32_t raw = 0;  // meaningful only for Unknown
  friend bool operator==(const ProcessStatus&, const ProcessStatus&) = default;
};

// One entry as the layers above see it. Texts are the kernel's bytes, not validated as UTF-8.
// pid, parent_pid and start_time_s are current after every refresh that holds the entry; the
// others ("completed") may lag behind it until the entry is completed.
struct Process {
  Pid pid = 0;
  std::optional<Pid> parent_pid;       // absent when the kernel reports parent 0
  std::string name;                    // final component of the executable's path
  std::vector<std::string> arguments;  // argv[0] first
  ProcessStatus status;                // the reported status
  // Percent of one CPU over the refresh intervals since the process's CPU time was last read:
  // the previous refresh's when it was read then (a source that reads every process at every
  // refresh), else the mean since the refresh that last read it. 0 at first sight.
  float cpu_percent = 0.0f;
  std::uint64_t cpu_time_ms = 0;  // user + system, since the start
  std::uint64_t resident_bytes = 0;
  std::uint64_t virtual_bytes = 0;
  std::uint64_t disk_read_bytes = 0;     // storage I/O since the start
  std::uint64_t disk_written_bytes = 0;  // storage I/O since the start
  std::uint64_t start_time_s = 0;        // whole seconds since the Unix epoch
  std::uint64_t run_time_s = 0;          // seconds from the start to the refresh, never below 0
  // Filled where the source reads them anyway; absent where it does not.
  std::optional<std::uint32_t> uid = std::nullopt;  // the owner the kernel checks access against
  std::optional<std::uint32_t> thread_count = std::nullopt;
  std::optional<std::uint64_t> footprint_bytes = std::nullopt;  // macOS: ri_phys_footprint
  // The start to the kernel's precision, whole milliseconds since the Unix epoch, held back as
  // start_time_s is; absent where the source knows only the second.
  std::optional<std::uint64_t> start_time_ms = std::nullopt;
  // Set when the figures are 0 because the kernel refused them, not because they are 0: CPU and
  // memory (cpu_percent, cpu_time_ms, resident_bytes, virtual_bytes), and the disk counters.
  bool cpu_memory_refused = false;
  bool io_refused = false;
  // Set where the disk counters count all I/O (files, pipes, devices, network), not storage only:
  // Windows' read and write transfer counts.
  bool io_counts_all_io = false;
};

// What the layers above let a table keep, given at its creation.
struct TableLimits {
  // A process's arguments are kept only as far as a command of this many bytes, one per
  // separator, shows them. By default as far as a snapshot's record shows a command
  // (MAX_COMMAND_BYTES, which sampler.h holds this to).
  std::size_t commandBytes = 16384;
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // Brings the whole table up to date: an entry for every process on the machine, vanished ones
  // removed. A source may read the completed fields only at moments of its choosing, such as
  // first sight, and leave them as it last read them until they are completed; it never leaves a
  // pid reused by another process with the previous one's. Never fails: what cannot be read
  // degrades values, and a listing failure leaves the table empty, or holding entries that find
  // does not give out, so that a snapshot counts their processes inaccessible. Returns the number
  // of pids examined.
  virtual std::size_t refreshAll() = 0;

  // Brings the table up to date as far as the process trees grown from the seeds need: afterwards
  // each seed and each of its descendants that is on the machine (zombies included) has an entry,
  // and every entry the table holds is a process on the machine with the identity and tree fields
  // a full refresh would give it. Processes outside those trees may be left out. Seeds not on the
  // machine select nothing. Same failure rules as a full refresh, which is the default.
  virtual void refreshTrees(std::span<const Pid> /*seeds*/) { refreshAll(); }

  // Reads the completed fields anew for the given pids, so they hold what a refresh that read
  // everything would have given. Pids not in the table are ignored, and a pid completed since
  // the last refresh is not read again. An entry whose process turns out to have exited (or whose
  // pid now belongs to another process) since the refresh is removed rather than reported with
  // another process's values. The default suits sources that read everything at refresh.
  virtual void completeProcesses(std::span<const Pid> /*pids*/) {}

  virtual std::size_t processCount() const = 0;
  // How many processes the last refresh found on the machine, counting those a tree refresh left
  // out of the table; the entry count for a source that holds them all.
  virtual std::size_t machineProcessCount() const { return processCount(); }
  // The entry for pid, or null; valid until the next refresh or completion.
  virtual const Process* find(Pid pid) const = 0;
  // Visits every entry once, in no particular order.
  virtual void forEachProcess(const std::function<void(const Process&)>& visit) const = 0;

  // A descriptor that turns readable when a process the table watches exits (or, where
  // heardStarts can be true, starts another) and stays so until a refresh takes the news; absent
  // where exits are learnt only by refreshing, or while nothing is watched. Valid until the table
  // is destroyed. Another thread may wait on it for readability (poll), and nothing else.
  virtual std::optional<int> exitSignal() const { return std::nullopt; }
  // Whether the last refresh took, from the exit signal, news that a watched process started
  // another: the trees may then hold processes not yet reported. Always false where starts are
  // learnt only by refreshing.
  virtual bool heardStarts() const { return false; }
  // The machine as the last refresh read it, with the CPU counters: a refresh that reuses the
  // previous one's CPU interval reuses its CPU and memory figures too. Nothing before the first
  // refresh.
  virtual MachineTotals machineTotals() const { return {}; }
  // How many milliseconds a start known to the millisecond may lie from an entry's start_time_ms
  // and still be its process's: the kernel's precision and the rounding on the way.
  virtual std::uint64_t startToleranceMs() const { return 1; }
};

// This platform's table, empty (nothing is read until the first refresh). The clock must outlive
// it.
std::unique_ptr<ProcessTable> newPlatformTable(Clock& clock, const TableLimits& limits = {});

}  // namespace procsampler::sampling
