// Unsigned 64-bit arithmetic that stops at the ends of the range instead of wrapping: every
// counter, unit conversion and total the sidecar reports saturates. Pure; any thread.
#pragma once

#include <cstdint>
#include <limits>

namespace procsampler {

inline constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > U64_MAX - b ? U64_MAX : a + b;
}

constexpr std::uint64_t saturatingSub(std::uint64_t a, std::uint64_t b) {
  return a > b ? a - b : 0;
}

constexpr std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > U64_MAX / b ? U64_MAX : a * b;
}

}  // namespace procsampler
