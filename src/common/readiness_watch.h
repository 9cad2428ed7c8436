// A thread that waits for a descriptor to turn readable and then calls back, once per arming, so
// that a loop waiting on something else (the command channel) hears of it without a timer.
// Created, rearmed and destroyed by one thread; the callback runs on the watch's own thread.
// POSIX only: on Windows no table offers such a descriptor, and the watch never calls back.
#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace procsampler {

class ReadinessWatch {
 public:
  // Starts armed. fd must stay open until the watch is destroyed. Without a pipe to stop it by,
  // the watch never calls back.
  ReadinessWatch(int fd, std::function<void()> onReadable);
  ~ReadinessWatch();  // stops the thread, waking it from its wait, and joins it
  ReadinessWatch(const ReadinessWatch&) = delete;
  ReadinessWatch& operator=(const ReadinessWatch&) = delete;

  // After a callback, lets the next readability call back again. The owner rearms once it has
  // taken what made the descriptor readable; rearming earlier would call back at once.
  void rearm();

  struct State;

 private:
  std::unique_ptr<State> state_;
  std::thread thread_;
};

}  // namespace procsampler
