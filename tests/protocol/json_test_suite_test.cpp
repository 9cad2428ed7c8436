// Runs the public JSON conformance suite through the decoder. Most of its texts are not commands,
// so each is also tried as the value of an ignored member of a valid command, where only the JSON
// reader can object.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "protocol/command_decoder.h"
#include "protocol/decode_errors.h"

namespace procsampler::protocol {
namespace {

constexpr std::string_view POSITION = " at line 1 column ";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A message of the JSON reader itself, as opposed to the tag and shape refusals (which carry a
// position too) and the field refusals.
bool isReaderMessage(std::string_view message) {
  for (int code = 0; code <= static_cast<int>(SyntaxError::RecursionLimitExceeded); ++code) {
    const std::string_view text = syntaxErrorText(static_cast<SyntaxError>(code));
    if (message.starts_with(text) && message.substr(text.size()).starts_with(POSITION)) return true;
  }
  return false;
}

bool isPositioned(std::string_view message) {
  return message.find(POSITION) != std::string_view::npos;
}

std::string wrapped(std::string_view text) {
  return R"({"type":"shutdown","version":2,"x":)" + std::string(text) + "}";
}

TEST(JsonTestSuite, AcceptsValidAndRefusesInvalidTexts) {
  const std::filesystem::path dir = JSON_TEST_SUITE_DIR;
  if (!std::filesystem::is_directory(dir)) {
    GTEST_SKIP() << "JSONTestSuite not found at " << dir << " (expected beside the repository)";
  }
  int accepted = 0;
  int refused = 0;
  int other = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    const std::string text = readFile(entry.path());
    // Every file, whatever it holds, must decode or be refused without a crash or a hang.
    auto whole = decodeCommand(text);
    const bool oneLine = text.find_first_of("\r\n") == std::string::npos && isValidUtf8(text);
    if (!oneLine || name[0] == 'i') {
      ++other;
      continue;
    }
    auto inMember = decodeCommand(wrapped(text));
    if (name[0] == 'y') {
      ++accepted;
      EXPECT_TRUE(whole || !isReaderMessage(whole.error())) << name << ": " << whole.error();
      EXPECT_TRUE(inMember) << name << ": " << inMember.error();
    } else if (name[0] == 'n') {
      ++refused;
      // Reading stops at a refused tag or top-level shape, so the syntax error may lie beyond it;
      // those refusals are positioned too.
      ASSERT_FALSE(whole) << name;
      EXPECT_TRUE(isPositioned(whole.error())) << name << ": " << whole.error();
      ASSERT_FALSE(inMember) << name;
      EXPECT_TRUE(isReaderMessage(inMember.error())) << name << ": " << inMember.error();
    }
  }
  EXPECT_GT(accepted, 90);
  EXPECT_GT(refused, 150);
  EXPECT_GT(other, 30);
}

}  // namespace
}  // namespace procsampler::protocol
