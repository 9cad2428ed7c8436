#include "protocol/float_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace procsampler::protocol {
namespace {

std::string format32(float value) {
  char text[MAX_FLOAT_TEXT];
  return std::string(text, formatFloat32(text, value));
}

TEST(FormatFloat32, LaysOutShortestDigits) {
  constexpr struct {
    float value;
    std::string_view text;
  } kCases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {100.0f, "100.0"},
      {100.0f / 3.0f, "33.333332"},
      {0.1f, "0.1"},
      {5.0f, "5.0"},
      {250.0f, "250.0"},
      {12.5f, "12.5"},
      {-12.5f, "-12.5"},
      {0.05f, "0.05"},
      // Edges of the plain forms: exponent -6 and 12 stay plain, -7 and 13 go scientific.
      {0.000001f, "0.000001"},
      {0.0000015f, "0.0000015"},
      {1e-7f, "1e-7"},
      {1.5e-7f, "1.5e-7"},
      {-1.5e-7f, "-1.5e-7"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},
      {1.25e13f, "1.25e+13"},
      {FLT_MAX, "3.4028235e+38"},
      {-FLT_MAX, "-3.4028235e+38"},
      {FLT_MIN, "1.1754944e-38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {-std::numeric_limits<float>::denorm_min(), "-1e-45"},
      // Whole numbers whose shortest digits end before the decimal point.
      {16777216.0f, "16777216.0"},
      {123456790.0f, "123456790.0"},
      {1.0f, "1.0"},
      {9.5f, "9.5"},
      {0.3f, "0.3"},
      {1234.5677f, "1234.5677"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(format32(c.value), c.text) << "value " << c.value;
  }
}

TEST(FormatFloat64, UsesTheWiderThresholds) {
  constexpr struct {
    double value;
    std::string_view text;
  } kCases[] = {
      {1000.0, "1000.0"},
      {2.0, "2.0"},
      {0.00001, "0.00001"},
      {0.000015, "0.000015"},
      {1e-6, "1e-6"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {0.1, "0.1"},
      {-1.5, "-1.5"},
      {1.0 / 3.0, "0.3333333333333333"},
      {123456789012345.6, "123456789012345.6"},
      {DBL_MAX, "1.7976931348623157e+308"},
      {-DBL_MIN, "-2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(formatFloat64(c.value), c.text) << "value " << c.value;
  }
}

TEST(FormatFloat, NonFiniteValuesDoNotProduceGarbage) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(format32(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(format32(kInf), "null");
  EXPECT_EQ(format32(-kInf), "null");
  EXPECT_EQ(formatFloat64(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(formatFloat64(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(formatFloat64(-std::numeric_limits<double>::infinity()), "-inf");
}

}  // namespace
}  // namespace procsampler::protocol
