#include "protocol/float_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <random>
#include <tuple>
#include <vector>

namespace procsampler::protocol {
namespace {

std::string format32(float value) {
  char text[MAX_FLOAT_TEXT];
  return std::string(text, formatFloat32(text, value));
}

// The 64-bit rule is the same layout with its plain range widened by one at each end.
TEST(FormatFloat, WritesExactTexts) {
  const std::tuple<double, std::string, std::string> cases[] = {
      {0.0, "0.0", "0.0"},
      {-0.0, "-0.0", "-0.0"},
      {100.0, "100.0", "100.0"},
      {100.0f / 3.0f, "33.333332", "33.33333206176758"},
      {0.1, "0.1", "0.1"},
      {1e-7, "1e-7", "1e-7"},
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

// What the layout rule makes of the shortest round-trip digits, which std::to_chars finds on its
// own as "d.ddde+XX": scientific outside exponents -6..12, else "N.0", "N.NN" or "0.0NN".
std::string expectedText(float value) {
  char buffer[32];
  const std::string scientific(
      buffer,
      std::to_chars(buffer, buffer + 32, std::fabs(value), std::chars_format::scientific).ptr);
  const std::size_t e = scientific.find('e');
  std::string digits = scientific.substr(0, 1) + (e > 1 ? scientific.substr(2, e - 2) : "");
  const int exponent = std::stoi(scientific.substr(e + 1));
  const int n = static_cast<int>(digits.size());
  const std::string sign = std::signbit(value) ? "-" : "";
  const auto zeros = [](int count) { return std::string(static_cast<std::size_t>(count), '0'); };
  if (exponent < -6 || exponent > 12) {
    return sign + digits.insert(1, n > 1 ? "." : "") + (exponent < 0 ? "e-" : "e+") +
           std::to_string(std::abs(exponent));
  }
  if (exponent >= n - 1) return sign + digits + zeros(exponent + 1 - n) + ".0";
  if (exponent >= 0) return sign + digits.insert(static_cast<std::size_t>(exponent + 1), ".");
  return sign + "0." + zeros(-exponent - 1) + digits;
}

TEST(FormatFloat, ManyValuesReadBackShortestInTheirLayout) {
  std::vector<float> values;
  for (int e = -45; e <= 38; ++e) {  // every power of ten in range, with its neighbours
    float value = std::strtof(("1e" + std::to_string(e)).c_str(), nullptr);
    for (int step = 0; step < 3; ++step, value = std::nextafter(value, INFINITY))
      values.insert(values.end(), {value, -std::nextafter(value, 0.0f)});
  }
  std::mt19937 random(20240611);
  while (values.size() < 2'000'000) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isfinite(value) && value != 0) values.push_back(value);
  }
  for (const float value : values) {
    const std::string text = format32(value);
    // Read back with strtof: Apple's libc++ has no float from_chars.
    const float back = std::strtof(text.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(value)) << text;
    ASSERT_EQ(text, expectedText(value));
  }
}

}  // namespace
}  // namespace procsampler::protocol
