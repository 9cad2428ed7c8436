// The two clocks of the sidecar behind one seam, so scheduling, refresh spacing and history
// windows can be tested with a scripted clock. Owned by the main thread; SystemClock is stateless.
#pragma once

#include <chrono>
#include <cstdint>

namespace procsampler {

using MonoTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  // Never jumps with wall-clock changes.
  virtual MonoTime monotonicNow() = 0;
  virtual WallTime wallNow() = 0;
  // Sleeps the whole duration; a sleep cut short by a signal goes on for the time that remains.
  virtual void sleepFor(std::chrono::nanoseconds duration) = 0;
};

class SystemClock final : public Clock {
 public:
  MonoTime monotonicNow() override;
  WallTime wallNow() override;
  void sleepFor(std::chrono::nanoseconds duration) override;
};

// Milliseconds since the Unix epoch, whole seconds × 1000 + sub-second part truncated;
// 0 for a clock set before 1970.
std::uint64_t unixMillis(WallTime time);
// Whole seconds since the Unix epoch; 0 before 1970.
std::uint64_t unixSeconds(WallTime time);

}  // namespace procsampler
