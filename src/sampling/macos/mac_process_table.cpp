#include "sampling/macos/mac_process_table.h"

#include <algorithm>
#include <array>
#include <utility>

#include "common/saturating.h"
#include "sampling/macos/proc_args.h"

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
// Children a listing has room for beyond every process listed at the refresh's start, for those
// started meanwhile: a listing that fills the room may have left some out.
constexpr std::size_t CHILD_ROOM = 20;
// An argument buffer larger than this is released after a completion, so one process's huge area
// does not stay in the sidecar's memory.
constexpr std::size_t KEPT_ARGUMENT_BUFFER = 64 * 1024;

std::uint64_t toU64Saturating(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return U64_MAX;  // 2^64
  return static_cast<std::uint64_t>(value);
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

MacProcessTable::MacProcessTable(DarwinKernel& kernel, Clock& clock,
                                 std::optional<std::size_t> walkLimit, TableLimits limits)
    : kernel_(kernel), clock_(clock), limits_(limits) {
  setUp(walkLimit);
}

MacProcessTable::MacProcessTable(std::unique_ptr<DarwinKernel> kernel, Clock& clock,
                                 std::optional<std::size_t> walkLimit, TableLimits limits)
    : ownedKernel_(std::move(kernel)), kernel_(*ownedKernel_), clock_(clock), limits_(limits) {
  setUp(walkLimit);
}

MacProcessTable::~MacProcessTable() {
  if (exitQueue_ >= 0) kernel_.closeQueue(exitQueue_);
}

void MacProcessTable::setUp(std::optional<std::size_t> walkLimit) {
  effectiveUid_ = kernel_.effectiveUid();
  walkLimit_ = walkLimit.value_or(effectiveUid_ == 0 ? ROOT_WALK_LIMIT : USER_WALK_LIMIT);
  const int argMax = kernel_.argMax();
  argumentBufferCap_ = static_cast<std::size_t>(argMax > 0 ? argMax : FALLBACK_ARG_MAX) + 4;

  // A timebase with a zero term would make every interval infinite or empty; treat it as the
  // failure it is and count Mach units as nanoseconds.
  const TimebaseReply timebase = kernel_.machTimebaseInfo();
  if (timebase.kern_return == KERN_SUCCESS_CODE && timebase.numer != 0 && timebase.denom != 0) {
    timebaseNumer_ = timebase.numer;
    timebaseDenom_ = timebase.denom;
  }

  const std::uint32_t host = kernel_.machHostSelf();
  hostPort_ = host;
  const long pageSize = kernel_.sysconf(SysconfName::PageSize);
  pageSize_ = pageSize > 0 ? static_cast<std::uint64_t>(pageSize) : 0;
  const long ticksPerSecond = kernel_.sysconf(SysconfName::ClockTicks);
  CpuLoadReply load = kernel_.hostProcessorInfo(host);
  if (!cpuLoadUsable(load)) return;
  CpuClock cpu;
  cpu.hostPort = host;
  cpu.cpuCount = load.cpu_count;
  cpu.ticks = std::move(load.ticks);
  // Without a tick rate the tick counts mean nothing; the interval then rests on its floor.
  cpu.nsPerTick = ticksPerSecond > 0 ? 1'000'000'000.0 / static_cast<double>(ticksPerSecond) : 0.0;
  cpuClock_ = std::move(cpu);
}

void MacProcessTable::readMachineMemory() {
  const SysctlNumberReply memsize = kernel_.memsize();
  machine_.memoryTotalBytes =
      memsize.result == 0 ? std::optional<std::uint64_t>(memsize.value) : std::nullopt;
  // Free pages, and those the kernel drops rather than compresses or swaps: file-backed pages
  // (vm_page_pageable_external_count, which counts the speculative ones too, as vm_page_speculate
  // does in vm_resident.c) and volatile purgeable ones. vm_stats (host.c) adds the speculative
  // pages to free_count as well, so they come off it here.
  const VmStatisticsReply vm = kernel_.hostStatistics64(hostPort_);
  machine_.memoryAvailableBytes.reset();
  if (vm.kern_return == KERN_SUCCESS_CODE && pageSize_ > 0) {
    const std::uint64_t pages = saturatingAdd(
        saturatingAdd(saturatingSub(vm.free_count, vm.speculative_count), vm.external_page_count),
        vm.purgeable_count);
    machine_.memoryAvailableBytes = saturatingMul(pages, pageSize_);
  }
  const BoottimeReply boot = kernel_.boottime();
  const std::uint64_t bootMs = saturatingAdd(saturatingMul(boot.tv_sec, 1000), boot.tv_usec / 1000);
  const std::uint64_t nowMs = unixMillis(clock_.wallNow());
  machine_.uptimeMs = boot.result == 0 && nowMs >= bootMs
                          ? std::optional<std::uint64_t>(nowMs - bootMs)
                          : std::nullopt;
}

std::optional<double> MacProcessTable::refreshInterval() {
  const MonoTime now = clock_.monotonicNow();
  if (cpuClock_ && cpuClock_->interval.reuses(now)) {
    return cpuClock_->interval.last() * timebaseDenom_ / timebaseNumer_;
  }
  readMachineMemory();
  if (!cpuClock_) return std::nullopt;
  CpuClock& cpu = *cpuClock_;

  CpuLoadReply load = kernel_.hostProcessorInfo(cpu.hostPort);
  machine_.cpuCount.reset();
  machine_.cpuPercent.reset();
  if (!cpuLoadUsable(load)) return 0.0;
  const std::uint32_t cpus = std::min(cpu.cpuCount, load.cpu_count);
  const std::size_t counters = std::min(
      {static_cast<std::size_t>(cpus) * CPU_STATE_COUNT, cpu.ticks.size(), load.ticks.size()});
  // The counters are 32 bits wide and wrap, after about 497 days in one state at 100 Hz; the
  // modular difference stays right across the wrap.
  std::uint64_t total = 0;
  std::uint64_t idle = 0;
  for (std::size_t i = 0; i < counters; ++i) {
    const std::uint32_t passed = load.ticks[i] - cpu.ticks[i];
    total += passed;
    if (i % CPU_STATE_COUNT == CPU_STATE_IDLE_INDEX) idle += passed;
  }
  cpu.ticks = std::move(load.ticks);
  cpu.cpuCount = load.cpu_count;

  const double perCpuNs = static_cast<double>(total) / static_cast<double>(cpus) * cpu.nsPerTick;
  const double intervalNs = cpu.interval.record(now, perCpuNs);
  machine_.cpuCount = load.cpu_count;
  if (cpu.nsPerTick > 0.0) {
    machine_.cpuPercent =
        machineCpuPercent(static_cast<double>(total - idle) * cpu.nsPerTick, intervalNs);
  }
  return intervalNs * timebaseDenom_ / timebaseNumer_;
}

bool MacProcessTable::listPids() {
  const int expected = kernel_.listAllPids({});
  if (expected < 1) return false;
  listing_.assign(static_cast<std::size_t>(expected), 0);
  const int count = kernel_.listAllPids(listing_);
  // A full buffer means processes appeared between the two calls and some may be missing.
  if (count < 1 || count >= expected) return false;
  listing_.resize(static_cast<std::size_t>(count));
  std::ranges::sort(listing_);
  pids_.swap(listing_);
  return true;
}

bool MacProcessTable::listed(std::int32_t pid) const {
  return std::ranges::binary_search(pids_, pid);
}

std::size_t MacProcessTable::refreshAll() {
  if (beginRefresh()) readUnlooked();
  endRefresh();
  return listingFailed_ ? 0 : pids_.size();
}

void MacProcessTable::refreshTrees(std::span<const Pid> seeds) {
  if (beginRefresh() && !(walkPays(seeds) && walkTrees(seeds))) readUnlooked();
  endRefresh();
}

bool MacProcessTable::beginRefresh() {
  nowS_ = unixSeconds(clock_.wallNow());
  // Whatever exited or forked, the refresh reads anew; the queue is emptied so that it signals
  // only news.
  forkHeard_ = false;
  if (exitQueue_ >= 0) {
    notes_.clear();
    kernel_.takeNotes(exitQueue_, notes_);
    forkHeard_ = std::ranges::any_of(notes_, &ProcNote::forked);
  }
  // The kernel sizes the listing when asked and fills it a moment later; a burst of new processes
  // in between fails it, and a second attempt mostly succeeds. The CPU interval is not read
  // without one, so the next refresh's spans the time since the last it read.
  listingFailed_ = !listPids() && !listPids();
  if (listingFailed_) return false;
  entries_.startSweep();
  interval_ = refreshInterval();
  cpuSpans_.add(interval_.value_or(0.0));
  return true;
}

bool MacProcessTable::walkPays(std::span<const Pid> seeds) const {
  return TreeWalk::pays(entries_, seeds, walkLimit_);
}

bool MacProcessTable::walkTrees(std::span<const Pid> seeds) {
  children_.resize(pids_.size() + CHILD_ROOM);
  const std::uint64_t sweep = entries_.sweepNumber();
  const auto lookedAt = [&](Pid pid) {
    const Entry* known = entries_.find(pid);
    return known != nullptr && known->lookedAt == sweep;
  };
  // A process gone since it was listed has handed its children to launchd; one passing through
  // exit may still have them.
  const auto read = [this](Pid pid) {
    return pid <= static_cast<Pid>(INT32_MAX) && refreshPid(static_cast<std::int32_t>(pid));
  };
  const auto listChildren = [this](Pid pid, std::vector<Pid>& queue) {
    const int listed = kernel_.listChildPids(static_cast<std::int32_t>(pid), children_);
    if (listed < 0 || static_cast<std::size_t>(listed) >= children_.size()) return false;
    for (const std::int32_t child : std::span(children_).first(static_cast<std::size_t>(listed))) {
      queue.push_back(static_cast<Pid>(child));
    }
    return true;
  };
  return treeWalk_.run(seeds, walkLimit_, lookedAt, read, listChildren);
}

void MacProcessTable::readUnlooked() {
  // kinfo_proc comes from one walk of the process list then, not a walk per record.
  if (effectiveUid_ != 0) batch_ = Batch::Wanted;
  const std::uint64_t sweep = entries_.sweepNumber();
  for (const std::int32_t pid : pids_) {
    const Entry* known = entries_.find(static_cast<Pid>(pid));
    if (known == nullptr || known->lookedAt != sweep) refreshPid(pid);
  }
}

void MacProcessTable::endRefresh() {
  batch_ = Batch::Unwanted;
  if (listingFailed_) return;
  const std::uint64_t sweep = entries_.sweepNumber();
  auto isListed = [this](Pid pid) {
    return pid <= static_cast<Pid>(INT32_MAX) && listed(static_cast<std::int32_t>(pid));
  };
  walk_.clear();  // the pids to set aside
  entries_.forEach([&](const Entry& entry) {
    if (entry.lookedAt != sweep && isListed(entry.process.pid)) {
      walk_.push_back(static_cast<std::int32_t>(entry.process.pid));
    }
  });
  for (const std::int32_t pid : walk_) {
    Entry& entry = *entries_.find(static_cast<Pid>(pid));
    std::vector<std::string>().swap(entry.process.arguments);
    std::string().swap(entry.executablePath);
    setAside_.insert_or_assign(static_cast<Pid>(pid), std::move(entry));
  }
  // Whatever this refresh could not find has vanished, or was not listed, or is set aside.
  entries_.sweepUnmarked();
  std::erase_if(setAside_, [&](const auto& item) { return !isListed(item.first); });
}

std::optional<MacProcessTable::Reading> MacProcessTable::readRecord(std::int32_t pid,
                                                                    const Entry* known) {
  auto fromTask = [](const TaskAllInfo& all) {
    const BsdInfo& bsd = all.pbsd;
    return Reading{bsd.pbi_ppid,         bsd.pbi_uid,  bsd.pbi_status, bsd.pbi_start_tvsec,
                   bsd.pbi_start_tvusec, bsd.pbi_comm, all.ptinfo};
  };
  // The kernel refuses another user's task info (but to root), and has none of a zombie's; such a
  // known entry goes straight to the call that answered last time. BSD info finds a zombie through
  // the pid hash but is refused like task info; kinfo_proc is given for any process, but each call
  // walks the whole process list.
  const bool tryTask = known == nullptr || known->taskReadable;
  if (tryTask) {
    const PidInfoReply<TaskAllInfo> all = kernel_.pidTaskAllInfo(pid);
    if (all.bytes == TASK_ALL_INFO_SIZE) return fromTask(all.info);
  }
  const bool ours = known != nullptr ? mayRead(known->uid) : effectiveUid_ == 0;
  std::optional<Reading> reading;
  if (ours) {
    const PidInfoReply<BsdInfo> bsd = kernel_.pidBsdInfo(pid);
    if (bsd.bytes == BSD_INFO_SIZE) {
      const BsdInfo& b = bsd.info;
      reading = Reading{b.pbi_ppid,         b.pbi_uid,  b.pbi_status, b.pbi_start_tvsec,
                        b.pbi_start_tvusec, b.pbi_comm, std::nullopt};
    }
  }
  // Refused to root means no answer; refused to a user, the pid may have gone to another user.
  if (!reading && effectiveUid_ != 0) reading = readKinfo(pid);
  if (!reading) return std::nullopt;
  // A live process that is not the one refused before (its uid changed, or the pid went to
  // another) may be readable now.
  const bool another =
      !tryTask && reading->p_stat != STATUS_ZOMBIE &&
      (reading->uid != known->uid || reading->startS != known->process.start_time_s ||
       reading->startUs != known->startUs);
  if (another) {
    const PidInfoReply<TaskAllInfo> all = kernel_.pidTaskAllInfo(pid);
    if (all.bytes == TASK_ALL_INFO_SIZE) return fromTask(all.info);
  }
  return reading;
}

std::optional<MacProcessTable::Reading> MacProcessTable::readKinfo(std::int32_t pid) {
  if (batch_ == Batch::Wanted) readBatch();
  if (batch_ == Batch::Read) {
    const auto found = std::ranges::lower_bound(kinfoBatch_, pid, {}, &KinfoProc::p_pid);
    if (found == kinfoBatch_.end() || found->p_pid != pid) return std::nullopt;
    return Reading{found->e_ppid,           found->cr_uid, found->p_stat, found->p_starttime_sec,
                   found->p_starttime_usec, found->p_comm, std::nullopt};
  }
  const KinfoReply kinfo = kernel_.kinfoProc(pid);
  if (kinfo.result != 0 || kinfo.length != KINFO_PROC_SIZE) return std::nullopt;
  const KinfoProc& k = kinfo.info;
  return Reading{k.e_ppid,           k.cr_uid, k.p_stat,    k.p_starttime_sec,
                 k.p_starttime_usec, k.p_comm, std::nullopt};
}

// Room for every pid listed and those started since; the size is probed only when that was not
// enough, and when the second call fails too, each record is asked for alone.
void MacProcessTable::readBatch() {
  kinfoBatch_.resize(pids_.size() + CHILD_ROOM);
  KinfoListReply all = kernel_.kinfoProcAll(kinfoBatch_);
  if (all.result != 0) {
    const KinfoListReply probe = kernel_.kinfoProcAll({});
    if (probe.result == 0) {
      kinfoBatch_.resize(probe.count + CHILD_ROOM);
      all = kernel_.kinfoProcAll(kinfoBatch_);
    }
  }
  if (all.result != 0) {
    batch_ = Batch::Failed;
    return;
  }
  kinfoBatch_.resize(std::min(all.count, kinfoBatch_.size()));
  std::ranges::sort(kinfoBatch_, {}, &KinfoProc::p_pid);
  batch_ = Batch::Read;
}

bool MacProcessTable::refreshPid(std::int32_t pid) {
  const Pid key = static_cast<Pid>(pid);
  const std::uint64_t sweep = entries_.sweepNumber();
  auto [entry, seenBefore] = entries_.getOrCreate(key);
  if (!seenBefore) {
    // Back in a walked tree: what the table knew of it, its CPU reading above all, comes back.
    if (auto aside = setAside_.find(key); aside != setAside_.end()) {
      entry = std::move(aside->second);
      setAside_.erase(aside);
      seenBefore = true;
    }
  }
  entry.lookedAt = sweep;
  std::optional<Reading> reading = readRecord(pid, seenBefore ? &entry : nullptr);
  if (!reading) {
    // Gone since the listing, or passing through fork or exit: the kernel then answers nothing
    // but the listings. A known process still listed keeps what was read of it, its CPU reading
    // above all, until a read or a listing says otherwise; anything else is left unmarked and
    // swept.
    if (!seenBefore || !listed(pid)) return false;
    entries_.markAlive(key);
    return true;
  }

  // The same pid with another start (to the microsecond) belongs to another process.
  const bool fresh = !seenBefore || entry.process.start_time_s != reading->startS ||
                     entry.startUs != reading->startUs;
  if (fresh) {
    entry = Entry{};
    entry.process.pid = key;
    entry.process.start_time_s = reading->startS;
    entry.startUs = reading->startUs;
    entry.process.start_time_ms =
        saturatingAdd(saturatingMul(reading->startS, 1000), reading->startUs / 1000);
    entry.lookedAt = sweep;
  }
  entry.readAt = sweep;
  const bool execd = !fresh && entry.comm != execName(reading->comm);
  // Arguments are kept while the process is reported: one nobody watches costs no memory for
  // them, whatever it puts there. An exec makes them another program's.
  if (execd) entry.process.arguments.clear();
  if (entry.completed + 1 != sweep && entry.process.arguments.capacity() > 0) {
    std::vector<std::string>().swap(entry.process.arguments);
  }

  Process& process = entry.process;
  process.parent_pid = reading->ppid == 0 ? std::nullopt : std::optional<Pid>(reading->ppid);
  process.run_time_s = saturatingSub(nowS_, process.start_time_s);
  entry.uid = reading->uid;
  process.uid = reading->uid;
  process.cpu_memory_refused = !reading->task;
  entry.p_stat = reading->p_stat;
  entry.comm = execName(reading->comm);
  entry.taskReadable = reading->task.has_value();
  if (reading->task) {
    setCpuFigures(entry, *reading->task);
    process.thread_count = static_cast<std::uint32_t>(std::max(reading->task->pti_threadnum, 0));
  } else {
    process.thread_count.reset();
    // What the kernel refuses reads as 0, and a later reading starts over.
    entry.cpuMark = {};
    entry.runningThreads = 0;
    process.cpu_percent = 0.0f;
    process.cpu_time_ms = process.resident_bytes = process.virtual_bytes = 0;
  }
  // The state of a runnable process's threads waits for completion; until then, this guess.
  std::optional<ProcessStatus> status = statusFromProcess(entry.p_stat);
  if (!status && !entry.taskReadable) status = ProcessStatus{ProcessStatusKind::Unknown, 0};
  process.status = status.value_or(ProcessStatus{
      entry.runningThreads > 0 ? ProcessStatusKind::Run : ProcessStatusKind::Sleep, 0});

  // A new process or a new program is named at once, reported or not: a zombie's path is gone.
  if (fresh || execd) readName(pid, entry, reading->comm);
  entries_.markAlive(key);
  return true;
}

void MacProcessTable::setCpuFigures(Entry& entry, const TaskInfo& task) {
  Process& process = entry.process;
  const std::uint64_t current = saturatingAdd(task.pti_total_user, task.pti_total_system);
  process.cpu_percent = 0.0f;
  if (interval_) {
    // Since the refresh that last read it: this refresh's interval when that was the one before.
    const double span = cpuSpans_.since(entry.cpuMark);
    const std::uint64_t previous = entry.previousCpu;
    if (span > MIN_USABLE_INTERVAL && previous > 0 && current > previous) {
      process.cpu_percent = toPercent(static_cast<double>(current - previous) / span * 100.0);
    }
  } else {
    // No tick counters: task time against mach_absolute_time, both in Mach units.
    const std::uint64_t now = kernel_.machAbsoluteTime();
    if (entry.cpuMark.refresh != 0) {
      const std::uint64_t elapsed = now >= entry.previousTime ? now - entry.previousTime : now;
      const std::uint64_t used =
          current >= entry.previousCpu ? current - entry.previousCpu : current;
      if (elapsed != 0) {
        process.cpu_percent =
            toPercent(static_cast<double>(used) * 100.0 / static_cast<double>(elapsed));
      }
    }
    entry.previousTime = now;
  }
  entry.previousCpu = current;
  entry.cpuMark = cpuSpans_.mark();
  // Multiplied before dividing, so whole milliseconds stay whole (125/3 has no exact double).
  process.cpu_time_ms = toU64Saturating(static_cast<double>(current) * timebaseNumer_ /
                                        (timebaseDenom_ * 1'000'000.0));
  process.resident_bytes = task.pti_resident_size;
  process.virtual_bytes = task.pti_virtual_size;
  entry.runningThreads = task.pti_numrunning;
}

// The argument area, which names a process as it was started, is read only for reported
// processes: any other is named from its text's path, which needs no permission and, unlike the
// area, never costs more than a path. A zombie has neither and is named by p_comm.
void MacProcessTable::readName(std::int32_t pid, Entry& entry, const std::string& comm) {
  Process& process = entry.process;
  process.name.clear();
  if (entry.p_stat != STATUS_ZOMBIE) {
    const PathReply path = kernel_.pidPath(pid);
    if (path.result > 0) process.name = finalComponent(path.path);
  }
  if (process.name.empty()) process.name = comm;
}

void MacProcessTable::completeProcesses(std::span<const Pid> pids) {
  if (listingFailed_) return;
  for (const Pid pid : pids) {
    Entry* entry = entries_.find(pid);
    if (entry == nullptr || entry->completed == entries_.sweepNumber()) continue;
    if (completePid(static_cast<std::int32_t>(pid), *entry)) {
      watchProcess(static_cast<std::int32_t>(pid), *entry);
      continue;
    }
    // Out of this snapshot, with its CPU reading kept should the next refresh find it again.
    setAside_.insert_or_assign(pid, std::move(*entry));
    entries_.erase(pid);
  }
  if (argumentBuffer_.capacity() > KEPT_ARGUMENT_BUFFER) {
    std::vector<std::byte>().swap(argumentBuffer_);
  }
}

void MacProcessTable::watchProcess(std::int32_t pid, Entry& entry) {
  if (entry.watchAsked || entry.p_stat == STATUS_ZOMBIE) return;
  if (exitQueue_ < 0 && (exitQueue_ = kernel_.kqueue()) < 0) return;
  // Asked once: a refusal means the process is exiting, which the next refresh finds anyway.
  entry.watchAsked = true;
  (void)kernel_.watchProcess(exitQueue_, pid);
}

bool MacProcessTable::completePid(std::int32_t pid, Entry& entry) {
  Process& process = entry.process;
  const bool zombie = entry.p_stat == STATUS_ZOMBIE;
  // Kept by the refresh without an answer: the kernel has nothing more to give of it now.
  if (entry.readAt != entries_.sweepNumber()) {
    entry.completed = entries_.sweepNumber();
    return true;
  }
  // Of another user's process the kernel gives nothing more (but to root), and then nothing
  // read here can belong to another process.
  if (mayRead(entry.uid)) {
    // A zombie keeps the arguments it was last seen with alive.
    if (!zombie) readArguments(pid, entry);
    const RusageReply usage = kernel_.pidRusage(pid);
    process.disk_read_bytes = usage.result >= 0 ? usage.info.ri_diskio_bytesread : 0;
    process.disk_written_bytes = usage.result >= 0 ? usage.info.ri_diskio_byteswritten : 0;
    process.io_refused = usage.result < 0;
    process.footprint_bytes =
        usage.result >= 0 ? std::optional(usage.info.ri_phys_footprint) : std::nullopt;
    if (entry.p_stat == STATUS_RUN && entry.taskReadable && entry.runningThreads == 0) {
      process.status = threadStatus(pid);
    }
    // The refresh may be many milliseconds old: long enough for the process to exit and its pid
    // to go to another. The call the refresh made shows the refresh's start only if the same
    // process held the pid throughout.
    std::optional<Reading> now = readRecord(pid, &entry);
    if (!now || now->startS != process.start_time_s || now->startUs != entry.startUs) {
      return false;
    }
  } else {
    process.disk_read_bytes = process.disk_written_bytes = 0;
    process.io_refused = true;
    process.footprint_bytes.reset();
  }
  entry.completed = entries_.sweepNumber();
  return true;
}

// As ps derives it: any thread running gives Run; else any in an uninterruptible wait,
// UninterruptibleDiskSleep; else any waiting, Sleep; else stopped, Stop; else halted, Parked.
// Of a process with more threads than the read limit, only the first ones are read.
ProcessStatus MacProcessTable::threadStatus(std::int32_t pid) {
  threadHandles_.resize(THREAD_READ_LIMIT);
  const int bytes = kernel_.pidListThreads(pid, threadHandles_);
  const std::size_t count =
      bytes > 0
          ? std::min(static_cast<std::size_t>(bytes) / THREAD_HANDLE_SIZE, threadHandles_.size())
          : 0;
  const auto handles = std::span(threadHandles_).first(count);
  std::array<bool, RUN_STATE_HALTED + 1> seen{};
  for (std::size_t i = 0; i < count && !seen[RUN_STATE_RUNNING]; ++i) {
    // The kernel reads the first thread with the handle, so a repeated one (every kernel thread's
    // is 0) would read that thread again.
    if (std::ranges::find(handles.first(i), handles[i]) != handles.first(i).end()) continue;
    const PidInfoReply<ThreadInfo> thread = kernel_.pidThreadInfo(pid, handles[i]);
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
std::optional<std::size_t> MacProcessTable::readArgumentArea(std::int32_t pid) {
  // Four bytes is the argument count alone; anything shorter is not an argument area.
  constexpr std::size_t MIN_AREA = 4;
  SysctlReply probe = kernel_.procArgs2(pid, {});
  for (int attempt = 0; attempt < ARGUMENT_ATTEMPTS; ++attempt) {
    if (probe.result != 0 || probe.length < MIN_AREA) return std::nullopt;
    const std::size_t size = std::min(probe.length + ARGUMENT_ROOM, argumentBufferCap_);
    argumentBuffer_.resize(size);
    const SysctlReply copied = kernel_.procArgs2(pid, argumentBuffer_);
    if (copied.result != 0 || copied.length > size) return std::nullopt;
    const bool full = copied.length == size;
    if (full) probe = kernel_.procArgs2(pid, {});
    if (!full || (probe.result == 0 && probe.length <= size)) return copied.length;
  }
  return std::nullopt;
}

// Kept only as far as a command shows: the area may hold a megabyte of arguments.
void MacProcessTable::readArguments(std::int32_t pid, Entry& entry) {
  const std::optional<std::size_t> size = readArgumentArea(pid);
  if (!size) return;
  Process& process = entry.process;
  const std::optional<std::string_view> path =
      parseArgumentArea(std::span<const std::byte>(argumentBuffer_.data(), *size),
                        process.arguments, limits_.commandBytes);
  if (!path) return;
  // Named as started, and anew when the process has exec'd another program since the area was
  // read.
  if (process.name.empty() || entry.executablePath != *path) {
    const std::string_view name = finalComponent(*path);
    if (!name.empty()) process.name = name;
  }
  entry.executablePath = *path;
}

const Process* MacProcessTable::find(Pid pid) const {
  if (listingFailed_) return nullptr;
  const Entry* entry = entries_.find(pid);
  return entry == nullptr ? nullptr : &entry->process;
}

void MacProcessTable::forEachProcess(const std::function<void(const Process&)>& visit) const {
  entries_.forEach([&visit](const Entry& entry) { visit(entry.process); });
}

}  // namespace procsampler::sampling::macos
