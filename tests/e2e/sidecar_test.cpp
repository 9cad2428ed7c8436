// The real sidecar over pipes, driven as a host drives it. Each run checks several things in the
// order the host sees them. Timing checks use the snapshots' own millisecond stamps; the room they
// leave above the expected spacing is what the kernel says the sidecar waited to be scheduled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "protocol/json_reader.h"
#include "session/stop_signals.h"
#include "support/child_process.h"
#include "support/test_paths.h"

// What hello says about the system and processor the test, like the sidecar, was built for.
#define PLATFORM_ARCH R"("platform":")" PROCSAMPLER_PLATFORM R"(","arch":")" PROCSAMPLER_ARCH "\""

namespace procsampler::testing {
namespace {

using Lines = std::vector<std::string>;

// Every raw value of "key" in a compact event line, in order; strings keep their quotes. A value
// is cut at the first comma or brace, which none of the values looked at here contains.
Lines fields(std::string_view line, std::string_view key) {
  const std::string marker = "\"" + std::string(key) + "\":";
  Lines values;
  for (auto at = line.find(marker); at != std::string_view::npos; at = line.find(marker, at + 1)) {
    const std::size_t begin = at + marker.size();
    values.emplace_back(line.substr(begin, line.find_first_of(",}", begin) - begin));
  }
  return values;
}
double ms(const std::string& snapshot, const char* key) {
  return std::stod(fields(snapshot, key).at(0));
}

std::string command(const std::string& type, const std::string& body = "", int version = 2) {
  return R"({"type":")" + type + R"(","version":)" + std::to_string(version) +
         (body.empty() ? "" : ",") + body + "}\n";
}
std::string command3(const std::string& type, const std::string& body) {
  return command(type, body, 3);
}
std::string configure(pid_t root, int intervalMs) {
  return command("configure", "\"rootPid\":" + std::to_string(root) + ",\"sampleIntervalMs\":" +
                                  std::to_string(intervalMs) + ",\"externalProcesses\":[]");
}
std::string sampleNow(const std::string& id) {
  return command("sampleNow", "\"requestId\":\"" + id + "\"");
}
std::string readHistory(const std::string& id, int windowMs) {
  return command("readHistory",
                 "\"requestId\":\"" + id + "\",\"windowMs\":" + std::to_string(windowMs));
}

struct Host : ChildProcess {
  // A sidecar that speaks version 3 logs its lines apart, for the schema of that version.
  explicit Host(bool stdinOpen = true, bool stdoutOpen = true, const Lines& arguments = {},
                bool speaksV3 = false)
      : ChildProcess(testPath("PROCSAMPLER_BINARY", SIDECAR_FROM_TESTS).c_str(), stdinOpen,
                     stdoutOpen, arguments, speaksV3 ? "-v3" : "") {
    if (stdoutOpen) hello = next();
  }
  void send(const std::string& lines) { EXPECT_TRUE(write(lines)); }
  std::string next() { return readLine().value_or("no event within 60 s"); }
  // The sidecar ends by itself with `code` and writes nothing more but `errorText`.
  void expectEnd(int code, const std::string& errorText = "") {
    EXPECT_EQ(waitForExit(), code);
    EXPECT_EQ(readLine(), std::nullopt);
    EXPECT_EQ(errorOutput, errorText);
  }
  std::string hello;
};

// How long the main thread of `pid` has waited, runnable, for a processor (schedstat's second
// field); nothing where the kernel does not say (no /proc, or no scheduler statistics).
std::optional<double> runQueueWaitMs(pid_t pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double onCpuNs = 0, waitedNs = 0;
  if (!(schedstat >> onCpuNs >> waitedNs)) return std::nullopt;
  return waitedNs / 1e6;
}

TEST(Sidecar, SaysHelloAndEndsCleanlyWithoutInputOrOutput) {
  for (const bool stdinOpen : {true, false}) {
    Host host(stdinOpen);
    EXPECT_EQ(host.hello,
              R"({"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":)" +
                  std::to_string(host.pid()) +
                  "," PLATFORM_ARCH
                  R"(,"capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,)"
                  R"("residentMemory":true,"virtualMemory":true,"ioBytes":true,)"
                  R"("processStartTime":true,"processTree":true}})");
    host.closeFd(0);
    host.expectEnd(0);
  }
  Host blind(true, false);  // events written into nothing must not derail the session
  blind.send(sampleNow("refused") + configure(blind.pid(), 0) + sampleNow("s") +
             command("shutdown"));
  blind.expectEnd(0);
}

// The wiring of reader, loop, collection, history and writer, as the host sees it; what each
// part makes of every command is the business of the session's own tests.
TEST(Sidecar, CommandsAreAnsweredInOrder) {
  // Two sidecars at once. One is sent at once three samples (the last with a request id of a
  // megabyte), its history, 10,000 lines alternately refused and answered by a chunk, a line that
  // is not UTF-8 and one more command. Nothing of its output is read while the other streams, so
  // it is held back at its output, then at its channel's bound, then at its input pipe.
  Host history, stream;
  const std::string huge(1 << 20, 'm');  // a line of a megabyte
  std::string script = configure(history.pid(), 0);
  for (int i = 1; i <= 3; ++i) script += sampleNow(i < 3 ? std::to_string(i) : huge);
  script += readHistory("h", 3600000);
  for (int i = 0; i < 10000; ++i) {
    script += i % 2 ? readHistory("q" + std::to_string(i), 0) : "{\"type\":\"sampleNow\"\n";
  }
  std::thread writer([&] { history.send(script + "{\"type\":\"\xFF\"}\n" + sampleNow("never")); });
  const std::optional<double> waitedBefore = runQueueWaitMs(stream.pid());
  stream.send(command("setStreaming", "\"enabled\":true") + configure(stream.pid(), 1));

  // An interval of 1 is raised to 250 ms, counted from the end of each sample. Beyond that a gap
  // holds a write and a wake-up (a few ms on an idle machine; 150 allowed) and the time the
  // sidecar waited for a processor, which on a busy machine can be seconds.
  std::vector<double> gaps;
  for (std::string previous = stream.next(), snapshot;
       previous.find("\"sequence\":3,") == std::string::npos; previous = snapshot) {
    snapshot = stream.next();
    // From the end of one to the start of the next collection (its stamp marks its end).
    gaps.push_back(ms(snapshot, "sampledAtUnixMs") -
                   ms(snapshot, "collectionDurationMicros") / 1000 -
                   ms(previous, "sampledAtUnixMs"));
  }
  const std::optional<double> waitedAfter = runQueueWaitMs(stream.pid());
  for (const double gap : gaps) {
    EXPECT_GE(gap, 248);
    if (waitedBefore && waitedAfter) {
      EXPECT_LT(gap, 400 + *waitedAfter - *waitedBefore)
          << "ms waited for a processor: " << *waitedAfter - *waitedBefore;
    }
  }
  stream.closeFd(1);  // the host stops reading while the sidecar streams
  stream.expectEnd(1, "Error: Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }\n");

  for (const std::string id : {"1", "2", huge.c_str()}) {
    EXPECT_EQ(fields(history.next(), "requestId"), Lines{"\"" + id + "\""});
  }
  EXPECT_EQ(fields(history.next(), "sequence"), (Lines{"1", "2", "3"}));
  // Each of the 10,000 answers is known by a prefix.
  for (int i = 0; i < 10000; ++i) {
    const std::string answer =
        i % 2
            ? R"({"version":2,"type":"historyChunk","requestId":"q)" + std::to_string(i) + "\""
            : R"({"version":2,"type":"error","code":"invalid-command","message":"invalid command: )";
    if (const std::string line = history.next(); !line.starts_with(answer)) {
      ADD_FAILURE() << "expected " << answer << "..., got " << line.substr(0, 200);
      history.closeFd(1);  // the sidecar ends, so the writer is not left blocked
      break;
    }
  }
  writer.join();
  EXPECT_EQ(history.next(),
            R"({"version":2,"type":"error","code":"invalid-command","message":)"
            R"("failed reading command stream: stream did not contain valid UTF-8",)"
            R"("recoverable":true})");
  history.expectEnd(0);  // input is still open, yet nothing after the bad line is read
}

TEST(Sidecar, ProtocolArgumentPicksTheVersionOrEndsWithStatusTwo) {
  const std::string v3Hello = R"({"version":3,"type":"hello","protocolVersions":[2,3],)";
  for (const Lines& arguments :
       {Lines{"--protocol", "3"}, Lines{"--protocol=0000000000000000099"}}) {
    Host host(true, true, arguments, true);
    EXPECT_TRUE(host.hello.starts_with(v3Hello)) << host.hello;
    host.send(command("shutdown", "", 3));
    host.expectEnd(0);
  }
  {
    Host host(true, true, {"--protocol", "3", "--protocol", "2"});  // the last one counts
    EXPECT_TRUE(host.hello.starts_with(R"({"version":2,"type":"hello","sidecarVersion":)"));
  }
  const std::pair<Lines, std::string> kRefused[] = {
      {{"--protocol", "1"}, "protocol version must be a number of at least 2, not `1`"},
      {{"--protocol=3.0"}, "protocol version must be a number of at least 2, not `3.0`"},
      {{"--protocol="}, "protocol version must be a number of at least 2, not ``"},
      {{"--protocol"}, "--protocol needs a protocol version, such as --protocol 3"},
      {{"-v"}, "unknown argument `-v`; the only option is --protocol <version>"},
      {{"--protocols", "3"},
       "unknown argument `--protocols`; the only option is --protocol <version>"},
  };
  for (const auto& [arguments, error] : kRefused) {
    Host host(true, true, arguments);
    host.expectEnd(2, "Error: " + error + "\n");
  }
}

// Every command that carries a request id gets one answer naming it; the rest are answered as
// in version 2.
TEST(Sidecar, Version3AnswersEveryRequest) {
  Host host(true, true, {"--protocol", "3"}, true);
  const std::string pid = std::to_string(host.pid());
  host.send(
      command3("sampleNow", R"("requestId":"early")") +
      command3("configure", R"("rootPid":)" + pid + R"(,"sampleIntervalMs":0,"requestId":"c")") +
      command3("setStreaming", R"("enabled":false,"requestId":"s")") +
      command3("setSampleInterval", R"("sampleIntervalMs":0)") +
      command3("setExternalProcesses", R"("requestId":"e","processes":[[1,null]])") +
      sampleNow("old") + command3("setStreaming", R"("requestId":"bad")") + "not json\n" +
      command3("setStreaming", R"("enabled":true,"requestId":7)") +
      command3("sampleNow", R"("requestId":"n")") +
      command3("readHistory", R"("requestId":"h","windowMs":0)") +
      command3("readHistory", R"("requestId":"d","windowMs":60000,"stepMs":60000)") +
      command3("shutdown", R"("requestId":"bye")"));
  const std::string error = R"({"version":3,"type":"error","code":)";
  EXPECT_EQ(host.next(), error + R"("not-configured","message":"configure must be sent before )"
                                 R"(sampling","recoverable":true,"requestId":"early"})");
  for (const char* id : {"c", "s", "e"}) {
    EXPECT_EQ(host.next(), R"({"version":3,"type":"ack","requestId":")" + std::string(id) + "\"}");
  }
  EXPECT_EQ(host.next(), error + R"("protocol-mismatch","message":"unsupported protocol version )"
                                 R"(2; expected 3","recoverable":false,"requestId":"old"})");
  EXPECT_EQ(host.next(), error + R"("invalid-command","message":"invalid command: missing field )"
                                 R"(`enabled`","recoverable":true,"requestId":"bad"})");
  for (int unnamed = 0; unnamed < 2; ++unnamed) {
    const std::string line = host.next();
    EXPECT_TRUE(line.starts_with(error + R"("invalid-command")") &&
                line.ends_with(R"("recoverable":true})"))
        << line;
  }
  const std::string snapshot = host.next();
  EXPECT_TRUE(snapshot.starts_with(R"({"version":3,"type":"snapshot",)")) << snapshot;
  EXPECT_EQ(fields(snapshot, "requestId"), Lines{"\"n\""});
  // The machine's totals, each readable here: available memory within the total, CPU within
  // every processor's whole.
  const double cpus = ms(snapshot, "cpuCount"), total = ms(snapshot, "memoryTotalBytes");
  EXPECT_TRUE(cpus >= 1 && ms(snapshot, "uptimeMs") > 0) << snapshot;
  EXPECT_LE(ms(snapshot, "cpuPercent"), 100 * cpus);
  EXPECT_TRUE(total > 0 && ms(snapshot, "memoryAvailableBytes") <= total) << snapshot;
  EXPECT_GT(ms(snapshot, "footprintBytes"), 0);  // the sidecar's own
  const std::string chunk = host.next();
  EXPECT_TRUE(
      chunk.starts_with(R"({"version":3,"type":"historyChunk","requestId":"h","done":true)"))
      << chunk;
  // The one snapshot taken, summarised in one step.
  const std::string steps = host.next();
  EXPECT_TRUE(steps.starts_with(
      R"({"version":3,"type":"historyChunk","requestId":"d","done":true,"stepMs":60000,"steps":[)"))
      << steps;
  EXPECT_EQ(fields(steps, "snapshotCount"), Lines{"1"});
  const Lines summarised = fields(steps, "pid");  // pid 1's tree as well, named as external
  EXPECT_NE(std::find(summarised.begin(), summarised.end(), pid), summarised.end()) << steps;
  EXPECT_EQ(host.next(), R"({"version":3,"type":"ack","requestId":"bye"})");
  host.expectEnd(0);
}

// While the host reads nothing, a latest-only stream skips its periodic snapshots rather than
// queueing them; the first one written afterwards counts those skipped.
TEST(Sidecar, LatestStreamingSkipsWhatTheHostHasNotRead) {
  Host host(true, true, {"--protocol", "3"}, true);
  host.send(command3("setStreaming", R"("enabled":true,"latest":true)") +
            command3("configure",
                     R"("rootPid":)" + std::to_string(host.pid()) + R"(,"sampleIntervalMs":250)"));
  Lines seen{host.next()};
  std::this_thread::sleep_for(std::chrono::seconds(3));
  while (const auto line = host.readLine(0)) seen.push_back(*line);
  // What was written while the host slept: the snapshot its last read made room for, and one more
  // only if the pause ended between two collections.
  EXPECT_LE(seen.size(), 3u);
  const std::string fresh = host.next();
  const Lines skipped = fields(fresh, "skippedSnapshots");
  ASSERT_EQ(skipped.size(), 1u) << fresh;
  EXPECT_EQ(std::stoul(fields(fresh, "sequence").at(0)),
            std::stoul(fields(seen.back(), "sequence").at(0)) + std::stoul(skipped[0]) + 1);
  std::printf("skipped %s snapshots during a 3 s pause\n", skipped[0].c_str());
}

// A child of this test that sleeps for a minute.
pid_t startSleeper() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sleep", "sleep", "60", nullptr);
    ::_exit(127);
  }
  return pid;
}

// With lifecycle on, an exit in the trees is told without any snapshot (the loop has no
// interval and no request), and a process that joins them is told at the next snapshot.
TEST(Sidecar, LifecycleTellsExitsAtOnceAndStartsAtTheNextSnapshot) {
  const pid_t early = startSleeper();
  Host host(true, true, {"--protocol", "3"}, true);
  host.send(command3("configure", R"("rootPid":)" + std::to_string(::getpid()) +
                                      R"(,"sampleIntervalMs":0,"lifecycle":true,"requestId":"c")"));
  Lines started;
  for (std::string line; (line = host.next()).find(R"("type":"ack")") == std::string::npos;) {
    EXPECT_EQ(fields(line, "type").at(0), R"("processStarted")") << line;
    started.push_back(fields(line, "pid").at(0));
  }
  EXPECT_NE(std::find(started.begin(), started.end(), std::to_string(early)), started.end());

  const auto killed = std::chrono::steady_clock::now();
  ::kill(early, SIGKILL);
  const std::string exited = host.next();
  const std::chrono::duration<double, std::milli> latency =
      std::chrono::steady_clock::now() - killed;
  EXPECT_EQ(fields(exited, "type").at(0), R"("processExited")") << exited;
  EXPECT_EQ(fields(exited, "pid").at(0), std::to_string(early));
  std::printf("processExited %.1f ms after the kill\n", latency.count());
  ::waitpid(early, nullptr, 0);

  const pid_t late = startSleeper();
  host.send(command3("sampleNow", R"("requestId":"s")"));
  const std::string joined = host.next();
  EXPECT_EQ(fields(joined, "type").at(0), R"("processStarted")") << joined;
  EXPECT_EQ(fields(joined, "pid").at(0), std::to_string(late));
  EXPECT_EQ(fields(host.next(), "requestId"), Lines{R"("s")"});
  ::kill(late, SIGKILL);
  ::waitpid(late, nullptr, 0);
  EXPECT_EQ(fields(host.next(), "pid").at(0), std::to_string(late));
  host.send(command3("shutdown", ""));
  host.expectEnd(0);
}

// Hosts stop their sidecar with these signals, often while it writes: it must finish the line it
// is writing and then end as the signal ends a process. Lines here are two megabytes (twenty
// shells with arguments of 16 KiB of byte 0x01, six bytes each on the wire) and the host reads
// them slowly, on a thread meanwhile or not at all until the signal has landed, so a signal
// usually finds one half written. A host that never reads again gets the signal's end all the
// same, once the sidecar has waited STOP_LINE_WAIT for the line.
TEST(Sidecar, StopSignalsNeverCutALineTheHostReads) {
  const std::string argument(16384, '\x01');
  std::vector<pid_t> shells;
  for (int i = 0; i < 20; ++i) {
    if (const pid_t pid = ::fork(); pid == 0) {
      ::setpgid(0, 0);  // so that one kill ends the shell and its sleep
      ::execl("/bin/sh", "sh", "-c", "sleep 60", "sh", argument.c_str(), nullptr);
      ::_exit(127);
    } else {
      shells.push_back(pid);
    }
  }
  unsigned seed = static_cast<unsigned>(::getpid());
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGTERM, SIGINT, SIGHUP}) {
    Host host;
    host.send(command("setStreaming", "\"enabled\":true") + configure(::getpid(), 250));
    for (int i = 0; i < 20; ++i) host.send(sampleNow(std::to_string(i)));
    auto slowly = std::async(signal == SIGHUP ? std::launch::deferred : std::launch::async,
                             [&] { return host.readRest(std::chrono::milliseconds(5)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + ::rand_r(&seed) % 400));
    ::kill(host.pid(), signal);
    const std::string output = slowly.get();
    EXPECT_EQ(host.waitForExit(), std::nullopt);
    EXPECT_EQ(host.endSignal, signal);
    EXPECT_TRUE(output.empty() || output.back() == '\n') << "cut after " << output.size();
    for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string_view line = std::string_view(output).substr(start, end - start);
      protocol::json::Tree tree(line);
      protocol::json::Reader reader(line, tree);
      EXPECT_TRUE(reader.readValue() && reader.peek() == protocol::json::Reader::END) << line;
    }
  }

  Host stalled;
  stalled.send(configure(::getpid(), 0) + sampleNow("never read"));
  // Two megabytes into a pipe of 64 KiB: the sidecar is stuck in this line.
  EXPECT_TRUE(stalled.outputWaiting()) << "no snapshot begun within 60 s";
  const auto signalled = std::chrono::steady_clock::now();
  ::kill(stalled.pid(), SIGTERM);
  EXPECT_EQ(stalled.waitForExit(), std::nullopt);
  EXPECT_EQ(stalled.endSignal, SIGTERM) << "not ended by the signal within 60 s";
  EXPECT_GE(std::chrono::steady_clock::now() - signalled, session::STOP_LINE_WAIT);

  for (const pid_t pid : shells) ::kill(-pid, SIGKILL), ::waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace procsampler::testing
