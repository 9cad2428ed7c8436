// Command handling as a host sees it, against the real sidecar and the real process table. Each
// session samples only the sidecar's own tree, so snapshots stay small. Timing checks compare
// the snapshots' own stamps and leave generous room above the expected spacing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/sidecar_host.h"

namespace procsampler::testing {
namespace {

using namespace std::chrono_literals;

// Stamps are whole milliseconds, so a measured gap may come out up to this much short.
constexpr double kStampSlackMs = 2.0;

std::uint64_t sequenceOf(const std::string& line) {
  return numberField(line, "sequence").value_or(0);
}

void endWithShutdown(SidecarHost& host) {
  host.send(shutdownLine());
  const auto ended = host.child.waitForExit();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->code, 0);
  EXPECT_EQ(host.child.readStderr(), "");
}

TEST(SidecarCommands, RefusalsBeforeConfigureThenStreamingStartsAtConfigure) {
  SidecarHost host;
  host.send(R"({"type":"setExternalProcesses","version":2,"processes":[{"pid":1}]})"
            "\n" +
            setSampleIntervalLine(1000) + sampleNowLine("s") + readHistoryLine("h", 1000) +
            setStreamingLine(true));
  EXPECT_EQ(host.next(),
            errorLine("not-configured", "configure must be sent before external processes", true));
  EXPECT_EQ(host.next(),
            errorLine("not-configured",
                      "configure must be sent before changing the sample interval", true));
  EXPECT_EQ(host.next(),
            errorLine("not-configured", "configure must be sent before sampling", true));
  EXPECT_EQ(host.next(),
            errorLine("not-configured", "configure must be sent before reading history", true));
  // setStreaming was taken silently; the first periodic sample follows configure at once.
  host.send(configureLine(host.sidecarPid, 60000));
  const std::string snapshot = host.next(3s);
  EXPECT_EQ(eventType(snapshot), "snapshot");
  EXPECT_EQ(sequenceOf(snapshot), 1u);
  EXPECT_EQ(numberFields(snapshot, "pid"), std::vector<std::uint64_t>{host.sidecarPid});
  endWithShutdown(host);
}

TEST(SidecarCommands, WrongProtocolVersionsAreRefusedAndTheSessionGoesOn) {
  SidecarHost host;
  host.send(R"({"type":"sampleNow","version":3,"requestId":"x"})"
            "\n" +
            shutdownLine(1) + configureLine(host.sidecarPid, 0) + sampleNowLine("ok"));
  EXPECT_EQ(host.next(),
            errorLine("protocol-mismatch", "unsupported protocol version 3; expected 2", false));
  EXPECT_EQ(host.next(),
            errorLine("protocol-mismatch", "unsupported protocol version 1; expected 2", false));
  EXPECT_EQ(stringField(host.next(), "requestId"), "ok");
  host.expectCleanEnd();
}

TEST(SidecarCommands, IntervalOfOneIsRaisedTo250MsCountedFromTheEndOfEachSample) {
  SidecarHost host;
  host.send(setStreamingLine(true) + configureLine(host.sidecarPid, 1));
  std::vector<std::string> snapshots;
  for (int i = 0; i < 6; ++i) snapshots.push_back(host.next(3s));
  for (std::size_t i = 1; i < snapshots.size(); ++i) {
    EXPECT_EQ(sequenceOf(snapshots[i]), sequenceOf(snapshots[i - 1]) + 1);
    const double previousEnd =
        static_cast<double>(numberField(snapshots[i - 1], "sampledAtUnixMs").value_or(0));
    const double gap = collectionStartMs(snapshots[i]) - previousEnd;
    EXPECT_GE(gap, 250.0 - kStampSlackMs) << "snapshot " << i;
    EXPECT_LT(gap, 250.0 + 1000.0) << "snapshot " << i;
  }
  endWithShutdown(host);
}

TEST(SidecarCommands, IntervalAboveAMinuteIsCappedAndSamplesWithoutStreaming) {
  SidecarHost host;
  host.send(configureLine(host.sidecarPid, 120000));
  std::this_thread::sleep_for(1200ms);
  host.send(readHistoryLine("h", 60000));
  // Only the first periodic sample exists yet, and none was written while streaming was off.
  const std::string chunk = host.next();
  EXPECT_EQ(eventType(chunk), "historyChunk") << chunk;
  EXPECT_EQ(numberFields(chunk, "sequence"), std::vector<std::uint64_t>{1});
  host.expectCleanEnd();
}

TEST(SidecarCommands, BackToBackSamplesAreRefreshedAtLeast200MsApart) {
  SidecarHost host;
  host.send(configureLine(host.sidecarPid, 0) + sampleNowLine("a") + sampleNowLine("b"));
  const std::string a = host.next();
  const std::string b = host.next();
  EXPECT_EQ(stringField(a, "requestId"), "a");
  EXPECT_EQ(stringField(b, "requestId"), "b");
  EXPECT_GE(collectionStartMs(b) - collectionStartMs(a), 200.0 - kStampSlackMs);
  host.expectCleanEnd();
}

TEST(SidecarCommands, SetSampleIntervalPostponesTheNextSample) {
  SidecarHost host;
  host.send(setStreamingLine(true) + configureLine(host.sidecarPid, 1000));
  const std::string first = host.next(3s);
  std::this_thread::sleep_for(500ms);
  host.send(setSampleIntervalLine(1000));  // the next sample moves from ~1000 to ~1500 ms
  const std::string second = host.next(5s);
  EXPECT_EQ(sequenceOf(second), sequenceOf(first) + 1);
  const double gap = collectionStartMs(second) -
                     static_cast<double>(numberField(first, "sampledAtUnixMs").value_or(0));
  EXPECT_GE(gap, 1500.0 - kStampSlackMs);
  EXPECT_LT(gap, 1500.0 + 1500.0);
  endWithShutdown(host);
}

TEST(SidecarCommands, SampleNowWhileStreamingIsWrittenOnceWithItsRequestId) {
  SidecarHost host;
  host.send(setStreamingLine(true) + configureLine(host.sidecarPid, 250));
  std::vector<std::string> snapshots{host.next(3s)};
  host.send(sampleNowLine("once"));
  for (int i = 0; i < 4; ++i) snapshots.push_back(host.next(3s));
  int withRequestId = 0;
  for (std::size_t i = 0; i < snapshots.size(); ++i) {
    EXPECT_EQ(sequenceOf(snapshots[i]), i + 1);
    const auto requestId = stringField(snapshots[i], "requestId");
    if (requestId) {
      EXPECT_EQ(*requestId, "once");
      ++withRequestId;
    }
  }
  EXPECT_EQ(withRequestId, 1);
  endWithShutdown(host);
}

TEST(SidecarCommands, HistoryComesInChunksOf32AndSurvivesASecondConfigure) {
  SidecarHost host;
  std::string requests = configureLine(host.sidecarPid, 0);
  for (int i = 1; i <= 33; ++i) requests += sampleNowLine("s" + std::to_string(i));
  host.send(requests);
  for (int i = 1; i <= 33; ++i) EXPECT_EQ(sequenceOf(host.next()), static_cast<std::uint64_t>(i));

  // A second configure with another root: history and numbering carry on.
  const auto testPid = static_cast<std::uint64_t>(::getpid());
  host.send(configureLine(testPid, 0) + sampleNowLine("after") + readHistoryLine("h", 3600000));
  const std::string after = host.next();
  EXPECT_EQ(sequenceOf(after), 34u);
  const std::vector<std::uint64_t> pids = numberFields(after, "pid");
  EXPECT_NE(std::find(pids.begin(), pids.end(), testPid), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), host.sidecarPid), pids.end());

  const std::string firstChunk = host.next();
  const std::string lastChunk = host.next();
  EXPECT_TRUE(firstChunk.starts_with(
      R"({"version":2,"type":"historyChunk","requestId":"h","done":false,"snapshots":[)"));
  EXPECT_TRUE(lastChunk.starts_with(
      R"({"version":2,"type":"historyChunk","requestId":"h","done":true,"snapshots":[)"));
  std::vector<std::uint64_t> expected;
  for (std::uint64_t s = 1; s <= 32; ++s) expected.push_back(s);
  EXPECT_EQ(numberFields(firstChunk, "sequence"), expected);
  EXPECT_EQ(numberFields(lastChunk, "sequence"), (std::vector<std::uint64_t>{33, 34}));
  EXPECT_EQ(countOf(firstChunk + lastChunk, "requestId\":\"s"), 0u);
  host.expectCleanEnd();
}

}  // namespace
}  // namespace procsampler::testing
