// Shortest round-trip decimal text for floating-point values, laid out the way the wire wants it.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace procsampler::protocol {

// Room for the longest text either function writes ("-1.2345678e-45", "-2.2250738585072014e-308").
inline constexpr std::size_t MAX_FLOAT_TEXT = 32;

// cpuPercent: shortest digits that read back as the same 32-bit float; "0.0", "-0.0", "100.0",
// "33.333332", "1e-7", "1e+13". Scientific form when the decimal exponent is below -6 or above 12.
// Not finite values are the caller's business (the wire writes null); given one anyway, it writes
// "null". Writes at most MAX_FLOAT_TEXT bytes and returns the end of the text.
char* formatFloat32(char* out, float value);

// The decoder's "floating point `{x}`": the same layout over a 64-bit value, scientific form when
// the exponent is below -5 or above 15 ("1000.0", "0.00001", "1e-6", "1e+16"). Meant for finite
// values; others give "NaN", "inf" or "-inf".
std::string formatFloat64(double value);

}  // namespace procsampler::protocol
