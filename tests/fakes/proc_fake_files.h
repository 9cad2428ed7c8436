// An in-memory /proc for the Linux table's tests: processes as plain values rendered into the
// kernel's formats at each read, failures scripted per call, and a log of every call so a test can
// assert which files a table read. A copy is a twin of the whole world.
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
};

class FakeProcFiles final : public sampling::procfs::ProcFiles {
 public:
  using Pid = sampling::Pid;
  using ReadStatus = sampling::procfs::ReadStatus;
  void add(const FakeProc& proc) { procs[proc.pid] = proc; }

  std::map<Pid, FakeProc> procs;
  std::map<std::string, ReadStatus> failing;  // by call as logged; absent: Ok, the first status
  std::vector<std::string> calls;  // "list", "system", "stat 42", "cmdline 42", "io 42", "exe 42"
  std::uint64_t cpuTicks = 0;      // summed over the two CPUs
  std::size_t cmdlinePiece = 5, cmdlineBytes = 0;  // cmdline's piece size; the bytes handed over

  bool listPids(std::vector<Pid>& out) override {
    out.clear();
    for (const auto& item : procs) out.push_back(item.first);
    calls.push_back("list");
    return failing["list"] == ReadStatus::Ok;
  }
  ReadStatus readPidFile(Pid pid, sampling::procfs::PidFile file, std::string_view& text) override {
    return read(file == sampling::procfs::PidFile::Stat ? "stat" : "io", pid, text);
  }
  // In pieces of cmdlinePiece bytes, counting the bytes handed over.
  ReadStatus readCommandLine(Pid pid, const std::function<bool(std::string_view)>& take) override {
    std::string_view text;
    const ReadStatus status = read("cmdline", pid, text);
    for (std::size_t at = 0; status == ReadStatus::Ok && at < text.size(); at += cmdlinePiece) {
      const std::string_view piece = text.substr(at, cmdlinePiece);
      cmdlineBytes += piece.size();
      if (!take(piece)) break;
    }
    return status;
  }
  ReadStatus readExeLink(Pid pid, std::string_view& to) override { return read("exe", pid, to); }
  // Guest time follows the eight counted fields, which already hold it.
  ReadStatus readSystemStat(std::string_view& text) override {
    calls.push_back("system");
    text = buffer_ = "cpu  " + n(cpuTicks) + " 0 0 0 0 0 0 0 " + n(cpuTicks) +
                     " 0\ncpu0 1 2 3 4\ncpu1 5 6 7 8\n";
    return failing["system"];
  }

 private:
  static std::string n(std::uint64_t value) { return std::to_string(value); }
  ReadStatus read(const std::string& file, Pid pid, std::string_view& text) {
    calls.push_back(file + " " + n(pid));
    if (!procs.count(pid)) return ReadStatus::Gone;
    const FakeProc& p = procs[pid];
    std::string stat = n(pid) + " (" + p.comm + ") " + p.state + " " + n(p.ppid) +
                       " 7 7 0 -1 4194304 100 0 0 0 " + n(p.utime) + " " + n(p.stime) +
                       " 0 0 20 0 1 0 " + n(p.starttime) + " " + n(p.vsize) + " " + n(p.rss) + "\n";
    std::string io = "read_bytes: " + n(p.readBytes) + "\nwrite_bytes: " + n(p.writeBytes) + "\n";
    text = buffer_ = file == "stat" ? stat : file == "io" ? io : file == "exe" ? p.exe : p.cmdline;
    return failing[calls.back()];
  }
  std::string buffer_;
};

}  // namespace procsampler::testing
