// A full refresh reads stat of every pid. A tree refresh reads what can have changed since the
// last one and nothing else: a parent link and a start read once stay true until the parent exits,
// so it learns of new pids (the listing of /proc diffed against the entries), of exits (a pidfd per
// entry, drained without waiting, and the exits completion finds), and reads stat of new pids, of
// the children of exited processes and of the entries it cannot watch (zombies; every entry when
// pidfds are unavailable or have run out, which is the full scan). Completion reads schedstat of
// the reported pids; cmdline (a bounded part) and statm when the process has run since its last
// completion or their reading is 10 s old; io and exe when it has run; stat when the refresh did
// not read it or a file was just read by pid (which stat then confirms). Kept open within a budget
// of descriptors and read with pread: cmdline, which costs the kernel no buffer, and stat and
// schedstat of the entries that read them at every refresh, within a budget of the kernel's read
// buffers; a kept descriptor reads its own process or nothing, so it never needs confirming again.
#include "sampling/linux/proc_fs_table.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "common/saturating.h"
#include "sampling/command_line.h"
#include "sampling/linux/proc_parsers.h"

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

// The bytes of a process's argument area read per completion beyond what a command cut to the
// table's limit can show: the byte past it and a separator before that byte, whatever the area
// holds, so one blanked to megabytes of NULs costs what a full one does.
constexpr std::size_t COMMAND_AREA_EXTRA_BYTES = 2;

// Kept files whose reads make the kernel keep a page-sized buffer, about 4 KiB of its memory each
// (16 MiB in all): stat and schedstat of 2048 processes reported at every snapshot.
constexpr std::size_t KEPT_BUFFER_BUDGET = 4096;

// How old the arguments and resident memory of a process that has not run may grow before a
// completion reads them again. Reading them at every completion made streaming a whole machine
// half as dear again (0.27 to 0.41 of the bare full pass for cmdline alone), at 2 s old still
// 0.43 with statm.
constexpr std::chrono::seconds QUIET_REREAD{10};

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

// The whole millisecond, since the Unix epoch, of boot + ticks: ticks are whole (10 ms at the
// usual rate), so only the boot instant's fraction is rounded down.
std::uint64_t startMilliseconds(std::chrono::nanoseconds boot, std::uint64_t ticks,
                                std::uint64_t ticksPerSecond) {
  const std::uint64_t bootNanos = boot.count() > 0 ? static_cast<std::uint64_t>(boot.count()) : 0;
  const std::uint64_t sinceBootNanos =
      saturatingAdd(saturatingMul(ticks / ticksPerSecond, NANOS_PER_SECOND),
                    (ticks % ticksPerSecond) * NANOS_PER_SECOND / ticksPerSecond);
  return saturatingAdd(bootNanos, sinceBootNanos) / 1'000'000;
}

// Whole seconds from a start, in ticks after boot, to `sinceBoot` on the same clock; 0 before it.
std::uint64_t runSeconds(std::chrono::nanoseconds sinceBoot, std::uint64_t ticks,
                         std::uint64_t ticksPerSecond) {
  const std::uint64_t nowNanos =
      sinceBoot.count() > 0 ? static_cast<std::uint64_t>(sinceBoot.count()) : 0;
  const std::uint64_t startNanos =
      saturatingAdd(saturatingMul(ticks / ticksPerSecond, NANOS_PER_SECOND),
                    (ticks % ticksPerSecond) * NANOS_PER_SECOND / ticksPerSecond);
  return saturatingSub(nowNanos, startNanos) / NANOS_PER_SECOND;
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
  cpuIdleTicks_ = stat.cpu->idleTicks;
  cpuCount_ = stat.cpu->cpuCount;
  return true;
}

double ProcFsTable::cpuIntervalTicks() {
  MonoTime now = clock_.monotonicNow();
  if (cpuInterval_.reuses(now)) return cpuInterval_.last();
  std::string_view text;
  const MemInfo memory =
      files_->readMemInfo(text) == ReadStatus::Ok ? parseMemInfo(text) : MemInfo{};
  machine_.memoryTotalBytes = memory.totalBytes;
  machine_.memoryAvailableBytes = memory.availableBytes;
  std::optional<std::uint64_t> previous = cpuElapsedTicks_;
  const std::uint64_t previousIdle = cpuIdleTicks_;
  if (!readSystemStat()) {
    machine_.cpuCount.reset();
    machine_.cpuPercent.reset();
    return 0.0;
  }
  machine_.cpuCount = cpuCount_;
  std::optional<double> perCpu;
  std::uint64_t busy = 0;
  if (previous) {
    const std::uint64_t elapsed = saturatingSub(*cpuElapsedTicks_, *previous);
    perCpu = static_cast<double>(elapsed) / cpuCount_;
    // iowait may go down (proc(5)), so idle time is capped by the time that passed.
    busy = saturatingSub(elapsed, saturatingSub(cpuIdleTicks_, previousIdle));
  }
  const double interval = cpuInterval_.record(now, perCpu);
  machine_.cpuPercent = machineCpuPercent(static_cast<double>(busy), interval);
  return interval;
}

bool ProcFsTable::beginRefresh() {
  entries_.startSweep();
  nowS_ = unixSeconds(clock_.wallNow());
  sinceBoot_ = files_->readBootClock();
  machine_.uptimeMs = static_cast<std::uint64_t>(std::max<std::int64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceBoot_).count(), 0));
  // A wall clock set back puts starts taken before the step (from the boot instant taken once)
  // after the refresh; each shows the refresh's second until the clock has passed it.
  if (startsHeldBack_) {
    startsHeldBack_ = false;
    entries_.forEach([this](Entry& entry) { holdStartBack(entry); });
  }
  if (!files_->listPids(pids_)) {
    entries_.forEach([this](Entry& entry) { releaseAll(entry); });
    entries_.clear();
    exited_.clear();
    machineCount_ = 0;
    return false;
  }
  cpuSpans_.add(cpuIntervalTicks());
  refreshAt_ = clock_.monotonicNow();
  forgetUnreported();
  // An exit ends the watch: the entry is read from now on, until it is gone.
  heard_.clear();
  files_->takeExits(heard_);
  for (const Pid pid : heard_) {
    if (Entry* entry = entries_.find(pid); entry != nullptr && entry->exitWatch != NO_HANDLE) {
      release(entry->exitWatch);
      entry->exitHeard = sweep();
    }
  }
  return true;
}

std::size_t ProcFsTable::refreshAll() {
  if (!beginRefresh()) return 0;
  for (const Pid pid : pids_) readEntry(pid, true);
  entries_.sweepUnmarked([this](Pid, Entry& entry) { releaseAll(entry); });
  exited_.clear();  // every orphan was read with the rest
  machineCount_ = entries_.size();
  return pids_.size();
}

void ProcFsTable::refreshTrees(std::span<const Pid> /*seeds*/) {
  if (beginRefresh()) walkListing();
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

void ProcFsTable::rereadOrphans() {
  // An exit reparents the children at once (to a subreaper or to pid 1), and the children may
  // exit in turn, so this goes on until no read finds another. A child read earlier in this
  // refresh may have been read before its parent exited, so it is read again too.
  while (!exited_.empty()) {
    std::sort(exited_.begin(), exited_.end());
    orphans_.clear();
    entries_.forEach([this](const Entry& entry) {
      const Pid parent = entry.process.parent_pid.value_or(0);
      if (std::binary_search(exited_.begin(), exited_.end(), parent)) {
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
  const bool keep = readsEveryRefresh(entry) && mayKeepBuffer();
  Handle before = entry.stat;
  ReadStatus status = files_->readPidFile(pid, PidFile::Stat, entry.stat, keep, text);
  if (status == ReadStatus::Gone && before != NO_HANDLE) {
    // The process the handle was opened on is gone; the pid may have gone to another by now.
    releaseBuffered(entry.stat);
    before = NO_HANDLE;
    status = files_->readPidFile(pid, PidFile::Stat, entry.stat, keep, text);
  }
  noteHandle(before, entry.stat, status, true);
  if (status == ReadStatus::NoDescriptor && shedKeptFiles()) {
    status = files_->readPidFile(pid, PidFile::Stat, entry.stat, false, text);
  }
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
  if (!readsEveryRefresh(entry)) releaseBuffered(entry.stat);  // watched again, and not reported
  entries_.markAlive(pid);
  return &entry;
}

void ProcFsTable::applyStat(Pid pid, Entry& entry, const StatFields& stat, bool fresh) {
  Process& process = entry.process;
  // Views into the text die with the next read, so everything from stat is taken now.
  const bool execed = !fresh && entry.comm != stat.comm;
  if (fresh || execed) entry.comm.assign(stat.comm);
  const std::uint64_t ticks = saturatingAdd(stat.utime, stat.stime);
  const double intoRefresh = ticksIntoRefresh();
  if (fresh) {
    entry.startTicks = stat.starttime;
    process.cpu_percent = 0.0f;
    process.disk_read_bytes = 0;
    process.disk_written_bytes = 0;
  } else {
    // The refreshes' intervals since the earlier reading, moved by where in their refreshes the two
    // readings fell: a refresh that reads thousands of processes on a loaded machine takes long
    // enough to stretch or shrink a span by a good part.
    double span = cpuSpans_.since(entry.cpuRead);
    if (span > 0.0) {
      const double floor = std::chrono::duration<double>(CPU_INTERVAL_FLOOR).count() *
                           static_cast<double>(options_.clockTicksPerSecond);
      span = std::max(span + intoRefresh - entry.cpuReadInto, floor);
    }
    process.cpu_percent =
        span > 0.0 && ticks > entry.cpuTicks
            ? static_cast<float>(static_cast<double>(ticks - entry.cpuTicks) / span * 100.0)
            : 0.0f;
  }
  entry.cpuTicks = ticks;
  entry.cpuRead = cpuSpans_.mark();
  entry.cpuReadInto = intoRefresh;
  entry.statRead = sweep();
  process.pid = pid;
  process.parent_pid = stat.ppid == 0 ? std::nullopt : std::optional<Pid>(stat.ppid);
  process.status = statusFromStateLetter(stat.state);
  process.cpu_time_ms = ticksToMillis(ticks, options_.clockTicksPerSecond);
  process.virtual_bytes = stat.vsize;
  if (fresh) {
    entry.startS = startSeconds(options_.bootTime, stat.starttime, options_.clockTicksPerSecond);
    entry.startMs =
        startMilliseconds(options_.bootTime, stat.starttime, options_.clockTicksPerSecond);
  }
  holdStartBack(entry);
  // From the boot clock alone, which no setting of the wall clock moves.
  process.run_time_s = runSeconds(sinceBoot_, stat.starttime, options_.clockTicksPerSecond);
  process.thread_count =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(stat.threads, UINT32_MAX));
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

void ProcFsTable::holdStartBack(Entry& entry) {
  entry.process.start_time_s = std::min(entry.startS, nowS_);
  entry.process.start_time_ms = entry.startS > nowS_ ? saturatingMul(nowS_, 1000) : entry.startMs;
  startsHeldBack_ = startsHeldBack_ || entry.startS > nowS_;
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
    if (!completePid(pid, *entry)) {
      // Its children were read as its, and are read again at the next refresh.
      if (!entry->exited) exited_.push_back(pid);
      remove(pid);
    }
  }
}

bool ProcFsTable::completePid(Pid pid, Entry& entry) {
  Process& process = entry.process;
  // A file opened by pid now belongs to whoever holds the pid now, so it is confirmed by a stat
  // read after it that shows the entry's process: through a kept handle, by reading at all; by
  // pid, by its start.
  bool opened = false;
  auto read = [&](Handle& handle, bool buffered, const auto& call) {
    const Handle before = handle;
    ReadStatus status = call(handle, buffered ? mayKeepBuffer() : mayHold());
    noteHandle(before, handle, status, buffered);
    if (status == ReadStatus::NoDescriptor && shedKeptFiles()) status = call(handle, false);
    opened = opened || (before == NO_HANDLE && status == ReadStatus::Ok);
    return status;
  };
  Handle passing = NO_HANDLE;  // for the files read now and then, never kept
  std::string_view text;
  // A process execs and does its I/O only while it runs, so one that has not run since its last
  // completion still has what that read: schedstat counts the leader's run time to the
  // nanosecond, which answers for a process that had one thread then (only a running leader can
  // start another).
  std::optional<std::uint64_t> ranNs;
  if (read(entry.schedstat, true, [&](Handle& handle, bool keep) {
        return files_->readPidFile(pid, PidFile::Schedstat, handle, keep, text);
      }) == ReadStatus::Ok) {
    ranNs = parseSchedstat(text);
  }
  const bool ran = !ranNs || *ranNs == 0 || *ranNs != entry.ranNs;
  // Its arguments and resident memory may change while it sleeps (another process writes the
  // argument area with process_vm_writev, or a vfork child its parent's; reclaim takes pages), so
  // those are read after a run and otherwise once their reading is QUIET_REREAD old.
  const MonoTime now = clock_.monotonicNow();
  if (ran || now < entry.quietRead || now - entry.quietRead >= QUIET_REREAD) {
    entry.quietRead = now;
    // Only as far as a reported command can show, whatever the bytes hold: a process may hold
    // megabytes of arguments, or of NULs. A zombie or exiting process has released its memory and
    // reads as empty; like an unreadable one, it keeps the arguments it was last read with.
    CommandLineSplitter splitter(process.arguments, options_.limits.commandBytes);
    const ReadStatus cmdline = read(entry.cmdline, false, [&](Handle& handle, bool keep) {
      return files_->readCommandLine(
          pid, handle, keep, options_.limits.commandBytes + COMMAND_AREA_EXTRA_BYTES,
          [&splitter](std::string_view piece) { return splitter.add(piece); });
    });
    splitter.finish();
    // Every process has a cmdline, so its absence means the process has exited.
    if (cmdline == ReadStatus::Gone) return false;
    // stat's rss is the sum of the counters without their per-CPU parts (since Linux 6.2), off by
    // up to hundreds of KiB; statm sums them, as status, ps and top show it.
    if (read(passing, true, [&](Handle& handle, bool) {
          return files_->readPidFile(pid, PidFile::Statm, handle, false, text);
        }) == ReadStatus::Ok) {
      if (std::optional<std::uint64_t> pages = parseStatmResident(text)) {
        process.resident_bytes = saturatingMul(*pages, options_.pageSize);
      }
    }
  }
  if (ran) {
    // Kernels built without task I/O accounting have no io file: the totals stay as they were.
    // They are cumulative, so a late reading is as true as one taken at the refresh.
    const ReadStatus ioRead = read(passing, true, [&](Handle& handle, bool) {
      return files_->readPidFile(pid, PidFile::Io, handle, false, text);
    });
    // Another user's io is refused (EACCES) to all but root.
    process.io_refused = ioRead == ReadStatus::Unreadable;
    if (ioRead == ReadStatus::Ok) {
      if (std::optional<IoCounters> io = parseIo(text)) {
        process.disk_read_bytes = io->readBytes;
        process.disk_written_bytes = io->writeBytes;
      }
    }
    // Only a running process changes its credentials (setuid, or an exec of a set-user-ID file).
    if (read(passing, true, [&](Handle& handle, bool) {
          return files_->readPidFile(pid, PidFile::Status, handle, false, text);
        }) == ReadStatus::Ok) {
      if (std::optional<std::uint32_t> uid = parseStatusEffectiveUid(text)) process.uid = uid;
      // The private memory, too, grows and shrinks by the process's own doing (reclaim of pages it
      // marked free aside), and swapping moves it between the two figures without changing the sum.
      process.footprint_bytes = parseStatusFootprint(text);
    }
    // An exec may keep the short name stat shows (a link, a long name's first 15 bytes), so the
    // name is read anew; by pid, so the stat read below confirms it.
    readName(pid, entry);
    opened = true;
  }
  // Its thread count counts for the next completion only when read after the run time.
  entry.ranNs = 0;
  if (entry.statRead != sweep() || opened) {
    const ReadStatus status = read(entry.stat, true, [&](Handle& handle, bool keep) {
      return files_->readPidFile(pid, PidFile::Stat, handle, keep, text);
    });
    if (status == ReadStatus::NoDescriptor) return true;  // unread, not gone: it keeps what it had
    const std::optional<StatFields> stat =
        status == ReadStatus::Ok ? parseStat(text) : std::nullopt;
    if (!stat || stat->starttime != entry.startTicks) return false;
    if (entry.statRead != sweep()) {
      applyStat(pid, entry, *stat, false);
    } else if (entry.comm != stat->comm) {  // an exec since the refresh
      entry.comm.assign(stat->comm);
      readName(pid, entry);
    }
    if (stat->threads == 1) entry.ranNs = ranNs.value_or(0);
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

void ProcFsTable::noteHandle(Handle before, Handle after, ReadStatus status, bool buffered) {
  // The process or the system has less to spare than the budget said.
  if (status == ReadStatus::NoDescriptor) budget_ = held_;
  if (after == before) return;
  ++held_;
  if (buffered) ++keptBuffers_;
}

void ProcFsTable::release(Handle& handle) {
  if (handle == NO_HANDLE) return;
  files_->closeHandle(handle);
  handle = NO_HANDLE;
  --held_;
}

void ProcFsTable::releaseBuffered(Handle& handle) {
  if (handle == NO_HANDLE) return;
  release(handle);
  --keptBuffers_;
}

bool ProcFsTable::shedKeptFiles() {
  const std::size_t before = held_;
  entries_.forEach([this](Entry& entry) {
    release(entry.cmdline);
    releaseBuffered(entry.stat);
    releaseBuffered(entry.schedstat);
  });
  budget_ = held_;
  return held_ < before;
}

void ProcFsTable::releaseAll(Entry& entry) {
  release(entry.exitWatch);
  release(entry.cmdline);
  releaseBuffered(entry.stat);
  releaseBuffered(entry.schedstat);
}

void ProcFsTable::forgetUnreported() {
  std::erase_if(reportedPids_, [this](Pid pid) {
    Entry* entry = entries_.find(pid);
    if (entry == nullptr || !entry->listed) return true;
    if (reportedLately(*entry)) return false;
    // A process the host does not watch costs no memory for its arguments, whatever it puts
    // there, nor descriptors for files nobody reads. A zombie's can no longer be read, so it keeps
    // them (a command's worth at most) for a later report.
    if (!entry->exited) std::vector<std::string>().swap(entry->process.arguments);
    entry->ranNs = 0;  // read in full at its next report
    release(entry->cmdline);
    releaseBuffered(entry->schedstat);
    if (entry->exitWatch != NO_HANDLE) releaseBuffered(entry->stat);
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

double ProcFsTable::ticksIntoRefresh() {
  const MonoTime now = clock_.monotonicNow();
  return now > refreshAt_ ? std::chrono::duration<double>(now - refreshAt_).count() *
                                static_cast<double>(options_.clockTicksPerSecond)
                          : 0.0;
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
  options.keptBufferBudget = KEPT_BUFFER_BUDGET;
  return options;
}

}  // namespace procsampler::sampling::procfs

namespace procsampler::sampling {

std::unique_ptr<ProcessTable> newPlatformTable(Clock& clock, const TableLimits& limits) {
  procfs::ProcFsTableOptions options = procfs::liveOptions();
  options.limits = limits;
  return std::make_unique<procfs::ProcFsTable>(procfs::makeLiveProcFiles(), clock, options);
}

}  // namespace procsampler::sampling
