// The live /proc layer. Paths are opened relative to one descriptor of /proc held for the
// object's life. Every file but cmdline is read whole into one buffer that only ever grows, so a
// refresh allocates nothing once the buffer has reached the largest file seen; cmdline, which a
// process can make megabytes long, goes through a fixed buffer in pieces.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "sampling/linux/proc_files.h"

namespace procsampler::sampling::procfs {
namespace {

ReadStatus statusFromErrno(int error) {
  return error == ENOENT || error == ESRCH ? ReadStatus::Gone : ReadStatus::Unreadable;
}

// "PID/name" with its terminating NUL; 10 digits hold any 32-bit pid.
class PidPath {
 public:
  PidPath(Pid pid, std::string_view name) {
    char* p = std::to_chars(text_, text_ + 10, pid).ptr;
    *p++ = '/';
    std::memcpy(p, name.data(), name.size());
    p[name.size()] = '\0';
  }
  const char* c_str() const { return text_; }

 private:
  char text_[10 + 1 + 8 + 1];
};

std::string_view fileName(PidFile file) {
  switch (file) {
    case PidFile::Stat:
      return "stat";
    case PidFile::Io:
      return "io";
  }
  return "stat";
}

class LiveProcFiles final : public ProcFiles {
 public:
  LiveProcFiles() : procFd_(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~LiveProcFiles() override {
    if (procFd_ >= 0) ::close(procFd_);
  }
  LiveProcFiles(const LiveProcFiles&) = delete;
  LiveProcFiles& operator=(const LiveProcFiles&) = delete;

  bool listPids(std::vector<Pid>& out) override {
    out.clear();
    if (procFd_ < 0 || ::lseek(procFd_, 0, SEEK_SET) != 0) return false;
    while (true) {
      ssize_t n = ::getdents64(procFd_, dents_, sizeof dents_);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return true;
      for (ssize_t offset = 0; offset < n;) {
        const auto* entry = reinterpret_cast<const dirent64*>(dents_ + offset);
        offset += entry->d_reclen;
        Pid pid = 0;
        const char* name = entry->d_name;
        const char* end = name + std::strlen(name);
        auto [ptr, ec] = std::from_chars(name, end, pid);
        if (ec == std::errc() && ptr == end && name[0] != '0') out.push_back(pid);
      }
    }
  }

  ReadStatus readPidFile(Pid pid, PidFile file, std::string_view& text) override {
    // The per-process files are produced whole by one read when the buffer can hold them, so a
    // short read is the end; going on to see 0 would cost a system call per file.
    return readWhole(PidPath(pid, fileName(file)).c_str(), true, text);
  }

  ReadStatus readCommandLine(Pid pid, const std::function<bool(std::string_view)>& take) override {
    if (procFd_ < 0) return ReadStatus::Unreadable;
    const int fd = ::openat(procFd_, PidPath(pid, "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return statusFromErrno(errno);
    ReadStatus status = ReadStatus::Ok;
    for (off_t offset = 0;;) {
      const ssize_t n = ::pread(fd, cmdline_, sizeof cmdline_, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) status = statusFromErrno(errno);
      if (n <= 0 || !take(std::string_view(cmdline_, static_cast<std::size_t>(n)))) break;
      // The kernel fills the whole request while it has data, so a short read is the end.
      if (static_cast<std::size_t>(n) < sizeof cmdline_) break;
      offset += n;
    }
    ::close(fd);
    return status;
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
    return readWhole("stat", false, text);
  }

 private:
  ReadStatus readWhole(const char* path, bool shortReadEnds, std::string_view& text) {
    if (procFd_ < 0) return ReadStatus::Unreadable;
    int fd = ::openat(procFd_, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return statusFromErrno(errno);
    ReadStatus status = ReadStatus::Ok;
    std::size_t length = 0;
    while (true) {
      if (length == capacity_) grow();
      ssize_t n = ::read(fd, buffer_.get() + length, capacity_ - length);
      if (n < 0) {
        if (errno == EINTR) continue;
        status = statusFromErrno(errno);
        break;
      }
      if (n == 0) break;
      length += static_cast<std::size_t>(n);
      if (shortReadEnds && length < capacity_) break;
    }
    ::close(fd);
    text = std::string_view(buffer_.get(), length);
    return status;
  }

  void grow() {
    std::size_t bigger = capacity_ * 2;
    auto replacement = std::make_unique_for_overwrite<char[]>(bigger);
    std::memcpy(replacement.get(), buffer_.get(), capacity_);
    buffer_ = std::move(replacement);
    capacity_ = bigger;
  }

  int procFd_;
  std::size_t capacity_ = 4096;
  std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(4096);
  alignas(dirent64) char dents_[32768];
  char link_[4096];
  // Enough for any reported command (16 KiB) and its separators in one read, unless the
  // arguments hold long runs of NULs.
  char cmdline_[32768];
};

}  // namespace

std::unique_ptr<ProcFiles> makeLiveProcFiles() { return std::make_unique<LiveProcFiles>(); }

}  // namespace procsampler::sampling::procfs
