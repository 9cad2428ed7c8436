// An in-memory /proc for the Linux table's tests: processes as plain values rendered into the
// kernel's text formats on each read, scripted failures per file, and a log of every call so a
// test can assert which files a refresh read.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sampling/linux/proc_files.h"

namespace procsampler::testing {

struct FakeProc {
  sampling::Pid pid = 0;
  std::string comm = "proc";
  char state = 'S';
  sampling::Pid ppid = 1;
  std::uint64_t utime = 0;
  std::uint64_t stime = 0;
  std::uint64_t starttime = 0;  // ticks after boot
  std::uint64_t vsize = 0;
  std::uint64_t rss = 0;  // pages
  std::string cmdline{};  // raw, NUL-separated
  std::string exe{};      // link target
  std::uint64_t readBytes = 0;
  std::uint64_t writeBytes = 0;
  sampling::procfs::ReadStatus statStatus = sampling::procfs::ReadStatus::Ok;
  sampling::procfs::ReadStatus cmdlineStatus = sampling::procfs::ReadStatus::Ok;
  sampling::procfs::ReadStatus ioStatus = sampling::procfs::ReadStatus::Ok;
  sampling::procfs::ReadStatus exeStatus = sampling::procfs::ReadStatus::Ok;
  std::string statOverride{};  // when set, read instead of the line built from the fields
};

// A stat line in the kernel's layout, with the fields the table does not use set to plausible
// values.
inline std::string fakeStatLine(const FakeProc& p) {
  return std::to_string(p.pid) + " (" + p.comm + ") " + p.state + " " + std::to_string(p.ppid) +
         " 7 7 0 -1 4194304 100 0 0 0 " + std::to_string(p.utime) + " " + std::to_string(p.stime) +
         " 0 0 20 0 1 0 " + std::to_string(p.starttime) + " " + std::to_string(p.vsize) + " " +
         std::to_string(p.rss) + " 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
}

class FakeProcFiles final : public sampling::procfs::ProcFiles {
 public:
  using ReadStatus = sampling::procfs::ReadStatus;
  using PidFile = sampling::procfs::PidFile;

  void add(const FakeProc& proc) { procs[proc.pid] = proc; }
  FakeProc& at(sampling::Pid pid) { return procs.at(pid); }
  // The aggregate cpu line carries elapsed ticks in its first four fields and guest time that
  // must not be counted twice; cpus per-CPU lines follow.
  void setCpu(std::uint64_t elapsedTicks, int cpus, std::uint64_t bootTime = 1'699'990'000) {
    std::uint64_t quarter = elapsedTicks / 4;
    systemStat = "cpu  " + std::to_string(quarter) + " " + std::to_string(quarter) + " " +
                 std::to_string(quarter) + " " + std::to_string(elapsedTicks - 3 * quarter) +
                 " 0 0 0 0 " + std::to_string(quarter) + " 5\n";
    for (int i = 0; i < cpus; ++i)
      systemStat += "cpu" + std::to_string(i) + " 1 2 3 4 0 0 0 0 0 0\n";
    systemStat += "intr 1 2 3\nctxt 99\nbtime " + std::to_string(bootTime) + "\nprocesses 9\n";
  }
  std::size_t count(const std::string& call) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c == call;
    return n;
  }

  std::map<sampling::Pid, FakeProc> procs;
  std::set<sampling::Pid> vanishAfterListing;  // listed, then gone before any file is read
  bool listingFails = false;
  std::string systemStat;
  ReadStatus systemStatStatus = ReadStatus::Ok;
  std::vector<std::string> calls;  // "list", "system", "stat 42", "cmdline 42", "io 42", "exe 42"

  bool listPids(std::vector<sampling::Pid>& out) override {
    calls.push_back("list");
    out.clear();
    if (listingFails) return false;
    for (const auto& [pid, proc] : procs) out.push_back(pid);
    for (sampling::Pid pid : vanishAfterListing) procs.erase(pid);
    return true;
  }

  ReadStatus readPidFile(sampling::Pid pid, PidFile file, std::string_view& text) override {
    static constexpr const char* kNames[] = {"stat", "cmdline", "io"};
    calls.push_back(std::string(kNames[static_cast<int>(file)]) + " " + std::to_string(pid));
    auto it = procs.find(pid);
    if (it == procs.end()) return ReadStatus::Gone;
    const FakeProc& p = it->second;
    ReadStatus status = ReadStatus::Ok;
    switch (file) {
      case PidFile::Stat:
        status = p.statStatus;
        buffer_ = p.statOverride.empty() ? fakeStatLine(p) : p.statOverride;
        break;
      case PidFile::Cmdline:
        status = p.cmdlineStatus;
        buffer_ = p.cmdline;
        break;
      case PidFile::Io:
        status = p.ioStatus;
        buffer_ =
            "rchar: 1\nwchar: 2\nsyscr: 3\nsyscw: 4\nread_bytes: " + std::to_string(p.readBytes) +
            "\nwrite_bytes: " + std::to_string(p.writeBytes) + "\ncancelled_write_bytes: 0\n";
        break;
    }
    text = buffer_;
    return status;
  }

  ReadStatus readExeLink(sampling::Pid pid, std::string_view& target) override {
    calls.push_back("exe " + std::to_string(pid));
    auto it = procs.find(pid);
    if (it == procs.end()) return ReadStatus::Gone;
    buffer_ = it->second.exe;
    target = buffer_;
    return it->second.exeStatus;
  }

  ReadStatus readSystemStat(std::string_view& text) override {
    calls.push_back("system");
    text = systemStat;
    return systemStatStatus;
  }

 private:
  std::string buffer_;
};

}  // namespace procsampler::testing
