#include "sampling/process_sample.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace procsampler::sampling {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
const std::string kReplacement = "\xEF\xBF\xBD";
const std::string kEuro = "\xE2\x82\xAC";

Process entryNamed(std::string name, std::vector<std::string> arguments = {}) {
  Process entry;
  entry.pid = 42;
  entry.name = std::move(name);
  entry.arguments = std::move(arguments);
  return entry;
}

TEST(ProcessSampleText, RepairsNameAndJoinsArgumentsWithOneSpace) {
  const struct {
    const char* label;
    std::string name;
    std::vector<std::string> arguments;
    std::string expectedName;
    std::string expectedCommand;
  } rows[] = {
      {"no arguments: name is the command", "sleep", {}, "sleep", "sleep"},
      {"two arguments", "sleep", {"/bin/sleep", "5"}, "sleep", "/bin/sleep 5"},
      {"one argument, no separator", "sh", {"sh"}, "sh", "sh"},
      {"spaces inside an argument are not quoted", "x", {"a b", "c"}, "x", "a b c"},
      {"an empty argument keeps both separators", "x", {"a", "", "b"}, "x", "a  b"},
      {"0xFF in the name",
       "ab\xFF"
       "cd",
       {},
       "ab" + kReplacement + "cd",
       "ab" + kReplacement + "cd"},
      {"lone continuation in the name", "\x80", {}, kReplacement, kReplacement},
      {"truncated sequence ends an argument",
       "x",
       {"caf\xC3", "ok"},
       "x",
       "caf" + kReplacement + " ok"},
      {"invalid bytes in every argument",
       "x",
       {"\xFF", "\xE2\x82", "\x80"},
       "x",
       kReplacement + " " + kReplacement + " " + kReplacement},
      {"valid multi-byte kept", kEuro, {kEuro, "1"}, kEuro, kEuro + " 1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    const ProcessSample sample = buildProcessSample(entryNamed(row.name, row.arguments));
    EXPECT_EQ(sample.name, row.expectedName);
    EXPECT_EQ(sample.command, row.expectedCommand);
  }
  EXPECT_EQ(buildProcessSample(entryNamed("sleep", {"/bin/sleep", "5"})).command.size(), 12u);
}

TEST(ProcessSampleText, BoundsTextsAtCharacterBoundaries) {
  const struct {
    const char* label;
    std::string name;
    std::vector<std::string> arguments;
    std::size_t nameLength;
    std::size_t commandLength;
  } rows[] = {
      {"name of exactly 1024 bytes", std::string(1024, 'n'), {"a"}, 1024, 1},
      {"name of 1025 bytes", std::string(1025, 'n'), {"a"}, 1024, 1},
      {"name cut would split after 2 bytes", std::string(1022, 'n') + kEuro, {"a"}, 1022, 1},
      {"name cut would split after 1 byte", std::string(1023, 'n') + kEuro, {"a"}, 1023, 1},
      // Each 0xFF grows to three bytes: 341 whole replacements fit in 1024.
      {"repair grows the name past the bound", std::string(400, '\xFF'), {"a"}, 1023, 1},
      // The name stands for the command whole; only the name's own bound cuts the name.
      {"long name without arguments", std::string(2000, 'n'), {}, 1024, 2000},
      {"command of exactly 16384 bytes", "x", {std::string(16379, 'c'), "1234"}, 1, 16384},
      {"command of 16385 bytes", "x", {std::string(16380, 'c'), "1234"}, 1, 16384},
      {"command cut would split a character", "x", {std::string(16382, 'c') + kEuro}, 1, 16382},
      {"very long command", "x", {std::string(100000, 'c'), std::string(100000, 'd')}, 1, 16384},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    const ProcessSample sample = buildProcessSample(entryNamed(row.name, row.arguments));
    EXPECT_EQ(sample.name.size(), row.nameLength);
    EXPECT_EQ(sample.command.size(), row.commandLength);
  }
}

TEST(ProcessSampleStatus, NamesEveryStateExactly) {
  using K = ProcessStatusKind;
  const struct {
    ProcessStatus status;
    const char* text;
  } rows[] = {
      {{K::Idle, 0}, "Idle"},
      {{K::Run, 0}, "Run"},
      {{K::Sleep, 0}, "Sleep"},
      {{K::Stop, 0}, "Stop"},
      {{K::Zombie, 0}, "Zombie"},
      {{K::Tracing, 0}, "Tracing"},
      {{K::Dead, 0}, "Dead"},
      {{K::Wakekill, 0}, "Wakekill"},
      {{K::Waking, 0}, "Waking"},
      {{K::Parked, 0}, "Parked"},
      {{K::LockBlocked, 0}, "LockBlocked"},
      {{K::UninterruptibleDiskSleep, 0}, "UninterruptibleDiskSleep"},
      {{K::Suspended, 0}, "Suspended"},
      {{K::Unknown, 0}, "Unknown(0)"},
      {{K::Unknown, 7}, "Unknown(7)"},
      {{K::Unknown, 12}, "Unknown(12)"},
      {{K::Unknown, 4294967295u}, "Unknown(4294967295)"},
      // The raw number belongs to Unknown only.
      {{K::Run, 9}, "Run"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(processStatusText(row.status), row.text);
    Process entry = entryNamed("p");
    entry.status = row.status;
    EXPECT_EQ(buildProcessSample(entry).status, row.text);
  }
}

TEST(ProcessSampleNumbers, ConvertsSecondsWithSaturationAndCopiesTheRest) {
  const struct {
    std::uint64_t seconds;
    std::uint64_t millis;
  } times[] = {
      {0, 0},
      {1'700'000'000, 1'700'000'000'000},
      {kMax / 1000, kMax / 1000 * 1000},
      {kMax / 1000 + 1, kMax},
      {kMax, kMax},
  };
  for (const auto& row : times) {
    SCOPED_TRACE(row.seconds);
    Process entry = entryNamed("p");
    entry.start_time_s = row.seconds;
    entry.run_time_s = row.seconds;
    const ProcessSample sample = buildProcessSample(entry);
    EXPECT_EQ(sample.startTimeMs, row.millis);
    EXPECT_EQ(sample.runTimeMs, row.millis);
  }

  // Distinct values, so a swapped or dropped field shows.
  Process entry = entryNamed("p");
  entry.pid = 4242;
  entry.parent_pid = 17;
  entry.start_time_s = 5;
  entry.run_time_s = 6;
  entry.cpu_percent = 123.5f;
  entry.cpu_time_ms = 11;
  entry.resident_bytes = 22;
  entry.virtual_bytes = 33;
  entry.disk_read_bytes = 44;
  entry.disk_written_bytes = 55;
  ProcessSample expected;
  expected.pid = 4242;
  expected.ppid = 17;
  expected.startTimeMs = 5000;
  expected.runTimeMs = 6000;
  expected.name = "p";
  expected.command = "p";
  expected.status = "Unknown(0)";
  expected.cpuPercent = 123.5f;
  expected.cpuTimeMs = 11;
  expected.residentBytes = 22;
  expected.virtualBytes = 33;
  expected.ioReadBytes = 44;
  expected.ioWriteBytes = 55;
  expected.ioCountsAllIo = false;
  EXPECT_EQ(buildProcessSample(entry), expected);

  entry.parent_pid.reset();
  EXPECT_EQ(buildProcessSample(entry).ppid, 0u);
}

}  // namespace
}  // namespace procsampler::sampling
