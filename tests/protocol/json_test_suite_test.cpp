// Runs the public JSON conformance suite through the decoder. Most of its texts are not commands,
// so each is also tried as the value of an ignored member, where only the JSON reader can object.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/utf8.h"
#include "protocol/command_decoder.h"
#include "protocol/decode_errors.h"

namespace procsampler::protocol {
namespace {

bool isReaderMessage(const std::string& message) {
  for (int code = 0; code <= static_cast<int>(SyntaxError::RecursionLimitExceeded); ++code) {
    const std::string_view text = syntaxErrorText(static_cast<SyntaxError>(code));
    if (message.starts_with(std::string(text) + " at line 1 column ")) return true;
  }
  return false;
}

TEST(JsonTestSuite, AcceptsValidAndRefusesInvalidTexts) {
  ASSERT_TRUE(std::filesystem::is_directory(JSON_TEST_SUITE_DIR)) << JSON_TEST_SUITE_DIR;
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(JSON_TEST_SUITE_DIR)) {
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
