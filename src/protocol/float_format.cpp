#include "protocol/float_format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace procsampler::protocol {
namespace {

// The shortest round-trip digits of a value: digits d1..dn without a decimal point or trailing
// zeros, and the decimal exponent of d1.
struct Decimal {
  char digits[20];  // a double needs at most 17
  int count = 0;
  int exponent = 0;
};

// std::to_chars in scientific form without a precision gives exactly the shortest digits that
// read back as the same value, the nearest candidate on ties: "-d.ddde+XX". Only the layout
// around those digits is ours.
template <class T>
Decimal shortestDigits(T magnitude) {
  char text[40];
  const auto result =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  Decimal decimal;
  const char* p = text;
  for (; p != result.ptr && *p != 'e'; ++p) {
    if (*p != '.') decimal.digits[decimal.count++] = *p;
  }
  while (decimal.count > 1 && decimal.digits[decimal.count - 1] == '0') --decimal.count;
  // p is at 'e', followed by a sign and at least two exponent digits.
  const bool negativeExponent = p[1] == '-';
  int exponent = 0;
  std::from_chars(p + 2, result.ptr, exponent);
  decimal.exponent = negativeExponent ? -exponent : exponent;
  return decimal;
}

// Lays out nonzero digits as the wire wants them: scientific outside [lowest, highest], a whole
// number as "N.0", otherwise a plain decimal fraction.
char* layOut(char* out, bool negative, const Decimal& d, int lowest, int highest) {
  if (negative) *out++ = '-';
  const int n = d.count;
  const int e = d.exponent;
  if (e < lowest || e > highest) {
    *out++ = d.digits[0];
    if (n > 1) {
      *out++ = '.';
      std::memcpy(out, d.digits + 1, static_cast<std::size_t>(n - 1));
      out += n - 1;
    }
    *out++ = 'e';
    *out++ = e < 0 ? '-' : '+';
    return std::to_chars(out, out + 4, e < 0 ? -e : e).ptr;
  }
  if (e >= n - 1) {
    std::memcpy(out, d.digits, static_cast<std::size_t>(n));
    out += n;
    const auto zeros = static_cast<std::size_t>(e + 1 - n);
    std::memset(out, '0', zeros);
    out += zeros;
    *out++ = '.';
    *out++ = '0';
    return out;
  }
  if (e >= 0) {
    const auto whole = static_cast<std::size_t>(e + 1);
    std::memcpy(out, d.digits, whole);
    out += whole;
    *out++ = '.';
    std::memcpy(out, d.digits + whole, static_cast<std::size_t>(n) - whole);
    return out + (static_cast<std::size_t>(n) - whole);
  }
  *out++ = '0';
  *out++ = '.';
  const auto zeros = static_cast<std::size_t>(-e - 1);
  std::memset(out, '0', zeros);
  out += zeros;
  std::memcpy(out, d.digits, static_cast<std::size_t>(n));
  return out + n;
}

template <class T>
char* formatFinite(char* out, T value, int lowest, int highest) {
  const bool negative = std::signbit(value);
  if (value == 0) {
    const char* text = negative ? "-0.0" : "0.0";
    const std::size_t size = negative ? 4 : 3;
    std::memcpy(out, text, size);
    return out + size;
  }
  return layOut(out, negative, shortestDigits(std::fabs(value)), lowest, highest);
}

}  // namespace

char* formatFloat32(char* out, float value) {
  if (!std::isfinite(value)) {
    // Callers write null instead; this only keeps a stray call from producing garbage.
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  return formatFinite(out, value, -6, 12);
}

std::string formatFloat64(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[MAX_FLOAT_TEXT];
  return std::string(text, formatFinite(text, value, -5, 15));
}

}  // namespace procsampler::protocol
