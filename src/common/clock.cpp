#include "common/clock.h"

#include <thread>

namespace procsampler {

MonoTime SystemClock::monotonicNow() { return std::chrono::steady_clock::now(); }

WallTime SystemClock::wallNow() { return std::chrono::system_clock::now(); }

void SystemClock::sleepFor(std::chrono::nanoseconds duration) {
  // sleep_until on the steady clock resumes after EINTR with the remaining time.
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

std::uint64_t unixMillis(WallTime time) {
  const auto sinceEpoch = time.time_since_epoch();
  if (sinceEpoch.count() < 0) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

std::uint64_t unixSeconds(WallTime time) {
  const auto sinceEpoch = time.time_since_epoch();
  if (sinceEpoch.count() < 0) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count());
}

}  // namespace procsampler
