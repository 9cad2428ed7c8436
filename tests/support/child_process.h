// A program started on pipes, as a host starts the sidecar. One thread may write while another
// reads; everything else belongs to the owning thread. Pipes are close-on-exec (no pipe2 on
// macOS), so each child gets only its own ends even when several run at once.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace procsampler::testing {

// How long a read waits for the child before giving up on it: long, because a loaded machine may
// leave a child unscheduled for seconds, and a wait that gives up says so in the failure.
inline constexpr int CHILD_STALL_MS = 60000;

class ChildProcess {
 public:
  // A standard stream that is not to be open is closed in the child. Lines read are logged to the
  // file PROCSAMPLER_EVENT_LOG names, with eventLogSuffix appended, when it is set.
  explicit ChildProcess(const char* path, bool stdinOpen = true, bool stdoutOpen = true,
                        const std::vector<std::string>& arguments = {},
                        const std::string& eventLogSuffix = "") {
    std::vector<char*> argv{const_cast<char*>(path)};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::signal(SIGPIPE, SIG_IGN);  // the host must see a closed pipe as an error, not die of it
    const bool open[3] = {stdinOpen, stdoutOpen, true};
    int fds[3][2];  // per stream: read end, write end; the child gets [0][0], [1][1], [2][1]
    for (auto& ends : fds) {
      if (::pipe(ends) == 0)
        for (const int fd : ends) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if ((pid_ = ::fork()) == 0) {  // only async-signal-safe calls until exec
      for (int i = 0; i < 3; ++i) open[i] ? ::dup2(fds[i][i == 0 ? 0 : 1], i) : ::close(i);
      ::signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
      ::execv(path, argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 3; ++i) {
      ::close(fds[i][i == 0 ? 0 : 1]);
      fd_[i] = fds[i][i == 0 ? 1 : 0];
    }
    // Every line read is also appended there, for checking against the event schema afterwards.
    if (const char* log = std::getenv("PROCSAMPLER_EVENT_LOG")) {
      eventLog_ =
          ::open((log + eventLogSuffix).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_ && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    for (int stream = 0; stream < 3; ++stream) closeFd(stream);
    if (eventLog_ >= 0) ::close(eventLog_);
  }

  pid_t pid() const { return pid_; }
  // A blocking write to a pipe takes every byte unless the reading end is gone.
  bool write(std::string_view bytes) {
    return ::write(fd_[0], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  void closeFd(int stream) {  // 0: the child's input ends; 1: its next write fails
    if (fd_[stream] >= 0) ::close(fd_[stream]);
    fd_[stream] = -1;
  }
  // The next output line without its line feed; nothing once output ends or stalls for timeoutMs.
  std::optional<std::string> readLine(int timeoutMs = CHILD_STALL_MS) {
    std::size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
      if (readMore(1, pending_, timeoutMs) <= 0) return std::nullopt;
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    // One write per line, so lines of children read at the same time never interleave.
    const std::string logged = "< " + line + "\n";
    if (eventLog_ >= 0 && ::write(eventLog_, logged.data(), logged.size()) < 0) {
      ::close(std::exchange(eventLog_, -1));  // logging ends; the lines go on
    }
    return line;
  }
  // Whether output is waiting to be read, within timeoutMs; nothing is read.
  bool outputWaiting(int timeoutMs = CHILD_STALL_MS) {
    pollfd ready{fd_[1], POLLIN, 0};
    return !pending_.empty() || (fd_[1] >= 0 && ::poll(&ready, 1, timeoutMs) > 0);
  }
  // The rest of the output, to its end or a stall of CHILD_STALL_MS, lines or not; a slow host
  // pauses after each read.
  std::string readRest(std::chrono::microseconds pause = {}) {
    std::string rest = std::exchange(pending_, {});
    while (readMore(1, rest, CHILD_STALL_MS) > 0) std::this_thread::sleep_for(pause);
    return rest;
  }
  // Reads standard error to its end, which comes when the child ends; a child still writing
  // nothing after CHILD_STALL_MS is killed (endSignal then says SIGKILL). The exit code, or
  // nothing when a signal ended the child (then in endSignal).
  std::optional<int> waitForExit() {
    ssize_t got;
    while ((got = readMore(2, errorOutput, CHILD_STALL_MS)) > 0) continue;
    if (pid_ <= 0) return std::nullopt;
    if (got < 0) ::kill(pid_, SIGKILL);
    int status = 0;
    exited_ = ::waitpid(pid_, &status, 0) == pid_;
    if (exited_ && WIFSIGNALED(status)) endSignal = WTERMSIG(status);
    if (got < 0 || !exited_ || !WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
  }
  std::string errorOutput;  // what waitForExit read
  int endSignal = 0;

 private:
  // Bytes appended, 0 at the end of the stream, -1 when nothing came within timeoutMs.
  ssize_t readMore(int stream, std::string& into, int timeoutMs) {
    pollfd ready{fd_[stream], POLLIN, 0};
    if (fd_[stream] < 0 || ::poll(&ready, 1, timeoutMs) <= 0) return -1;
    char chunk[65536];
    const ssize_t n = ::read(fd_[stream], chunk, sizeof chunk);
    if (n > 0) into.append(chunk, static_cast<std::size_t>(n));
    return n;
  }

  pid_t pid_ = -1;
  int fd_[3] = {-1, -1, -1};  // the host's ends of the child's input, output and error
  std::string pending_;       // output read but not yet returned as a line
  bool exited_ = false;
  int eventLog_ = -1;  // PROCSAMPLER_EVENT_LOG opened for appending, when set
};

}  // namespace procsampler::testing
