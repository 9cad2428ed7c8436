#include "sampling/macos/mac_process_table.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <utility>

#include "common/saturating.h"
#include "sampling/macos/proc_args.h"

namespace procsampler::sampling::macos {
namespace {

constexpr double MIN_USABLE_INTERVAL = 0.000001;

std::uint64_t toU64Saturating(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return U64_MAX;  // 2^64
  return static_cast<std::uint64_t>(value);
}

float toPercent(double value) {
  return static_cast<float>(std::min(value, static_cast<double>(FLT_MAX)));
}

ProcessStatus statusFromBsd(std::uint32_t status) {
  switch (status) {
    case STATUS_IDLE:
      return {ProcessStatusKind::Idle, 0};
    case STATUS_RUN:
      return {ProcessStatusKind::Run, 0};
    case STATUS_SLEEP:
      return {ProcessStatusKind::Sleep, 0};
    case STATUS_STOP:
      return {ProcessStatusKind::Stop, 0};
    case STATUS_ZOMBIE:
      return {ProcessStatusKind::Zombie, 0};
    default:
      return {ProcessStatusKind::Unknown, status};
  }
}

ProcessStatus statusFromThread(std::int32_t state) {
  switch (state) {
    case RUN_STATE_RUNNING:
      return {ProcessStatusKind::Run, 0};
    case RUN_STATE_STOPPED:
      return {ProcessStatusKind::Stop, 0};
    case RUN_STATE_WAITING:
      return {ProcessStatusKind::Sleep, 0};
    // A thread in an uninterruptible wait belongs to a live process blocked in the kernel.
    case RUN_STATE_UNINTERRUPTIBLE:
      return {ProcessStatusKind::UninterruptibleDiskSleep, 0};
    case RUN_STATE_HALTED:
      return {ProcessStatusKind::Parked, 0};
    default:
      return {ProcessStatusKind::Unknown, static_cast<std::uint32_t>(state)};
  }
}

bool cpuLoadUsable(const CpuLoadReply& load) {
  return load.kern_return == KERN_SUCCESS_CODE && load.cpu_count != 0 && !load.ticks.empty();
}

}  // namespace

MacProcessTable::MacProcessTable(DarwinKernel& kernel, Clock& clock)
    : kernel_(kernel), clock_(clock) {
  setUpCpuClock();
}

MacProcessTable::MacProcessTable(std::unique_ptr<DarwinKernel> kernel, Clock& clock)
    : owned_kernel_(std::move(kernel)), kernel_(*owned_kernel_), clock_(clock) {
  setUpCpuClock();
}

void MacProcessTable::setUpCpuClock() {
  const std::uint32_t host = kernel_.machHostSelf();
  const long ticksPerSecond = kernel_.sysconf(SysconfName::ClockTicks);

  // A timebase with a zero term would make every interval infinite or empty; treat it as the
  // failure it is and count Mach units as nanoseconds.
  TimebaseReply timebase = kernel_.machTimebaseInfo();
  if (timebase.kern_return != KERN_SUCCESS_CODE || timebase.numer == 0 || timebase.denom == 0) {
    timebase.numer = timebase.denom = 1;
  }

  CpuLoadReply load = kernel_.hostProcessorInfo(host);
  if (!cpuLoadUsable(load)) return;
  CpuClock cpu;
  cpu.host_port = host;
  cpu.cpu_count = load.cpu_count;
  cpu.ticks = std::move(load.ticks);
  cpu.timebase_numer = timebase.numer;
  cpu.timebase_denom = timebase.denom;
  // Without a tick rate the tick counts mean nothing; the interval then rests on its floor.
  cpu.ns_per_tick =
      ticksPerSecond > 0 ? 1'000'000'000.0 / static_cast<double>(ticksPerSecond) : 0.0;
  cpu_clock_ = std::move(cpu);
}

std::optional<double> MacProcessTable::refreshInterval() {
  if (!cpu_clock_) return std::nullopt;
  CpuClock& cpu = *cpu_clock_;
  const MonoTime now = clock_.monotonicNow();
  const double nsPerMachUnit = cpu.timebase_numer / cpu.timebase_denom;
  if (cpu.interval.reuses(now)) return cpu.interval.last() / nsPerMachUnit;

  CpuLoadReply load = kernel_.hostProcessorInfo(cpu.host_port);
  if (!cpuLoadUsable(load)) return 0.0;

  const std::uint32_t cpus = std::min(cpu.cpu_count, load.cpu_count);
  const std::size_t counters = std::min(
      {static_cast<std::size_t>(cpus) * CPU_STATE_COUNT, cpu.ticks.size(), load.ticks.size()});
  // Summed in 32 bits like the counters themselves; a counter that went backwards adds nothing.
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < counters; ++i) {
    if (load.ticks[i] > cpu.ticks[i]) total += load.ticks[i] - cpu.ticks[i];
  }
  cpu.ticks = std::move(load.ticks);
  cpu.cpu_count = load.cpu_count;

  const double perCpuNs = static_cast<double>(total) / static_cast<double>(cpus) * cpu.ns_per_tick;
  return cpu.interval.record(now, perCpuNs) / nsPerMachUnit;
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
    for (const std::int32_t pid : pids_) {
      const Pid key = static_cast<Pid>(pid);
      const PidInfoReply<BsdInfo> bsd = kernel_.pidBsdInfo(pid);
      auto [entry, seenBefore] = entries_.getOrCreate(key);
      const bool reused = seenBefore && bsd.bytes == BSD_INFO_SIZE &&
                          bsd.info.pbi_start_tvsec != entry.process.start_time_s;
      const bool alive =
          !seenBefore || reused ? firstSight(pid, entry, bsd) : refreshKnown(pid, entry, bsd);
      if (alive) entries_.markAlive(key);
    }
  }
  // Whatever this refresh could not mark has vanished or could not be inspected.
  entries_.sweepUnmarked();
  return examined;
}

bool MacProcessTable::firstSight(std::int32_t pid, Entry& entry, const PidInfoReply<BsdInfo>& bsd) {
  entry = Entry{};
  entry.process.pid = static_cast<Pid>(pid);

  if (bsd.bytes != BSD_INFO_SIZE) {
    // Without BSD info there is no start time to tell this process from a later one with the
    // same pid, so nothing but its name is worth reading.
    if (!nameFromPath(pid, entry)) return false;
    entry.process.status = reportedStatus(entry);
    return true;
  }

  if (bsd.info.pbi_ppid != 0) entry.process.parent_pid = bsd.info.pbi_ppid;
  entry.process_state = statusFromBsd(bsd.info.pbi_status);
  entry.process.start_time_s = bsd.info.pbi_start_tvsec;
  entry.process.run_time_s = saturatingSub(now_s_, entry.process.start_time_s);

  if (std::optional<ArgumentReading> reading = readArgumentArea(pid)) {
    applyArguments(entry, std::move(*reading));
  } else if (!nameFromPath(pid, entry)) {
    return false;
  }

  const TaskInfo task = readTaskInfo(pid);
  entry.previous_user = task.pti_total_user;
  entry.previous_system = task.pti_total_system;
  entry.process.cpu_time_ms = cpuTimeMs(task);
  entry.process.resident_bytes = task.pti_resident_size;
  entry.process.virtual_bytes = task.pti_virtual_size;

  const RusageReply usage = kernel_.pidRusage(pid);
  if (usage.result >= 0) {
    entry.process.disk_read_bytes = usage.info.ri_diskio_bytesread;
    entry.process.disk_written_bytes = usage.info.ri_diskio_byteswritten;
  }
  entry.process.status = reportedStatus(entry);
  return true;
}

bool MacProcessTable::refreshKnown(std::int32_t pid, Entry& entry,
                                   const PidInfoReply<BsdInfo>& bsd) {
  if (bsd.bytes == BSD_INFO_SIZE) {
    entry.process.parent_pid.reset();
    if (bsd.info.pbi_ppid != 0) entry.process.parent_pid = bsd.info.pbi_ppid;
    // Read every time, so a process that stops or turns into a zombie is reported as such.
    entry.process_state = statusFromBsd(bsd.info.pbi_status);
    if (std::optional<ArgumentReading> reading = readArgumentArea(pid)) {
      applyArguments(entry, std::move(*reading));
    } else if (entry.process.name.empty()) {
      nameFromPath(pid, entry);
    }
  } else {
    // The path is the only sign left that the process still exists.
    if (!nameFromPath(pid, entry)) return false;
    if (std::optional<ArgumentReading> reading = readArgumentArea(pid)) {
      applyArguments(entry, std::move(*reading));
    }
  }

  entry.previous_disk_read = entry.process.disk_read_bytes;
  entry.previous_disk_written = entry.process.disk_written_bytes;
  const RusageReply usage = kernel_.pidRusage(pid);
  if (usage.result >= 0) {
    entry.process.disk_read_bytes = usage.info.ri_diskio_bytesread;
    entry.process.disk_written_bytes = usage.info.ri_diskio_byteswritten;
  }

  // A negative reply is a failure too: reading its zero-filled structure would give state 0.
  const PidInfoReply<ThreadInfo> threadReply = kernel_.pidThreadInfo(pid);
  ThreadInfo thread;
  if (threadReply.bytes == THREAD_INFO_SIZE) {
    thread = threadReply.info;
    entry.thread_state = thread.pth_run_state;
  } else {
    entry.thread_state = RUN_STATE_RUNNING;
  }

  entry.process.run_time_s = saturatingSub(now_s_, entry.process.start_time_s);

  const TaskInfo task = readTaskInfo(pid);
  setCpuFigures(entry, task, thread);
  entry.process.cpu_time_ms = cpuTimeMs(task);
  entry.process.resident_bytes = task.pti_resident_size;
  entry.process.virtual_bytes = task.pti_virtual_size;
  entry.process.status = reportedStatus(entry);
  return true;
}

std::optional<MacProcessTable::ArgumentReading> MacProcessTable::readArgumentArea(
    std::int32_t pid) {
  // Four bytes is the argument count alone; anything shorter is not an argument area.
  constexpr std::size_t MIN_AREA = 4;
  const SysctlReply probe = kernel_.procArgs2(pid, {});
  if (probe.result != 0 || probe.length < MIN_AREA) return std::nullopt;
  argument_buffer_.resize(probe.length);
  const SysctlReply copied = kernel_.procArgs2(pid, argument_buffer_);
  if (copied.result != 0) return std::nullopt;

  const std::size_t length = std::min(copied.length, argument_buffer_.size());
  // A copy too short for the argument count is refused here.
  std::optional<ArgumentArea> area =
      parseArgumentArea(std::span<const std::byte>(argument_buffer_.data(), length));
  if (!area) return std::nullopt;
  return ArgumentReading{std::move(area->executable_path), std::move(area->arguments)};
}

bool MacProcessTable::nameFromPath(std::int32_t pid, Entry& entry) {
  const PathReply reply = kernel_.pidPath(pid);
  if (reply.result < 1) return false;
  if (entry.process.name.empty()) entry.process.name = std::string(finalComponent(reply.path));
  return true;
}

void MacProcessTable::applyArguments(Entry& entry, ArgumentReading reading) {
  // The name is kept once set, except when the process has exec'd another program since the
  // argument area was last read: then it is named after the new executable.
  const bool execd = entry.executable_path && *entry.executable_path != reading.executable_path;
  if (entry.process.name.empty() || execd) {
    std::string name(finalComponent(reading.executable_path));
    if (!name.empty() || entry.process.name.empty()) entry.process.name = std::move(name);
  }
  entry.executable_path = std::move(reading.executable_path);
  entry.process.arguments = std::move(reading.arguments);
}

TaskInfo MacProcessTable::readTaskInfo(std::int32_t pid) {
  // A refused call leaves the caller's zero-filled structure as it was.
  const PidInfoReply<TaskInfo> reply = kernel_.pidTaskInfo(pid);
  return reply.bytes == TASK_INFO_SIZE ? reply.info : TaskInfo{};
}

void MacProcessTable::setCpuFigures(Entry& entry, const TaskInfo& task, const ThreadInfo& thread) {
  Process& process = entry.process;
  if (interval_) {
    const std::uint64_t previous = saturatingAdd(entry.previous_user, entry.previous_system);
    const std::uint64_t current = saturatingAdd(task.pti_total_user, task.pti_total_system);
    process.cpu_percent = 0.0f;
    if (*interval_ > MIN_USABLE_INTERVAL && previous > 0 && current > previous) {
      process.cpu_percent = toPercent(static_cast<double>(current - previous) / *interval_ * 100.0);
    }
    entry.previous_user = task.pti_total_user;
    entry.previous_system = task.pti_total_system;
    return;
  }

  // No tick counters: measure against mach_absolute_time instead. The slots then hold the
  // previous CPU time and clock reading; until this formula has filled them once they still hold
  // task times, which are no clock reading, so the first pass only takes the baseline.
  const std::uint64_t current =
      saturatingAdd(saturatingAdd(task.pti_total_system, task.pti_total_user),
                    saturatingAdd(thread.pth_system_time, thread.pth_user_time));
  const std::uint64_t now = kernel_.machAbsoluteTime();
  process.cpu_percent = 0.0f;
  if (entry.uptime_baseline) {
    const std::uint64_t elapsed = now >= entry.previous_system ? now - entry.previous_system : now;
    const std::uint64_t used =
        current >= entry.previous_user ? current - entry.previous_user : current;
    if (elapsed != 0) {
      process.cpu_percent =
          toPercent(static_cast<double>(used) * 100.0 / static_cast<double>(elapsed));
    }
  }
  entry.previous_user = current;
  entry.previous_system = now;
  entry.uptime_baseline = true;
}

std::uint64_t MacProcessTable::cpuTimeMs(const TaskInfo& task) const {
  if (!cpu_clock_) return 0;
  const std::uint64_t machUnits = saturatingAdd(task.pti_total_user, task.pti_total_system);
  // Multiplied before dividing, so whole milliseconds stay whole (125/3 has no exact double).
  return toU64Saturating(static_cast<double>(machUnits) * cpu_clock_->timebase_numer /
                         (cpu_clock_->timebase_denom * 1'000'000.0));
}

ProcessStatus MacProcessTable::reportedStatus(const Entry& entry) {
  if (entry.process_state.kind == ProcessStatusKind::Run && entry.thread_state) {
    return statusFromThread(*entry.thread_state);
  }
  return entry.process_state;
}

const Process* MacProcessTable::find(Pid pid) const {
  const Entry* entry = entries_.find(pid);
  return entry == nullptr ? nullptr : &entry->process;
}

void MacProcessTable::forEachProcess(const std::function<void(const Process&)>& visit) const {
  entries_.forEach([&visit](const Entry& entry) { visit(entry.process); });
}

}  // namespace procsampler::sampling::macos
