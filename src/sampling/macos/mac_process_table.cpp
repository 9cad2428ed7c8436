#include "sampling/macos/mac_process_table.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <utility>

#include "common/saturating.h"

namespace procsampler::sampling::macos {
namespace {

constexpr double MIN_USABLE_INTERVAL = 0.000001;
// ARG_MAX of the SDK for other systems, and of macOS before 10.15's: the largest argument area
// every kernel accepts a copy of, when kern.argmax cannot be read.
constexpr int FALLBACK_ARG_MAX = 256 * 1024;
// Room beyond what the size probe asked for, so that a copy filling the whole buffer shows that
// the area grew between the two calls.
constexpr std::size_t ARGUMENT_ROOM = 4;
// How often an argument area that keeps changing under the copy is probed again.
constexpr int ARGUMENT_ATTEMPTS = 3;
// Threads beyond the task's count when they are listed, for those started meanwhile.
constexpr std::size_t THREAD_ROOM = 8;

std::uint64_t toU64Saturating(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return U64_MAX;  // 2^64
  return static_cast<std::uint64_t>(value);
}

float toPercent(double value) {
  return static_cast<float>(std::min(value, static_cast<double>(FLT_MAX)));
}

// p_stat decides unless the process is runnable: xnu sets SIDL, SRUN, SSTOP and SZOMB, never
// SSLEEP, so a live process's state is its threads'.
std::optional<ProcessStatus> statusFromProcess(std::uint32_t status) {
  switch (status) {
    case STATUS_IDLE:
      return ProcessStatus{ProcessStatusKind::Idle, 0};
    case STATUS_RUN:
      return std::nullopt;
    case STATUS_SLEEP:
      return ProcessStatus{ProcessStatusKind::Sleep, 0};
    case STATUS_STOP:
      return ProcessStatus{ProcessStatusKind::Stop, 0};
    case STATUS_ZOMBIE:
      return ProcessStatus{ProcessStatusKind::Zombie, 0};
    default:
      return ProcessStatus{ProcessStatusKind::Unknown, status};
  }
}

bool cpuLoadUsable(const CpuLoadReply& load) {
  return load.kern_return == KERN_SUCCESS_CODE && load.cpu_count != 0 && !load.ticks.empty();
}

// pbi_comm holds 15 bytes of the name and kinfo_proc's p_comm 16: compared, both are cut to 15.
std::string execName(const std::string& comm) { return comm.substr(0, 15); }

}  // namespace

MacProcessTable::MacProcessTable(DarwinKernel& kernel, Clock& clock)
    : kernel_(kernel), clock_(clock) {
  setUp();
}

MacProcessTable::MacProcessTable(std::unique_ptr<DarwinKernel> kernel, Clock& clock)
    : owned_kernel_(std::move(kernel)), kernel_(*owned_kernel_), clock_(clock) {
  setUp();
}

void MacProcessTable::setUp() {
  effective_uid_ = kernel_.effectiveUid();
  const int argMax = kernel_.argMax();
  argument_buffer_cap_ = static_cast<std::size_t>(argMax > 0 ? argMax : FALLBACK_ARG_MAX) + 4;

  // A timebase with a zero term would make every interval infinite or empty; treat it as the
  // failure it is and count Mach units as nanoseconds.
  const TimebaseReply timebase = kernel_.machTimebaseInfo();
  if (timebase.kern_return == KERN_SUCCESS_CODE && timebase.numer != 0 && timebase.denom != 0) {
    timebase_numer_ = timebase.numer;
    timebase_denom_ = timebase.denom;
  }

  const std::uint32_t host = kernel_.machHostSelf();
  const long ticksPerSecond = kernel_.sysconf(SysconfName::ClockTicks);
  CpuLoadReply load = kernel_.hostProcessorInfo(host);
  if (!cpuLoadUsable(load)) return;
  CpuClock cpu;
  cpu.host_port = host;
  cpu.cpu_count = load.cpu_count;
  cpu.ticks = std::move(load.ticks);
  // Without a tick rate the tick counts mean nothing; the interval then rests on its floor.
  cpu.ns_per_tick =
      ticksPerSecond > 0 ? 1'000'000'000.0 / static_cast<double>(ticksPerSecond) : 0.0;
  cpu_clock_ = std::move(cpu);
}

std::optional<double> MacProcessTable::refreshInterval() {
  if (!cpu_clock_) return std::nullopt;
  CpuClock& cpu = *cpu_clock_;
  const MonoTime now = clock_.monotonicNow();
  if (cpu.interval.reuses(now)) return cpu.interval.last() * timebase_denom_ / timebase_numer_;

  CpuLoadReply load = kernel_.hostProcessorInfo(cpu.host_port);
  if (!cpuLoadUsable(load)) return 0.0;
  const std::uint32_t cpus = std::min(cpu.cpu_count, load.cpu_count);
  const std::size_t counters = std::min(
      {static_cast<std::size_t>(cpus) * CPU_STATE_COUNT, cpu.ticks.size(), load.ticks.size()});
  // The counters are 32 bits wide and wrap, after about 497 days in one state at 100 Hz; the
  // modular difference stays right across the wrap.
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < counters; ++i) {
    total += static_cast<std::uint32_t>(load.ticks[i] - cpu.ticks[i]);
  }
  cpu.ticks = std::move(load.ticks);
  cpu.cpu_count = load.cpu_count;

  const double perCpuNs = static_cast<double>(total) / static_cast<double>(cpus) * cpu.ns_per_tick;
  return cpu.interval.record(now, perCpuNs) * timebase_denom_ / timebase_numer_;
}

bool MacProcessTable::listPids() {
  const int expected = kernel_.listAllPids({});
  if (expected < 1) return false;
  pids_.assign(static_cast<std::size_t>(expected), 0);
  const int listed = kernel_.listAllPids(pids_);
  // A full buffer means processes appeared between the two calls and some may be missing.
  if (listed < 1 || listed >= expected) return false;
  pids_.resize(static_cast<std::size_t>(listed));
  return true;
}

std::size_t MacProcessTable::refresh_processes_specifics() {
  now_s_ = unixSeconds(clock_.wallNow());
  entries_.startSweep();
  std::size_t examined = 0;
  if (listPids()) {
    examined = pids_.size();
    interval_ = refreshInterval();
    for (const std::int32_t pid : pids_) refreshPid(pid);
  }
  // Whatever this refresh could not find has vanished, or was not listed.
  entries_.sweepUnmarked();
  return examined;
}

std::optional<MacProcessTable::Reading> MacProcessTable::readRecord(std::int32_t pid,
                                                                    const Entry* known) {
  auto fromTask = [](const TaskAllInfo& all) {
    const BsdInfo& bsd = all.pbsd;
    return Reading{bsd.pbi_ppid,         bsd.pbi_uid,  bsd.pbi_status, bsd.pbi_start_tvsec,
                   bsd.pbi_start_tvusec, bsd.pbi_comm, all.ptinfo};
  };
  // The kernel refuses another user's task info (but to root), and has none of a zombie's; such
  // a known entry goes straight to kinfo_proc, which the kernel gives for every process.
  const bool tryTask = known == nullptr || known->task_readable;
  if (tryTask) {
    const PidInfoReply<TaskAllInfo> all = kernel_.pidTaskAllInfo(pid);
    if (all.bytes == TASK_ALL_INFO_SIZE) return fromTask(all.info);
  }
  const KinfoReply kinfo = kernel_.kinfoProc(pid);
  if (kinfo.result != 0 || kinfo.length != KINFO_PROC_SIZE) return std::nullopt;  // gone
  const KinfoProc& k = kinfo.info;
  Reading reading{k.e_ppid,           k.cr_uid, k.p_stat,    k.p_starttime_sec,
                  k.p_starttime_usec, k.p_comm, std::nullopt};
  // A live process that is not the one refused before (its uid changed, or the pid went to
  // another) may be readable now.
  const bool another =
      !tryTask && reading.p_stat != STATUS_ZOMBIE &&
      (reading.uid != known->uid || reading.start_s != known->process.start_time_s ||
       reading.start_us != known->start_us);
  if (another) {
    const PidInfoReply<TaskAllInfo> all = kernel_.pidTaskAllInfo(pid);
    if (all.bytes == TASK_ALL_INFO_SIZE) return fromTask(all.info);
  }
  return reading;
}

void MacProcessTable::refreshPid(std::int32_t pid) {
  const Pid key = static_cast<Pid>(pid);
  auto [entry, seenBefore] = entries_.getOrCreate(key);
  std::optional<Reading> reading = readRecord(pid, seenBefore ? &entry : nullptr);
  if (!reading) return;  // gone since the listing: left unmarked, it is swept

  // The same pid with another start (to the microsecond) belongs to another process.
  const bool fresh = !seenBefore || entry.process.start_time_s != reading->start_s ||
                     entry.start_us != reading->start_us;
  if (fresh) {
    entry = Entry{};
    entry.process.pid = key;
    entry.process.start_time_s = reading->start_s;
    entry.start_us = reading->start_us;
  }
  const bool execd = !fresh && entry.comm != execName(reading->comm);

  Process& process = entry.process;
  process.parent_pid = reading->ppid == 0 ? std::nullopt : std::optional<Pid>(reading->ppid);
  process.run_time_s = saturatingSub(now_s_, process.start_time_s);
  entry.uid = reading->uid;
  entry.p_stat = reading->p_stat;
  entry.comm = execName(reading->comm);
  entry.task_readable = reading->task.has_value();
  if (reading->task) {
    setCpuFigures(entry, *reading->task);
  } else {
    // What the kernel refuses reads as 0, and a later reading starts over.
    entry.cpu_baseline = false;
    entry.threads = entry.running_threads = 0;
    process.cpu_percent = 0.0f;
    process.cpu_time_ms = process.resident_bytes = process.virtual_bytes = 0;
  }
  // The state of a runnable process's threads waits for completion; until then, this guess.
  std::optional<ProcessStatus> status = statusFromProcess(entry.p_stat);
  if (!status && !entry.task_readable) status = ProcessStatus{ProcessStatusKind::Unknown, 0};
  process.status = status.value_or(ProcessStatus{
      entry.running_threads > 0 ? ProcessStatusKind::Run : ProcessStatusKind::Sleep, 0});

  // A new process or a new program is named and its arguments read at once, reported or not: a
  // zombie's argument area and path are gone, and a full read would have kept them.
  if (fresh || execd) readNameAndArguments(pid, entry, reading->comm);
  entries_.markAlive(key);
}

void MacProcessTable::setCpuFigures(Entry& entry, const TaskInfo& task) {
  Process& process = entry.process;
  const std::uint64_t current = saturatingAdd(task.pti_total_user, task.pti_total_system);
  process.cpu_percent = 0.0f;
  if (interval_) {
    const std::uint64_t previous = entry.previous_cpu;
    if (entry.cpu_baseline && *interval_ > MIN_USABLE_INTERVAL && previous > 0 &&
        current > previous) {
      process.cpu_percent = toPercent(static_cast<double>(current - previous) / *interval_ * 100.0);
    }
  } else {
    // No tick counters: task time against mach_absolute_time, both in Mach units.
    const std::uint64_t now = kernel_.machAbsoluteTime();
    if (entry.cpu_baseline) {
      const std::uint64_t elapsed = now >= entry.previous_time ? now - entry.previous_time : now;
      const std::uint64_t used =
          current >= entry.previous_cpu ? current - entry.previous_cpu : current;
      if (elapsed != 0) {
        process.cpu_percent =
            toPercent(static_cast<double>(used) * 100.0 / static_cast<double>(elapsed));
      }
    }
    entry.previous_time = now;
  }
  entry.previous_cpu = current;
  entry.cpu_baseline = true;
  // Multiplied before dividing, so whole milliseconds stay whole (125/3 has no exact double).
  process.cpu_time_ms = toU64Saturating(static_cast<double>(current) * timebase_numer_ /
                                        (timebase_denom_ * 1'000'000.0));
  process.resident_bytes = task.pti_resident_size;
  process.virtual_bytes = task.pti_virtual_size;
  entry.threads = task.pti_threadnum;
  entry.running_threads = task.pti_numrunning;
}

void MacProcessTable::readNameAndArguments(std::int32_t pid, Entry& entry,
                                           const std::string& comm) {
  Process& process = entry.process;
  process.name.clear();
  process.arguments.clear();
  const bool zombie = entry.p_stat == STATUS_ZOMBIE;
  // The kernel copies no zombie's argument area and none of another user's (but to root).
  if (!zombie && mayRead(entry.uid)) {
    if (std::optional<ArgumentArea> area = readArgumentArea(pid)) {
      applyArgumentArea(entry, std::move(*area));
    }
  }
  if (process.name.empty() && !zombie) {
    const PathReply path = kernel_.pidPath(pid);
    if (path.result > 0) process.name = finalComponent(path.path);
  }
  if (process.name.empty()) process.name = comm;
}

void MacProcessTable::completeProcesses(std::span<const Pid> pids) {
  for (const Pid pid : pids) {
    Entry* entry = entries_.find(pid);
    if (entry == nullptr || entry->completed == entries_.sweepNumber()) continue;
    if (!completePid(static_cast<std::int32_t>(pid), *entry)) entries_.erase(pid);
  }
}

bool MacProcessTable::completePid(std::int32_t pid, Entry& entry) {
  Process& process = entry.process;
  const bool zombie = entry.p_stat == STATUS_ZOMBIE;
  // Of another user's process the kernel gives nothing more (but to root), and then nothing
  // read here can belong to another process.
  if (mayRead(entry.uid)) {
    // A zombie keeps the arguments it was last seen with alive.
    if (!zombie) {
      if (std::optional<ArgumentArea> area = readArgumentArea(pid)) {
        applyArgumentArea(entry, std::move(*area));
      }
    }
    const RusageReply usage = kernel_.pidRusage(pid);
    process.disk_read_bytes = usage.result >= 0 ? usage.info.ri_diskio_bytesread : 0;
    process.disk_written_bytes = usage.result >= 0 ? usage.info.ri_diskio_byteswritten : 0;
    if (entry.p_stat == STATUS_RUN && entry.task_readable && entry.running_threads == 0) {
      process.status = threadStatus(pid, entry);
    }
    // The refresh may be many milliseconds old: long enough for the process to exit and its pid
    // to go to another. The call the refresh made shows the refresh's start only if the same
    // process held the pid throughout.
    std::optional<Reading> now = readRecord(pid, &entry);
    if (!now || now->start_s != process.start_time_s || now->start_us != entry.start_us) {
      return false;
    }
  } else {
    process.disk_read_bytes = process.disk_written_bytes = 0;
  }
  entry.completed = entries_.sweepNumber();
  return true;
}

// As ps derives it: any thread running gives Run; else any in an uninterruptible wait,
// UninterruptibleDiskSleep; else any waiting, Sleep; else stopped, Stop; else halted, Parked.
ProcessStatus MacProcessTable::threadStatus(std::int32_t pid, const Entry& entry) {
  thread_handles_.resize(static_cast<std::size_t>(std::max(entry.threads, 0)) + THREAD_ROOM);
  const int bytes = kernel_.pidListThreads(pid, thread_handles_);
  const std::size_t listed =
      bytes > 0
          ? std::min(static_cast<std::size_t>(bytes) / THREAD_HANDLE_SIZE, thread_handles_.size())
          : 0;
  std::array<bool, RUN_STATE_HALTED + 1> seen{};
  for (std::size_t i = 0; i < listed; ++i) {
    const PidInfoReply<ThreadInfo> thread = kernel_.pidThreadInfo(pid, thread_handles_[i]);
    const std::int32_t state = thread.info.pth_run_state;
    if (thread.bytes == THREAD_INFO_SIZE && state >= RUN_STATE_RUNNING &&
        state <= RUN_STATE_HALTED) {
      seen[static_cast<std::size_t>(state)] = true;
    }
  }
  constexpr std::pair<std::int32_t, ProcessStatusKind> ORDER[] = {
      {RUN_STATE_RUNNING, ProcessStatusKind::Run},
      {RUN_STATE_UNINTERRUPTIBLE, ProcessStatusKind::UninterruptibleDiskSleep},
      {RUN_STATE_WAITING, ProcessStatusKind::Sleep},
      {RUN_STATE_STOPPED, ProcessStatusKind::Stop},
      {RUN_STATE_HALTED, ProcessStatusKind::Parked}};
  for (const auto& [state, kind] : ORDER) {
    if (seen[static_cast<std::size_t>(state)]) return {kind, 0};
  }
  // No thread could be read: pti_numrunning, which was 0, decides.
  return {ProcessStatusKind::Sleep, 0};
}

// sysctl_procargsx copies the TAIL of an area larger than the buffer, without an error, and
// refuses a buffer larger than kern.argmax + 4 bytes. So the buffer has room beyond what the size
// probe asked for, and a copy that fills it is suspect: the area grew between the two calls (an
// exec, a new title), or is larger than any copy may be. The size is then probed again; the copy
// is whole if the area still fits the buffer, and is read again if not.
std::optional<ArgumentArea> MacProcessTable::readArgumentArea(std::int32_t pid) {
  // Four bytes is the argument count alone; anything shorter is not an argument area.
  constexpr std::size_t MIN_AREA = 4;
  SysctlReply probe = kernel_.procArgs2(pid, {});
  for (int attempt = 0; attempt < ARGUMENT_ATTEMPTS; ++attempt) {
    if (probe.result != 0 || probe.length < MIN_AREA) return std::nullopt;
    const std::size_t size = std::min(probe.length + ARGUMENT_ROOM, argument_buffer_cap_);
    argument_buffer_.resize(size);
    const SysctlReply copied = kernel_.procArgs2(pid, argument_buffer_);
    if (copied.result != 0 || copied.length > size) return std::nullopt;
    const bool full = copied.length == size;
    if (full) probe = kernel_.procArgs2(pid, {});
    if (!full || (probe.result == 0 && probe.length <= size)) {
      return parseArgumentArea(std::span<const std::byte>(argument_buffer_.data(), copied.length));
    }
  }
  return std::nullopt;
}

void MacProcessTable::applyArgumentArea(Entry& entry, ArgumentArea area) {
  Process& process = entry.process;
  // Named once, and anew when the process has exec'd another program since the area was read.
  if (process.name.empty() || entry.executable_path != area.executable_path) {
    const std::string_view name = finalComponent(area.executable_path);
    if (!name.empty()) process.name = name;
  }
  entry.executable_path = std::move(area.executable_path);
  process.arguments = std::move(area.arguments);
}

const Process* MacProcessTable::find(Pid pid) const {
  const Entry* entry = entries_.find(pid);
  return entry == nullptr ? nullptr : &entry->process;
}

void MacProcessTable::forEachProcess(const std::function<void(const Process&)>& visit) const {
  entries_.forEach([&visit](const Entry& entry) { visit(entry.process); });
}

}  // namespace procsampler::sampling::macos
