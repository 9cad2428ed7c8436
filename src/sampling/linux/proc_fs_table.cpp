// A full refresh reads stat of every pid. A tree refresh reads what can have changed since the
// last one and nothing else: a parent link and a start read once stay true until the parent exits,
// so it learns of new pids (the listing of /proc diffed against the entries, or the children
// files of the trees' processes), of exits (a pidfd per entry, drained without waiting), and reads
// stat of new pids, of the children of exited processes and of the entries it cannot watch
// (zombies; every entry when pidfds are unavailable or have run out, which is the full scan).
// Completion reads schedstat of the reported pids, cmdline and io when the process has run since
// its last completion, stat when the refresh did not read it or a file was just opened by pid
// (which stat then confirms), and exe after an exec. The files read at every refresh stay open
// within a budget of descriptors and are read with pread; a kept descriptor reads its own
// process or nothing, so it never needs confirming again.
#include "sampling/linux/proc_fs_table.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "common/saturating.h"
#include "sampling/command_line.h"
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

// Every tick count is divided by the rate, so an unknown one (0) counts as the usual 100.
ProcFsTableOptions withTickRate(ProcFsTableOptions options) {
  if (options.clockTicksPerSecond == 0) options.clockTicksPerSecond = 100;
  return options;
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
      options_(withTickRate(options)),
      budget_(options.descriptorBudget),
      cpuInterval_(static_cast<double>(options_.clockTicksPerSecond)) {
  readSystemStat();
}

ProcFsTable::~ProcFsTable() {
  entries_.forEach([this](Entry& entry) { releaseAll(entry); });
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
    perCpu = static_cast<double>(saturatingSub(*cpuElapsedTicks_, *previous)) / cpuCount_;
  }
  return cpuInterval_.record(now, perCpu);
}

bool ProcFsTable::beginRefresh() {
  entries_.startSweep();
  nowS_ = unixSeconds(clock_.wallNow());
  exited_.clear();
  if (!files_->listPids(pids_)) {
    entries_.forEach([this](Entry& entry) { releaseAll(entry); });
    entries_.clear();
    machineCount_ = 0;
    return false;
  }
  cpuSpans_.add(cpuIntervalTicks());
  forgetUnreported();
  // An exit ends the watch: the entry is read from now on, until it is gone.
  files_->takeExits(exited_);
  for (const Pid pid : exited_) {
    if (Entry* entry = entries_.find(pid); entry != nullptr && entry->exitWatch != NO_HANDLE) {
      release(entry->exitWatch);
      entry->exitHeard = sweep();
    }
  }
  exited_.clear();
  return true;
}

std::size_t ProcFsTable::refresh_processes_specifics() {
  if (!beginRefresh()) return 0;
  // Children files are read for the trees only, so without the listing nothing is watched.
  const bool watchNew = options_.discovery == ChildDiscovery::Listing;
  for (const Pid pid : pids_) readEntry(pid, watchNew);
  entries_.sweepUnmarked([this](Pid, Entry& entry) { releaseAll(entry); });
  machineCount_ = entries_.size();
  return pids_.size();
}

void ProcFsTable::refreshTrees(std::span<const Pid> seeds) {
  if (!beginRefresh()) return;
  if (options_.discovery == ChildDiscovery::Listing) {
    walkListing();
  } else {
    walkChildren(seeds);
  }
}

void ProcFsTable::walkListing() {
  // A watched entry has not exited since it was read, so its parent and start still hold.
  for (const Pid pid : pids_) {
    const Entry* entry = entries_.find(pid);
    if (entry == nullptr || entry->exitWatch == NO_HANDLE) {
      readEntry(pid, true);
    } else {
      entries_.markAlive(pid);
    }
  }
  // Not listed: exited and reaped since the last refresh.
  entries_.sweepUnmarked([this](Pid pid, Entry& entry) {
    if (!entry.exited) exited_.push_back(pid);
    releaseAll(entry);
  });
  rereadOrphans();
  machineCount_ = entries_.size();
}

void ProcFsTable::walkChildren(std::span<const Pid> seeds) {
  machineCount_ = pids_.size();
  walk_.clear();
  for (const Pid seed : seeds) walk_.emplace_back(seed, 0);
  for (std::size_t next = 0; next < walk_.size(); ++next) {
    const auto [pid, listedUnder] = walk_[next];
    Entry* entry = entries_.find(pid);
    if (entry != nullptr && entry->reached == sweep()) continue;
    // A seed's parent may lie outside the trees, unwatched, so a seed is read every time; any
    // other entry is read when new, unwatched, or listed under another parent than it knew.
    const bool current = entry != nullptr && entry->exitWatch != NO_HANDLE && listedUnder != 0 &&
                         entry->process.parent_pid == listedUnder;
    if (entry != nullptr && (current || entry->statRead == sweep())) {
      entries_.markAlive(pid);
    } else if ((entry = readEntry(pid, true)) == nullptr) {
      continue;
    }
    entry->reached = sweep();
    // Each thread lists the children it forked.
    if (files_->listThreads(pid, threads_) != ReadStatus::Ok) continue;
    children_.clear();
    for (const Pid tid : threads_) {
      std::string_view text;
      if (files_->readChildren(pid, tid, text) == ReadStatus::Ok) parseChildren(text, children_);
    }
    for (const Pid child : children_) walk_.emplace_back(child, pid);
  }
  // The rest lies outside the trees: nothing watches it any longer.
  entries_.sweepUnmarked([this](Pid, Entry& entry) { releaseAll(entry); });
}

void ProcFsTable::rereadOrphans() {
  // An exit reparents the children at once (to a subreaper or to pid 1), and the children may
  // exit in turn, so this goes on until no read finds another.
  while (!exited_.empty()) {
    std::sort(exited_.begin(), exited_.end());
    orphans_.clear();
    entries_.forEach([this](const Entry& entry) {
      const Pid parent = entry.process.parent_pid.value_or(0);
      if (entry.statRead != sweep() && std::binary_search(exited_.begin(), exited_.end(), parent)) {
        orphans_.push_back(entry.process.pid);
      }
    });
    exited_.clear();
    for (const Pid pid : orphans_) readEntry(pid, true);
  }
}

ProcFsTable::Entry* ProcFsTable::readEntry(Pid pid, bool watchIt) {
  auto [entry, seenBefore] = entries_.getOrCreate(pid);
  // Watched before the read: should the process watched not be the one read, it has exited, and
  // the next refresh hears so and reads the entry again.
  if (watchIt && !entry.exited && entry.exitHeard != sweep()) watch(pid, entry);
  std::string_view text;
  const bool keep = readsEveryRefresh(entry) && mayHold();
  Handle before = entry.stat;
  ReadStatus status = files_->readPidFile(pid, PidFile::Stat, entry.stat, keep, text);
  if (status == ReadStatus::Gone && before != NO_HANDLE) {
    // The process the handle was opened on is gone; the pid may have gone to another by now.
    release(entry.stat);
    before = NO_HANDLE;
    status = files_->readPidFile(pid, PidFile::Stat, entry.stat, keep, text);
  }
  noteHandle(before, entry.stat, status);
  if (status == ReadStatus::NoDescriptor && seenBefore) {
    entries_.markAlive(pid);  // unread, not gone: it keeps what it had
    return &entry;
  }
  // stat is readable for every process that exists, so failing it means the process is gone.
  const std::optional<StatFields> stat = status == ReadStatus::Ok ? parseStat(text) : std::nullopt;
  if (!stat) {
    if (seenBefore && !entry.exited) exited_.push_back(pid);
    remove(pid);
    return nullptr;
  }
  // A known pid with another start time belongs to another process, which starts over. Only a
  // read by path can find one: the stat handle, if any, is the new process's.
  const bool fresh = !seenBefore || entry.startTicks != stat->starttime;
  if (fresh && seenBefore) {
    if (!entry.exited) exited_.push_back(pid);
    const Handle newStat = std::exchange(entry.stat, NO_HANDLE);
    releaseAll(entry);
    entry = Entry{};
    entry.stat = newStat;
  }
  applyStat(pid, entry, *stat, fresh);
  if (!readsEveryRefresh(entry)) release(entry.stat);  // watched again, and not reported
  entries_.markAlive(pid);
  return &entry;
}

void ProcFsTable::applyStat(Pid pid, Entry& entry, const StatFields& stat, bool fresh) {
  Process& process = entry.process;
  // Views into the text die with the next read, so everything from stat is taken now.
  const bool execed = !fresh && entry.comm != stat.comm;
  if (fresh || execed) entry.comm.assign(stat.comm);
  const std::uint64_t ticks = saturatingAdd(stat.utime, stat.stime);
  if (fresh) {
    entry.startTicks = stat.starttime;
    process.cpu_percent = 0.0f;
    process.disk_read_bytes = 0;
    process.disk_written_bytes = 0;
  } else {
    const double span = cpuSpans_.since(entry.cpuRead);
    process.cpu_percent =
        span > 0.0 && ticks > entry.cpuTicks
            ? static_cast<float>(static_cast<double>(ticks - entry.cpuTicks) / span * 100.0)
            : 0.0f;
  }
  entry.cpuTicks = ticks;
  entry.cpuRead = cpuSpans_.mark();
  entry.statRead = sweep();
  process.pid = pid;
  process.parent_pid = stat.ppid == 0 ? std::nullopt : std::optional<Pid>(stat.ppid);
  process.status = statusFromStateLetter(stat.state);
  process.cpu_time_ms = ticksToMillis(ticks, options_.clockTicksPerSecond);
  process.resident_bytes = saturatingMul(stat.rss, options_.pageSize);
  process.virtual_bytes = stat.vsize;
  process.thread_count =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(stat.threads, UINT32_MAX));
  process.start_time_s =
      startSeconds(options_.bootTime, stat.starttime, options_.clockTicksPerSecond);
  process.run_time_s = saturatingSub(nowS_, process.start_time_s);
  // An exited process's children have gone to another parent; its pidfd has nothing more to say.
  const bool exited = stat.state == 'Z' || stat.state == 'X';
  if (exited && !entry.exited && !fresh) exited_.push_back(pid);
  if (exited) release(entry.exitWatch);
  entry.exited = exited;
  // The exe link vanishes with the process's memory when it exits, so a new program's is read at
  // once: a later first report of it as a zombie still finds its name. (Its arguments it does not
  // find: a zombie's command line reads as empty, so it is reported by its name.)
  if (fresh || execed) readName(pid, entry);
}

void ProcFsTable::completeProcesses(std::span<const Pid> pids) {
  for (Pid pid : pids) {
    Entry* entry = entries_.find(pid);
    if (entry == nullptr) continue;
    entry->reported = sweep();
    if (!entry->listed) {
      entry->listed = true;
      reportedPids_.push_back(pid);
    }
    if (entry->completed == sweep()) continue;
    if (!completePid(pid, *entry)) remove(pid);
  }
}

bool ProcFsTable::completePid(Pid pid, Entry& entry) {
  Process& process = entry.process;
  // A file opened by pid now belongs to whoever holds the pid now, so it is confirmed by a stat
  // read after it that shows the entry's process: through a kept handle, by reading at all; by
  // pid, by its start.
  bool opened = false;
  auto read = [&](Handle& handle, const auto& call) {
    const Handle before = handle;
    const ReadStatus status = call(handle, mayHold());
    opened = opened || (before == NO_HANDLE && status == ReadStatus::Ok);
    noteHandle(before, handle, status);
    return status;
  };
  std::string_view text;
  // A process changes its arguments (or execs) and does its I/O only while it runs, so one that
  // has not run since its last completion still has what that read: schedstat counts the
  // leader's run time to the nanosecond, which answers for a process that had one thread then
  // (only a running leader can start another).
  std::optional<std::uint64_t> ran;
  if (read(entry.schedstat, [&](Handle& handle, bool keep) {
        return files_->readPidFile(pid, PidFile::Schedstat, handle, keep, text);
      }) == ReadStatus::Ok) {
    ran = parseSchedstat(text);
  }
  if (!ran || *ran == 0 || *ran != entry.ranNs) {
    // Only as far as a reported command can show: a process may hold megabytes of arguments. A
    // zombie or exiting process has released its memory and reads as empty; like an unreadable
    // one, it keeps the arguments it was last read with.
    CommandLineSplitter splitter(process.arguments, MAX_COMMAND_BYTES);
    const ReadStatus cmdline = read(entry.cmdline, [&](Handle& handle, bool keep) {
      return files_->readCommandLine(
          pid, handle, keep, [&splitter](std::string_view piece) { return splitter.add(piece); });
    });
    splitter.finish();
    // Every process has a cmdline, so its absence means the process has exited.
    if (cmdline == ReadStatus::Gone) return false;
    // Kernels built without task I/O accounting have no io file: the totals stay as they were.
    // They are cumulative, so a late reading is as true as one taken at the refresh.
    const ReadStatus ioRead = read(entry.io, [&](Handle& handle, bool keep) {
      return files_->readPidFile(pid, PidFile::Io, handle, keep, text);
    });
    // Another user's io is refused (EACCES) to all but root.
    process.io_refused = ioRead == ReadStatus::Unreadable;
    if (ioRead == ReadStatus::Ok) {
      if (std::optional<IoCounters> io = parseIo(text)) {
        process.disk_read_bytes = io->readBytes;
        process.disk_written_bytes = io->writeBytes;
      }
    }
  }
  // Its thread count counts for the next completion only when read after the run time.
  entry.ranNs = 0;
  if (entry.statRead != sweep() || opened) {
    const ReadStatus status = read(entry.stat, [&](Handle& handle, bool keep) {
      return files_->readPidFile(pid, PidFile::Stat, handle, keep, text);
    });
    const std::optional<StatFields> stat =
        status == ReadStatus::Ok ? parseStat(text) : std::nullopt;
    if (!stat || stat->starttime != entry.startTicks) return false;
    if (entry.statRead != sweep()) {
      applyStat(pid, entry, *stat, false);
    } else if (entry.comm != stat->comm) {  // an exec since the refresh
      entry.comm.assign(stat->comm);
      readName(pid, entry);
    }
    if (stat->threads == 1) entry.ranNs = ran.value_or(0);
  }
  entry.completed = sweep();
  return true;
}

bool ProcFsTable::readsEveryRefresh(const Entry& entry) const {
  return reportedLately(entry) || entry.exitWatch == NO_HANDLE;
}

void ProcFsTable::watch(Pid pid, Entry& entry) {
  if (!pidfds_ || entry.exitWatch != NO_HANDLE || !mayHold()) return;
  const ReadStatus status = files_->watchExit(pid, entry.exitWatch);
  if (status == ReadStatus::Ok) {
    ++held_;
  } else if (status == ReadStatus::NoDescriptor) {
    budget_ = held_;
  } else if (status == ReadStatus::Unreadable) {
    pidfds_ = false;
  }
}

void ProcFsTable::noteHandle(Handle before, Handle after, ReadStatus status) {
  // The process or the system has less to spare than the budget said.
  if (status == ReadStatus::NoDescriptor) budget_ = held_;
  if (after != before) ++held_;
}

void ProcFsTable::release(Handle& handle) {
  if (handle == NO_HANDLE) return;
  files_->closeHandle(handle);
  handle = NO_HANDLE;
  --held_;
}

void ProcFsTable::releaseAll(Entry& entry) {
  for (Handle* handle :
       {&entry.exitWatch, &entry.stat, &entry.io, &entry.cmdline, &entry.schedstat}) {
    release(*handle);
  }
}

void ProcFsTable::forgetUnreported() {
  std::erase_if(reportedPids_, [this](Pid pid) {
    Entry* entry = entries_.find(pid);
    if (entry == nullptr || !entry->listed) return true;
    if (reportedLately(*entry)) return false;
    // A process the host does not watch costs no memory for its arguments, whatever it puts
    // there, nor descriptors for files nobody reads.
    std::vector<std::string>().swap(entry->process.arguments);
    entry->ranNs = 0;  // read in full at its next report
    release(entry->io);
    release(entry->cmdline);
    release(entry->schedstat);
    if (entry->exitWatch != NO_HANDLE) release(entry->stat);
    entry->listed = false;
    return true;
  });
}

void ProcFsTable::remove(Pid pid) {
  if (Entry* entry = entries_.find(pid)) {
    releaseAll(*entry);
    entries_.erase(pid);
  }
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

ProcFsTableOptions liveOptions() {
  ProcFsTableOptions options;
  options.clockTicksPerSecond = positiveOr(::sysconf(_SC_CLK_TCK), 100);
  options.pageSize = positiveOr(::sysconf(_SC_PAGESIZE), 4096);
  // Taken once: the boot instant moves with every step of the wall clock, and start times with it.
  options.bootTime = liveBootTime();
  options.descriptorBudget = raiseDescriptorLimit();
  return options;
}

}  // namespace procsampler::sampling::procfs

namespace procsampler::sampling {

std::unique_ptr<ProcessTable> new_with_specifics(Clock& clock) {
  return std::make_unique<procfs::ProcFsTable>(procfs::makeLiveProcFiles(), clock,
                                               procfs::liveOptions());
}

}  // namespace procsampler::sampling
