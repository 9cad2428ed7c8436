// An in-memory /proc for the Linux table's tests: processes as plain values rendered into the
// kernel's formats at each read, failures scripted per call, and a log of every call so a test can
// assert which files a table read. Handles and pidfds follow the kernel: bound to the process
// (pid and start) they were opened on, so a reused pid reads as gone through them; a watched
// process's exit is reported once, at its zombie state or its end. mirror() makes a twin.
#pragma once

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
  sampling::Pid forkedBy = 0;            // the parent's thread that forked it; 0: its leader
  // schedstat's run time is the CPU ticks' plus this, which any run without a tick (an exec, a
  // new title) must move: a process changes nothing of its own without running.
  std::uint64_t ranNs = 0;
};

class FakeProcFiles final : public sampling::procfs::ProcFiles {
 public:
  using Pid = sampling::Pid;
  using Handle = sampling::procfs::Handle;
  using ReadStatus = sampling::procfs::ReadStatus;
  void add(const FakeProc& proc) { procs[proc.pid] = proc; }
  // As exit(2): the process turns zombie, without memory (so without cmdline or exe), and its
  // children go to the reaper, a subreaper or pid 1; with reap, it is then gone as well.
  void exitProcess(Pid pid, bool reap, Pid reaper = 1) {
    for (auto& [_, child] : procs) {
      if (child.ppid == pid) child.ppid = reaper, child.forkedBy = 0;
    }
    if (reap) {
      procs.erase(pid);
    } else {
      procs.at(pid).state = 'Z', procs.at(pid).cmdline.clear(), procs.at(pid).threads.clear();
    }
  }
  // Takes on the other's processes, clock and failures, keeping its own handles and log.
  void mirror(const FakeProcFiles& other) {
    procs = other.procs, failing = other.failing, cpuTicks = other.cpuTicks;
    childrenFiles = other.childrenFiles, pidfds = other.pidfds;
  }
  std::size_t openHandles() const { return bound_.size(); }

  std::map<Pid, FakeProc> procs;
  std::map<std::string, ReadStatus> failing;  // by call as logged; absent: Ok, the first status
  // "list", "system", "stat 42", "schedstat 42", "cmdline 42", "io 42", "exe 42", "watch 42",
  // "threads 42", "children 42" (one per thread)
  std::vector<std::string> calls;
  std::uint64_t cpuTicks = 0;                      // summed over the two CPUs
  std::size_t cmdlinePiece = 5, cmdlineBytes = 0;  // cmdline's piece size; the bytes handed over
  bool childrenFiles = true;
  bool pidfds = true;

  bool listPids(std::vector<Pid>& out) override {
    out.clear();
    for (const auto& item : procs) out.push_back(item.first);
    calls.push_back("list");
    return failing["list"] == ReadStatus::Ok;
  }
  ReadStatus readPidFile(Pid pid, sampling::procfs::PidFile file, Handle& handle, bool keep,
                         std::string_view& text) override {
    using sampling::procfs::PidFile;
    const char* name = file == PidFile::Stat ? "stat" : file == PidFile::Io ? "io" : "schedstat";
    return read(name, pid, handle, keep, text);
  }
  // In pieces of cmdlinePiece bytes, counting the bytes handed over.
  ReadStatus readCommandLine(Pid pid, Handle& handle, bool keep,
                             const std::function<bool(std::string_view)>& take) override {
    std::string_view text;
    const ReadStatus status = read("cmdline", pid, handle, keep, text);
    for (std::size_t at = 0; status == ReadStatus::Ok && at < text.size(); at += cmdlinePiece) {
      const std::string_view piece = text.substr(at, cmdlinePiece);
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
    text = buffer_ = "cpu  " + n(cpuTicks) + " 0 0 0 0 0 0 0 " + n(cpuTicks) +
                     " 0\ncpu0 1 2 3 4\ncpu1 5 6 7 8\n";
    return failing["system"];
  }
  void closeHandle(Handle handle) override { bound_.erase(handle); }

  bool hasChildrenFiles() override { return childrenFiles; }
  ReadStatus listThreads(Pid pid, std::vector<Pid>& out) override {
    out.clear();
    calls.push_back("threads " + n(pid));
    if (!procs.count(pid)) return ReadStatus::Gone;
    out.push_back(pid);
    out.insert(out.end(), procs[pid].threads.begin(), procs[pid].threads.end());
    return failing[calls.back()];
  }
  // A child whose forking thread has ended is listed by the leader, as the kernel hands it on.
  ReadStatus readChildren(Pid pid, Pid tid, std::string_view& text) override {
    calls.push_back("children " + n(pid));
    if (!procs.count(pid)) return ReadStatus::Gone;
    const std::vector<Pid>& threads = procs[pid].threads;
    buffer_.clear();
    for (const auto& [child, p] : procs) {
      const bool byLiveThread =
          std::find(threads.begin(), threads.end(), p.forkedBy) != threads.end();
      if (p.ppid == pid && (byLiveThread ? p.forkedBy : pid) == tid) buffer_ += n(child) + " ";
    }
    text = buffer_;
    return failing[calls.back()];
  }

  ReadStatus watchExit(Pid pid, Handle& handle) override {
    calls.push_back("watch " + n(pid));
    if (!pidfds) return ReadStatus::Unreadable;
    if (!procs.count(pid)) return ReadStatus::Gone;
    if (const ReadStatus status = failing[calls.back()]; status != ReadStatus::Ok) return status;
    handle = bind(pid, true);
    return ReadStatus::Ok;
  }
  void takeExits(std::vector<Pid>& out) override {
    for (auto& [handle, bound] : bound_) {
      if (!bound.watch || bound.reported) continue;
      const auto held = procs.find(bound.pid);
      if (!live(bound) || held->second.state == 'Z')
        bound.reported = true, out.push_back(bound.pid);
    }
  }

 private:
  struct Bound {
    Pid pid;
    std::uint64_t starttime;
    bool watch, reported = false;
  };
  static std::string n(std::uint64_t value) { return std::to_string(value); }
  bool live(const Bound& bound) const {
    const auto held = procs.find(bound.pid);
    return held != procs.end() && held->second.starttime == bound.starttime;
  }
  Handle bind(Pid pid, bool watch) {
    bound_.emplace(++lastHandle_, Bound{pid, procs[pid].starttime, watch});
    return lastHandle_;
  }
  ReadStatus read(const std::string& file, Pid pid, Handle& handle, bool keep,
                  std::string_view& text) {
    calls.push_back(file + " " + n(pid));
    const bool through = handle != sampling::procfs::NO_HANDLE;
    if (through ? !live(bound_.at(handle)) : !procs.count(pid)) return ReadStatus::Gone;
    const FakeProc& p = procs[pid];
    // A zombie has no memory: its exe link is gone and its command line empty.
    if (file == "exe" && p.state == 'Z') return ReadStatus::Gone;
    std::string stat = n(pid) + " (" + p.comm + ") " + p.state + " " + n(p.ppid) +
                       " 7 7 0 -1 4194304 100 0 0 0 " + n(p.utime) + " " + n(p.stime) +
                       " 0 0 20 0 " + n(1 + p.threads.size()) + " 0 " + n(p.starttime) + " " +
                       n(p.vsize) + " " + n(p.rss) + "\n";
    std::string io = "read_bytes: " + n(p.readBytes) + "\nwrite_bytes: " + n(p.writeBytes) + "\n";
    std::string sched = n((p.utime + p.stime) * 10'000'000 + p.ranNs) + " 0 1\n";
    text = buffer_ = file == "stat"        ? stat
                     : file == "io"        ? io
                     : file == "schedstat" ? sched
                     : file == "exe"       ? p.exe
                                           : p.cmdline;
    const ReadStatus status = failing[calls.back()];
    if (status == ReadStatus::Ok && keep && !through) handle = bind(pid, false);
    return status;
  }
  std::string buffer_;
  std::map<Handle, Bound> bound_;
  Handle lastHandle_ = 0;
};

}  // namespace procsampler::testing
