#include "sampling/windows/win_process_table.h"

#include <algorithm>
#include <utility>

#include "common/saturating.h"

namespace procsampler::sampling::windows {
namespace {

// As Task Manager's Details tab shows a process: "Suspended" when every thread is suspended
// (reported here as Stop, the state every platform uses for a stopped process), running when any
// thread is running or about to run on a processor, else waiting. A process without threads has
// exited and lives on only while a handle holds it.
ProcessStatus statusFromThreads(const ProcessRecord& record) {
  if (record.threads.empty()) return {ProcessStatusKind::Zombie, 0};
  bool allSuspended = true;
  for (const ThreadRecord& thread : record.threads) {
    switch (thread.state) {
      case THREAD_RUNNING:
      case THREAD_READY:
      case THREAD_STANDBY:
      case THREAD_DEFERRED_READY:
        return {ProcessStatusKind::Run, 0};
      default:
        break;
    }
    if (thread.state != THREAD_WAITING || thread.wait_reason != WAIT_REASON_SUSPENDED) {
      allSuspended = false;
    }
  }
  return {allSuspended ? ProcessStatusKind::Stop : ProcessStatusKind::Sleep, 0};
}

// Whole seconds since the Unix epoch of a FILETIME; 0 for one before 1970 (the idle and system
// processes report 0).
std::uint64_t unixSecondsOf(std::uint64_t filetime) {
  if (filetime <= UNIX_EPOCH_FILETIME) return 0;
  return (filetime - UNIX_EPOCH_FILETIME) / 10'000'000;
}

// Whole milliseconds since the Unix epoch of a FILETIME, 0 before 1970.
std::uint64_t unixMillisOf(std::uint64_t filetime) {
  if (filetime <= UNIX_EPOCH_FILETIME) return 0;
  return (filetime - UNIX_EPOCH_FILETIME) / 10'000;
}

}  // namespace

WinProcessTable::WinProcessTable(NtKernel& kernel, Clock& clock) : kernel_(kernel), clock_(clock) {
  setUp();
}

WinProcessTable::WinProcessTable(std::unique_ptr<NtKernel> kernel, Clock& clock)
    : ownedKernel_(std::move(kernel)), kernel_(*ownedKernel_), clock_(clock) {
  setUp();
}

void WinProcessTable::setUp() {
  processors_ = std::max<std::uint32_t>(kernel_.processorCount(), 1);
  times_ = kernel_.systemTimes();
}

std::optional<double> WinProcessTable::refreshInterval() {
  const MonoTime now = clock_.monotonicNow();
  if (interval_.reuses(now)) return interval_.last();
  const std::optional<MemoryStatus> memory = kernel_.memoryStatus();
  machine_.memoryTotalBytes = memory ? std::optional(memory->total_phys) : std::nullopt;
  machine_.memoryAvailableBytes = memory ? std::optional(memory->avail_phys) : std::nullopt;
  machine_.uptimeMs = kernel_.tickCount64();
  machine_.cpuCount = processors_;
  machine_.cpuPercent.reset();
  const std::optional<SystemTimes> times = kernel_.systemTimes();
  if (!times) return interval_.record(now, std::nullopt);
  std::optional<double> perCpu;
  std::uint64_t busy = 0;
  if (times_) {
    // Kernel time includes idle time, so kernel + user is all the time every processor had.
    const std::uint64_t before = times_->kernel + times_->user;
    const std::uint64_t after = times->kernel + times->user;
    const std::uint64_t elapsed = after >= before ? after - before : 0;
    perCpu = static_cast<double>(elapsed) / processors_;
    busy = saturatingSub(elapsed, saturatingSub(times->idle, times_->idle));
  }
  times_ = times;
  const double interval = interval_.record(now, perCpu);
  machine_.cpuPercent = machineCpuPercent(static_cast<double>(busy), interval);
  return interval;
}

std::size_t WinProcessTable::refreshAll() {
  nowS_ = unixSeconds(clock_.wallNow());
  // The documented way to size the list: a buffer too small fails with
  // STATUS_INFO_LENGTH_MISMATCH and the size needed then; processes may start before the next
  // call, so it gets room beyond that, and a few tries.
  ProcessListReply reply;
  for (int attempt = 0; attempt < LIST_ATTEMPTS; ++attempt) {
    reply = kernel_.querySystemProcesses(listBytes_);
    if (reply.status != NT_INFO_LENGTH_MISMATCH) break;
    listBytes_ = std::max(listBytes_, reply.return_length) + LIST_ROOM_BYTES;
  }
  // Without a list the table keeps what it had: emptied, it would report every process as gone.
  if (reply.status != NT_SUCCESS_CODE) return 0;
  entries_.startSweep();
  cpuSpans_.add(refreshInterval().value_or(0.0));
  for (const ProcessRecord& record : reply.processes) {
    auto [entry, seenBefore] = entries_.getOrCreate(record.pid);
    // A pid reused by another process starts from nothing.
    const bool fresh = !seenBefore || entry.createTime != record.create_time;
    if (fresh && seenBefore) entry = Entry{};
    apply(record, entry, fresh);
    entries_.markAlive(record.pid);
  }
  entries_.sweepUnmarked();
  return reply.processes.size();
}

void WinProcessTable::apply(const ProcessRecord& record, Entry& entry, bool fresh) {
  Process& p = entry.process;
  entry.createTime = record.create_time;
  p.pid = record.pid;
  p.parent_pid = record.parent_pid == 0 ? std::nullopt : std::optional<Pid>(record.parent_pid);
  p.name = record.image_name;
  p.status = statusFromThreads(record);
  p.start_time_s = unixSecondsOf(record.create_time);
  p.start_time_ms = unixMillisOf(record.create_time);
  p.run_time_s = nowS_ > p.start_time_s ? nowS_ - p.start_time_s : 0;

  const std::uint64_t cpu = saturatingAdd(record.user_time, record.kernel_time);
  const double span = fresh ? 0.0 : cpuSpans_.since(entry.cpuMark);
  p.cpu_percent = span > 0.0 && cpu >= entry.cpuTime
                      ? toPercent(static_cast<double>(cpu - entry.cpuTime) / span * 100.0)
                      : 0.0f;
  entry.cpuTime = cpu;
  entry.cpuMark = cpuSpans_.mark();
  p.cpu_time_ms = cpu / 10'000;
  p.resident_bytes = record.working_set;
  p.virtual_bytes = record.virtual_size;
  p.footprint_bytes = record.private_bytes;
  p.disk_read_bytes = record.read_transfer;
  p.disk_written_bytes = record.write_transfer;
  p.io_counts_all_io = true;
  p.thread_count = record.thread_count;
}

void WinProcessTable::completeProcesses(std::span<const Pid> pids) {
  const std::uint64_t sweep = entries_.sweepNumber();
  for (const Pid pid : pids) {
    Entry* entry = entries_.find(pid);
    if (entry == nullptr || entry->completed == sweep) continue;
    entry->completed = sweep;
    if (!entry->commandRead && !readCommandLine(pid, *entry)) entries_.erase(pid);
  }
}

bool WinProcessTable::readCommandLine(Pid pid, Entry& entry) {
  // The idle process (pid 0) cannot be opened at all, and says so as a pid without a process does.
  const OpenReply opened =
      pid == 0 ? OpenReply{0, WIN_ERROR_ACCESS_DENIED} : kernel_.openProcess(pid);
  if (opened.handle == 0) {
    // No process has the pid any more: it exited since the refresh. One the sidecar may not open
    // (another user's, a protected one) keeps what the listing gave, with its name for a command.
    if (opened.error == WIN_ERROR_INVALID_PARAMETER) return false;
    entry.commandRead = true;
    return true;
  }
  const bool exited = kernel_.hasExited(opened.handle);
  if (!exited) {
    CommandLineReply line = kernel_.commandLineInformation(opened.handle);
    std::optional<std::string> text;
    if (line.status == NT_SUCCESS_CODE) {
      text = std::move(line.text);
    } else {
      // Before Windows 8.1, and under Wine, class 60 is refused; the PEB holds the same text.
      text = kernel_.pebCommandLine(opened.handle);
    }
    entry.process.arguments.clear();
    // One argument, the whole line: Windows hands a program its command line as one string, and
    // how it splits it is the program's own business.
    if (text && !text->empty()) entry.process.arguments.push_back(std::move(*text));
    entry.commandRead = true;
  }
  kernel_.closeHandle(opened.handle);
  return !exited;
}

const Process* WinProcessTable::find(Pid pid) const {
  const Entry* entry = entries_.find(pid);
  return entry == nullptr ? nullptr : &entry->process;
}

void WinProcessTable::forEachProcess(const std::function<void(const Process&)>& visit) const {
  entries_.forEach([&visit](const Entry& entry) { visit(entry.process); });
}

}  // namespace procsampler::sampling::windows
