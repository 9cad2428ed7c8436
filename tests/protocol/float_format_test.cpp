#include "protocol/float_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

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

// Reads a formatted text back by its own grammar, independently of the formatter: which of the
// four layouts it has, its significant digits and the decimal exponent of the first of them;
// ok is false when the text fits none of the layouts.
struct Shape {
  enum Form { Scientific, Whole, Fraction, Small } form = Scientific;
  bool ok = false;
  std::string digits;
  int exponent = 0;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

Shape readShape(std::string_view text) {
  Shape shape;
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  const auto e = text.find('e');
  if (e != std::string_view::npos) {
    // d[.ddd]e(+|-)N: one nonzero leading digit, no trailing zero, no leading zero in N.
    const std::string_view mantissa = text.substr(0, e);
    std::string_view power = text.substr(e + 1);
    if (mantissa.empty() || mantissa[0] < '1' || mantissa[0] > '9') return shape;
    shape.digits = mantissa.substr(0, 1);
    if (mantissa.size() > 1) {
      if (mantissa[1] != '.' || mantissa.size() < 3 || mantissa.back() == '0') return shape;
      for (char c : mantissa.substr(2)) {
        if (!isDigit(c)) return shape;
        shape.digits += c;
      }
    }
    if (power.size() < 2 || (power[0] != '+' && power[0] != '-')) return shape;
    const bool negative = power[0] == '-';
    power.remove_prefix(1);
    if (power[0] == '0') return shape;
    int magnitude = 0;
    for (char c : power) {
      if (!isDigit(c)) return shape;
      magnitude = magnitude * 10 + (c - '0');
    }
    shape.exponent = negative ? -magnitude : magnitude;
    shape.form = Shape::Scientific;
    shape.ok = true;
    return shape;
  }
  // Plain: digits "." digits, both parts non-empty.
  const auto dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return shape;
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = text.substr(dot + 1);
  for (char c : whole) {
    if (!isDigit(c)) return shape;
  }
  for (char c : fraction) {
    if (!isDigit(c)) return shape;
  }
  if (fraction == "0") {
    if (whole[0] == '0') return shape;  // no leading zero, and zero itself is not checked here
    shape.form = Shape::Whole;
    shape.digits = std::string(whole);
    shape.exponent = static_cast<int>(whole.size()) - 1;
    while (shape.digits.size() > 1 && shape.digits.back() == '0') shape.digits.pop_back();
  } else if (whole == "0") {
    const auto first = fraction.find_first_not_of('0');
    if (fraction.back() == '0') return shape;
    shape.form = Shape::Small;
    shape.digits = std::string(fraction.substr(first));
    shape.exponent = -static_cast<int>(first) - 1;
  } else {
    if (whole[0] == '0' || fraction.back() == '0') return shape;
    shape.form = Shape::Fraction;
    shape.digits = std::string(whole) + std::string(fraction);
    shape.exponent = static_cast<int>(whole.size()) - 1;
  }
  shape.ok = true;
  return shape;
}

// The layout the text must have, from its exponent and digit count alone.
Shape::Form expectedForm(int exponent, int digitCount, int lowest, int highest) {
  if (exponent < lowest || exponent > highest) return Shape::Scientific;
  if (exponent >= digitCount - 1) return Shape::Whole;
  if (exponent >= 0) return Shape::Fraction;
  return Shape::Small;
}

template <class T>
int shortestDigitCount(T value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  int count = 0;
  for (const char* p = text; p != end && *p != 'e'; ++p) count += isDigit(*p) ? 1 : 0;
  return count;
}

struct FloatCase {
  static std::string format(float value) { return format32(value); }
  static float parse(const std::string& text) { return std::strtof(text.c_str(), nullptr); }
  using Bits = std::uint32_t;
  static constexpr int LOWEST = -6;
  static constexpr int HIGHEST = 12;
};

struct DoubleCase {
  static std::string format(double value) { return formatFloat64(value); }
  static double parse(const std::string& text) { return std::strtod(text.c_str(), nullptr); }
  using Bits = std::uint64_t;
  static constexpr int LOWEST = -5;
  static constexpr int HIGHEST = 15;
};

// Checks one finite nonzero value; returns a description of the first fault, or "" when sound.
template <class Case, class T>
std::string checkValue(T value) {
  const std::string text = Case::format(value);
  const T back = Case::parse(text);
  if (std::bit_cast<typename Case::Bits>(back) != std::bit_cast<typename Case::Bits>(value)) {
    return "does not read back: " + text;
  }
  if ((text[0] == '-') != std::signbit(value)) return "wrong sign: " + text;
  const Shape shape = readShape(text);
  if (!shape.ok) return "malformed: " + text;
  const int digitCount = static_cast<int>(shape.digits.size());
  if (digitCount != shortestDigitCount(std::fabs(value))) return "not shortest: " + text;
  if (shape.form != expectedForm(shape.exponent, digitCount, Case::LOWEST, Case::HIGHEST)) {
    return "wrong layout: " + text;
  }
  return "";
}

// Every power of ten in range and its neighbours, the extremes, the denormals at both ends and
// the values around the exponents where the layout changes.
template <class T>
std::vector<T> edgeValues() {
  using Limits = std::numeric_limits<T>;
  std::vector<T> values;
  const auto withNeighbours = [&values](T value, int steps) {
    T up = value;
    T down = value;
    values.push_back(value);
    for (int i = 0; i < steps; ++i) {
      up = std::nextafter(up, Limits::infinity());
      down = std::nextafter(down, T(0));
      values.push_back(up);
      values.push_back(down);
    }
  };
  for (int e = Limits::min_exponent10 - Limits::digits10 - 2; e <= Limits::max_exponent10; ++e) {
    const std::string text = "1e" + std::to_string(e);
    const T power = static_cast<T>(std::strtold(text.c_str(), nullptr));
    if (power != 0 && std::isfinite(power)) withNeighbours(power, 2);
  }
  for (const char* threshold : {"1e-7", "1e-6", "1e-5", "1e13", "1e15", "1e16", "9.5e-7",
                                "9.99999e12", "9.999999e-7", "5e-7"}) {
    withNeighbours(static_cast<T>(std::strtold(threshold, nullptr)), 16);
  }
  withNeighbours(Limits::max(), 16);
  withNeighbours(Limits::min(), 16);
  T denormal = Limits::denorm_min();
  for (int i = 0; i < 2000; ++i) {
    values.push_back(denormal);
    denormal = std::nextafter(denormal, T(1));
  }
  withNeighbours(std::nextafter(Limits::min(), T(0)), 16);  // the largest denormal
  const std::size_t positives = values.size();
  for (std::size_t i = 0; i < positives; ++i) values.push_back(-values[i]);
  return values;
}

template <class Case, class T>
void checkMany(std::size_t randomCount) {
  std::vector<T> values;
  for (const T value : edgeValues<T>()) {
    if (std::isfinite(value) && value != 0) values.push_back(value);  // stepping past the ends
  }
  std::mt19937_64 random(20240611);
  while (values.size() < randomCount) {
    const auto bits = static_cast<typename Case::Bits>(random());
    const T value = std::bit_cast<T>(bits);
    if (std::isfinite(value) && value != 0) values.push_back(value);
  }
  int faults = 0;
  for (const T value : values) {
    const std::string fault = checkValue<Case>(value);
    if (!fault.empty()) {
      ADD_FAILURE() << fault;
      if (++faults == 20) return;  // enough to see the pattern
    }
  }
}

TEST(FormatFloat32, ManyValuesReadBackShortestInTheirLayout) {
  checkMany<FloatCase, float>(2'000'000);  // about a second under AddressSanitizer
}

TEST(FormatFloat64, ManyValuesReadBackShortestInTheirLayout) {
  checkMany<DoubleCase, double>(300'000);
}

// The property checks above only mean something if their reader refuses what it should.
TEST(FormatFloat, ShapeReaderRefusesMalformedTexts) {
  constexpr std::string_view kMalformed[] = {
      "1.0e+5", "01.5", "1.50", "0.10", "1e05", "1e5", "12e+5", "1.e+5", ".5", "5.", "00.0",
      "0.0",    "1.2.3", "1x.0", "e+5", "1.5e+",
  };
  for (const auto text : kMalformed) EXPECT_FALSE(readShape(text).ok) << text;
  const Shape small = readShape("-0.00012");
  EXPECT_TRUE(small.ok);
  EXPECT_EQ(small.form, Shape::Small);
  EXPECT_EQ(small.digits, "12");
  EXPECT_EQ(small.exponent, -4);
  const Shape whole = readShape("2500.0");
  EXPECT_EQ(whole.form, Shape::Whole);
  EXPECT_EQ(whole.digits, "25");
  EXPECT_EQ(whole.exponent, 3);
  EXPECT_EQ(readShape("1.5e-7").exponent, -7);
  EXPECT_EQ(readShape("33.333332").form, Shape::Fraction);
}

}  // namespace
}  // namespace procsampler::protocol
