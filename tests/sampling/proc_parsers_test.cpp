#include "sampling/linux/proc_parsers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace procsampler::sampling::procfs {
namespace {

using namespace std::string_literals;
using K = ProcessStatusKind;

// A real line (a shell on a 6.x kernel) with the command name swapped per case.
std::string statWithComm(const std::string& comm) {
  return "4242 (" + comm +
         ") S 4200 4242 4200 34816 4300 4194304 1532 27 3 0 151 26 0 0 20 0 1 0 987654 "
         "8830976 1207 18446744073709551615 94 95 140 0 0 0 65536 3686404 1266761467 0 0 0 17 1 0 "
         "0 0 0 0 94 95 96 140 141 141 142 0\n";
}

TEST(ParseStat, ReadsTheFieldsAfterTheLastParenthesis) {
  const struct {
    std::string comm;
  } kNames[] = {{"bash"}, {"my prog"}, {"a) (b"}, {")"}, {"(("}, {""}, {"x) S 1 2 3"}};
  for (const auto& c : kNames) {
    std::string line = statWithComm(c.comm);
    auto stat = parseStat(line);
    ASSERT_TRUE(stat) << c.comm;
    EXPECT_EQ(stat->comm, c.comm);
    EXPECT_EQ(stat->state, 'S') << c.comm;
    EXPECT_EQ(stat->ppid, 4200u) << c.comm;
    EXPECT_EQ(stat->utime, 151u) << c.comm;
    EXPECT_EQ(stat->stime, 26u) << c.comm;
    EXPECT_EQ(stat->starttime, 987654u) << c.comm;
    EXPECT_EQ(stat->vsize, 8830976u) << c.comm;
    EXPECT_EQ(stat->rss, 1207u) << c.comm;
  }
}

TEST(ParseStat, RefusesLinesCutShortOrGarbled) {
  const std::string kRefused[] = {
      "",
      "4242 bash S 4200",
      "4242 (bash S 4200 4242",
      "4242 )bash( S 4200",
      "4242 (bash) S 4200 4242 4200 34816 4300 4194304 1532 27 3 0 151 26 0 0 20 0 1 0 987654 "
      "8830976",
      "4242 (bash) S -1 4242 4200 34816 4300 4194304 1532 27 3 0 151 26 0 0 20 0 1 0 9 8 7",
      "4242 (bash) S 4200 4242 4200 34816 4300 4194304 1532 27 3 0 15x 26 0 0 20 0 1 0 9 8 7",
      "4242 (bash) SS 4200 4242 4200 34816 4300 4194304 1532 27 3 0 151 26 0 0 20 0 1 0 9 8 7",
      "4242 (bash) S 4200 4242 4200 34816 4300 4194304 1532 27 3 0 151 26 0 0 20 0 1 0 9 8 "
      "99999999999999999999",
  };
  for (const auto& line : kRefused) EXPECT_FALSE(parseStat(line)) << line;
  // The shortest acceptable line ends at rss.
  EXPECT_TRUE(parseStat("1 (a) R 0 1 1 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 3 4 5"));
}

TEST(StateLetter, MapsEveryLetterAndKeepsTheByteOfOthers) {
  const struct {
    char letter;
    ProcessStatus status;
  } kCases[] = {
      {'R', {K::Run, 0}},      {'S', {K::Sleep, 0}},     {'D', {K::UninterruptibleDiskSleep, 0}},
      {'Z', {K::Zombie, 0}},   {'T', {K::Stop, 0}},      {'t', {K::Tracing, 0}},
      {'X', {K::Dead, 0}},     {'x', {K::Dead, 0}},      {'K', {K::Wakekill, 0}},
      {'W', {K::Waking, 0}},   {'P', {K::Parked, 0}},    {'I', {K::Idle, 0}},
      {'?', {K::Unknown, 63}}, {'r', {K::Unknown, 114}}, {'\xe9', {K::Unknown, 0xe9}},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(statusFromStateLetter(c.letter), c.status) << c.letter;
  }
}

TEST(ParseSystemStat, SumsTheAggregateLineWithoutGuestTimeAndCountsCpus) {
  const struct {
    std::string text;
    std::optional<std::uint64_t> boot;
    std::optional<std::uint64_t> elapsed;
    std::uint32_t cpus;
  } kCases[] = {
      // guest (9th) and guest_nice (10th) are already inside user and nice.
      {"cpu  10 20 30 40 50 60 70 80 1000 2000\ncpu0 1 1 1 1\ncpu1 1 1 1 1\nbtime 1700000000\n",
       1700000000, 360, 2},
      // Old kernels print only the first four fields.
      {"cpu 1 2 3 4\ncpu0 1 2 3 4\nbtime 5\n", 5, 10, 1},
      {"btime 77\ncpu  1 2 3 4 5 6 7 8 9 10\ncpu0 0 0 0 0\ncpu1 0 0 0 0\ncpu2 0 0 0 0\n", 77, 36,
       3},
      {"cpu  1 2 3\ncpu0 1 2 3\nbtime 9\n", 9, std::nullopt, 0},        // too few fields
      {"cpu  1 x 3 4\ncpu0 1 2 3 4\n", std::nullopt, std::nullopt, 0},  // garbled
      {"cpu  1 2 3 4\nbtime\n", std::nullopt, std::nullopt, 0},         // no per-CPU line
      {"", std::nullopt, std::nullopt, 0},
  };
  for (const auto& c : kCases) {
    SystemStat stat = parseSystemStat(c.text);
    EXPECT_EQ(stat.bootTimeS, c.boot) << c.text;
    ASSERT_EQ(stat.cpu.has_value(), c.elapsed.has_value()) << c.text;
    if (stat.cpu) {
      EXPECT_EQ(stat.cpu->elapsedTicks, *c.elapsed) << c.text;
      EXPECT_EQ(stat.cpu->cpuCount, c.cpus) << c.text;
    }
  }
}

TEST(ParseIo, TakesStorageBytesOnly) {
  constexpr const char* kFull =
      "rchar: 4000\nwchar: 3000\nsyscr: 7\nsyscw: 8\nread_bytes: 12288\nwrite_bytes: 8192\n"
      "cancelled_write_bytes: 4096\n";
  auto io = parseIo(kFull);
  ASSERT_TRUE(io);
  EXPECT_EQ(io->readBytes, 12288u);
  EXPECT_EQ(io->writeBytes, 8192u);

  const std::string kRefused[] = {
      "",
      "rchar: 4000\nwchar: 3000\n",
      // cancelled_write_bytes must not pass for write_bytes.
      "read_bytes: 1\ncancelled_write_bytes: 2\n",
      "read_bytes: 1\nwrite_bytes: -2\n",
      "read_bytes: 1\nwrite_bytes:\n",
  };
  for (const auto& text : kRefused) EXPECT_FALSE(parseIo(text)) << text;
  // No final line feed is still a whole file.
  ASSERT_TRUE(parseIo("write_bytes: 5\nread_bytes: 6"));
  EXPECT_EQ(parseIo("write_bytes: 5\nread_bytes: 6")->writeBytes, 5u);
}

TEST(SplitCommandLine, SkipsRunsOfNulsAndReusesTheList) {
  const struct {
    std::string raw;
    std::vector<std::string> args;
  } kCases[] = {
      {""s, {}},
      {"\0\0\0"s, {}},
      {"sleep\0"s
       "30\0"s,
       {"sleep", "30"}},
      {"a\0\0\0b\0"s, {"a", "b"}},
      {"\0\0a\0b"s, {"a", "b"}},
      {"no terminator"s, {"no terminator"}},
      {"python3\0-c\0\0print(1)\0\0\0"s, {"python3", "-c", "print(1)"}},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args;
    splitCommandLine(c.raw, args);
    EXPECT_EQ(args, c.args);
    // Refilling a list left from a longer command line must leave nothing of it behind.
    std::vector<std::string> reused{"a much longer previous argument", "x", "y", "z", "w", "v"};
    splitCommandLine(c.raw, reused);
    EXPECT_EQ(reused, c.args);
  }
}

TEST(ExeName, StripsDeletedAndTakesTheFinalComponent) {
  const struct {
    std::string_view link, name;
  } kCases[] = {
      {"/usr/bin/python3.11", "python3.11"},
      {"/usr/bin/python3.11 (deleted)", "python3.11"},
      {"/tmp/my prog (deleted)", "my prog"},
      {"/opt/app (deleted) (deleted)", "app (deleted)"},
      {"/tmp/ (deleted)x", " (deleted)x"},
      {"plain", "plain"},
      {"/usr/lib/", "lib"},
      {"/usr/lib/.", "lib"},
      {"/usr/lib/./", "lib"},
      {"/usr/..", ""},
      {"/", ""},
      {"", ""},
      {".", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(finalComponent(stripDeletedSuffix(c.link)), c.name) << c.link;
  }
}

}  // namespace
}  // namespace procsampler::sampling::procfs
