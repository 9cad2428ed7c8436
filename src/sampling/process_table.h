// The process-table contract: the sidecar's view of the operating system's process list, keyed
// by pid, brought up to date by an explicit refresh and read between refreshes. Everything above
// this header is platform-independent; the Linux and macOS sources implement it.
// A table belongs to the main thread: creation, refreshes, completions and reads never run
// concurrently. A refresh makes every entry's identity, tree, CPU and memory current; an entry's
// name, arguments, disk totals and status are current once completeProcesses has been given its
// pid after that refresh. Whoever reports those must complete the entries first.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"

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
// The fields marked "completed" may lag behind the refresh until the entry is completed.
struct Process {
  Pid pid = 0;
  std::optional<Pid> parent_pid;       // absent when the kernel reports parent 0
  std::string name;                    // completed: final component of the executable's path
  std::vector<std::string> arguments;  // completed: argv[0] first
  ProcessStatus status;                // completed: the reported status
  float cpu_percent = 0.0f;            // percent of one CPU since the previous refresh; 0 at first sight
  std::uint64_t cpu_time_ms = 0;       // user + system, since the start
  std::uint64_t resident_bytes = 0;
  std::uint64_t virtual_bytes = 0;
  std::uint64_t disk_read_bytes = 0;     // completed: storage I/O since the start
  std::uint64_t disk_written_bytes = 0;  // completed: storage I/O since the start
  std::uint64_t start_time_s = 0;        // whole seconds since the Unix epoch
  std::uint64_t run_time_s = 0;          // seconds from the start to this refresh, never below 0
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // Brings the table up to date: every process, vanished ones removed, CPU and memory read anew.
  // A source may read the completed fields (name, arguments, disk totals, status) only at moments
  // of its choosing, such as first sight, and leave them as it last read them until they are
  // completed; it never leaves a pid reused by another process with the previous one's. Never
  // fails: what cannot be read degrades values, and a listing failure leaves the table empty.
  // Returns the number of pids examined.
  virtual std::size_t refresh_processes_specifics() = 0;

  // Reads the completed fields anew for the given pids, so they hold what a refresh that read
  // everything would have given. Pids not in the table are ignored, and a pid completed since
  // the last refresh is not read again. An entry whose process turns out to have exited (or whose
  // pid now belongs to another process) since the refresh is removed rather than reported with
  // another process's values. The default suits sources that read everything at refresh.
  virtual void completeProcesses(std::span<const Pid> /*pids*/) {}

  virtual std::size_t processCount() const = 0;
  // The entry for pid, or null; valid until the next refresh or completion.
  virtual const Process* find(Pid pid) const = 0;
  // Visits every entry once, in no particular order.
  virtual void forEachProcess(const std::function<void(const Process&)>& visit) const = 0;
};

// This platform's table, empty (nothing is read until the first refresh). The clock must outlive it.
std::unique_ptr<ProcessTable> new_with_specifics(Clock& clock);

}  // namespace procsampler::sampling
