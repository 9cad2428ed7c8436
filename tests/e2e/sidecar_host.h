// A minimal host for the end-to-end tests: starts the built sidecar, reads its hello, and sends
// and receives lines. The commands are written out as a host would write them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/event_lines.h"

namespace procsampler::testing {

inline std::string configureLine(std::uint64_t rootPid, std::uint64_t sampleIntervalMs) {
  return R"({"type":"configure","version":2,"rootPid":)" + std::to_string(rootPid) +
         R"(,"sampleIntervalMs":)" + std::to_string(sampleIntervalMs) +
         R"(,"externalProcesses":[]})" + "\n";
}
inline std::string sampleNowLine(std::string_view requestId) {
  return R"({"type":"sampleNow","version":2,"requestId":")" + std::string(requestId) + "\"}\n";
}
inline std::string readHistoryLine(std::string_view requestId, std::uint64_t windowMs) {
  return R"({"type":"readHistory","version":2,"requestId":")" + std::string(requestId) +
         R"(","windowMs":)" + std::to_string(windowMs) + "}\n";
}
inline std::string setStreamingLine(bool enabled) {
  return std::string(R"({"type":"setStreaming","version":2,"enabled":)") +
         (enabled ? "true" : "false") + "}\n";
}
inline std::string setSampleIntervalLine(std::uint64_t ms) {
  return R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":)" + std::to_string(ms) +
         "}\n";
}
inline std::string shutdownLine(std::uint32_t version = 2) {
  return R"({"type":"shutdown","version":)" + std::to_string(version) + "}\n";
}

inline std::string errorLine(std::string_view code, std::string_view message, bool recoverable) {
  return R"({"version":2,"type":"error","code":")" + std::string(code) + R"(","message":")" +
         std::string(message) + R"(","recoverable":)" + (recoverable ? "true" : "false") + "}";
}

// Start of a snapshot's collection on the wall clock, in milliseconds: it is stamped at the end.
inline double collectionStartMs(std::string_view snapshotLine) {
  return static_cast<double>(numberField(snapshotLine, "sampledAtUnixMs").value_or(0)) -
         static_cast<double>(numberField(snapshotLine, "collectionDurationMicros").value_or(0)) /
             1000.0;
}

class SidecarHost {
 public:
  explicit SidecarHost(ChildOptions options = {}) : child(PROCSAMPLER_BINARY, options) {
    EXPECT_TRUE(child.started()) << "could not start " << PROCSAMPLER_BINARY;
    if (options.stdoutOpen) {
      hello = child.readLine().value_or("");
      EXPECT_EQ(eventType(hello), "hello") << hello;
      sidecarPid = numberField(hello, "sidecarPid").value_or(0);
    } else {
      sidecarPid = static_cast<std::uint64_t>(child.pid());
    }
  }

  void send(std::string_view lines) { EXPECT_TRUE(child.write(lines)); }

  std::string next(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::optional<std::string> line = child.readLine(timeout);
    EXPECT_TRUE(line.has_value()) << "no event within " << timeout.count() << " ms";
    return line.value_or("");
  }

  // Ends input and expects a clean exit with nothing further on either output.
  void expectCleanEnd() {
    child.closeStdin();
    EXPECT_EQ(child.readLinesToEnd(), std::vector<std::string>{});
    const std::optional<ChildExit> ended = child.waitForExit();
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->code, 0);
    EXPECT_EQ(child.readStderr(), "");
  }

  ChildProcess child;
  std::string hello;
  std::uint64_t sidecarPid = 0;
};

}  // namespace procsampler::testing
