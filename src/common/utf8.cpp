#include "common/utf8.h"

#include <cstdint>

namespace procsampler {
namespace {

struct Sequence {
  std::size_t length;  // bytes consumed: a whole character, or the maximal invalid subpart
  bool valid;
};

// Well-formed byte sequences per the Unicode Standard (table 3-7). For an ill-formed sequence the
// length is that of its maximal subpart, so each such run becomes exactly one U+FFFD.
Sequence nextSequence(const unsigned char* p, std::size_t available) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return {1, true};
  std::size_t need;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= available) return {i, false};
    const unsigned char c = p[i];
    const unsigned char lo = i == 1 ? low : 0x80;
    const unsigned char hi = i == 1 ? high : 0xBF;
    if (c < lo || c > hi) return {i, false};
  }
  return {i, true};
}

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Length of the leading run of ASCII bytes, eight at a time where possible.
std::size_t asciiRun(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i + 8 <= n) {
    std::uint64_t word = 0;
    for (std::size_t k = 0; k < 8; ++k) word |= static_cast<std::uint64_t>(p[i + k]) << (8 * k);
    if (word & 0x8080808080808080ULL) break;
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    i += asciiRun(p + i, n - i);
    if (i >= n) break;
    const Sequence s = nextSequence(p + i, n - i);
    if (!s.valid) return false;
    i += s.length;
  }
  return true;
}

std::size_t utf8LossyLength(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  std::size_t length = 0;
  while (i < n) {
    const std::size_t run = asciiRun(p + i, n - i);
    i += run;
    length += run;
    if (i >= n) break;
    const Sequence s = nextSequence(p + i, n - i);
    length += s.valid ? s.length : REPLACEMENT.size();
    i += s.length;
  }
  return length;
}

void appendUtf8Lossy(std::string& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  std::size_t copiedUpTo = 0;
  while (i < n) {
    i += asciiRun(p + i, n - i);
    if (i >= n) break;
    const Sequence s = nextSequence(p + i, n - i);
    if (!s.valid) {
      out.append(bytes.substr(copiedUpTo, i - copiedUpTo));
      out.append(REPLACEMENT);
      copiedUpTo = i + s.length;
    }
    i += s.length;
  }
  out.append(bytes.substr(copiedUpTo));
}

void truncateUtf8(std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return;
  std::size_t cut = maxBytes;
  // Step back over continuation bytes so the cut never splits a character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

bool isUnicodeBlank(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
      ++i;
      continue;
    }
    // Decode one multi-byte character (the input is known to be valid UTF-8).
    std::uint32_t cp;
    std::size_t len;
    if (c >= 0xC0 && c < 0xE0 && i + 1 < n) {
      cp = ((c & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
      len = 2;
    } else if (c >= 0xE0 && c < 0xF0 && i + 2 < n) {
      cp = ((c & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
      len = 3;
    } else {
      return false;
    }
    const bool white = cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
                       cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
    if (!white) return false;
    i += len;
  }
  return true;
}

}  // namespace procsampler
