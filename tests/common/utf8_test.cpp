#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace procsampler {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD: one for each maximal invalid subpart

// Most rows also carry the valid character just inside the range they test, which must survive.
TEST(Utf8, RepairsEachMaximalInvalidSubpartAsOneReplacement) {
  const std::pair<std::string, std::string> rows[] = {
      {"\x80\xBFz\xC2\x80", R + R + "z\xC2\x80"},               // lone continuations
      {"z\xE2\x82", "z" + R},                                   // truncated at the end
      {"\xF0\x9F\x98z\xC3\xC3\xA9", R + "z" + R + "\xC3\xA9"},  // truncated before more
      // Overlong forms: C0 and C1 leads, E0 below A0, F0 below 90.
      {"\xC0\xAF\xC1\xBF\xE0\x80\xAF\xE0\xA0\x80", R + R + R + R + R + R + R + "\xE0\xA0\x80"},
      {"\xF0\x8F\xBF\xBF\xF0\x90\x80\x80", R + R + R + R + "\xF0\x90\x80\x80"},
      {"\xED\xA0\x80\xED\x9F\xBF", R + R + R + "\xED\x9F\xBF"},  // surrogate
      // Above U+10FFFF: F4 90 and the lead F5.
      {"\xF4\x90\x80\x80\xF5\x80\xF4\x8F\xBF\xBF", R + R + R + R + R + R + "\xF4\x8F\xBF\xBF"},
      {"ghijklmnopqr\xFFstuvw", "ghijklmnopqr" + R + "stuvw"},  // 0xFF in the second 8-byte word
  };
  for (const auto& [in, out] : rows) {
    std::string repaired = "kept:";
    appendUtf8Lossy(repaired, in);
    EXPECT_EQ(repaired, "kept:" + out);
    EXPECT_EQ(utf8LossyLength(in), out.size()) << out;
    EXPECT_FALSE(isValidUtf8(in)) << out;
    EXPECT_TRUE(isValidUtf8(out)) << out;
  }
}

TEST(Utf8, TruncatesOnlyAtCharacterBoundaries) {
  // A 3-byte character at 1021..1023, then a 4-byte one at 1024..1027.
  const std::string text = std::string(1021, 'a') + "\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::size_t rows[][2] = {{2000, 1028}, {1028, 1028}, {1027, 1024}, {1025, 1024},
                                 {1024, 1024}, {1023, 1021}, {1022, 1021}};
  for (const auto& [maxBytes, length] : rows) {
    std::string cut = text;
    truncateUtf8(cut, maxBytes);
    EXPECT_EQ(cut, text.substr(0, length)) << maxBytes;
  }
}

TEST(Utf8, TellsUnicodeWhiteSpaceFromEverythingElse) {
  // Every White_Space character: ASCII, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
  // U+202F, U+205F and U+3000.
  const char* all =
      " \t\n\v\f\r\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A"
      "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";
  for (const char* blank : {"", all}) EXPECT_TRUE(isUnicodeBlank(blank)) << blank;
  // Neighbours of the blank ranges, spaces outside White_Space, a non-blank after a blank.
  for (const char* text : {"\x08", "\xC2\xA0 \x0E", "\xC2\xA1", "\xE2\x80\x8B", "\xE1\xA0\x8E"}) {
    EXPECT_FALSE(isUnicodeBlank(text)) << text;
  }
}

}  // namespace procsampler
