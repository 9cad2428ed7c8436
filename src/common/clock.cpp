#include "common/clock.h"

#if defined(__APPLE__)
#include <time.h>
#endif

#include <thread>

namespace procsampler {

MonotonicClock::time_point MonotonicClock::now() noexcept {
#if defined(__APPLE__)
  // Cannot fail for this clock id; nanoseconds of uptime fit 64 bits for 292 years.
  return time_point(duration(static_cast<rep>(clock_gettime_nsec_np(CLOCK_UPTIME_RAW))));
#else
  return time_point(
      std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
#endif
}

MonoTime SystemClock::monotonicNow() { return MonotonicClock::now(); }

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
