// From a process's arguments to its record: the splitter that keeps only what a command can show,
// and the record's texts, joins, bounds and numbers.
#include "sampling/process_sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "sampling/command_line.h"

namespace procsampler::sampling {
namespace {

using namespace std::string_literals;
using Strings = std::vector<std::string>;

const std::string R = "\xEF\xBF\xBD";  // U+FFFD
const std::string kEuro = "\xE2\x82\xAC";
std::string n(std::size_t length) { return std::string(length, 'n'); }

TEST(CommandLineSplitter, SkipsRunsOfNulsRefillsAListWholeAndStopsAtWhatCanBeReported) {
  // Reportable 10: 11 bytes of arguments and the spaces between them.
  // clang-format off
  const std::pair<std::string, Strings> kCases[] = {
      {"\0\0a\0\0\0b"s, {"a", "b"}}, {"sh\0-c\0\0:\0\0"s, {"sh", "-c", ":"}}, {"\0\0"s, {}},
      {"\0x"s, {"x"}}, {"abcdefghijklmnopq"s, {"abcdefghijk"}},
      {"abc\0\0\0\0defgh\0ijklmnop\0q"s, {"abc", "defgh", "i"}},
      {"abcdefghij\0\0\0n"s, {"abcdefghij"}}};  // never an empty argument
  // clang-format on
  // One list throughout, as a table reuses an entry's: it must hold no argument of the last.
  Strings list{"a much longer previous argument", "x", "y", "z", "w"};
  for (const std::size_t pieceSize : {1u, 3u, 100u}) {
    for (const auto& [raw, args] : kCases) {
      CommandLineSplitter splitter(list, 10);
      std::size_t handed = 0;
      for (bool more = true; more && handed < raw.size(); handed += pieceSize) {
        more = splitter.add(std::string_view(raw).substr(handed, pieceSize));
      }
      splitter.finish();
      EXPECT_EQ(list, args) << raw << " in pieces of " << pieceSize;
    }
  }
  CommandLineSplitter empty(list, 10);  // a zombie's: the list stays as it was
  empty.add("");
  empty.finish();
  EXPECT_EQ(list, Strings{"abcdefghij"});
}

TEST(ProcessSample, RepairsJoinsAndBoundsTheTexts) {
  // clang-format off
  const struct { std::string name; Strings arguments, expected; } rows[] = {
      {"ab\xFF" "cd", {}, {"ab" + R + "cd", "ab" + R + "cd"}},
      // Each argument is repaired alone: C3 | A9 would otherwise make one character.
      {"x", {"caf\xC3", "", "\xA9 ok"}, {"x", "caf" + R + "  " + R + " ok"}},
      {n(1024), {"a"}, {n(1024), "a"}}, {n(1025), {"a"}, {n(1024), "a"}},
      // Cut inside a character; then a name bounded after its repair.
      {n(1022) + kEuro, {"a"}, {n(1022), "a"}}, {n(1023) + "\xFF", {"a"}, {n(1023), "a"}},
      // Without arguments the name stands whole for the command.
      {n(2000), {}, {n(1024), n(2000)}},
      // The command is what the whole list joined and cut would give, though only the part the cut
      // can see (one byte past the bound) is joined.
      {"x", {n(16379), "1234"}, {"x", n(16379) + " 1234"}},
      {"x", {n(16380), "1234"}, {"x", n(16380) + " 123"}},
      {"x", {n(16383), "1234"}, {"x", n(16383) + " "}},
      {"x", {n(16382) + kEuro, n(100000)}, {"x", n(16382)}},
      {"x", {n(16381) + kEuro + n(100000)}, {"x", n(16381) + kEuro}}};
  // clang-format on
  for (const auto& row : rows) {
    const ProcessSample sample = buildProcessSample({0, {}, row.name, row.arguments, {}});
    EXPECT_EQ(Strings({sample.name, sample.command}), row.expected) << row.expected[1].size();
  }
}

TEST(ProcessSample, NamesEveryStatusExactlyCopiesTheNumbersAndSaturatesTheMilliseconds) {
  using K = ProcessStatusKind;
  // clang-format off
  const struct { ProcessStatus status; const char* text; } rows[] = {
      {{K::Idle}, "Idle"}, {{K::Run, 9}, "Run"}, {{K::Sleep}, "Sleep"}, {{K::Stop}, "Stop"},
      {{K::Zombie}, "Zombie"}, {{K::Tracing}, "Tracing"}, {{K::Dead}, "Dead"},
      {{K::Wakekill}, "Wakekill"}, {{K::Waking}, "Waking"}, {{K::Parked}, "Parked"},
      {{K::LockBlocked}, "LockBlocked"}, {{K::Suspended}, "Suspended"},
      {{K::UninterruptibleDiskSleep}, "UninterruptibleDiskSleep"},
      {{K::Unknown, 12}, "Unknown(12)"}, {{K::Unknown, 4294967295u}, "Unknown(4294967295)"}};
  // clang-format on
  for (const auto& row : rows) {
    EXPECT_EQ(buildProcessSample({0, {}, "p", {}, row.status}).status, row.text);
  }
  // Distinct values in field order, so a swapped or dropped field shows.
  EXPECT_EQ(buildProcessSample({4242, 17, "p", {}, {}, 123.5f, 11, 22, 33, 44, 55, 5, 6}),
            (ProcessSample{4242, 17, 5000, 6000, "p", "p", "Unknown(0)", 123.5f, 11, 22, 33, 44, 55,
                           false}));
  const ProcessSample saturated = buildProcessSample(
      {7, {}, "p", {}, {}, 0.0f, 0, 0, 0, 0, 0, UINT64_MAX / 1000, UINT64_MAX / 1000 + 1});
  EXPECT_EQ(std::tuple(saturated.ppid, saturated.startTimeMs, saturated.runTimeMs),
            std::tuple(0u, UINT64_MAX / 1000 * 1000, UINT64_MAX));
}

// argv keeps to command's bound, counting a byte per separator, and never cuts a character.
TEST(ProcessSample, ArgvOnlyWhenAskedAndWithinTheCommandBound) {
  Process entry;
  const std::string e = "\xc3\xa9";
  entry.arguments = {std::string(MAX_COMMAND_BYTES - 4, 'a'), e + e, "never"};
  EXPECT_TRUE(buildProcessSample(entry).argv.empty());
  EXPECT_EQ(buildProcessSample(entry, true).argv,
            (Strings{std::string(MAX_COMMAND_BYTES - 4, 'a'), e}));
  entry.arguments = {"x\xff", ""};
  EXPECT_EQ(buildProcessSample(entry, true).argv, (Strings{"x\xef\xbf\xbd", ""}));
}

}  // namespace
}  // namespace procsampler::sampling
