// A scripted clock for tests: time moves only when the test (or a sleep) moves it.
#pragma once

#include <chrono>
#include <vector>

#include "common/clock.h"

namespace procsampler::testing {

class FakeClock final : public Clock {
 public:
  MonoTime monotonicNow() override { return mono_; }
  WallTime wallNow() override { return wall_; }
  // A sleep advances both clocks, as real time passing would, and is recorded.
  void sleepFor(std::chrono::nanoseconds duration) override {
    sleeps.push_back(duration);
    advance(duration);
  }

  void advance(std::chrono::nanoseconds duration) {
    mono_ += std::chrono::duration_cast<MonoTime::duration>(duration);
    wall_ += std::chrono::duration_cast<WallTime::duration>(duration);
  }
  void setWall(WallTime time) { wall_ = time; }

  std::vector<std::chrono::nanoseconds> sleeps;

 private:
  MonoTime mono_{std::chrono::hours(1000)};
  WallTime wall_{std::chrono::milliseconds(1'700'000'000'000LL)};
};

}  // namespace procsampler::testing
