#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "common/readiness_watch.h"

namespace procsampler {

struct ReadinessWatch::State {
  int fd = -1;
  std::function<void()> onReadable;
  int stopPipe[2] = {-1, -1};  // a byte in it ends a wait in poll
  std::mutex mutex;
  std::condition_variable armedOrStopping;
  bool armed = true;
  bool stopping = false;
};

namespace {

void watchLoop(ReadinessWatch::State& s) {
  for (;;) {
    {
      std::unique_lock lock(s.mutex);
      s.armedOrStopping.wait(lock, [&] { return s.armed || s.stopping; });
      if (s.stopping) return;
    }
    pollfd fds[2] = {{s.fd, POLLIN, 0}, {s.stopPipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // exits are then found by the refreshes alone
    }
    if (fds[1].revents != 0) return;
    // An error or hang-up counts as readable too: disarmed, it cannot spin.
    if (fds[0].revents != 0) {
      {
        std::lock_guard lock(s.mutex);
        s.armed = false;
      }
      s.onReadable();
    }
  }
}

}  // namespace

ReadinessWatch::ReadinessWatch(int fd, std::function<void()> onReadable)
    : state_(std::make_unique<State>()) {
  state_->fd = fd;
  state_->onReadable = std::move(onReadable);
  if (::pipe(state_->stopPipe) != 0) return;
  for (const int end : state_->stopPipe) ::fcntl(end, F_SETFD, FD_CLOEXEC);
  thread_ = std::thread(watchLoop, std::ref(*state_));
}

ReadinessWatch::~ReadinessWatch() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
    }
    state_->armedOrStopping.notify_one();
    const char byte = 0;
    while (::write(state_->stopPipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (const int end : state_->stopPipe) {
    if (end >= 0) ::close(end);
  }
}

void ReadinessWatch::rearm() {
  {
    std::lock_guard lock(state_->mutex);
    state_->armed = true;
  }
  state_->armedOrStopping.notify_one();
}

}  // namespace procsampler
