// Command handling over a scripted clock, an in-memory table and a recording output: refusals
// and their exact texts, version checks, interval clamping, the schedule each command leaves, the
// history answer's chunks, and failed writes.
#include "session/handle_message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fakes/session_fixture.h"

namespace procsampler::session {
namespace {

using namespace std::chrono_literals;
using procsampler::testing::command;
using procsampler::testing::configure;
using procsampler::testing::readHistory;
using procsampler::testing::sampleNow;
using procsampler::testing::SessionRig;
using procsampler::testing::setSampleInterval;
using procsampler::testing::setStreaming;
using procsampler::testing::shutdown;
namespace t = procsampler::testing;

Flow handled(SessionRig& rig, ReaderMessage message) {
  Expected<Flow, IoError> result = handleMessage(rig.session, std::move(message));
  EXPECT_TRUE(result.hasValue()) << "write failed with errno " << result.error().code;
  return result.hasValue() ? result.value() : Flow::Stop;
}

std::string errorLine(std::string_view code, std::string_view message, bool recoverable) {
  return R"({"version":2,"type":"error","code":")" + std::string(code) + R"(","message":")" +
         std::string(message) + R"(","recoverable":)" + (recoverable ? "true" : "false") + "}";
}

TEST(HandleMessage, CommandsNeedingAConfigurationAreRefusedWithoutEffect) {
  const struct {
    ReaderMessage message;
    std::string_view text;
  } cases[] = {
      {command(protocol::SetExternalProcesses{
           .version = 2, .processes = {{.pid = 1, .startTimeMs = std::nullopt}}}),
       "configure must be sent before external processes"},
      {setSampleInterval(1000), "configure must be sent before changing the sample interval"},
      {sampleNow("r1"), "configure must be sent before sampling"},
      {readHistory("h1", 1000), "configure must be sent before reading history"},
  };
  for (const auto& c : cases) {
    SessionRig rig;
    EXPECT_EQ(handled(rig, c.message), Flow::Continue);
    EXPECT_EQ(rig.takeLines(), std::vector<std::string>{errorLine("not-configured", c.text, true)});
    EXPECT_FALSE(rig.session.state.config.has_value());
    EXPECT_FALSE(rig.session.nextSampleDue.has_value());
    EXPECT_EQ(rig.table->refreshCount(), 0u);
    EXPECT_EQ(rig.history.size(), 0u);
  }
}

TEST(HandleMessage, InvalidLinesBecomeRecoverableErrors) {
  SessionRig rig;
  EXPECT_EQ(handled(rig, Invalid{"invalid command: expected value at line 1 column 1"}),
            Flow::Continue);
  EXPECT_EQ(rig.takeLines(),
            std::vector<std::string>{errorLine(
                "invalid-command", "invalid command: expected value at line 1 column 1", true)});
}

TEST(HandleMessage, WrongVersionsAreRefusedWhateverTheCommand) {
  const std::uint32_t versions[] = {0, 1, 3, std::numeric_limits<std::uint32_t>::max()};
  for (const std::uint32_t version : versions) {
    const ReaderMessage commands[] = {
        command(protocol::Configure{
            .version = version, .rootPid = 1, .sampleIntervalMs = 250, .externalProcesses = {}}),
        command(protocol::SetStreaming{.version = version, .enabled = true}),
        command(protocol::Shutdown{.version = version}),
        command(protocol::SampleNow{.version = version, .requestId = "r"}),
    };
    for (const ReaderMessage& message : commands) {
      SessionRig rig;
      EXPECT_EQ(handled(rig, message), Flow::Continue) << "version " << version;
      EXPECT_EQ(
          rig.takeLines(),
          std::vector<std::string>{errorLine(
              "protocol-mismatch",
              "unsupported protocol version " + std::to_string(version) + "; expected 2", false)});
      EXPECT_FALSE(rig.session.state.config.has_value());
      EXPECT_FALSE(rig.session.state.streaming);
      EXPECT_EQ(rig.table->refreshCount(), 0u);
      // The session goes on: a version-2 command afterwards is handled.
      EXPECT_EQ(handled(rig, shutdown()), Flow::Stop);
    }
  }
}

TEST(HandleMessage, StreamingAndShutdownAreAcceptedBeforeConfigureSilently) {
  SessionRig rig;
  EXPECT_EQ(handled(rig, setStreaming(true)), Flow::Continue);
  EXPECT_TRUE(rig.session.state.streaming);
  EXPECT_FALSE(rig.session.nextSampleDue.has_value());
  EXPECT_EQ(handled(rig, shutdown()), Flow::Stop);
  EXPECT_TRUE(rig.takeLines().empty());
  EXPECT_EQ(rig.table->refreshCount(), 0u);
}

TEST(HandleMessage, IntervalsAreClampedAndScheduleTheNextSample) {
  const struct {
    std::uint64_t requested;
    std::optional<std::chrono::milliseconds> interval;
  } cases[] = {
      {0, std::nullopt}, {1, 250ms},        {249, 250ms},
      {250, 250ms},      {1000, 1000ms},    {60000, 60000ms},
      {60001, 60000ms},  {120000, 60000ms}, {std::numeric_limits<std::uint64_t>::max(), 60000ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested);
    SessionRig rig;
    rig.refreshCost = 30ms;
    const MonoTime before = rig.now();
    EXPECT_EQ(handled(rig, configure(c.requested)), Flow::Continue);
    ASSERT_TRUE(rig.session.state.config.has_value());
    EXPECT_EQ(rig.session.state.config->sampleInterval, c.interval);
    // configure refreshes once, then the first sample is due at once (after that refresh).
    EXPECT_EQ(rig.table->refreshInstants(), std::vector<MonoTime>{before});
    EXPECT_EQ(rig.sampler.lastRefreshAt, before + 30ms);
    EXPECT_EQ(rig.session.nextSampleDue,
              c.interval ? std::optional<MonoTime>(before + 30ms) : std::nullopt);

    rig.clock.advance(5s);
    EXPECT_EQ(handled(rig, setSampleInterval(c.requested)), Flow::Continue);
    EXPECT_EQ(rig.session.state.config->sampleInterval, c.interval);
    EXPECT_EQ(rig.session.nextSampleDue,
              c.interval ? std::optional<MonoTime>(rig.now() + *c.interval) : std::nullopt);
    EXPECT_TRUE(rig.takeLines().empty());
  }
}

TEST(HandleMessage, OnlyConfigureAndSetSampleIntervalMoveTheSchedule) {
  SessionRig rig;
  ASSERT_EQ(handled(rig, configure(1000)), Flow::Continue);
  rig.clock.advance(300ms);
  // The same interval again still postpones: a full interval from this command.
  ASSERT_EQ(handled(rig, setSampleInterval(1000)), Flow::Continue);
  const MonoTime due = rig.now() + 1000ms;
  EXPECT_EQ(rig.session.nextSampleDue, due);

  rig.clock.advance(100ms);
  ASSERT_EQ(handled(rig, sampleNow("r")), Flow::Continue);
  ASSERT_EQ(handled(rig, setStreaming(true)), Flow::Continue);
  ASSERT_EQ(
      handled(rig, command(protocol::SetExternalProcesses{
                       .version = 2, .processes = {{.pid = 7, .startTimeMs = std::nullopt}}})),
      Flow::Continue);
  ASSERT_EQ(handled(rig, readHistory("h", 1000)), Flow::Continue);
  EXPECT_EQ(rig.session.nextSampleDue, due);

  ASSERT_EQ(handled(rig, setSampleInterval(0)), Flow::Continue);
  EXPECT_FALSE(rig.session.nextSampleDue.has_value());
  EXPECT_FALSE(rig.session.state.config->sampleInterval.has_value());
}

TEST(HandleMessage, ExternalProcessListsKeepTheLastEntryPerPid) {
  SessionRig rig;
  ASSERT_EQ(handled(rig, configure(0, {{.pid = 10, .startTimeMs = 5},
                                       {.pid = 10, .startTimeMs = std::nullopt},
                                       {.pid = 3, .startTimeMs = std::nullopt}})),
            Flow::Continue);
  EXPECT_EQ(rig.session.state.config->externalProcesses,
            (sampling::ExternalProcessMap{{3, std::nullopt}, {10, std::nullopt}}));

  ASSERT_EQ(handled(rig, command(protocol::SetExternalProcesses{
                             .version = 2,
                             .processes = {{.pid = 10, .startTimeMs = std::nullopt},
                                           {.pid = 10, .startTimeMs = 9}}})),
            Flow::Continue);
  EXPECT_EQ(rig.session.state.config->externalProcesses,
            (sampling::ExternalProcessMap{{10, std::uint64_t{9}}}));
  EXPECT_EQ(rig.session.state.config->rootPid, t::kRootPid);
  EXPECT_TRUE(rig.takeLines().empty());
}

// Fills the history with n snapshots stamped in the last n milliseconds of the wall clock.
void storeSnapshots(SessionRig& rig, std::uint64_t n) {
  const std::uint64_t nowMs = unixMillis(rig.clock.wallNow());
  for (std::uint64_t i = 1; i <= n; ++i) {
    sampling::Snapshot snapshot;
    snapshot.sequence = i;
    snapshot.sampledAtUnixMs = nowMs - n + i;
    rig.history.append(snapshot);
  }
}

TEST(HandleMessage, HistoryAnswersComeInChunksOf32WithDoneOnlyOnTheLast) {
  const struct {
    std::uint64_t stored;
    std::vector<std::size_t> chunkSizes;
  } cases[] = {
      {0, {0}}, {1, {1}}, {32, {32}}, {33, {32, 1}}, {64, {32, 32}}, {70, {32, 32, 6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    SessionRig rig;
    ASSERT_EQ(handled(rig, configure(0)), Flow::Continue);
    storeSnapshots(rig, c.stored);
    ASSERT_EQ(handled(rig, readHistory("h-7", 3600000)), Flow::Continue);

    const std::vector<std::string> lines = rig.takeLines();
    ASSERT_EQ(lines.size(), c.chunkSizes.size());
    std::vector<std::uint64_t> sequences;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const bool last = i + 1 == lines.size();
      EXPECT_TRUE(
          lines[i].starts_with(R"({"version":2,"type":"historyChunk","requestId":"h-7","done":)" +
                               std::string(last ? "true" : "false")))
          << lines[i].substr(0, 80);
      EXPECT_EQ(t::countOf(lines[i], R"("type":"snapshot")"), c.chunkSizes[i]);
      for (const std::uint64_t s : t::numberFields(lines[i], "sequence")) sequences.push_back(s);
    }
    std::vector<std::uint64_t> expected;
    for (std::uint64_t s = 1; s <= c.stored; ++s) expected.push_back(s);
    EXPECT_EQ(sequences, expected) << "every stored snapshot once, oldest first";
    EXPECT_EQ(rig.history.size(), c.stored) << "reading leaves the history as it was";
    EXPECT_EQ(rig.table->refreshCount(), 1u) << "readHistory never samples";
  }
}

TEST(HandleMessage, HistoryWindowEndsAtTheInjectedWallClock) {
  SessionRig rig;
  ASSERT_EQ(handled(rig, configure(0)), Flow::Continue);
  storeSnapshots(rig, 10);  // stamped now-9 .. now
  ASSERT_EQ(handled(rig, readHistory("w", 3)), Flow::Continue);
  const std::vector<std::string> lines = rig.takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(t::numberFields(lines[0], "sequence"), (std::vector<std::uint64_t>{7, 8, 9, 10}));

  // Wall clock set back: the snapshots now lie in the future and are not selected.
  rig.clock.setWallMillis(1'000'000'000'000LL);
  ASSERT_EQ(handled(rig, readHistory("w", 3600000)), Flow::Continue);
  EXPECT_EQ(
      rig.takeLines(),
      std::vector<std::string>{
          R"({"version":2,"type":"historyChunk","requestId":"w","done":true,"snapshots":[]})"});
}

TEST(HandleMessage, SecondConfigureReplacesTheSettingsButKeepsHistoryAndNumbering) {
  SessionRig rig;
  ASSERT_EQ(handled(rig, configure(1000, {{.pid = 5, .startTimeMs = std::nullopt}})),
            Flow::Continue);
  ASSERT_EQ(handled(rig, setStreaming(true)), Flow::Continue);
  ASSERT_EQ(handled(rig, sampleNow("first")), Flow::Continue);
  rig.clock.advance(1s);
  ASSERT_EQ(
      handled(rig,
              command(protocol::Configure{
                  .version = 2, .rootPid = 1, .sampleIntervalMs = 0, .externalProcesses = {}})),
      Flow::Continue);
  EXPECT_EQ(rig.session.state.config->rootPid, 1u);
  EXPECT_TRUE(rig.session.state.config->externalProcesses.empty());
  EXPECT_FALSE(rig.session.state.config->sampleInterval.has_value());
  EXPECT_FALSE(rig.session.nextSampleDue.has_value());
  EXPECT_TRUE(rig.session.state.streaming);
  EXPECT_EQ(rig.table->refreshCount(), 3u);

  ASSERT_EQ(handled(rig, sampleNow("second")), Flow::Continue);
  ASSERT_EQ(handled(rig, readHistory("h", 3600000)), Flow::Continue);
  const std::vector<std::string> lines = rig.takeLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(t::numberField(lines[1], "sequence"), 2u);
  EXPECT_EQ(t::numberFields(lines[2], "sequence"), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(t::countOf(lines[2], "requestId"), 1u) << "stored snapshots carry no request id";
}

TEST(HandleMessage, FailedWritesEndTheCommandAndKeepEarlierEffects) {
  {
    SessionRig rig;
    ASSERT_EQ(handled(rig, configure(0)), Flow::Continue);
    rig.sink.failAfter(0);
    Expected<Flow, IoError> result = handleMessage(rig.session, sampleNow("r"));
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), IoError{EPIPE});
    EXPECT_EQ(rig.history.size(), 1u) << "stored before the write was tried";
  }
  {
    SessionRig rig;
    ASSERT_EQ(handled(rig, Invalid{"x"}), Flow::Continue);
    rig.sink.failAfter(0, ENOSPC);
    Expected<Flow, IoError> result = handleMessage(rig.session, Invalid{"y"});
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), IoError{ENOSPC});
  }
  {
    // A history answer stops at the chunk that failed: no later chunk is attempted.
    SessionRig reference;
    ASSERT_EQ(handled(reference, configure(0)), Flow::Continue);
    storeSnapshots(reference, 70);
    ASSERT_EQ(handled(reference, readHistory("h", 3600000)), Flow::Continue);
    const std::string firstChunk = reference.takeLines().front() + "\n";

    SessionRig rig;
    ASSERT_EQ(handled(rig, configure(0)), Flow::Continue);
    storeSnapshots(rig, 70);
    rig.sink.failAfter(firstChunk.size() + 1);
    Expected<Flow, IoError> result = handleMessage(rig.session, readHistory("h", 3600000));
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(rig.sink.output.substr(0, firstChunk.size()), firstChunk);
    EXPECT_EQ(rig.sink.output.size(), firstChunk.size() + 1);
  }
}

}  // namespace
}  // namespace procsampler::session
