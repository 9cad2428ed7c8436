// What the Linux benchmarks share: a crowd of sleeping children to give the machine 2000+
// processes, a small tree of sleepers to snapshot, the bare /proc passes every cost is measured
// against, and a process's memory as its status file gives it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace procsampler::bench {

// A field of /proc/PID/status that the kernel gives in KiB ("VmRSS", "VmHWM"), in MiB; 0 when
// absent.
inline double statusMiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0.0;
}

// Children that sleep in pause() until killed; they die with this process if it dies first.
class SleepingChildren {
 public:
  explicit SleepingChildren(int count) {
    pid_t parent = ::getpid();
    for (int i = 0; i < count; ++i) {
      pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        while (true) ::pause();
      }
      if (pid < 0) {
        std::perror("fork");
        break;
      }
      pids_.push_back(pid);
    }
  }
  ~SleepingChildren() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }
  SleepingChildren(const SleepingChildren&) = delete;
  SleepingChildren& operator=(const SleepingChildren&) = delete;
  std::size_t size() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

// Forks count children that sleep until killed and die with this process, says so with one
// byte on ready, then sleeps too.
[[noreturn]] inline void forkSleepersAndSleep(int count, int ready) {
  for (int i = 0; i < count; ++i) {
    if (::fork() == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      while (true) ::pause();
    }
  }
  char byte = 1;
  if (::write(ready, &byte, 1) != 1) ::_exit(1);
  while (true) ::pause();
}

// Ten sleeping processes in three levels: a root, its child, four children of each. Each dies
// with its parent, so killing the root ends them all.
class SmallTree {
 public:
  SmallTree() {
    int ready[2];
    if (::pipe(ready) != 0) return;
    root_ = ::fork();
    if (root_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(ready[0]);
      if (::fork() == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        forkSleepersAndSleep(4, ready[1]);
      }
      forkSleepersAndSleep(4, ready[1]);
    }
    ::close(ready[1]);
    char bytes[2];
    for (std::size_t got = 0; root_ > 0 && got < sizeof bytes;) {
      ssize_t n = ::read(ready[0], bytes + got, sizeof bytes - got);
      if (n <= 0) {
        std::perror("small tree");
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    ::close(ready[0]);
  }
  ~SmallTree() {
    if (root_ <= 0) return;
    ::kill(root_, SIGKILL);
    ::waitpid(root_, nullptr, 0);
  }
  SmallTree(const SmallTree&) = delete;
  SmallTree& operator=(const SmallTree&) = delete;
  pid_t root() const { return root_; }

 private:
  pid_t root_ = -1;
};

// (a): what any reader of these values must at least do, with no parsing and no bookkeeping:
// open and read stat, statm, cmdline and io, and read the exe link, of every pid.
// Returns the number of pids.
inline std::size_t barePass() {
  static char buffer[65536];
  static const char* const kFiles[] = {"stat", "statm", "cmdline", "io"};
  [[maybe_unused]] static volatile ssize_t sink = 0;  // keeps the reads from being optimised away
  int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = ::fdopendir(::dup(procFd));
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    ++count;
    char path[sizeof entry->d_name + 16];
    for (const char* file : kFiles) {
      std::snprintf(path, sizeof path, "%s/%s", entry->d_name, file);
      int fd = ::openat(procFd, path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      sink = ::read(fd, buffer, sizeof buffer);
      ::close(fd);
    }
    std::snprintf(path, sizeof path, "%s/exe", entry->d_name);
    sink = ::readlinkat(procFd, path, buffer, sizeof buffer);
  }
  ::closedir(dir);
  ::close(procFd);
  return count;
}

// What finding the processes costs at the least: one getdents64 listing of /proc, counting the
// pids, through procFd from its start, or through a descriptor opened for it. Returns their
// number.
inline std::size_t bareListing(int keptProcFd = -1) {
  alignas(dirent64) static char buffer[32768];
  const int procFd =
      keptProcFd >= 0 ? keptProcFd : ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (keptProcFd >= 0) ::lseek(procFd, 0, SEEK_SET);
  std::size_t count = 0;
  for (ssize_t n; (n = ::syscall(SYS_getdents64, procFd, buffer, sizeof buffer)) > 0;) {
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++count;
    }
  }
  if (keptProcFd < 0) ::close(procFd);
  return count;
}

// What reading every process's stat costs at the least, with a descriptor of each kept open: one
// pread per pid. open() takes the descriptors for the processes there now.
class KeptStatFiles {
 public:
  ~KeptStatFiles() { close(); }
  void open() {
    close();
    DIR* dir = ::opendir("/proc");
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
      const int fd =
          ::open(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) fds_.push_back(fd);
    }
    if (dir) ::closedir(dir);
  }
  void close() {
    for (const int fd : fds_) ::close(fd);
    fds_.clear();
  }
  std::size_t pass() {
    static char buffer[4096];
    [[maybe_unused]] static volatile ssize_t sink = 0;
    for (const int fd : fds_) sink = ::pread(fd, buffer, sizeof buffer, 0);
    return fds_.size();
  }

 private:
  std::vector<int> fds_;
};

}  // namespace procsampler::bench
