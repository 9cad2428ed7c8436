// The decoder over lines of its own, then over the public JSON conformance suite.
#include "protocol/command_decoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "common/utf8.h"
#include "protocol/decode_errors.h"
#include "support/test_paths.h"

namespace procsampler::protocol {
namespace {

std::string nested(std::string_view head, std::size_t depth, std::string_view tail) {
  return std::string(head) + std::string(depth, '[') + std::string(depth, ']') + std::string(tail);
}

std::string at(int column) { return " at line 1 column " + std::to_string(column); }

TEST(DecodeCommand, AcceptsEveryVariantInBothForms) {
  const std::pair<std::string, Command> cases[] = {
      {R"({"version":2,"type":"shutdown","note":{"a":[1,2]}})", Shutdown{2}},
      // A version 2 command ignores requestId like any other unknown member; version 3 keeps it.
      {R"({"version":2,"type":"shutdown","requestId":7})", Shutdown{2}},
      {R"({"version":3,"type":"shutdown","requestId":"s"})", Shutdown{3, "s"}},
      {R"({"type":"setStreaming","requestId":"e\u0301","version":3,"latest":true,"enabled":true})",
       SetStreaming{3, true, true, "e\xcc\x81"}},
      {R"({"type":"setStreaming","version":2,"enabled":true,"latest":true})",
       SetStreaming{2, true}},
      {R"(["shutdown",2])", Shutdown{2}},
      {R"({"type":"configure","version":4294967295,"rootPid":0,"sampleIntervalMs":18446744073709551615})",
       Configure{4294967295u, 0, 18446744073709551615u, {}}},
      {R"({"type":"configure","version":3,"rootPid":1,"sampleIntervalMs":0,"lifecycle":true})",
       Configure{3, 1, 0, {}, std::nullopt, true}},
      {R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0,"lifecycle":true})",
       Configure{2, 1, 0, {}}},
      {R"({"type":"setExternalProcesses","version":2,"processes":[{"pid":5,"startTimeMs":null},{"x":[{}],"startTimeMs":3,"pid":6},[7,1234],[2,null]]})",
       SetExternalProcesses{2, {{5, {}}, {6, 3}, {7, 1234}, {2, {}}}}},
      {" \t[\"setSampleInterval\" ,\n2,\r0 ] ", SetSampleInterval{2, 0}},
      {R"({"type":"sampleNow","version":2,"requestId":""})", SampleNow{2, ""}},
      {R"(["sampleNow",2,"a\u0062\"\\\/\b\f\n\r\t\u00e9\uD834\uDd1E"])",
       SampleNow{2, "ab\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9d\x84\x9e"}},
      // Keys compare after unescaping; "type" is special only at the top level.
      {R"({"t\u0079pe":"readHistory","requestId":"r","x":{"type":1},"windowMs":6,"version":2})",
       ReadHistory{2, "r", 6}},
      // Closing brackets give the nesting budget back.
      {nested(R"({"type":"shutdown","version":2,"x":)", 126, ",\"y\":") + nested("", 126, "}"),
       Shutdown{2}},
  };
  for (const auto& [line, expected] : cases) {
    auto result = decodeCommand(line);
    ASSERT_TRUE(result) << line << " -> " << result.error();
    EXPECT_EQ(*result, expected) << line;
  }
}

TEST(DecodeCommand, FindsTheRequestIdOfARefusedObject) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {R"({"type":"nope","x":[1,{"requestId":"inner"}],"requestId":"r\"","requestId":"2"})", "r\""},
      {R"({"requestId":7})", std::nullopt},
      {R"({"requestId":"r"} x)", std::nullopt},  // not one JSON value
      {R"({"requestId":"r")", std::nullopt},
      {R"(["sampleNow",2,"r"])", std::nullopt},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(requestIdOfObject(line), expected) << line;
}

// Errors found while reading the text carry the column of the offending byte, of the end of the
// token just read, or the line's length when it ended early; those found while converting what
// was read carry none, and the first problem in member order wins.
TEST(DecodeCommand, RefusesWithExactText) {
  const std::string unknown =
      "`, expected one of `configure`, `setExternalProcesses`, `setSampleInterval`, "
      "`setStreaming`, `sampleNow`, `readHistory`, `shutdown`";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"type":"shutdown"} x)", "missing field `version`"},
      {R"(["setStreaming",2,"yes"])", R"(invalid type: string "yes", expected a boolean)"},
      {R"(["setSampleInterval",2,1000.0])", "invalid type: floating point `1000.0`, expected u64"},
      {R"({"type":"sampleNow","requestId":"a","requestId":7,"version":"x"})",
       "duplicate field `requestId`"},
      {R"(["setExternalProcesses",2,[{"startTimeMs":1}]])", "missing field `pid`"},
      {R"({"type":"shutdown","version":3,"requestId":7})",
       "invalid type: integer `7`, expected a string"},
      {R"({"type":"shutdown","requestId":"a","version":3,"requestId":"b"})",
       "duplicate field `requestId`"},
      {R"({"type":"setStreaming","version":3,"enabled":true,"latest":1})",
       "invalid type: integer `1`, expected a boolean"},
      {R"({"type":"configure","version":3,"rootPid":1,"sampleIntervalMs":0,"lifecycle":"yes"})",
       "invalid type: string \"yes\", expected a boolean"},
      {R"(["configure",2])",
       "invalid length 1, expected struct variant Command::Configure with 4 elements"},
      {R"(["shutdown"])",
       "invalid length 0, expected struct variant Command::Shutdown with 1 element"},
      {R"(["shutdown",2,3])", "invalid length 2, expected 1 element in sequence"},
      // Numbers are classed as they are read; the class shows in the found text.
      {R"(["shutdown",-1])", "invalid value: integer `-1`, expected u32"},
      {R"(["shutdown",4294967296])", "invalid value: integer `4294967296`, expected u32"},
      {R"(["shutdown",-0])", "invalid type: floating point `-0.0`, expected u32"},
      {R"(["shutdown",1e-400])", "invalid type: floating point `0.0`, expected u32"},
      {R"(["shutdown","a\"\\\u0000\t\u001f\u007f\u00e9"])",
       "invalid type: string \"a\\\"\\\\\\0\\t\\u{1f}\\u{7f}\xc3\xa9\", expected u32"},
      // The reader, one row per message.
      {"", "EOF while parsing a value" + at(0)},
      {R"({"x":[1)", "EOF while parsing a list" + at(7)},
      {R"({"x":1)", "EOF while parsing an object" + at(6)},
      {R"({"x":"\u12)", "EOF while parsing a string" + at(10)},
      {R"({"x" 1})", "expected `:`" + at(6)},
      {R"(["shutdown",2 3])", "expected `,` or `]`" + at(15)},
      {R"({"x":1 2})", "expected `,` or `}`" + at(8)},
      {R"({"x":tru})", "expected ident" + at(9)},
      {"\xef\xbb\xbf{}", "expected value" + at(1)},
      {R"({5:1})", "key must be a string" + at(2)},
      {R"({"x":"\x"})", "invalid escape" + at(8)},
      {R"({"x":"\u12x4"})", "unexpected end of hex escape" + at(11)},
      {R"({"x":"\ud800"})", "lone leading surrogate in hex escape" + at(13)},
      {R"({"x":"\ud800\u0041"})", "invalid unicode code point" + at(18)},
      {"[\"\t\"]", "control character (\\u0000-\\u001F) found while parsing a string" + at(3)},
      {R"({"x":01})", "invalid number" + at(7)},
      {R"({"x":1e309})", "number out of range" + at(10)},
      {R"({"type":"shutdown","version":"x",})", "trailing comma" + at(34)},
      {R"({"type":"shutdown","version":2} x)", "trailing characters" + at(33)},
      {nested(R"({"x":)", 127, "}"), "recursion limit exceeded" + at(132)},
      // The tag and the top-level shape.
      {R"({"type":"Shutdown","version":2})", "unknown variant `Shutdown" + unknown + at(18)},
      {R"({"type":5})", "invalid type: integer `5`, expected variant identifier" + at(9)},
      {"{}", "missing field `type`" + at(2)},
      {"5", "invalid type: integer `5`, expected internally tagged enum Command" + at(1)},
  };
  for (const auto& [line, message] : cases) {
    auto result = decodeCommand(line);
    EXPECT_EQ(result ? "(decoded)" : result.error(), message) << line;
  }
}

bool isReaderMessage(const std::string& message) {
  for (int code = 0; code <= static_cast<int>(SyntaxError::RecursionLimitExceeded); ++code) {
    const std::string_view text = syntaxErrorText(static_cast<SyntaxError>(code));
    if (message.starts_with(std::string(text) + " at line 1 column ")) return true;
  }
  return false;
}

// Most of the suite's texts are not commands, so each is also tried as the value of an ignored
// member, where only the JSON reader can object.
TEST(JsonTestSuite, AcceptsValidAndRefusesInvalidTexts) {
  const std::string suite =
      testing::testPath("PROCSAMPLER_JSON_TEST_SUITE", JSON_TEST_SUITE_FROM_TESTS);
  ASSERT_TRUE(std::filesystem::is_directory(suite)) << suite;
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(suite)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto whole = decodeCommand(text);  // whatever a file holds: no crash, no hang
    if (name[0] == 'i' || text.find_first_of("\r\n") != text.npos || !isValidUtf8(text)) continue;
    const bool valid = name[0] == 'y';
    ++checked;
    auto inMember = decodeCommand(R"({"type":"shutdown","version":2,"x":)" + text + "}");
    EXPECT_TRUE(inMember ? valid : !valid && isReaderMessage(inMember.error())) << name;
    // Whole, a valid text may be no command but must not upset the reader; an invalid one is
    // refused with a position, though reading may stop at a refused tag or shape before its fault.
    const std::string error = whole ? "" : whole.error();
    EXPECT_TRUE(valid ? !isReaderMessage(error)
                      : error.find(" at line 1 column ") != std::string::npos)
        << name << ": " << error;
  }
  EXPECT_GT(checked, 250);
}

}  // namespace
}  // namespace procsampler::protocol
