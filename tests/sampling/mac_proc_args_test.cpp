#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "sampling/macos/proc_args.h"

namespace procsampler::sampling::macos {
namespace {

using namespace std::string_view_literals;

// An argument count, then bytes laid out as the kernel would not write them.
std::vector<std::byte> area(std::int32_t count, std::string_view rest) {
  const std::string text = std::string(reinterpret_cast<const char*>(&count), 4).append(rest);
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  return {bytes, bytes + text.size()};
}

TEST(ArgumentArea, ReadsNoFurtherThanTheCountOrTheArea) {
  const std::tuple<std::vector<std::byte>, std::string, std::vector<std::string>> cases[] = {
      {area(-3, "/bin/ls\0ls\0"sv), "/bin/ls", {}},
      {area(9, "/bin/sh\0\0\0sh\0-"sv), "/bin/sh", {"sh", "-"}},  // the area ends first
      {area(1, "/bin/sh"), "/bin/sh", {}},
      {area(1, "/x\0\xff\xfe\0"sv), "/x", {"\xff\xfe"}},  // not UTF-8: kept as it is
  };
  for (const auto& [bytes, path, arguments] : cases) {
    const ArgumentArea parsed = parseArgumentArea(bytes).value_or(ArgumentArea{"(none)", {}});
    EXPECT_EQ(std::tie(parsed.executable_path, parsed.arguments), std::tie(path, arguments));
  }
  EXPECT_FALSE(parseArgumentArea(std::as_bytes(std::span("abc", 3))));  // no room for a count
}

}  // namespace
}  // namespace procsampler::sampling::macos
