#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakes/fake_darwin_kernel.h"
#include "sampling/macos/proc_args.h"

namespace procsampler::sampling::macos {
namespace {

using testing::argumentArea;
using Strings = std::vector<std::string>;

std::vector<std::byte> bytes(std::string_view text) {
  const auto* data = reinterpret_cast<const std::byte*>(text.data());
  return {data, data + text.size()};
}

std::vector<std::byte> withCount(std::int32_t count, std::string_view rest) {
  std::vector<std::byte> area(sizeof count);
  std::memcpy(area.data(), &count, sizeof count);
  const std::vector<std::byte> tail = bytes(rest);
  area.insert(area.end(), tail.begin(), tail.end());
  return area;
}

TEST(ArgumentArea, SplitsPathArgumentsAndLeavesTheEnvironmentUnread) {
  using namespace std::string_view_literals;
  const struct {
    const char* what;
    std::vector<std::byte> area;
    std::string path;
    Strings arguments;
  } cases[] = {
      {"plain", argumentArea("/bin/ls", {"ls", "-l", "/tmp"}), "/bin/ls", {"ls", "-l", "/tmp"}},
      {"count 0", argumentArea(0, "/bin/ls", {}, {"A=1"}), "/bin/ls", {}},
      {"negative count", argumentArea(-3, "/bin/ls", {"ls"}), "/bin/ls", {}},
      {"empty argument in the middle",
       argumentArea(3, "/bin/echo", {"echo", "", "x"}, {"SECRET=1"}),
       "/bin/echo",
       {"echo", "x"}},
      {"count larger than the area",
       argumentArea(9, "/bin/sh", {"sh", "-c"}),
       "/bin/sh",
       {"sh", "-c"}},
      {"last argument cut off", withCount(2, "/bin/sh\0\0\0sh\0-"sv), "/bin/sh", {"sh", "-"}},
      {"path without NUL", withCount(1, "/bin/sh"), "/bin/sh", {}},
      {"count alone", withCount(1, ""), "", {}},
      {"non-UTF-8 bytes kept", withCount(1, "/x\0\xff\xfe\0"sv), "/x", {"\xff\xfe"}},
  };
  for (const auto& c : cases) {
    const auto parsed = parseArgumentArea(c.area);
    ASSERT_TRUE(parsed) << c.what;
    EXPECT_EQ(parsed->executable_path, c.path) << c.what;
    EXPECT_EQ(parsed->arguments, c.arguments) << c.what;
  }
  EXPECT_FALSE(parseArgumentArea(bytes("abc")));
}

TEST(ArgumentArea, FileNameIgnoresTrailingSeparatorsAndDots) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"/usr/bin/python3", "python3"},
      {"python3", "python3"},
      {"/usr/bin/", "bin"},
      {"/usr/bin/.", "bin"},
      {"/usr/./bin//", "bin"},
      {"../tool", "tool"},
      {"/", ""},
      {"", ""},
      {"/usr/..", ""},
      {".", ""},
      {"a b/c d", "c d"},
  };
  for (const auto& c : cases) EXPECT_EQ(fileNameOf(c.path), c.name) << c.path;
}

}  // namespace
}  // namespace procsampler::sampling::macos
