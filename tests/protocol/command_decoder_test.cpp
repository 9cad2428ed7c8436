#include "protocol/command_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace procsampler::protocol {
namespace {

std::string decodeError(std::string_view line) {
  auto result = decodeCommand(line);
  return result ? "(decoded)" : result.error();
}

constexpr std::string_view UNKNOWN_TAIL =
    "`, expected one of `configure`, `setExternalProcesses`, `setSampleInterval`, "
    "`setStreaming`, `sampleNow`, `readHistory`, `shutdown` at line 1 column ";

TEST(DecodeCommand, AcceptsEveryVariantInBothForms) {
  const struct {
    std::string_view line;
    Command expected;
  } cases[] = {
      {R"({"type":"shutdown","version":2})", Shutdown{2}},
      {R"({"version":2,"type":"shutdown","note":{"a":[1,2]}})", Shutdown{2}},
      {" \t{ \"type\" : \"shutdown\" ,\n\"version\" : 7 } \r", Shutdown{7}},
      {R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":1000})",
       Configure{2, 1, 1000, {}}},
      {R"({"type":"configure","version":4294967295,"rootPid":0,"sampleIntervalMs":18446744073709551615,"externalProcesses":[[9]]})",
       Configure{4294967295u, 0, 18446744073709551615u, {{9, {}}}}},
      {R"({"type":"setExternalProcesses","version":2,"processes":[{"pid":5,"startTimeMs":null},{"pid":6},[7,1234]]})",
       SetExternalProcesses{2, {{5, {}}, {6, {}}, {7, 1234}}}},
      {R"({"type":"setExternalProcesses","version":2,"processes":[{"x":[{}],"startTimeMs":3,"pid":1},[2,null],[1],[1]]})",
       SetExternalProcesses{2, {{1, 3}, {2, {}}, {1, {}}, {1, {}}}}},
      {R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":0})", SetSampleInterval{2, 0}},
      {R"({"type":"setStreaming","enabled":true,"version":2})", SetStreaming{2, true}},
      {R"({"type":"sampleNow","version":2,"requestId":""})", SampleNow{2, ""}},
      {R"({"type":"sampleNow","version":2,"requestId":"a\u0062c"})", SampleNow{2, "abc"}},
      {R"({"type":"sampleNow","version":2,"requestId":"\"\\\/\b\f\n\r\t\u00e9\uD834\uDd1E"})",
       SampleNow{2, "\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9d\x84\x9e"}},
      {R"({"type":"readHistory","version":2,"requestId":"r","windowMs":60000})",
       ReadHistory{2, "r", 60000}},
      // Keys are compared after unescaping; "type" is special only at the top level.
      {R"({"t\u0079pe":"shutdown","vers\u0069on":2,"x":{"type":1,"version":"no"}})", Shutdown{2}},
      {R"({"type":"sh\u0075tdown","version":2,"ignored":[1e-400,-0,1.5,"\ud83d\ude00",null]})",
       Shutdown{2}},
      {R"(["shutdown",2])", Shutdown{2}},
      {R"( [ "configure" , 2 , 1 , 1000 ] )", Configure{2, 1, 1000, {}}},
      {R"(["configure",2,1,1000,[{"pid":3},[4,5]]])", Configure{2, 1, 1000, {{3, {}}, {4, 5}}}},
      {R"(["setExternalProcesses",2,[]])", SetExternalProcesses{2, {}}},
      {R"(["setStreaming",2,false])", SetStreaming{2, false}},
      {R"(["readHistory",2,"id",5])", ReadHistory{2, "id", 5}},
  };
  for (const auto& c : cases) {
    auto result = decodeCommand(c.line);
    ASSERT_TRUE(result) << c.line << " -> " << result.error();
    EXPECT_EQ(*result, c.expected) << c.line;
  }
}

// Problems found while converting retained members: no position.
TEST(DecodeCommand, RefusesFieldsWithExactText) {
  constexpr struct {
    std::string_view line, message;
  } cases[] = {
      {R"({"type":"shutdown"})", "missing field `version`"},
      {R"({"type":"shutdown"} x)", "missing field `version`"},
      {R"({"type":"readHistory"})", "missing field `version`"},
      {R"({"type":"readHistory","windowMs":1,"version":2})", "missing field `requestId`"},
      {R"({"type":"configure","version":2,"sampleIntervalMs":1})", "missing field `rootPid`"},
      {R"({"type":"setExternalProcesses","version":2})", "missing field `processes`"},
      {R"({"type":"setStreaming","enabled":"yes","version":2})",
       R"(invalid type: string "yes", expected a boolean)"},
      {R"({"type":"setStreaming","version":2,"enabled":1})",
       "invalid type: integer `1`, expected a boolean"},
      {R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":1000.0})",
       "invalid type: floating point `1000.0`, expected u64"},
      {R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":1e3})",
       "invalid type: floating point `1000.0`, expected u64"},
      {R"({"type":"readHistory","version":2,"requestId":"r","windowMs":-5})",
       "invalid value: integer `-5`, expected u64"},
      {R"({"type":"configure","version":-1,"rootPid":1,"sampleIntervalMs":1000})",
       "invalid value: integer `-1`, expected u32"},
      {R"({"type":"configure","version":2,"rootPid":4294967296,"sampleIntervalMs":1000})",
       "invalid value: integer `4294967296`, expected u32"},
      {R"({"type":"shutdown","version":2.0})", "invalid type: floating point `2.0`, expected u32"},
      {R"({"type":"shutdown","version":null})", "invalid type: null, expected u32"},
      {R"({"type":"shutdown","version":false})", "invalid type: boolean `false`, expected u32"},
      {R"({"type":"shutdown","version":[2]})", "invalid type: sequence, expected u32"},
      {R"({"type":"shutdown","version":{}})", "invalid type: map, expected u32"},
      {R"({"type":"sampleNow","version":2,"requestId":7})",
       "invalid type: integer `7`, expected a string"},
      {R"({"type":"sampleNow","version":2,"requestId":"a","requestId":"b"})",
       "duplicate field `requestId`"},
      // A duplicate is refused before its value is looked at; the first problem in order wins.
      {R"({"type":"shutdown","version":2,"version":"x"})", "duplicate field `version`"},
      {R"({"type":"configure","rootPid":"x","version":-1})",
       R"(invalid type: string "x", expected u32)"},
      {R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":1,"externalProcesses":[],"externalProcesses":[]})",
       "duplicate field `externalProcesses`"},
      {R"({"type":"setExternalProcesses","version":2,"processes":{}})",
       "invalid type: map, expected a sequence"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[{"startTimeMs":1}]})",
       "missing field `pid`"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[5]})",
       "invalid type: integer `5`, expected struct ExternalProcess"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[[]]})",
       "invalid length 0, expected struct ExternalProcess with 2 elements"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[[1,2,3]]})",
       "invalid length 3, expected 2 elements in sequence"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[["x",2,3]]})",
       R"(invalid type: string "x", expected u32)"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[[1,-2]]})",
       "invalid value: integer `-2`, expected u64"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[{"pid":1,"pid":2}]})",
       "duplicate field `pid`"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[{"pid":1,"startTimeMs":null,"startTimeMs":2}]})",
       "duplicate field `startTimeMs`"},
      {R"({"type":"setExternalProcesses","version":2,"processes":[{"pid":1,"startTimeMs":1.5}]})",
       "invalid type: floating point `1.5`, expected u64"},
      // Positional forms: element i missing, or too many.
      {R"(["configure",2])",
       "invalid length 1, expected struct variant Command::Configure with 4 elements"},
      {R"(["configure",2,1])",
       "invalid length 2, expected struct variant Command::Configure with 4 elements"},
      {R"(["setExternalProcesses",2])",
       "invalid length 1, expected struct variant Command::SetExternalProcesses with 2 elements"},
      {R"(["setSampleInterval"])",
       "invalid length 0, expected struct variant Command::SetSampleInterval with 2 elements"},
      {R"(["setStreaming",2])",
       "invalid length 1, expected struct variant Command::SetStreaming with 2 elements"},
      {R"(["sampleNow",2])",
       "invalid length 1, expected struct variant Command::SampleNow with 2 elements"},
      {R"(["readHistory",2,"r"])",
       "invalid length 2, expected struct variant Command::ReadHistory with 3 elements"},
      {R"(["shutdown"])",
       "invalid length 0, expected struct variant Command::Shutdown with 1 element"},
      {R"(["shutdown",2,3])", "invalid length 2, expected 1 element in sequence"},
      {R"(["configure",2,1,1000,[],5])", "invalid length 5, expected 4 elements in sequence"},
      {R"(["sampleNow",2,"r",1,1])", "invalid length 4, expected 2 elements in sequence"},
      {R"(["shutdown","x",3])", R"(invalid type: string "x", expected u32)"},
      // Quoting of the found text keeps it on one line and readable.
      {R"({"type":"shutdown","version":"a\"b\\c\u0000\t\r\n\u001f\u007f\u0085\u00e9"})",
       "invalid type: string \"a\\\"b\\\\c\\0\\t\\r\\n\\u{1f}\\u{7f}\\u{85}\xc3\xa9\", expected "
       "u32"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeError(c.line), c.message) << c.line;
}

// Every number is classed as it is read; the class shows in the found text.
TEST(DecodeCommand, ClassesNumbers) {
  constexpr struct {
    std::string_view number, message;
  } cases[] = {
      {"0", "missing field `rootPid`"},
      {"4294967295", "missing field `rootPid`"},
      {"18446744073709551615", "invalid value: integer `18446744073709551615`, expected u32"},
      {"18446744073709551616",
       "invalid type: floating point `1.8446744073709552e+19`, expected u32"},
      {"-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u32"},
      {"-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e+18`, expected u32"},
      {"-0", "invalid type: floating point `-0.0`, expected u32"},
      {"-0.0", "invalid type: floating point `-0.0`, expected u32"},
      {"0.00001", "invalid type: floating point `0.00001`, expected u32"},
      {"1E-6", "invalid type: floating point `1e-6`, expected u32"},
      {"1e+16", "invalid type: floating point `1e+16`, expected u32"},
      {"1e-400", "invalid type: floating point `0.0`, expected u32"},
      {"-1e-400", "invalid type: floating point `-0.0`, expected u32"},
      {"0.000e999999999999999999", "invalid type: floating point `0.0`, expected u32"},
      {"1000000000000000000000000000000e-330",
       "invalid type: floating point `1e-300`, expected u32"},
      {"1.7976931348623157e308",
       "invalid type: floating point `1.7976931348623157e+308`, expected u32"},
      {"5e-324", "invalid type: floating point `5e-324`, expected u32"},
      {"1e309", "number out of range at line 1 column 35"},
      {"-1e309", "number out of range at line 1 column 36"},
      {"0.001e99999999999999999999", "number out of range at line 1 column 56"},
  };
  for (const auto& c : cases) {
    const std::string line = R"({"type":"configure","version":)" + std::string(c.number) + "}";
    EXPECT_EQ(decodeError(line), c.message) << line;
  }
  EXPECT_EQ(decodeError(R"({"type":"shutdown","version":1)" + std::string(400, '0') + "}"),
            "number out of range at line 1 column 430");
}

// Errors found while reading the text carry the byte column of the offending byte, of the end of
// the token just read, or the line's length when it ended early.
TEST(DecodeCommand, RefusesSyntaxWithExactColumn) {
  const struct {
    std::string_view line;
    std::string message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[ ", "EOF while parsing a list at line 1 column 2"},
      {R"({"type":"shutdown","version":2)", "EOF while parsing an object at line 1 column 30"},
      {R"({"type":"shutdown","version":2,)", "EOF while parsing an object at line 1 column 31"},
      {R"({"type":"shutdown","version")", "EOF while parsing an object at line 1 column 28"},
      {R"({"type":"shutdown","x":[1)", "EOF while parsing a list at line 1 column 25"},
      {R"(["shutdown",2)", "EOF while parsing a list at line 1 column 13"},
      {R"(["shutdown",)", "EOF while parsing a value at line 1 column 12"},
      {R"({"type":"shutdown","x":[1,)", "EOF while parsing a value at line 1 column 26"},
      {R"({"type":"shutdown","version":)", "EOF while parsing a value at line 1 column 29"},
      {R"({"type":"shutdown","version":nul)", "EOF while parsing a value at line 1 column 32"},
      {R"({"type":"shutdown","version":-)", "EOF while parsing a value at line 1 column 30"},
      {R"({"type":"shutdown","version":1.)", "EOF while parsing a value at line 1 column 31"},
      {R"({"type":"shutdown","version":"ab)", "EOF while parsing a string at line 1 column 32"},
      {R"({"type":"shutdown","version":"\u12)", "EOF while parsing a string at line 1 column 34"},
      {R"({"type":"shutdown","version":"\ud800)", "EOF while parsing a string at line 1 column 36"},
      {R"({"type":"shutdown","version" 2})", "expected `:` at line 1 column 30"},
      {R"(["shutdown",2 3])", "expected `,` or `]` at line 1 column 15"},
      {R"({"type":"shutdown","version":2 3})", "expected `,` or `}` at line 1 column 32"},
      {R"({"type":"shutdown","x":{"a":1 "b":2}})", "expected `,` or `}` at line 1 column 31"},
      {R"({"type":"shutdown","version":tru})", "expected ident at line 1 column 33"},
      {R"({"type":"shutdown","version":nulL})", "expected ident at line 1 column 33"},
      {R"({"type":"shutdown","version":x})", "expected value at line 1 column 30"},
      {"\xef\xbb\xbf{\"type\":\"shutdown\",\"version\":2}", "expected value at line 1 column 1"},
      {"\xc2\xa0{\"type\":\"shutdown\",\"version\":2}", "expected value at line 1 column 1"},
      {"\f{\"type\":\"shutdown\",\"version\":2}", "expected value at line 1 column 1"},
      {R"({"type":"shutdown",2:1})", "key must be a string at line 1 column 20"},
      {R"({5:1})", "key must be a string at line 1 column 2"},
      {R"({"type":"shutdown","x":{ 5:1}})", "key must be a string at line 1 column 26"},
      {R"({"type":"shutdown","version":"\x"})", "invalid escape at line 1 column 32"},
      {R"({"type":"shutdown","version":"\u12x4"})",
       "unexpected end of hex escape at line 1 column 35"},
      {R"({"type":"shutdown","version":"\ud800"})",
       "lone leading surrogate in hex escape at line 1 column 37"},
      {R"({"type":"shutdown","version":"\ud800\n"})",
       "lone leading surrogate in hex escape at line 1 column 38"},
      {R"({"type":"shutdown","version":"\udc00\ud800"})",
       "lone leading surrogate in hex escape at line 1 column 36"},
      {R"({"type":"shutdown","version":"\ud800\u0041"})",
       "invalid unicode code point at line 1 column 42"},
      {R"({"type":"shutdown","version":"\ud800\ud800"})",
       "invalid unicode code point at line 1 column 42"},
      {R"({"type":"shutdown","version":"\ud800\uzzzz"})",
       "unexpected end of hex escape at line 1 column 39"},
      {"{\"type\":\"shutdown\",\"version\":\"a\tb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 32"},
      {std::string_view("{\"type\":\"shutdown\",\"x\":\"\0\"}", 27),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 25"},
      {R"({"type":"shutdown","version":01})", "invalid number at line 1 column 31"},
      {R"({"type":"shutdown","version":-x})", "invalid number at line 1 column 31"},
      {R"({"type":"shutdown","version":1.})", "invalid number at line 1 column 32"},
      {R"({"type":"shutdown","version":1e+})", "invalid number at line 1 column 33"},
      {R"({"type":"shutdown","version":.5})", "expected value at line 1 column 30"},
      {R"(["shutdown",2,])", "trailing comma at line 1 column 15"},
      {R"({"type":"shutdown","version":2, })", "trailing comma at line 1 column 33"},
      // A syntax error anywhere wins over every field error.
      {R"({"type":"shutdown","version":"x",})", "trailing comma at line 1 column 34"},
      {R"({"type":"shutdown","version":"x","y":[})", "expected value at line 1 column 39"},
      {R"({"type":"shutdown","version":2} x)", "trailing characters at line 1 column 33"},
      {R"(["shutdown",2]])", "trailing characters at line 1 column 15"},
      {R"({"type":"shutdown","version":2}{"type":"shutdown","version":2})",
       "trailing characters at line 1 column 32"},
      // The tag and the top-level shape, refused at the end of the token just read.
      {R"({"type":"Shutdown","version":2})",
       "unknown variant `Shutdown" + std::string(UNKNOWN_TAIL) + "18"},
      {R"({"type":"bogus",)", "unknown variant `bogus" + std::string(UNKNOWN_TAIL) + "15"},
      {R"({"x":[,"type":"sh\u0075t"})", "expected value at line 1 column 7"},
      {R"({"x":1,"type":"sh\u0075t"})", "unknown variant `shut" + std::string(UNKNOWN_TAIL) + "25"},
      {R"(["",2])", "unknown variant `" + std::string(UNKNOWN_TAIL) + "3"},
      {R"({"type":5})",
       "invalid type: integer `5`, expected variant identifier at line 1 column 9"},
      {R"({"type": null ,"version":2})",
       "invalid type: null, expected variant identifier at line 1 column 13"},
      {R"({"type":["shutdown"]})",
       "invalid type: sequence, expected variant identifier at line 1 column 20"},
      {R"([{"a":1},2])", "invalid type: map, expected variant identifier at line 1 column 8"},
      {R"({"type":-1.5e0})",
       "invalid type: floating point `-1.5`, expected variant identifier at line 1 column 14"},
      {R"({"type":"shutdown","version":2,"type":"shutdown"})",
       "duplicate field `type` at line 1 column 37"},
      {R"({"type":"shutdown","t\u0079pe":1})", "duplicate field `type` at line 1 column 30"},
      {"{}", "missing field `type` at line 1 column 2"},
      {R"({"version":2} )", "missing field `type` at line 1 column 13"},
      {"[]", "missing field `type` at line 1 column 2"},
      {"[ ] x", "missing field `type` at line 1 column 3"},
      {"5",
       "invalid type: integer `5`, expected internally tagged enum Command at line 1 column 1"},
      {" -7 x",
       "invalid type: integer `-7`, expected internally tagged enum Command at line 1 column 3"},
      {"true",
       "invalid type: boolean `true`, expected internally tagged enum Command at line 1 column 4"},
      {R"("shutdown")",
       "invalid type: string \"shutdown\", expected internally tagged enum Command at line 1 "
       "column 10"},
      {"1.5",
       "invalid type: floating point `1.5`, expected internally tagged enum Command at line 1 "
       "column 3"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeError(c.line), c.message) << c.line;
}

// At most 127 arrays and objects may be open at once, the top-level one included.
TEST(DecodeCommand, LimitsNesting) {
  const auto nested = [](std::string_view head, int depth, std::string_view tail) {
    return std::string(head) + std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']') + std::string(tail);
  };
  const std::string head = R"({"type":"shutdown","version":2,"deep":)";  // 38 bytes
  for (int depth : {125, 126}) {
    EXPECT_TRUE(decodeCommand(nested(head, depth, "}"))) << depth;
    // Read completely: what is left to refuse is the extra element.
    EXPECT_EQ(decodeError(nested(R"(["shutdown",2,)", depth, "]")),
              "invalid length 2, expected 1 element in sequence")
        << depth;
  }
  EXPECT_EQ(decodeError(nested(head, 127, "}")),
            "recursion limit exceeded at line 1 column " + std::to_string(38 + 127));
  EXPECT_EQ(decodeError(nested(head, 128, "}")),
            "recursion limit exceeded at line 1 column " + std::to_string(38 + 127));
  EXPECT_EQ(decodeError(nested(R"(["shutdown",2,)", 127, "]")),
            "recursion limit exceeded at line 1 column " + std::to_string(14 + 127));
  // Closing brackets give the budget back: many shallow siblings are fine.
  std::string wide = R"({"type":"shutdown","version":2,"x":[)";
  for (int i = 0; i < 300; ++i) wide += "[{}],";
  wide += "0]}";
  EXPECT_TRUE(decodeCommand(wide));
  // The tag itself may not nest too deep either.
  EXPECT_EQ(decodeError(nested(R"({"type":)", 127, "}")),
            "recursion limit exceeded at line 1 column " + std::to_string(8 + 127));
}

}  // namespace
}  // namespace procsampler::protocol
