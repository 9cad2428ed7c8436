#include "protocol/float_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>
#include <tuple>

namespace procsampler::protocol {
namespace {

std::string format32(float value) {
  char text[MAX_FLOAT_TEXT];
  return std::string(text, formatFloat32(text, value));
}

// Digits come from std::to_chars; the rows pin the layout around them: plain for decimal
// exponents -6..12 in 32 bits and -5..15 in 64, else scientific.
TEST(FormatFloat, WritesExactTexts) {
  const std::tuple<double, std::string, std::string> cases[] = {
      {0.0, "0.0", "0.0"},
      {-0.0, "-0.0", "-0.0"},
      {12345678.0, "12345678.0", "12345678.0"},
      {100.0f / 3.0f, "33.333332", "33.33333206176758"},
      {1e-7, "1e-7", "1e-7"},
      {1e12, "1000000000000.0", "1000000000000.0"},
      {1e13, "1e+13", "10000000000000.0"},
      {3.4028235e38f, "3.4028235e+38", "3.4028234663852886e+38"},
      {1e15, "1e+15", "1000000000000000.0"},
      {0.00001, "0.00001", "0.00001"},
      {1e-6, "0.000001", "1e-6"},
      {1e16, "1e+16", "1e+16"}};
  for (const auto& [value, text32, text64] : cases) {
    EXPECT_EQ(format32(static_cast<float>(value)), text32);
    EXPECT_EQ(formatFloat64(value), text64);
  }
}

// Random bit patterns cover every exponent and digit count of each layout.
TEST(FormatFloat, ManyValuesReadBack) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 2'000'000; ++i) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (!std::isfinite(value)) continue;
    const std::string text = format32(value);
    // Read back with strtof: Apple's libc++ has no float from_chars.
    const float back = std::strtof(text.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(value)) << text;
  }
}

}  // namespace
}  // namespace procsampler::protocol
