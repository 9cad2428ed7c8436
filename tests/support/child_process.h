// Starts a program with pipes on its standard input, output and error, as a host starts the
// sidecar, and talks to it line by line with time limits. Writing (one thread) and reading
// (another) may run concurrently; everything else belongs to the thread that owns the object.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace procsampler::testing {

struct ChildOptions {
  bool stdinOpen = true;   // false: the child starts with descriptor 0 not open at all
  bool stdoutOpen = true;  // false: the child starts with descriptor 1 not open at all
};

// How a child ended: its exit code, or the signal that killed it.
struct ChildExit {
  std::optional<int> code;
  std::optional<int> signal;
};

class ChildProcess {
 public:
  // Starts path with no arguments; the broken-pipe signal has its default action in the child.
  // Check started() before using it.
  explicit ChildProcess(const std::string& path, ChildOptions options = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills the child if it still runs, reaps it and closes every pipe.
  ~ChildProcess();

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // All bytes, or false once the child's input cannot take them (closed, or the child is gone).
  bool write(std::string_view bytes);
  void closeStdin();
  // The host stops reading: the child's next write to standard output fails.
  void closeStdout();

  // The next line of standard output without its line feed; nothing when the timeout passes or
  // the output ended first (see outputEnded).
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool outputEnded() const { return outputEnded_; }
  // Every remaining line until the output ends; stops (and returns what it has) at the timeout.
  std::vector<std::string> readLinesToEnd(
      std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Waits for the child to end; nothing when the timeout passes first (the child still runs).
  std::optional<ChildExit> waitForExit(
      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // All of standard error; call after the child has ended.
  std::string readStderr();

 private:
  bool fillOutput(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::string pendingOutput_;
  bool outputEnded_ = false;
  std::optional<ChildExit> exit_;
};

}  // namespace procsampler::testing
