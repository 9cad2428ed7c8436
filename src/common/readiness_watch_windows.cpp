#include "common/readiness_watch.h"

namespace procsampler {

struct ReadinessWatch::State {};

ReadinessWatch::ReadinessWatch(int /*fd*/, std::function<void()> /*onReadable*/) {}
ReadinessWatch::~ReadinessWatch() = default;
void ReadinessWatch::rearm() {}

}  // namespace procsampler
