#include "sampling/linux/proc_parsers.h"

#include <gtest/gtest.h>

namespace procsampler::sampling::procfs {
namespace {

using namespace std::string_literals;
using K = ProcessStatusKind;

TEST(ProcParsers, StatTakesTheNameToTheLastParenthesisAndTheFieldsAfterIt) {
  for (std::string comm : {"my prog", "a) (b", ")", "x) S 1 2 3"}) {
    std::string line = "42 (" + comm + ") S 7 1 1 0 -1 0 0 0 0 0 11 12 0 0 20 0 3 0 13 14 15 0 1\n";
    StatFields s = parseStat(line).value_or(StatFields{});
    EXPECT_EQ(std::tuple(s.comm, s.state, s.ppid, s.utime, s.stime, s.threads, s.starttime,
                         s.vsize, s.rss),
              std::tuple(comm, 'S', 7u, 11u, 12u, 3u, 13u, 14u, 15u));
  }
  // The shortest line ends at rss; cut short or garbled, it is refused.
  const std::string kShortest = "1 (a) R 7 1 1 0 -1 0 0 0 0 0 11 12 0 0 20 0 1 0 13 14 15";
  EXPECT_TRUE(parseStat(kShortest));
  // clang-format off
  const std::pair<std::string, std::string> kGarbled[] = {{"(a)", "a)"}, {"(a)", "(a"},
      {"(a)", ")a("}, {" 15", ""}, {"R 7", "R -7"}, {" 11 ", " 1x "}, {"R", "RS"},
      {"15", "99999999999999999999"}};
  // clang-format on
  for (auto [from, to] : kGarbled) {
    std::string line = kShortest;
    EXPECT_FALSE(parseStat(line.replace(line.find(from), from.size(), to))) << line;
  }
}

TEST(ProcParsers, StateLettersAndTheByteOfAnyOther) {
  const std::pair<char, ProcessStatus> kCases[] = {
      {'R', {K::Run, 0}},      {'S', {K::Sleep, 0}},     {'D', {K::UninterruptibleDiskSleep, 0}},
      {'Z', {K::Zombie, 0}},   {'T', {K::Stop, 0}},      {'t', {K::Tracing, 0}},
      {'X', {K::Dead, 0}},     {'x', {K::Dead, 0}},      {'K', {K::Wakekill, 0}},
      {'W', {K::Waking, 0}},   {'P', {K::Parked, 0}},    {'I', {K::Idle, 0}},
      {'?', {K::Unknown, 63}}, {'r', {K::Unknown, 114}}, {'\xe9', {K::Unknown, 0xe9}}};
  for (auto [letter, status] : kCases) EXPECT_EQ(statusFromStateLetter(letter), status) << letter;
}

TEST(ProcParsers, IoTakesStorageBytesOnlySchedstatItsFirstField) {
  EXPECT_EQ(parseSchedstat("35107000 2215 14\n"), 35107000u);
  EXPECT_FALSE(parseSchedstat("-1 0 0\n"));
  auto io = parseIo("rchar: 40\nread_bytes: 12288\nwrite_bytes: 8192\ncancelled_write_bytes: 4096");
  EXPECT_EQ(std::tuple(io.value().readBytes, io.value().writeBytes), std::tuple(12288u, 8192u));
  for (const char* refused : {"rchar: 4000\nwchar: 3000\n", "read_bytes: 1\nwrite_bytes: -2\n",
                              "read_bytes: 1\ncancelled_write_bytes: 2\n"})
    EXPECT_FALSE(parseIo(refused)) << refused;
}

TEST(ProcParsers, CommandLineSkipsRunsOfNulsRefillsAListWholeAndStopsAtWhatCanBeReported) {
  // Reportable 10: 11 bytes of arguments and the spaces between them; `needed` is how many bytes
  // of the file that takes.
  // clang-format off
  const struct { std::string raw; std::vector<std::string> args; std::size_t needed; } kCases[] = {
      {"\0\0a\0\0\0b"s, {"a", "b"}, 7}, {"sh\0-c\0\0:\0\0"s, {"sh", "-c", ":"}, 10},
      {"\0\0"s, {}, 2}, {"\0x"s, {"x"}, 2}, {"abcdefghijklmnopq"s, {"abcdefghijk"}, 11},
      {"abc\0\0\0\0defgh\0ijklmnop\0q"s, {"abc", "defgh", "i"}, 14},
      {"abcdefghij\0\0\0n"s, {"abcdefghij"}, 14}};  // never an empty argument
  // clang-format on
  // One list throughout, as the table reuses an entry's: it must hold no argument of the last.
  std::vector<std::string> list{"a much longer previous argument", "x", "y", "z", "w"};
  for (const std::size_t pieceSize : {1u, 3u, 100u}) {
    for (const auto& [raw, args, needed] : kCases) {
      CommandLineSplitter splitter(list, 10);
      std::size_t handed = 0;
      for (bool more = true; more && handed < raw.size(); handed += pieceSize) {
        more = splitter.add(std::string_view(raw).substr(handed, pieceSize));
      }
      splitter.finish();
      EXPECT_EQ(list, args) << raw << " in pieces of " << pieceSize;
      EXPECT_EQ(std::min(handed, raw.size()),
                std::min((needed + pieceSize - 1) / pieceSize * pieceSize, raw.size()));
    }
  }
  CommandLineSplitter empty(list, 10);  // a zombie's: the list stays as it was
  empty.add("");
  empty.finish();
  EXPECT_EQ(list, (std::vector<std::string>{"abcdefghij"}));
}

TEST(ProcParsers, ExeNameIsTheFinalComponentWithoutDeleted) {
  // clang-format off
  const std::pair<std::string_view, std::string_view> kCases[] = {
      {"/usr/bin/python3.11 (deleted)", "python3.11"}, {"/tmp/ (deleted)x", " (deleted)x"},
      {"/opt/my app (deleted) (deleted)", "my app (deleted)"}, {"plain", "plain"},
      {"/usr/lib/./", "lib"}, {"/usr/..", ""}, {"/", ""}};
  // clang-format on
  for (auto [link, name] : kCases)
    EXPECT_EQ(finalComponent(stripDeletedSuffix(link)), name) << link;
}

}  // namespace
}  // namespace procsampler::sampling::procfs
