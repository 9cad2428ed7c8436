#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace procsampler {
namespace {

constexpr std::string_view R = "\xEF\xBF\xBD";  // U+FFFD, as each repaired run must read

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

// One table drives the three views of the same decoding: validity, the repaired text and its
// predicted length. Each maximal invalid subpart must become exactly one U+FFFD.
struct Repair {
  const char* label;
  std::string input;
  std::string repaired;
};

const Repair kRepairs[] = {
    {"ascii", "hello", "hello"},
    {"empty", "", ""},
    {"two-byte", "\xC3\xA9", "\xC3\xA9"},
    {"three-byte", "\xE2\x82\xAC", "\xE2\x82\xAC"},
    {"four-byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    {"U+FFFD itself is valid", cat({R}), cat({R})},
    {"largest scalar U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
    {"0xFF in the middle",
     "ab\xFF"
     "cd",
     cat({"ab", R, "cd"})},
    {"lone continuation", "\x80", cat({R})},
    {"two lone continuations", "\x80\xBF", cat({R, R})},
    {"truncated three-byte at end", "a\xE2\x82", cat({"a", R})},
    {"truncated four-byte at end", "\xF0\x9F\x98", cat({R})},
    {"truncated lead before ascii",
     "\xE2\x82"
     "a",
     cat({R, "a"})},
    {"lead followed by lead", "\xC3\xC3\xA9", cat({R, "\xC3\xA9"})},
    {"overlong two-byte C0", "\xC0\xAF", cat({R, R})},
    {"overlong two-byte C1", "\xC1\xBF", cat({R, R})},
    {"overlong three-byte", "\xE0\x80\xAF", cat({R, R, R})},
    {"overlong four-byte", "\xF0\x80\x80\xAF", cat({R, R, R, R})},
    {"surrogate ED A0 80", "\xED\xA0\x80", cat({R, R, R})},
    {"surrogate ED BF BF", "\xED\xBF\xBF", cat({R, R, R})},
    {"last before surrogates ED 9F BF", "\xED\x9F\xBF", "\xED\x9F\xBF"},
    {"above U+10FFFF F4 90", "\xF4\x90\x80\x80", cat({R, R, R, R})},
    {"lead F5", "\xF5\x80", cat({R, R})},
    {"Unicode table 3-8 example",
     "a\xF1\x80\x80\xE1\x80\xC2"
     "b\x80"
     "c\x80\xBF"
     "d",
     cat({"a", R, R, R, "b", R, "c", R, R, "d"})},
    // Past the eight-byte ASCII fast path, so the invalid byte is found after a whole word.
    {"invalid after long ascii run", "0123456789abcdefg\xFFh", cat({"0123456789abcdefg", R, "h"})},
    {"invalid inside an ascii word",
     "0123\xFF"
     "56789",
     cat({"0123", R, "56789"})},
};

TEST(Utf8Repair, ReplacesEachMaximalSubpartWithOneReplacementCharacter) {
  for (const Repair& row : kRepairs) {
    SCOPED_TRACE(row.label);
    std::string out = "prefix:";
    appendUtf8Lossy(out, row.input);
    EXPECT_EQ(out, "prefix:" + row.repaired);
    EXPECT_EQ(utf8LossyLength(row.input), row.repaired.size());
    EXPECT_EQ(isValidUtf8(row.input), row.input == row.repaired);
    EXPECT_TRUE(isValidUtf8(row.repaired));
  }
}

TEST(Utf8Truncate, CutsOnlyAtCharacterBoundaries) {
  const std::string euro = "\xE2\x82\xAC";
  const std::string grin = "\xF0\x9F\x98\x80";
  const struct {
    const char* label;
    std::string text;
    std::size_t maxBytes;
    std::size_t expectedLength;
  } rows[] = {
      {"exactly the bound stays whole", std::string(1024, 'a'), 1024, 1024},
      {"one ascii byte over", std::string(1025, 'a'), 1024, 1024},
      {"euro ending at the bound", std::string(1021, 'a') + euro, 1024, 1024},
      {"cut would split euro after 2 of 3 bytes", std::string(1022, 'a') + euro, 1024, 1022},
      {"cut would split euro after 1 of 3 bytes", std::string(1023, 'a') + euro, 1024, 1023},
      {"euro then ascii, cut after euro", std::string(1021, 'a') + euro + "b", 1024, 1024},
      {"four-byte split after 3", std::string(1021, 'a') + grin, 1024, 1021},
      {"shorter than the bound", "short", 1024, 5},
      {"bound zero", euro, 0, 0},
      {"only multi-byte characters", euro + euro, 4, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::string text = row.text;
    truncateUtf8(text, row.maxBytes);
    EXPECT_EQ(text.size(), row.expectedLength);
    EXPECT_EQ(text, row.text.substr(0, row.expectedLength));
    EXPECT_TRUE(isValidUtf8(text));
  }
}

TEST(Utf8Blank, RecognisesUnicodeWhiteSpaceOnly) {
  const struct {
    const char* label;
    std::string_view text;
    bool blank;
  } rows[] = {
      {"empty", "", true},
      {"ascii whitespace", " \t\n\v\f\r", true},
      {"U+0085 next line", "\xC2\x85", true},
      {"U+00A0 no-break space", "\xC2\xA0", true},
      {"U+1680 ogham space", "\xE1\x9A\x80", true},
      {"U+2000 en quad", "\xE2\x80\x80", true},
      {"U+200A hair space", "\xE2\x80\x8A", true},
      {"U+2028 line separator", "\xE2\x80\xA8", true},
      {"U+2029 paragraph separator", "\xE2\x80\xA9", true},
      {"U+202F narrow no-break space", "\xE2\x80\xAF", true},
      {"U+205F math space", "\xE2\x81\x9F", true},
      {"U+3000 ideographic space", "\xE3\x80\x80", true},
      {"mixed blanks", " \xC2\xA0\t\xE3\x80\x80\n", true},
      {"letter", "a", false},
      {"letter between blanks", " a ", false},
      {"unit separator 0x1F", "\x1F", false},
      {"U+200B zero width space", "\xE2\x80\x8B", false},
      {"U+180E mongolian vowel separator", "\xE1\xA0\x8E", false},
      {"U+FEFF byte order mark", "\xEF\xBB\xBF", false},
      {"U+00A1 next to no-break space", "\xC2\xA1", false},
      {"four-byte character", "\xF0\x9F\x98\x80", false},
      {"blank then four-byte", " \xF0\x9F\x98\x80", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(isUnicodeBlank(row.text), row.blank);
  }
}

}  // namespace
}  // namespace procsampler
