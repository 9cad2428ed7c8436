// The two clocks of the sidecar behind one seam, so scheduling, refresh spacing and history
// windows can be tested with a scripted clock. Owned by the main thread; SystemClock is stateless.
#pragma once

#include <chrono>
#include <cstdint>

namespace procsampler {

// The monotonic clock the sidecar schedules by. It stands still while the machine sleeps, so a
// Mac that wakes up finds its schedule where it left it: on Apple systems it is CLOCK_UPTIME_RAW
// (the C++ library's steady_clock keeps counting through sleep there); elsewhere steady_clock.
// Waits for one of its instants (condition variables, sleep_until) wait for the span to it.
struct MonotonicClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<MonotonicClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
};

using MonoTime = MonotonicClock::time_point;
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
