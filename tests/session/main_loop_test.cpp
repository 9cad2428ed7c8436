// The main loop's timing over a scripted clock: messages arrive at chosen instants and the fake
// table's refreshes cost chosen time, so each schedule can be checked to the nanosecond.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "fakes/session_fixture.h"
#include "session/run_session.h"

namespace procsampler::session {
namespace {

using namespace std::chrono_literals;
using procsampler::testing::configure;
using procsampler::testing::readHistory;
using procsampler::testing::sampleNow;
using procsampler::testing::ScriptedSource;
using procsampler::testing::SessionRig;
using procsampler::testing::setSampleInterval;
using procsampler::testing::setStreaming;
using procsampler::testing::shutdown;
namespace t = procsampler::testing;

// Refresh instants relative to a start instant, in whole milliseconds.
std::vector<long long> refreshOffsetsMs(const SessionRig& rig, MonoTime start) {
  std::vector<long long> offsets;
  for (const MonoTime instant : rig.table->refreshInstants()) {
    offsets.push_back(
        std::chrono::duration_cast<std::chrono::milliseconds>(instant - start).count());
  }
  return offsets;
}

TEST(MainLoop, IntervalRunsFromTheEndOfEachSample) {
  SessionRig rig;
  rig.refreshCost = 100ms;
  const MonoTime start = rig.now();
  ScriptedSource source(rig.clock);
  source.at(start, setStreaming(true));
  source.at(start, configure(1));  // clamped to 250 ms
  source.at(start + 2000ms, shutdown());

  EXPECT_TRUE(runMainLoop(rig.session, source).ok());
  // configure refreshes at 0 (until 100); the first sample waits out the 200 ms spacing, and
  // every later one starts 250 ms after the previous one ended: 100 ms work + 250 ms wait.
  EXPECT_EQ(refreshOffsetsMs(rig, start), (std::vector<long long>{0, 300, 650, 1000, 1350, 1700}));
  const std::vector<std::string> lines = rig.takeLines();
  ASSERT_EQ(lines.size(), 5u);
  for (const std::string& line : lines) {
    EXPECT_EQ(t::eventType(line), "snapshot");
    EXPECT_EQ(t::countOf(line, "requestId"), 0u);
  }
  EXPECT_TRUE(source.exhausted());
}

TEST(MainLoop, DueSampleGoesBeforeQueuedMessages) {
  SessionRig rig;
  const MonoTime start = rig.now();
  ScriptedSource source(rig.clock);
  source.at(start, setStreaming(true));
  source.at(start, configure(250));
  source.at(start, Invalid{"after"});
  source.at(start, shutdown());

  EXPECT_TRUE(runMainLoop(rig.session, source).ok());
  const std::vector<std::string> lines = rig.takeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(t::eventType(lines[0]), "snapshot");
  EXPECT_EQ(t::stringField(lines[1], "message"), "after");
}

TEST(MainLoop, StreamingOnlyDecidesWhetherPeriodicSamplesAreWritten) {
  SessionRig rig;
  const MonoTime start = rig.now();
  ScriptedSource source(rig.clock);
  source.at(start, configure(500));
  source.at(start + 1000ms, sampleNow("asked"));
  source.at(start + 1150ms, setStreaming(true));
  source.at(start + 2100ms, readHistory("h", 3600000));
  source.at(start + 2100ms, shutdown());

  EXPECT_TRUE(runMainLoop(rig.session, source).ok());
  // Periodic samples at 200 and 700 (unwritten), 1200 and 1700 (written); sampleNow at 1000
  // (written); the sample due at 2200 is never reached.
  EXPECT_EQ(refreshOffsetsMs(rig, start), (std::vector<long long>{0, 200, 700, 1000, 1200, 1700}));
  const std::vector<std::string> lines = rig.takeLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(t::stringField(lines[0], "requestId"), "asked");
  EXPECT_EQ(t::numberField(lines[0], "sequence"), 3u);
  for (const std::size_t periodic : {1u, 2u}) {
    EXPECT_EQ(t::eventType(lines[periodic]), "snapshot");
    EXPECT_EQ(t::countOf(lines[periodic], "requestId"), 0u);
    EXPECT_EQ(t::numberField(lines[periodic], "sequence"), periodic + 3);
  }
  EXPECT_EQ(t::eventType(lines[3]), "historyChunk");
  EXPECT_EQ(t::numberFields(lines[3], "sequence"), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
}

TEST(MainLoop, SampleNowLeavesTheScheduleAndSetSampleIntervalPostponesIt) {
  SessionRig rig;
  const MonoTime start = rig.now();
  ScriptedSource source(rig.clock);
  source.at(start, setStreaming(true));
  source.at(start, configure(1000));
  source.at(start + 500ms, sampleNow("r"));            // periodic ones stay at 1200, 2200
  source.at(start + 2700ms, setSampleInterval(1000));  // 3200 becomes 3700
  source.at(start + 4000ms, shutdown());

  EXPECT_TRUE(runMainLoop(rig.session, source).ok());
  EXPECT_EQ(refreshOffsetsMs(rig, start), (std::vector<long long>{0, 200, 500, 1200, 2200, 3700}));
  const std::vector<std::string> lines = rig.takeLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(t::countOf(lines[1], R"("requestId":"r")"), 1u);
  for (const std::size_t periodic : {0u, 2u, 3u, 4u}) {
    EXPECT_EQ(t::countOf(lines[periodic], "requestId"), 0u) << periodic;
  }
}

TEST(MainLoop, WaitsUntilTheNextSampleOrAMinuteWhenNoneIsPending) {
  SessionRig rig;
  const MonoTime start = rig.now();
  ScriptedSource source(rig.clock);
  source.at(start + 150s, configure(60000));
  source.at(start + 150s + 100s, shutdown());

  EXPECT_TRUE(runMainLoop(rig.session, source).ok());
  const MonoTime configured = start + 150s;
  const MonoTime firstSampleEnd = configured + 200ms;
  EXPECT_EQ(source.deadlines,
            (std::vector<std::optional<MonoTime>>{
                start + 60s, start + 120s, start + 180s,         // idle: once a minute
                firstSampleEnd + 60s, firstSampleEnd + 120s}));  // then until each sample
  EXPECT_TRUE(rig.takeLines().empty());
}

TEST(MainLoop, DeadlineBeyondTheClockMeansWaitingWithoutOne) {
  SessionRig rig;
  // The fake moves both clocks; start the wall clock at the epoch so only the monotonic one
  // comes near its end.
  rig.clock.setWallMillis(0);
  rig.clock.advance(std::chrono::nanoseconds::max() - rig.now().time_since_epoch() - 1s);
  ScriptedSource source(rig.clock);
  source.at(rig.now(), shutdown());
  EXPECT_TRUE(runMainLoop(rig.session, source).ok());
  EXPECT_EQ(source.deadlines, (std::vector<std::optional<MonoTime>>{std::nullopt}));
}

TEST(MainLoop, EndsWithSuccessWhenTheSenderIsGoneAndStopsAtShutdown) {
  {
    SessionRig rig;
    ScriptedSource source(rig.clock);
    EXPECT_TRUE(runMainLoop(rig.session, source).ok());
    EXPECT_EQ(source.deadlines.size(), 1u);
  }
  {
    SessionRig rig;
    ScriptedSource source(rig.clock);
    source.at(rig.now(), shutdown());
    source.at(rig.now(), Invalid{"never handled"});
    EXPECT_TRUE(runMainLoop(rig.session, source).ok());
    EXPECT_FALSE(source.exhausted());
    EXPECT_TRUE(rig.takeLines().empty());
  }
}

TEST(MainLoop, FailedWriteEndsTheLoopWithItsError) {
  SessionRig rig;
  ScriptedSource source(rig.clock);
  source.at(rig.now(), setStreaming(true));
  source.at(rig.now(), configure(250));
  source.at(rig.now() + 10s, shutdown());
  rig.sink.failAfter(0);
  const IoStatus status = runMainLoop(rig.session, source);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), IoError{EPIPE});
  EXPECT_EQ(rig.table->refreshCount(), 2u) << "no sample after the failed one";
  EXPECT_FALSE(source.exhausted());
}

}  // namespace
}  // namespace procsampler::session
