#include "session/session_state.h"

#include <algorithm>

namespace procsampler::session {

std::optional<std::chrono::milliseconds> sampleIntervalFromMs(std::uint64_t sampleIntervalMs) {
  if (sampleIntervalMs == 0) return std::nullopt;
  const std::uint64_t clamped =
      std::clamp(sampleIntervalMs, MIN_SAMPLE_INTERVAL_MS, MAX_SAMPLE_INTERVAL_MS);
  return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(clamped));
}

sampling::ExternalProcessMap externalProcessMap(
    std::span<const sampling::ExternalProcess> processes) {
  sampling::ExternalProcessMap map;
  for (const sampling::ExternalProcess& process : processes) {
    map.insert_or_assign(process.pid, process.startTimeMs);
  }
  return map;
}

}  // namespace procsampler::session
