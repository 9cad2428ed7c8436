// The real sidecar over pipes: how it starts, how it reads its input, and how it ends, including
// standard input or output missing, bad bytes, long lines, a host that stops reading, and a
// burst of input far larger than the command queue.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/sidecar_host.h"

namespace procsampler::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kNotConfiguredSampling = "configure must be sent before sampling";

std::string expectedHello(std::uint64_t pid) {
#if defined(__APPLE__)
  const std::string platform = "macos";
#else
  const std::string platform = "linux";
#endif
#if defined(__x86_64__)
  const std::string arch = "x86_64";
#elif defined(__aarch64__)
  const std::string arch = "aarch64";
#endif
  return R"({"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":)" +
         std::to_string(pid) + R"(,"platform":")" + platform + R"(","arch":")" + arch +
         R"(","capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,)"
         R"("residentMemory":true,"virtualMemory":true,"ioBytes":true,"processStartTime":true,)"
         R"("processTree":true}})";
}

TEST(SidecarLifecycle, EndOfInputRightAfterStartGivesOnlyHello) {
  SidecarHost host;
  EXPECT_EQ(host.hello, expectedHello(static_cast<std::uint64_t>(host.child.pid())));
  host.expectCleanEnd();
}

TEST(SidecarLifecycle, StandardInputNotOpenIsAnImmediateEndOfInput) {
  SidecarHost host(ChildOptions{.stdinOpen = false, .stdoutOpen = true});
  EXPECT_EQ(host.hello, expectedHello(static_cast<std::uint64_t>(host.child.pid())));
  EXPECT_EQ(host.child.readLinesToEnd(), std::vector<std::string>{});
  const auto ended = host.child.waitForExit();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->code, 0);
}

TEST(SidecarLifecycle, StandardOutputNotOpenDiscardsEventsAndRunsOn) {
  SidecarHost host(ChildOptions{.stdinOpen = true, .stdoutOpen = false});
  host.send(sampleNowLine("refused") + configureLine(host.sidecarPid, 250) +
            setStreamingLine(true) + sampleNowLine("s"));
  std::this_thread::sleep_for(700ms);  // a few periodic samples written into nothing
  host.send(readHistoryLine("h", 60000) + shutdownLine());
  const auto ended = host.child.waitForExit();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->code, 0);
  EXPECT_EQ(host.child.readStderr(), "");
}

TEST(SidecarLifecycle, ShutdownEndsTheSessionWithoutReadingFurther) {
  SidecarHost host;
  host.send(shutdownLine() + sampleNowLine("never"));
  // Input stays open: the sidecar ends on its own and answers nothing after shutdown.
  const auto ended = host.child.waitForExit();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->code, 0);
  EXPECT_EQ(host.child.readLinesToEnd(), std::vector<std::string>{});
  EXPECT_EQ(host.child.readStderr(), "");
}

TEST(SidecarInput, BlankLinesAreSkippedAndCrlfLinesAreRead) {
  SidecarHost host;
  host.send(std::string("\r\n \t \r\n\xC2\xA0\n\xE3\x80\x80\n") +
            R"(  {"type":"sampleNow","version":2,"requestId":"a"}  )" + "\r\n" +
            R"({"type":"sampleNow","version":2,"requestId":"b"})" + "\r\n" +
            R"({"type":"sampleNow","version":2,"requestId":"c"} {})" + "\r\n");
  EXPECT_EQ(host.next(), errorLine("not-configured", kNotConfiguredSampling, true));
  EXPECT_EQ(host.next(), errorLine("not-configured", kNotConfiguredSampling, true));
  const std::string trailing = host.next();
  EXPECT_TRUE(trailing.starts_with(
      R"({"version":2,"type":"error","code":"invalid-command","message":"invalid command: trailing characters)"))
      << trailing;
  host.expectCleanEnd();
}

TEST(SidecarInput, MegabyteLineIsReadWhole) {
  SidecarHost host;
  const std::string requestId(1 << 20, 'm');
  host.send(configureLine(host.sidecarPid, 0) + sampleNowLine(requestId));
  const std::string snapshot = host.next();
  EXPECT_EQ(eventType(snapshot), "snapshot");
  EXPECT_EQ(stringField(snapshot, "requestId"), requestId);
  host.expectCleanEnd();
}

TEST(SidecarInput, InvalidUtf8EndsReadingAndTheSessionEndsCleanly) {
  SidecarHost host;
  host.send(sampleNowLine("before") +
            "{\"type\":\"sampleNow\",\"version\":2,\"requestId\":\"\xFF\"}\n" +
            sampleNowLine("after"));
  EXPECT_EQ(host.next(), errorLine("not-configured", kNotConfiguredSampling, true));
  EXPECT_EQ(host.next(),
            errorLine("invalid-command",
                      "failed reading command stream: stream did not contain valid UTF-8", true));
  // Input is still open, yet the session ends: nothing after the bad line is read.
  const auto ended = host.child.waitForExit();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->code, 0);
  EXPECT_EQ(host.child.readLinesToEnd(), std::vector<std::string>{});
}

TEST(SidecarOutput, HostClosingItsReadEndEndsTheSidecarWithBrokenPipe) {
  SidecarHost host;
  host.send(setStreamingLine(true) + configureLine(host.sidecarPid, 250));
  EXPECT_EQ(eventType(host.next()), "snapshot");
  host.child.closeStdout();
  const auto ended = host.child.waitForExit();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->signal, std::nullopt) << "killed by a signal instead of ending";
  EXPECT_EQ(ended->code, 1);
  EXPECT_EQ(host.child.readStderr(),
            "Error: Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }\n");
}

// Three kinds of line whose answers can be told apart and put in order.
std::string burstLine(int i) {
  switch (i % 3) {
    case 0:
      return readHistoryLine("q" + std::to_string(i), 0);
    case 1:
      return shutdownLine(static_cast<std::uint32_t>(1000 + i));  // refused: wrong version
    default:
      return "{\"type\":\"sampleNow\",\"version\":2\n";  // cut short
  }
}

void expectBurstAnswer(int i, const std::string& line) {
  switch (i % 3) {
    case 0:
      EXPECT_EQ(stringField(line, "requestId"), "q" + std::to_string(i)) << line;
      EXPECT_TRUE(line.find(R"("done":true)") != std::string::npos) << line;
      break;
    case 1:
      EXPECT_EQ(line, errorLine("protocol-mismatch",
                                "unsupported protocol version " + std::to_string(1000 + i) +
                                    "; expected 2",
                                false));
      break;
    default:
      EXPECT_TRUE(line.starts_with(
          R"({"version":2,"type":"error","code":"invalid-command","message":"invalid command: )"))
          << line;
  }
}

TEST(SidecarInput, TenThousandLinesAtOnceAreAllAnsweredInOrder) {
  SidecarHost host;
  constexpr int kLines = 10000;
  // Two slow answers (each collection waits out the refresh spacing) hold the main loop back
  // while the burst piles up behind the command queue and in the pipe.
  std::string burst = configureLine(host.sidecarPid, 0) + sampleNowLine("slow-1");
  for (int i = 0; i < kLines; ++i) {
    burst += burstLine(i);
    if (i == kLines / 2) burst += sampleNowLine("slow-2");
  }
  std::thread writer([&] {
    EXPECT_TRUE(host.child.write(burst));
    host.child.closeStdin();
  });

  EXPECT_EQ(stringField(host.next(), "requestId"), "slow-1");
  for (int i = 0; i < kLines; ++i) {
    const std::string line = host.next();
    if (::testing::Test::HasFailure()) break;
    expectBurstAnswer(i, line);
    if (i == kLines / 2) {
      EXPECT_EQ(stringField(host.next(), "requestId"), "slow-2");
    }
  }
  writer.join();
  EXPECT_EQ(host.child.readLinesToEnd(), std::vector<std::string>{});
  const auto ended = host.child.waitForExit();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->code, 0);
}

}  // namespace
}  // namespace procsampler::testing
