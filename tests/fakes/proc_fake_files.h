// An in-memory /proc for the Linux table's tests: processes as plain values rendered into the
// kernel's formats at each read, failures scripted per call, and a log of every call so a test can
// assert which files a table read. Handles and pidfds follow the kernel: bound to the process
// (pid and start) they were opened on, so a reused pid reads as gone through them; a watched
// process's exit is reported once, at its zombie state or its end. mirror() makes a twin.
#pragma once

#include <functional>
#include <map>

#include "sampling/linux/proc_files.h"

namespace procsampler::testing {

struct FakeProc {
  sampling::Pid pid = 0, ppid = 1;
  std::string comm = "proc";
  std::uint64_t starttime = 0;   // ticks after boot
  std::string cmdline{}, exe{};  // the raw NUL-separated text; the link's target
  char state = 'S';
  // Ticks, then bytes, except rss in pages.
  std::uint64_t utime = 0, stime = 0, vsize = 0, rss = 0, readBytes = 0, writeBytes = 0;
  std::vector<sampling::Pid> threads{};  // beside the leader, whose id is the pid
  // schedstat's run time is the CPU ticks' plus this, which any run without a tick (an exec, a
  // new title) must move: a process changes nothing of its own without running.
  std::uint64_t ranNs = 0;
  // statm's resident pages, exact where stat's rss is the kernel's approximation.
  std::uint64_t resident = 0;
  std::uint32_t uid = 1000;  // effective; status gives the real one as 1 more
};

class FakeProcFiles final : public sampling::procfs::ProcFiles {
 public:
  using Pid = sampling::Pid;
  using Handle = sampling::procfs::Handle;
  using ReadStatus = sampling::procfs::ReadStatus;
  // The same pid and start: an exec, which keeps the process's accounting and takes a run.
  void add(FakeProc proc) {
    if (start(proc.pid) == proc.starttime) {
      const FakeProc& old = procs[proc.pid];
      proc.utime = old.utime, proc.stime = old.stime, proc.ranNs = old.ranNs + 1;
    }
    procs[proc.pid] = proc;
  }
  // As exit(2): the process turns zombie, without memory (so without cmdline or exe), and its
  // children go to the reaper, a subreaper or pid 1; with reap, it is then gone as well.
  void exitProcess(Pid pid, bool reap, Pid reaper = 1) {
    for (auto& [_, child] : procs) {
      if (child.ppid == pid) child.ppid = reaper;
    }
    if (reap) return static_cast<void>(procs.erase(pid));
    FakeProc& zombie = procs.at(pid);
    zombie.state = 'Z', zombie.cmdline.clear(), zombie.threads.clear(), zombie.resident = 0;
  }
  // Takes on the other's processes, clock, failures and races, keeping its own handles and log.
  void mirror(const FakeProcFiles& other) {
    procs = other.procs, failing = other.failing, cpuTicks = other.cpuTicks, races = other.races;
    idleTicks = other.idleTicks, iowaitTicks = other.iowaitTicks, memInfo = other.memInfo;
    sinceBoot = other.sinceBoot;
  }

  std::map<Pid, FakeProc> procs;
  std::map<std::string, ReadStatus> failing;  // by call as logged; absent: Ok, the first status
  // "list", "system", "stat 42", "statm 42", "schedstat 42", "cmdline 42", "io 42", "status 42",
  // "exe 42", "watch 42"
  std::vector<std::string> calls;
  // A change made to the machine the first time a call (as logged) is made: a race forced.
  std::map<std::string, std::function<void(FakeProcFiles&)>> races;
  std::uint64_t cpuTicks = 0;                    // summed over the two CPUs
  std::uint64_t idleTicks = 0, iowaitTicks = 0;  // of cpuTicks
  std::string memInfo =
      "MemTotal:        8000000 kB\nMemFree:  1000 kB\nMemAvailable:    6000000 kB\n";
  std::chrono::nanoseconds sinceBoot{0};  // the boot clock
  std::size_t cmdlineBytes = 0;           // of cmdline, handed over in pieces of 5 bytes
  // Handles and pidfds the process may hold, an open in passing included (EMFILE beyond).
  std::size_t descriptorLimit = SIZE_MAX;

  bool listPids(std::vector<Pid>& out) override {
    out.clear();
    for (const auto& item : procs) out.push_back(item.first);
    calls.push_back("list");
    return failing["list"] == ReadStatus::Ok;
  }
  ReadStatus readPidFile(Pid pid, sampling::procfs::PidFile file, Handle& handle, bool keep,
                         std::string_view& text) override {
    // In PidFile order.
    constexpr const char* kNames[] = {"stat", "statm", "io", "schedstat", "status"};
    return read(kNames[static_cast<int>(file)], pid, handle, keep, text);
  }
  // In pieces of 5 bytes, counting the bytes handed over.
  ReadStatus readCommandLine(Pid pid, Handle& handle, bool keep, std::size_t limit,
                             const std::function<bool(std::string_view)>& take) override {
    std::string_view text;
    const ReadStatus status = read("cmdline", pid, handle, keep, text);
    text = text.substr(0, limit);
    for (std::size_t at = 0; status == ReadStatus::Ok && at < text.size(); at += 5) {
      const std::string_view piece = text.substr(at, 5);
      cmdlineBytes += piece.size();
      if (!take(piece)) break;
    }
    return status;
  }
  ReadStatus readExeLink(Pid pid, std::string_view& to) override {
    Handle none = sampling::procfs::NO_HANDLE;
    return read("exe", pid, none, false, to);
  }
  // Guest time follows the eight counted fields, which already hold it.
  ReadStatus readSystemStat(std::string_view& text) override {
    calls.push_back("system");
    text = buffer_ = "cpu  " + n(cpuTicks - idleTicks - iowaitTicks) + " 0 0 " + n(idleTicks) +
                     " " + n(iowaitTicks) + " 0 0 0 " + n(cpuTicks) +
                     " 0\ncpu0 1 2 3 4\ncpu1 5 6 7 8\n";
    return failing["system"];
  }
  ReadStatus readMemInfo(std::string_view& text) override {
    text = buffer_ = memInfo;
    return failing["meminfo"];
  }
  std::chrono::nanoseconds readBootClock() override { return sinceBoot; }
  void closeHandle(Handle handle) override { bound_.erase(handle); }

  ReadStatus watchExit(Pid pid, Handle& handle) override {
    ReadStatus status = logged("watch", pid);
    if (status == ReadStatus::Ok && bound_.size() >= descriptorLimit) {
      status = ReadStatus::NoDescriptor;
    }
    if (status == ReadStatus::Ok) handle = ++lastHandle_, bound_[handle] = {pid, start(pid), true};
    return status;
  }
  void takeExits(std::vector<Pid>& out) override {
    for (auto& [handle, bound] : bound_) {
      if (bound.watch && (start(bound.pid) != bound.starttime || procs[bound.pid].state == 'Z')) {
        bound.watch = false, out.push_back(bound.pid);  // once
      }
    }
  }

 private:
  // clang-format off
  struct Bound { Pid pid; std::uint64_t starttime; bool watch; };  // a handle's process; a pidfd?
  // clang-format on
  static std::string n(std::uint64_t value) { return std::to_string(value); }
  // The start of the process that holds pid, or none when none does.
  std::uint64_t start(Pid pid) const {
    const auto held = procs.find(pid);
    return held == procs.end() ? UINT64_MAX : held->second.starttime;
  }
  // Logs the call; Gone when no process holds pid, else what is scripted for it.
  ReadStatus logged(const std::string& file, Pid pid) {
    calls.push_back(file + " " + n(pid));
    if (auto race = races.extract(calls.back())) race.mapped()(*this);
    return procs.count(pid) ? failing[calls.back()] : ReadStatus::Gone;
  }
  ReadStatus read(const std::string& file, Pid pid, Handle& handle, bool keep,
                  std::string_view& text) {
    const bool through = handle != sampling::procfs::NO_HANDLE;
    ReadStatus status = logged(file, pid);
    if (!through && file != "exe" && bound_.size() >= descriptorLimit) {
      status = ReadStatus::NoDescriptor;
    }
    if (through && bound_.at(handle).starttime != start(pid)) status = ReadStatus::Gone;
    // A zombie has no memory: its exe link is gone and its command line empty.
    if (status != ReadStatus::Ok || (file == "exe" && procs[pid].state == 'Z')) {
      return status == ReadStatus::Ok ? ReadStatus::Gone : status;
    }
    const FakeProc& p = procs[pid];
    if (file == "stat") {
      text = buffer_ = n(pid) + " (" + p.comm + ") " + p.state + " " + n(p.ppid) +
                       " 7 7 0 -1 4194304 100 0 0 0 " + n(p.utime) + " " + n(p.stime) +
                       " 0 0 20 0 " + n(1 + p.threads.size()) + " 0 " + n(p.starttime) + " " +
                       n(p.vsize) + " " + n(p.rss) + "\n";
    } else if (file == "statm") {
      text = buffer_ = n(p.vsize / 4096) + " " + n(p.resident) + " 0 0 0 0 0\n";
    } else if (file == "io") {
      text = buffer_ = "read_bytes: " + n(p.readBytes) + "\nwrite_bytes: " + n(p.writeBytes);
    } else if (file == "status") {
      text = buffer_ = "Name:\t" + p.comm + "\nUid:\t" + n(p.uid + 1) + "\t" + n(p.uid) + "\t" +
                       n(p.uid) + "\t" + n(p.uid) + "\n";
    } else if (file == "schedstat") {
      text = buffer_ = n((p.utime + p.stime) * 10'000'000 + p.ranNs) + " 0 1\n";
    } else {
      text = buffer_ = file == "exe" ? p.exe : p.cmdline;
    }
    if (keep && !through) handle = ++lastHandle_, bound_[handle] = {pid, p.starttime, false};
    return status;
  }
  std::string buffer_;
  std::map<Handle, Bound> bound_;
  Handle lastHandle_ = 0;
};

}  // namespace procsampler::testing
