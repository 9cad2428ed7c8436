// The live /proc layer. Paths are opened relative to one descriptor of /proc held for the
// object's life, and kept descriptors are read with pread from offset 0, which makes the kernel
// produce the file anew. Every file but cmdline is read whole into one buffer that only ever
// grows, so a refresh allocates nothing once the buffer has reached the largest file seen;
// cmdline, which a process can make megabytes long, goes through a fixed buffer in pieces. Exits
// are watched with pidfds in an epoll set that is only ever drained, never waited on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "sampling/linux/proc_files.h"

namespace procsampler::sampling::procfs {
namespace {

// Descriptors left to the rest of the sidecar and to the table's passing reads when the table
// keeps as many as it may.
constexpr std::size_t RESERVED_DESCRIPTORS = 64;

ReadStatus statusFromErrno(int error) {
  if (error == ENOENT || error == ESRCH) return ReadStatus::Gone;
  if (error == EMFILE || error == ENFILE) return ReadStatus::NoDescriptor;
  return ReadStatus::Unreadable;
}

// The system call itself: glibc has wrapped it only since 2.30, and the sidecar is to run on older.
ssize_t readDirectoryEntries(int dirFd, char* buffer, std::size_t size) {
  return ::syscall(SYS_getdents64, dirFd, buffer, size);
}

// "PID/name" with its terminating NUL; 10 digits hold any 32-bit pid.
class PidPath {
 public:
  PidPath(Pid pid, std::string_view name) { append(pid).append(name).text_[length_] = '\0'; }
  const char* c_str() const { return text_; }

 private:
  PidPath& append(Pid pid) {
    length_ = static_cast<std::size_t>(
        std::to_chars(text_ + length_, text_ + length_ + 10, pid).ptr - text_);
    text_[length_++] = '/';
    return *this;
  }
  PidPath& append(std::string_view name) {
    std::memcpy(text_ + length_, name.data(), name.size());
    length_ += name.size();
    return *this;
  }
  char text_[10 + 1 + 9 + 1];
  std::size_t length_ = 0;
};

std::string_view fileName(PidFile file) {
  switch (file) {
    case PidFile::Statm:
      return "statm";
    case PidFile::Io:
      return "io";
    case PidFile::Schedstat:
      return "schedstat";
    case PidFile::Status:
      return "status";
    case PidFile::Stat:
      break;
  }
  return "stat";
}

// Appends the numeric names of a directory listing (the pids of /proc) to out.
bool listNumbers(int dirFd, char* buffer, std::size_t size, std::vector<Pid>& out) {
  if (::lseek(dirFd, 0, SEEK_SET) != 0) return false;
  while (true) {
    const ssize_t n = readDirectoryEntries(dirFd, buffer, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      Pid pid = 0;
      const char* name = entry->d_name;
      const char* end = name + std::strlen(name);
      auto [ptr, ec] = std::from_chars(name, end, pid);
      if (ec == std::errc() && ptr == end && name[0] != '0') out.push_back(pid);
    }
  }
}

class LiveProcFiles final : public ProcFiles {
 public:
  LiveProcFiles() : procFd_(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~LiveProcFiles() override {
    for (const int fd : {procFd_, systemStatFd_, memInfoFd_, epollFd_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  LiveProcFiles(const LiveProcFiles&) = delete;
  LiveProcFiles& operator=(const LiveProcFiles&) = delete;

  bool listPids(std::vector<Pid>& out) override {
    out.clear();
    return procFd_ >= 0 && listNumbers(procFd_, dents_, sizeof dents_, out);
  }

  ReadStatus readPidFile(Pid pid, PidFile file, Handle& handle, bool keep,
                         std::string_view& text) override {
    // The per-process files are produced whole by one read when the buffer can hold them, so a
    // short read is the end; going on to see 0 would cost a system call per file.
    return withFile(PidPath(pid, fileName(file)).c_str(), handle, keep,
                    [&](int fd) { return readWhole(fd, true, text); });
  }

  ReadStatus readCommandLine(Pid pid, Handle& handle, bool keep, std::size_t limit,
                             const std::function<bool(std::string_view)>& take) override {
    return withFile(PidPath(pid, "cmdline").c_str(), handle, keep, [&](int fd) {
      for (std::size_t offset = 0; offset < limit;) {
        const std::size_t wanted = std::min(sizeof cmdline_, limit - offset);
        const ssize_t n = ::pread(fd, cmdline_, wanted, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return statusFromErrno(errno);
        if (n == 0 || !take(std::string_view(cmdline_, static_cast<std::size_t>(n)))) break;
        // The kernel fills the whole request while it has data, so a short read is the end.
        if (static_cast<std::size_t>(n) < wanted) break;
        offset += static_cast<std::size_t>(n);
      }
      return ReadStatus::Ok;
    });
  }

  ReadStatus readExeLink(Pid pid, std::string_view& target) override {
    if (procFd_ < 0) return ReadStatus::Unreadable;
    ssize_t n = ::readlinkat(procFd_, PidPath(pid, "exe").c_str(), link_, sizeof link_);
    if (n < 0) return statusFromErrno(errno);
    if (static_cast<std::size_t>(n) == sizeof link_) return ReadStatus::Unreadable;  // cut short
    target = std::string_view(link_, static_cast<std::size_t>(n));
    return ReadStatus::Ok;
  }

  ReadStatus readSystemStat(std::string_view& text) override {
    // /proc/stat is written line by line and a read may stop at a line boundary, so read to 0.
    return withFile("stat", systemStatFd_, true,
                    [&](int fd) { return readWhole(fd, false, text); });
  }

  ReadStatus readMemInfo(std::string_view& text) override {
    return withFile("meminfo", memInfoFd_, true,
                    [&](int fd) { return readWhole(fd, false, text); });
  }

  std::chrono::nanoseconds readBootClock() override {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  }

  void closeHandle(Handle handle) override {
    if (handle >= 0) ::close(handle);
  }

  ReadStatus watchExit(Pid pid, Handle& handle) override {
    if (epollFd_ < 0 && (epollFd_ = ::epoll_create1(EPOLL_CLOEXEC)) < 0) {
      return statusFromErrno(errno);
    }
    const long pidfd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
    if (pidfd < 0) return statusFromErrno(errno);
    // One-shot: an exited process's pidfd stays readable, and is to be reported once.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = pid;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, static_cast<int>(pidfd), &event) != 0) {
      const int error = errno;
      ::close(static_cast<int>(pidfd));
      // ENOSPC: the user's epoll watches (max_user_watches) have run out.
      return error == ENOSPC || error == ENOMEM ? ReadStatus::NoDescriptor : ReadStatus::Unreadable;
    }
    handle = static_cast<Handle>(pidfd);
    return ReadStatus::Ok;
  }

  void takeExits(std::vector<Pid>& out) override {
    if (epollFd_ < 0) return;
    epoll_event events[256];
    int n;
    do {
      n = ::epoll_wait(epollFd_, events, 256, 0);
      for (int i = 0; i < n; ++i) out.push_back(static_cast<Pid>(events[i].data.u64));
    } while (n == 256 || (n < 0 && errno == EINTR));
  }

  std::optional<int> exitSignal() const override {
    return epollFd_ < 0 ? std::nullopt : std::optional<int>(epollFd_);
  }

 private:
  // Reads through handle, or opens path and reads, keeping the descriptor in handle when asked.
  template <typename Read>
  ReadStatus withFile(const char* path, Handle& handle, bool keep, Read&& read) {
    if (handle >= 0) return read(handle);
    if (procFd_ < 0) return ReadStatus::Unreadable;
    const int fd = ::openat(procFd_, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return statusFromErrno(errno);
    const ReadStatus status = read(fd);
    if (keep && status == ReadStatus::Ok) {
      handle = fd;
    } else {
      ::close(fd);
    }
    return status;
  }

  ReadStatus readWhole(int fd, bool shortReadEnds, std::string_view& text) {
    std::size_t length = 0;
    while (true) {
      if (length == capacity_) grow();
      const ssize_t n =
          ::pread(fd, buffer_.get() + length, capacity_ - length, static_cast<off_t>(length));
      if (n < 0) {
        if (errno == EINTR) continue;
        return statusFromErrno(errno);
      }
      if (n == 0) break;
      length += static_cast<std::size_t>(n);
      if (shortReadEnds && length < capacity_) break;
    }
    text = std::string_view(buffer_.get(), length);
    return ReadStatus::Ok;
  }

  void grow() {
    std::size_t bigger = capacity_ * 2;
    auto replacement = std::make_unique_for_overwrite<char[]>(bigger);
    std::memcpy(replacement.get(), buffer_.get(), capacity_);
    buffer_ = std::move(replacement);
    capacity_ = bigger;
  }

  int procFd_;
  int systemStatFd_ = -1;
  int memInfoFd_ = -1;
  int epollFd_ = -1;
  std::size_t capacity_ = 4096;
  std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(4096);
  alignas(dirent64) char dents_[32768];
  char link_[4096];
  // Enough for the part of an argument area the table reads (a reported command's 16 KiB and a
  // little) in one read.
  char cmdline_[32768];
};

// Descriptors open in this process now, counted in its fd directory.
std::size_t openDescriptors() {
  const int fd = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  alignas(dirent64) char buffer[4096];
  std::size_t count = 0;
  for (ssize_t n; (n = readDirectoryEntries(fd, buffer, sizeof buffer)) > 0;) {
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      if (entry->d_name[0] != '.') ++count;
    }
  }
  ::close(fd);
  return count;
}

}  // namespace

std::unique_ptr<ProcFiles> makeLiveProcFiles() { return std::make_unique<LiveProcFiles>(); }

std::size_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = soft;
  }
  const std::size_t spare = RESERVED_DESCRIPTORS + openDescriptors();
  return limit.rlim_cur > spare ? static_cast<std::size_t>(limit.rlim_cur) - spare : 0;
}

}  // namespace procsampler::sampling::procfs
