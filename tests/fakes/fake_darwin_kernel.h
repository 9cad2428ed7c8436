// A model of the xnu kernel behind DarwinKernel, for tests of the macOS table: processes are plain
// values a test changes between calls, and every call plays the rule of the xnu function named
// beside it. Where the model and a real kernel could differ, the model is the harsher. Every call
// is logged, and every walk of the whole process list counted, so a test can assert what the
// table read and what it cost. Single-threaded.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sampling/macos/darwin_kernel.h"
#include "sampling/table_core.h"

namespace procsampler::testing {

namespace mac = sampling::macos;

inline constexpr std::uint32_t ROOT = 0, USER = 501, OTHER_USER = 502;

// mach_timebase_info's answers: Apple silicon counts Mach absolute time at 24 MHz, Intel Macs in
// nanoseconds. Every test of the table runs at both.
inline constexpr mac::TimebaseReply APPLE_SILICON_TIMEBASE{0, 125, 3}, INTEL_TIMEBASE{0, 1, 1};
inline constexpr mac::TimebaseReply TIMEBASES[] = {APPLE_SILICON_TIMEBASE, INTEL_TIMEBASE};

struct FakeThread {
  std::uint64_t handle = 0;  // its cthread_self; never 0
  std::int32_t state = mac::RUN_STATE_WAITING;
};

struct FakeMacProcess {
  std::int32_t pid = 0;
  std::uint32_t ppid = 1, uid = USER;
  std::uint32_t oppid = 0;  // p_oppid while traced: the parent before the tracer took it; else 0
  std::uint32_t stat = mac::STATUS_RUN;  // p_stat: SIDL, SRUN, SSTOP or SZOMB, never SSLEEP
  // Being forked (SIDL) or between the start of its exit and becoming a zombie: still on the
  // process list, but proc_find refuses it and proc_iterate (kern_proc.c) skips it.
  bool passing = false;
  // cs_restricted, with SIP on: sysctl_procargsx (kern_sysctl.c, since macOS 11) checks the uid
  // even for a size probe, and leaves out everything after argv.
  bool restricted = false;
  // kernel_task: no text (proc_pidpath fails), no user stack (sysctl_procargsx fails), and every
  // one of its threads has a cthread_self of 0.
  bool kernel = false;
  std::uint64_t start_s = 1'699'990'000, start_us = 250'000;
  std::string path = "/usr/bin/proc";  // its text vnode's path; empty: none (proc_pidpath fails)
  std::vector<std::string> argv = {"proc"};
  std::vector<std::string> env = {"SECRET=hunter2"};
  std::optional<std::string> area{};  // in place of exec's layout of path, argv and env
  mac::TaskInfo task{1 << 20, 1 << 16, 1'000'000, 0};  // virtual, resident, user, system
  std::vector<FakeThread> threads = {{0x16f000, mac::RUN_STATE_WAITING}};
  mac::RusageInfo rusage{};
  std::function<void(FakeMacProcess&)> after_probe{};  // runs once, after a KERN_PROCARGS2 probe
  // set_proc_name (kern_exec.c): p_comm is the file name, cut to MAXCOMLEN (16).
  std::string comm() const {
    if (kernel) return "kernel_task";
    return std::string(sampling::finalComponent(path).substr(0, 16));
  }
};

class FakeDarwinKernel final : public mac::DarwinKernel {
 public:
  using P = FakeMacProcess;
  std::vector<P> processes;  // in listing order
  std::uint32_t sidecar_uid = USER;
  int arg_max = 1024 * 1024;
  std::optional<int> count_reply, fill_reply;  // override proc_listallpids's answers...
  int overridden_listings = INT_MAX;           // ...for this many listings (count and fill)
  std::optional<int> children_reply;           // overrides proc_listchildpids's
  mac::TimebaseReply timebase = INTEL_TIMEBASE;
  std::uint64_t absolute_time = 1'000'000'000'000;
  mac::CpuLoadReply cpu_load{0, 2, std::vector<std::uint32_t>(2 * mac::CPU_STATE_COUNT, 1000)};
  std::vector<std::string> calls;  // "list", "cpu", "taskall 42", "args? 42" (a probe), ...
  // The VM's page counters (vm_page.h). vm_page_speculate (vm_resident.c) counts a speculative
  // page as pageable external too, so the external count holds the speculative one.
  std::uint64_t vm_page_free_count = 1000, vm_page_speculative_count = 100,
                vm_page_pageable_external_count = 3000, vm_page_purgeable_count = 50;
  int vm_stats_return = 0;
  mac::SysctlNumberReply hw_memsize{0, 16ULL << 30};
  mac::BoottimeReply kern_boottime{0, 1'699'000'000, 250'000};
  std::size_t walks = 0;         // walks of the whole process list, under the list lock
  std::size_t thread_steps = 0;  // threads fill_taskthreadinfo stepped over to find a handle

  P& process(std::int32_t pid) { return *std::ranges::find(processes, pid, &P::pid); }
  void reap(std::int32_t pid) {
    std::erase_if(processes, [&](P& p) { return p.pid == pid; });
  }
  void spawn(const P& p) { reap(p.pid), processes.push_back(p); }
  // proc_exit (kern_exit.c): the process's knotes get NOTE_EXIT (proc_knote) as it turns zombie,
  // and filt_proc marks each EV_ONESHOT, so it fires once and is gone.
  void exit(std::int32_t pid) {
    process(pid).stat = mac::STATUS_ZOMBIE;
    for (Knote& knote : knotes_) knote.exited = knote.exited || knote.pid == pid;
  }
  // fork1 then fork or posix_spawn (kern_fork.c, kern_exec.c): the child is whole and running
  // when its parent's knotes get NOTE_FORK (proc_knote); they stay attached (EV_CLEAR, from
  // filt_procattach), and forks before the next scan make one event.
  void fork(std::int32_t parent, P child) {
    child.ppid = static_cast<std::uint32_t>(parent);
    spawn(child);
    for (Knote& knote : knotes_) knote.forked = knote.forked || knote.pid == parent;
  }
  // filt_kqueue (kern_event.c): what poll says of a queue, readable while an event waits.
  bool readable(int queue) const {
    return std::ranges::any_of(knotes_,
                               [&](const Knote& k) { return k.queue == queue && k.fired(); });
  }
  // Every CPU spends `ticks` more ticks over its four states; the 32-bit counters wrap.
  void passTicks(std::uint32_t ticks) {
    for (std::uint32_t& counter : cpu_load.ticks) counter += ticks / 4;
  }

  std::uint32_t machHostSelf() override { return 7; }
  // Apple silicon's 16 KiB pages; 100 ticks a second.
  long sysconf(mac::SysconfName name) override {
    return name == mac::SysconfName::PageSize ? 16384 : 100;
  }
  mac::TimebaseReply machTimebaseInfo() override { return timebase; }
  mac::CpuLoadReply hostProcessorInfo(std::uint32_t) override {
    calls.push_back("cpu");
    return cpu_load;
  }
  // vm_stats (host.c): free_count is the free and the speculative pages.
  mac::VmStatisticsReply hostStatistics64(std::uint32_t) override {
    return {vm_stats_return, vm_page_free_count + vm_page_speculative_count,
            vm_page_speculative_count, vm_page_pageable_external_count, vm_page_purgeable_count};
  }
  mac::SysctlNumberReply memsize() override { return hw_memsize; }
  mac::BoottimeReply boottime() override { return kern_boottime; }
  std::uint64_t machAbsoluteTime() override { return absolute_time; }
  std::uint32_t effectiveUid() override { return sidecar_uid; }
  int argMax() override { return arg_max; }

  // proc_listpids (proc_info.c): a probe says nprocs + 20 without a walk; the pids of every
  // process, whatever its state, in one walk.
  int listAllPids(std::span<std::int32_t> buffer) override {
    calls.push_back("list");
    if (buffer.empty()) {
      overriding_ = overridden_listings > 0;
      overridden_listings -= overriding_ ? 1 : 0;
      const int count = static_cast<int>(processes.size()) + 20;
      return overriding_ ? count_reply.value_or(count) : count;
    }
    ++walks;
    const std::size_t fits = std::min(buffer.size(), processes.size());
    for (std::size_t i = 0; i < fits; ++i) buffer[i] = processes[i].pid;
    return overriding_ && fill_reply ? *fill_reply : static_cast<int>(fits);
  }
  // proc_listpids with PROC_PPID_ONLY (proc_info.c): the living, then the zombies, whose p_ppid is
  // ppid or, while traced, whose p_oppid is; at most nprocs + 20 of them and as many as fit. A
  // buffer below one pid fails (ENOMEM). No uid check.
  int listChildPids(std::int32_t ppid, std::span<std::int32_t> buffer) override {
    calls.push_back("children " + std::to_string(ppid));
    ++walks;
    if (children_reply || buffer.empty()) return children_reply.value_or(-1);
    const auto parent = static_cast<std::uint32_t>(ppid);
    std::size_t listed = 0;
    for (const bool zombies : {false, true}) {
      for (const P& p : processes) {
        const bool child = p.ppid == parent || (p.oppid != 0 && p.oppid == parent);
        const bool room = listed < std::min(buffer.size(), processes.size() + 20);
        if (child && room && (p.stat == mac::STATUS_ZOMBIE) == zombies) buffer[listed++] = p.pid;
      }
    }
    return static_cast<int>(listed);
  }
  // proc_pidbsdinfo, fill_taskprocinfo (bsd_kern.c): pti_numrunning counts the threads with TH_RUN.
  mac::PidInfoReply<mac::TaskAllInfo> pidTaskAllInfo(std::int32_t pid) override {
    const P* p = lookup("taskall", pid, false, true);
    if (p == nullptr) return {};
    mac::TaskInfo task = p->task;
    task.pti_threadnum = static_cast<std::int32_t>(p->threads.size());
    task.pti_numrunning = static_cast<std::int32_t>(
        std::ranges::count(p->threads, mac::RUN_STATE_RUNNING, &FakeThread::state));
    return {mac::TASK_ALL_INFO_SIZE, {bsdOf(*p), task}};
  }
  // proc_pidinfo (proc_info.c) with PROC_PIDTBSDINFO and a non-zero argument: proc_find, else
  // proc_find_zombref; the uid checked.
  mac::PidInfoReply<mac::BsdInfo> pidBsdInfo(std::int32_t pid) override {
    const P* p = lookup("bsd", pid, true, true);
    if (p == nullptr) return {};
    return {mac::BSD_INFO_SIZE, bsdOf(*p)};
  }
  // proc_pidlistthreads, fill_taskthreadlist (bsd_kern.c): as many handles as fit.
  int pidListThreads(std::int32_t pid, std::span<std::uint64_t> handles) override {
    const P* p = lookup("threads", pid, false, true);
    const std::size_t count = p == nullptr ? 0 : std::min(p->threads.size(), handles.size());
    for (std::size_t i = 0; i < count; ++i) handles[i] = handleOf(*p, p->threads[i]);
    return static_cast<int>(count) * mac::THREAD_HANDLE_SIZE;
  }
  // fill_taskthreadinfo (bsd_kern.c): the argument names the first thread, in the task's list,
  // whose cthread_self it is; none gives ESRCH.
  mac::PidInfoReply<mac::ThreadInfo> pidThreadInfo(std::int32_t pid,
                                                   std::uint64_t handle) override {
    const P* p = lookup("thread", pid, false, true);
    if (p == nullptr) return {};
    for (const FakeThread& thread : p->threads) {
      ++thread_steps;
      if (handleOf(*p, thread) == handle) return {mac::THREAD_INFO_SIZE, {thread.state}};
    }
    return {};
  }
  // sysctl_prochandle, fill_user64_proc (kern_sysctl.c): zombies too, and no uid check; one walk
  // through proc_iterate.
  mac::KinfoReply kinfoProc(std::int32_t pid) override {
    const P* p = lookup("kinfo", pid, true, false);
    ++walks;
    if (p == nullptr) return {0, 0, {}};
    return {0, mac::KINFO_PROC_SIZE, kinfoOf(*p)};
  }
  // sysctl_prochandle with KERN_PROC_ALL: one walk; a probe asks room for five records more than
  // it found (KERN_PROCSLOP). Records that do not fit give ENOMEM, and the model writes none.
  mac::KinfoListReply kinfoProcAll(std::span<mac::KinfoProc> buffer) override {
    calls.push_back(buffer.empty() ? "kinfo-all?" : "kinfo-all");
    ++walks;
    std::size_t found = 0;
    for (const P& p : processes) found += p.passing ? 0 : 1;
    if (buffer.empty()) return {0, found + 5};
    if (found > buffer.size()) return {-1, 0};
    std::size_t written = 0;
    for (const P& p : processes) {
      if (!p.passing) buffer[written++] = kinfoOf(p);
    }
    return {0, written};
  }
  // proc_pid_rusage (proc_info.c): a zombie's too.
  mac::RusageReply pidRusage(std::int32_t pid) override {
    const P* p = lookup("rusage", pid, true, true);
    return p == nullptr ? mac::RusageReply{-1, {}} : mac::RusageReply{0, p->rusage};
  }
  // proc_pidpathinfo (proc_info.c): no uid check, but nothing for a process without text.
  mac::PathReply pidPath(std::int32_t pid) override {
    const P* p = lookup("path", pid, false, false);
    if (p == nullptr || p->path.empty() || p->kernel) return {0, {}};
    return {static_cast<int>(p->path.size()), p->path};
  }
  // exec_save_path, exec_extract_strings, exec_copyout_strings (bsd/kern/kern_exec.c): the string
  // area holds the path after "executable_path=", NULs up to the next 8-byte boundary (the key is
  // 16 bytes long), then argv, envv and the apple strings, each ending in one NUL.
  // sysctl_procargsx (kern_sysctl.c), KERN_PROCARGS2, strips the key; argc comes first. A probe
  // needs no permission and answers the area's size + 4, rounded up to 4. A copy refuses a buffer
  // of 4 bytes or less or of more than kern.argmax + 4, and another user's process (but to root).
  // Into a buffer smaller than the area it copies the area's TAIL without error, and zeroes the end
  // of it as its page-sized scratch buffer leaves it.
  mac::SysctlReply procArgs2(std::int32_t pid, std::span<std::byte> buffer) override {
    const bool restricted = [&] {
      auto found = std::ranges::find(processes, pid, &P::pid);
      return found != processes.end() && found->restricted;
    }();
    P* p = lookup(buffer.empty() ? "args?" : "args", pid, false, !buffer.empty() || restricted);
    const std::size_t room = buffer.size() - 4;  // wraps below 4, as the kernel's does
    if (p == nullptr || p->kernel ||
        (!buffer.empty() && (room == 0 || room > std::size_t(arg_max)))) {
      return {-1, buffer.size()};
    }
    std::string text = p->path + '\0';
    text.resize((text.size() + 7) / 8 * 8, '\0');
    for (const auto* strings : {&p->argv, &p->env}) {
      for (const std::string& s : *strings) text.append(s).push_back('\0');
    }
    text = p->area.value_or(text.append("ptr_munge=").append(1, '\0'));
    if (restricted) {
      // The path with every NUL after it, then argc strings: one string further when an empty
      // argv[0] hides among the path's NULs.
      std::size_t kept = 0;
      for (std::size_t i = 0; i < p->argv.size() + 1 && kept < text.size(); ++i) {
        const std::size_t remaining = text.size() - kept;
        std::size_t length = strnlen(text.data() + kept, remaining);
        if (length < remaining) ++length;
        while (i == 0 && length < remaining && text[kept + length] == '\0') ++length;
        kept += length;
      }
      text.resize(kept);
    }
    const auto area = std::as_bytes(std::span(text));
    if (buffer.empty()) {
      if (auto hook = std::exchange(p->after_probe, nullptr)) hook(*p);
      return {0, (area.size() + 4 + 3) / 4 * 4};
    }
    const auto argc = static_cast<std::int32_t>(p->argv.size());
    std::memcpy(buffer.data(), &argc, 4);
    const std::size_t copied = std::min(room, area.size());
    std::copy(area.end() - static_cast<std::ptrdiff_t>(copied), area.end(), buffer.begin() + 4);
    const auto pages = [](std::size_t n) { return (n + 16383) / 16384 * 16384; };
    const std::size_t zeroed = copied < area.size() ? std::min(pages(room) - room, room) : 0;
    std::fill(buffer.begin() + 4 + static_cast<std::ptrdiff_t>(copied - zeroed),
              buffer.begin() + 4 + static_cast<std::ptrdiff_t>(copied), std::byte{0});
    return {0, copied + 4};
  }

  // kqueue_body (kern_event.c): a new descriptor each time. Neither it nor the scan of a queue
  // reads a process, so neither is logged.
  int kqueue() override { return next_queue_++; }
  // filt_procattach (kern_event.c): proc_find, so ESRCH for a zombie or a process passing through
  // exit as for none; an exit before the attach is never reported. The model refuses another
  // user's process too, as the real call does only for NOTE_EXITSTATUS.
  int watchProcess(int queue, std::int32_t pid) override {
    if (lookup("watch", pid, false, true) == nullptr) return -1;
    knotes_.push_back({queue, pid});
    return 0;
  }
  // kqueue_scan (kern_event.c): the fired knotes, each once; an exited one is gone.
  void takeNotes(int queue, std::vector<mac::ProcNote>& out) override {
    std::erase_if(knotes_, [&](Knote& k) {
      if (k.queue != queue || !k.fired()) return false;
      out.push_back({k.pid, k.exited, std::exchange(k.forked, false)});
      return k.exited;
    });
  }
  void closeQueue(int queue) override {
    std::erase_if(knotes_, [&](const Knote& k) { return k.queue == queue; });
  }

 private:
  // Logs the call and finds its process. proc_find finds no zombie, nor a process passing through
  // fork or exit, and proc_security_policy (proc_info.c) refuses another user's process to all
  // but root.
  P* lookup(const char* call, std::int32_t pid, bool zombies, bool checked) {
    calls.push_back(std::string(call) + " " + std::to_string(pid));
    auto found = std::ranges::find(processes, pid, &P::pid);
    P* p = found == processes.end() || found->passing ? nullptr : &*found;
    const bool refused = p != nullptr && checked && sidecar_uid != ROOT && sidecar_uid != p->uid;
    return p == nullptr || refused || (!zombies && p->stat == mac::STATUS_ZOMBIE) ? nullptr : p;
  }
  static mac::BsdInfo bsdOf(const P& p) {
    return {p.stat, p.ppid, p.uid, p.comm().substr(0, 15), p.start_s, p.start_us};
  }
  static mac::KinfoProc kinfoOf(const P& p) {
    return {p.pid, p.start_s, p.start_us, p.stat, p.comm(), p.ppid, p.uid};
  }
  static std::uint64_t handleOf(const P& p, const FakeThread& thread) {
    return p.kernel ? 0 : thread.handle;
  }

  bool overriding_ = false;  // the overrides apply to the listing under way
  struct Knote {
    int queue = 0;
    std::int32_t pid = 0;
    bool exited = false, forked = false;
    bool fired() const { return exited || forked; }
  };
  std::vector<Knote> knotes_;
  int next_queue_ = 100;
};

}  // namespace procsampler::testing
