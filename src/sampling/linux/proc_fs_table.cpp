#include "sampling/linux/proc_fs_table.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "common/saturating.h"
#include "sampling/linux/proc_parsers.h"
#include "sampling/snapshot.h"

namespace procsampler::sampling::procfs {
namespace {

std::uint64_t ticksToMillis(std::uint64_t ticks, std::uint64_t ticksPerSecond) {
  // Whole seconds first, so only a count of seconds past 2^64 / 1000 saturates.
  std::uint64_t whole = saturatingMul(ticks / ticksPerSecond, 1000);
  return saturatingAdd(whole, (ticks % ticksPerSecond) * 1000 / ticksPerSecond);
}

std::uint64_t positiveOr(long value, std::uint64_t fallback) {
  return value > 0 ? static_cast<std::uint64_t>(value) : fallback;
}

constexpr std::uint64_t NANOS_PER_SECOND = 1'000'000'000;

// The whole second, since the Unix epoch, of boot + ticks. Both fractions count: dropping the boot
// instant's would put a process started early in a second into the one before.
std::uint64_t startSeconds(std::chrono::nanoseconds boot, std::uint64_t ticks,
                           std::uint64_t ticksPerSecond) {
  const std::uint64_t bootNanos = boot.count() > 0 ? static_cast<std::uint64_t>(boot.count()) : 0;
  const std::uint64_t fractionNanos =
      bootNanos % NANOS_PER_SECOND +
      saturatingMul(ticks % ticksPerSecond, NANOS_PER_SECOND) / ticksPerSecond;
  return saturatingAdd(bootNanos / NANOS_PER_SECOND + ticks / ticksPerSecond,
                       fractionNanos / NANOS_PER_SECOND);
}

std::chrono::nanoseconds sinceZero(const timespec& time) {
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

// The wall clock minus the boot-time clock (which, like start ticks, goes on through suspend).
// Of a few readings it keeps the one whose two boot-time readings lie closest together around
// the wall-clock one, which a preemption between the calls would spoil.
std::chrono::nanoseconds liveBootTime() {
  std::chrono::nanoseconds boot{0};
  std::chrono::nanoseconds tightest = std::chrono::nanoseconds::max();
  for (int attempt = 0; attempt < 5; ++attempt) {
    timespec before{}, wall{}, after{};
    ::clock_gettime(CLOCK_BOOTTIME, &before);
    ::clock_gettime(CLOCK_REALTIME, &wall);
    ::clock_gettime(CLOCK_BOOTTIME, &after);
    const std::chrono::nanoseconds width = sinceZero(after) - sinceZero(before);
    if (width < tightest) {
      tightest = width;
      boot = sinceZero(wall) - (sinceZero(before) + width / 2);
    }
  }
  return boot;
}

}  // namespace

ProcFsTable::ProcFsTable(std::unique_ptr<ProcFiles> files, Clock& clock, ProcFsTableOptions options)
    : files_(std::move(files)),
      clock_(clock),
      options_(options),
      cpuInterval_(static_cast<double>(
          options.clockTicksPerSecond == 0 ? 100 : options.clockTicksPerSecond)) {
  if (options_.clockTicksPerSecond == 0) options_.clockTicksPerSecond = 100;
  readSystemStat();
}

bool ProcFsTable::readSystemStat() {
  std::string_view text;
  if (files_->readSystemStat(text) != ReadStatus::Ok) return false;
  SystemStat stat = parseSystemStat(text);
  if (!stat.cpu) return false;
  cpuElapsedTicks_ = stat.cpu->elapsedTicks;
  cpuCount_ = stat.cpu->cpuCount;
  return true;
}

double ProcFsTable::cpuIntervalTicks() {
  MonoTime now = clock_.monotonicNow();
  if (cpuInterval_.reuses(now)) return cpuInterval_.last();
  std::optional<std::uint64_t> previous = cpuElapsedTicks_;
  if (!readSystemStat()) return 0.0;
  std::optional<double> perCpu;
  if (previous) {
    std::uint64_t elapsed = *cpuElapsedTicks_ > *previous ? *cpuElapsedTicks_ - *previous : 0;
    perCpu = static_cast<double>(elapsed) / cpuCount_;
  }
  return cpuInterval_.record(now, perCpu);
}

std::size_t ProcFsTable::refresh_processes_specifics() {
  entries_.startSweep();
  std::uint64_t nowS = unixSeconds(clock_.wallNow());
  if (!files_->listPids(pids_)) {
    entries_.clear();
    return 0;
  }
  double interval = cpuIntervalTicks();
  for (Pid pid : pids_) refreshPid(pid, interval, nowS);
  // Whatever this refresh did not read has vanished, could not be read, or was not listed.
  entries_.sweepUnmarked();
  return pids_.size();
}

void ProcFsTable::refreshPid(Pid pid, double intervalTicks, std::uint64_t nowS) {
  std::string_view text;
  // stat is readable for every process that exists, so failing it means the process is gone.
  if (files_->readPidFile(pid, PidFile::Stat, text) != ReadStatus::Ok) return;
  std::optional<StatFields> stat = parseStat(text);
  if (!stat) return;

  auto [entry, seenBefore] = entries_.getOrCreate(pid);
  Process& process = entry.process;
  // A known pid with another start time belongs to another process: it starts over.
  bool fresh = !seenBefore || entry.startTicks != stat->starttime;
  // Views into text die with the next read, so everything from stat is taken now.
  bool execed = !fresh && entry.comm != stat->comm;
  if (fresh || execed) entry.comm.assign(stat->comm);

  std::uint64_t ticks = saturatingAdd(stat->utime, stat->stime);
  if (fresh) {
    entry.startTicks = stat->starttime;
    process.cpu_percent = 0.0f;
    process.disk_read_bytes = 0;
    process.disk_written_bytes = 0;
  } else if (intervalTicks > 0.0 && ticks > entry.cpuTicks) {
    process.cpu_percent =
        static_cast<float>(static_cast<double>(ticks - entry.cpuTicks) / intervalTicks * 100.0);
  } else {
    process.cpu_percent = 0.0f;
  }
  entry.cpuTicks = ticks;
  process.pid = pid;
  process.parent_pid = stat->ppid == 0 ? std::nullopt : std::optional<Pid>(stat->ppid);
  process.status = statusFromStateLetter(stat->state);
  process.cpu_time_ms = ticksToMillis(ticks, options_.clockTicksPerSecond);
  process.resident_bytes = saturatingMul(stat->rss, options_.pageSize);
  process.virtual_bytes = stat->vsize;
  process.start_time_s =
      startSeconds(options_.bootTime, stat->starttime, options_.clockTicksPerSecond);
  process.run_time_s = nowS > process.start_time_s ? nowS - process.start_time_s : 0;

  // A process reported after the previous refresh will most likely be reported again, and is
  // cheapest to read now, right after its stat, rather than in a second pass that must confirm
  // who holds the pid. Any other keeps no arguments: a process the host does not watch costs
  // no memory for them, whatever it puts there, and completion reads them if it is reported.
  const std::uint64_t sweep = entries_.sweepNumber();
  const bool reportedLastTime = !fresh && entry.reported + 1 == sweep;
  if (reportedLastTime) {
    // Gone means it exited after its stat was read: left unmarked, it goes at the end of the
    // refresh.
    if (!readDetails(pid, entry)) return;
    entry.completed = sweep;
  } else if (process.arguments.capacity() > 0) {
    std::vector<std::string>().swap(process.arguments);
  }
  // The exe link vanishes with the process's memory when it exits, so a new program's is read at
  // once: a later first report of it as a zombie still finds its name. (Its arguments it does not
  // find: a zombie's command line reads as empty, so it is reported by its name.)
  if (fresh || execed) readName(pid, entry);
  entries_.markAlive(pid);
}

void ProcFsTable::completeProcesses(std::span<const Pid> pids) {
  for (Pid pid : pids) {
    Entry* entry = entries_.find(pid);
    if (entry == nullptr) continue;
    entry->reported = entries_.sweepNumber();
    if (entry->completed == entries_.sweepNumber()) continue;
    if (!completePid(pid, *entry)) entries_.erase(pid);
  }
}

bool ProcFsTable::completePid(Pid pid, Entry& entry) {
  if (!readDetails(pid, entry)) return false;
  // The refresh may be many milliseconds old: long enough for the process to exit and its pid to
  // go to another. stat read after the other files shows the refresh's start time only if the
  // same process held the pid throughout. An exec meanwhile shows in its command name.
  std::string_view text;
  if (files_->readPidFile(pid, PidFile::Stat, text) != ReadStatus::Ok) return false;
  std::optional<StatFields> stat = parseStat(text);
  if (!stat || stat->starttime != entry.startTicks) return false;
  if (entry.comm != stat->comm) {
    entry.comm.assign(stat->comm);
    readName(pid, entry);
  }
  entry.completed = entries_.sweepNumber();
  return true;
}

bool ProcFsTable::readDetails(Pid pid, Entry& entry) {
  Process& process = entry.process;
  // Only as far as a reported command can show: a process may hold megabytes of arguments. A
  // zombie or exiting process has released its memory and reads as empty; like an unreadable
  // one, it keeps the arguments it was last read with.
  CommandLineSplitter splitter(process.arguments, MAX_COMMAND_BYTES);
  const ReadStatus cmdline = files_->readCommandLine(
      pid, [&splitter](std::string_view piece) { return splitter.add(piece); });
  splitter.finish();
  // Every process has a cmdline, so its absence means the process has exited.
  if (cmdline == ReadStatus::Gone) return false;

  // Kernels built without task I/O accounting have no io file: the totals stay as they were.
  // They are cumulative, so a late reading is as true as one taken at the refresh.
  std::string_view text;
  if (files_->readPidFile(pid, PidFile::Io, text) == ReadStatus::Ok) {
    if (std::optional<IoCounters> io = parseIo(text)) {
      process.disk_read_bytes = io->readBytes;
      process.disk_written_bytes = io->writeBytes;
    }
  }
  return true;
}

void ProcFsTable::readName(Pid pid, Entry& entry) {
  // Kernel threads have no exe link and other users' links are refused; both are named by comm.
  std::string_view target;
  if (files_->readExeLink(pid, target) == ReadStatus::Ok) {
    std::string_view name = finalComponent(stripDeletedSuffix(target));
    if (!name.empty()) {
      entry.process.name.assign(name);
      return;
    }
  }
  entry.process.name.assign(entry.comm);
}

const Process* ProcFsTable::find(Pid pid) const {
  const Entry* entry = entries_.find(pid);
  return entry == nullptr ? nullptr : &entry->process;
}

void ProcFsTable::forEachProcess(const std::function<void(const Process&)>& visit) const {
  entries_.forEach([&visit](const Entry& entry) { visit(entry.process); });
}

}  // namespace procsampler::sampling::procfs

namespace procsampler::sampling {

std::unique_ptr<ProcessTable> new_with_specifics(Clock& clock) {
  procfs::ProcFsTableOptions options;
  options.clockTicksPerSecond = procfs::positiveOr(::sysconf(_SC_CLK_TCK), 100);
  options.pageSize = procfs::positiveOr(::sysconf(_SC_PAGESIZE), 4096);
  // Taken once: the boot instant moves with every step of the wall clock, and start times with it.
  options.bootTime = procfs::liveBootTime();
  return std::make_unique<procfs::ProcFsTable>(procfs::makeLiveProcFiles(), clock, options);
}

}  // namespace procsampler::sampling
