// What the Linux benchmarks share: a crowd of sleeping children to give the machine 2000+
// processes, and the bare /proc pass every refresh cost is measured against.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <vector>

namespace procsampler::bench {

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

}  // namespace procsampler::bench
