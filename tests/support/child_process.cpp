#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace procsampler::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Close-on-exec, so the child gets only the ends placed on its standard descriptors. (No pipe2:
// macOS lacks it, and no other thread of the tests starts children.)
bool makePipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int millisUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, ChildOptions options) {
  // The host side must see a closed pipe as an error, not die of it.
  ::signal(SIGPIPE, SIG_IGN);

  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (!makePipe(in) || !makePipe(out) || !makePipe(err)) return;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdinOpen) {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  if (options.stdoutOpen) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  } else {
    posix_spawn_file_actions_addclose(&actions, 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  // An ignored signal stays ignored across exec; the child must start with the default action
  // so that it is the program itself that decides to ignore SIGPIPE.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);

  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exit_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
}

bool ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (stdinFd_ < 0) return false;
    const ssize_t n = ::write(stdinFd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void ChildProcess::closeStdin() { closeFd(stdinFd_); }

void ChildProcess::closeStdout() {
  closeFd(stdoutFd_);
  outputEnded_ = true;
}

bool ChildProcess::fillOutput(Clock::time_point deadline) {
  if (stdoutFd_ < 0 || outputEnded_) return false;
  pollfd ready{stdoutFd_, POLLIN, 0};
  const int polled = ::poll(&ready, 1, millisUntil(deadline));
  if (polled <= 0) return false;
  char chunk[65536];
  const ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
  if (n < 0) return errno == EINTR;
  if (n == 0) {
    outputEnded_ = true;
    return false;
  }
  pendingOutput_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t searched = 0;
  for (;;) {
    const std::size_t end = pendingOutput_.find('\n', searched);
    if (end != std::string::npos) {
      std::string line = pendingOutput_.substr(0, end);
      pendingOutput_.erase(0, end + 1);
      return line;
    }
    searched = pendingOutput_.size();
    if (!fillOutput(deadline) && (outputEnded_ || Clock::now() >= deadline)) return std::nullopt;
  }
}

std::vector<std::string> ChildProcess::readLinesToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> lines;
  while (auto line = readLine(
             std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
    lines.push_back(std::move(*line));
  }
  // A last line without a line feed is still output.
  if (outputEnded_ && !pendingOutput_.empty()) {
    lines.push_back(pendingOutput_);
    pendingOutput_.clear();
  }
  return lines;
}

std::optional<ChildExit> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (exit_ || pid_ <= 0) return exit_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      ChildExit ended;
      if (WIFEXITED(status)) ended.code = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) ended.signal = WTERMSIG(status);
      exit_ = ended;
      return exit_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string ChildProcess::readStderr() {
  std::string text;
  char chunk[4096];
  for (;;) {
    pollfd ready{stderrFd_, POLLIN, 0};
    if (stderrFd_ < 0 || ::poll(&ready, 1, 5000) <= 0) return text;
    const ssize_t n = ::read(stderrFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace procsampler::testing
