#include "protocol/event_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fakes/recording_sink.h"

namespace procsampler::protocol {
namespace {

using sampling::ProcessSample;
using sampling::Snapshot;
using testing::RecordingSink;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

ProcessSample nodeProcess() {
  ProcessSample p;
  p.pid = 4321;
  p.ppid = 1;
  p.startTimeMs = 1717999999000;
  p.runTimeMs = 1123;
  p.name = "node";
  p.command = "node server.js --port 8080";
  p.status = "Run";
  p.cpuPercent = 12.5f;
  p.cpuTimeMs = 870;
  p.residentBytes = 52428800;
  p.virtualBytes = 4294967296;
  p.ioReadBytes = 1024;
  return p;
}

constexpr std::string_view kNodeRecord =
    R"({"pid":4321,"ppid":1,"startTimeMs":1717999999000,"runTimeMs":1123,"name":"node",)"
    R"("command":"node server.js --port 8080","status":"Run","cpuPercent":12.5,"cpuTimeMs":870,)"
    R"("residentBytes":52428800,"virtualBytes":4294967296,"ioReadBytes":1024,"ioWriteBytes":0,)"
    R"("ioSemantics":"storage"})";

Snapshot sampleSnapshot() {
  Snapshot s;
  s.sequence = 7;
  s.sampledAtUnixMs = 1718000000123;
  s.collectionDurationMicros = 1500;
  s.scannedProcessCount = 412;
  s.retainedProcessCount = 1;
  s.inaccessibleProcessCount = 3;
  s.externalProcesses = {{4321, 1717999999000}};
  s.processes = {nodeProcess()};
  return s;
}

constexpr std::string_view kSnapshotHead =
    R"({"version":2,"type":"snapshot","sequence":7,"sampledAtUnixMs":1718000000123,)"
    R"("collectionDurationMicros":1500,"scannedProcessCount":412,"retainedProcessCount":1,)"
    R"("inaccessibleProcessCount":3)";
constexpr std::string_view kSnapshotExternals =
    R"(,"externalProcesses":[{"pid":4321,"startTimeMs":1717999999000}],"processes":[)";

std::string sampleSnapshotLine() {
  return std::string(kSnapshotHead) + std::string(kSnapshotExternals) + std::string(kNodeRecord) +
         "]}\n";
}

std::string writeOne(const Snapshot& snapshot) {
  RecordingSink sink;
  EventWriter writer(sink);
  EXPECT_TRUE(writer.writeSnapshot(snapshot).ok());
  return sink.output;
}

// The record of a one-process snapshot, as written, without the snapshot around it.
std::string recordText(const ProcessSample& process) {
  Snapshot snapshot;
  snapshot.processes = {process};
  const std::string line = writeOne(snapshot);
  const std::string_view open = R"("processes":[)";
  const auto start = line.find(open) + open.size();
  return line.substr(start, line.size() - start - 3);  // drops ]}\n
}

// About 30 KB: longer than the buffer several times over.
Snapshot largeSnapshot() {
  Snapshot s = sampleSnapshot();
  s.processes.clear();
  for (std::uint32_t i = 0; i < 60; ++i) {
    ProcessSample p = nodeProcess();
    p.pid = 100 + i;
    p.command = "/usr/bin/worker --id=" + std::to_string(i) + " " + std::string(400, 'x');
    s.processes.push_back(p);
  }
  return s;
}

TEST(EventWriter, WritesHelloAndErrorLinesExactly) {
  RecordingSink sink;
  EventWriter writer(sink);
  ASSERT_TRUE(writer.writeHello({"0.1.0", 73021, "macos", "aarch64", Capabilities{}}).ok());
  ASSERT_TRUE(writer.writeError("protocol-mismatch", "unsupported protocol version 3; expected 2",
                                false).ok());
  ASSERT_TRUE(writer.writeError("not-configured", "configure must be sent before sampling", true)
                  .ok());
  EXPECT_EQ(sink.output,
            R"({"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":73021,)"
            R"("platform":"macos","arch":"aarch64","capabilities":{"cumulativeCpuTime":true,)"
            R"("currentCpuPercent":true,"residentMemory":true,"virtualMemory":true,"ioBytes":true,)"
            R"("processStartTime":true,"processTree":true}})"
            "\n"
            R"({"version":2,"type":"error","code":"protocol-mismatch",)"
            R"("message":"unsupported protocol version 3; expected 2","recoverable":false})"
            "\n"
            R"({"version":2,"type":"error","code":"not-configured",)"
            R"("message":"configure must be sent before sampling","recoverable":true})"
            "\n");
  // Flushed per event: one write each.
  EXPECT_EQ(sink.writes.size(), 3u);
}

TEST(EventWriter, WritesSnapshotsExactly) {
  EXPECT_EQ(writeOne(sampleSnapshot()), sampleSnapshotLine());

  Snapshot requested = sampleSnapshot();
  requested.requestId = "req-1";
  EXPECT_EQ(writeOne(requested), std::string(kSnapshotHead) + R"(,"requestId":"req-1")" +
                                     std::string(kSnapshotExternals) + std::string(kNodeRecord) +
                                     "]}\n");

  Snapshot empty = sampleSnapshot();
  empty.processes.clear();
  empty.externalProcesses = {{7, std::nullopt}, {8, 0}};
  EXPECT_EQ(writeOne(empty),
            std::string(kSnapshotHead) +
                R"(,"externalProcesses":[{"pid":7,"startTimeMs":null},{"pid":8,"startTimeMs":0}],)"
                R"("processes":[]})"
                "\n");

  ProcessSample widest;
  widest.pid = std::numeric_limits<std::uint32_t>::max();
  widest.ppid = widest.pid;
  widest.startTimeMs = widest.runTimeMs = widest.cpuTimeMs = widest.residentBytes = U64_MAX;
  widest.virtualBytes = widest.ioReadBytes = widest.ioWriteBytes = U64_MAX;
  widest.cpuPercent = -3.4028235e38f;
  widest.ioCountsAllIo = true;
  EXPECT_EQ(recordText(widest),
            R"({"pid":4294967295,"ppid":4294967295,"startTimeMs":18446744073709551615,)"
            R"("runTimeMs":18446744073709551615,"name":"","command":"","status":"",)"
            R"("cpuPercent":-3.4028235e+38,"cpuTimeMs":18446744073709551615,)"
            R"("residentBytes":18446744073709551615,"virtualBytes":18446744073709551615,)"
            R"("ioReadBytes":18446744073709551615,"ioWriteBytes":18446744073709551615,)"
            R"("ioSemantics":"all-io"})");
}

TEST(EventWriter, WritesCpuPercentByTheFloatRule) {
  constexpr struct {
    float value;
    std::string_view text;
  } kCases[] = {
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
      {-std::numeric_limits<float>::infinity(), "null"},
      {0.0f, "0.0"},
      {100.0f, "100.0"},
      {100.0f / 3.0f, "33.333332"},
      {0.1f, "0.1"},
      {1e-7f, "1e-7"},
  };
  for (const auto& c : kCases) {
    ProcessSample p;
    p.cpuPercent = c.value;
    const std::string expected = R"("cpuPercent":)" + std::string(c.text) + R"(,"cpuTimeMs":)";
    EXPECT_NE(recordText(p).find(expected), std::string::npos) << c.text;
  }
}

TEST(EventWriter, EscapesOnlyWhatJsonRequires) {
  constexpr struct {
    std::string_view raw, written;
  } kCases[] = {
      {"a\tb", R"("a\tb")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\dir", R"("C:\\dir")"},
      {"\b\f\n\r", R"("\b\f\n\r")"},
      {std::string_view("\x00\x01\x1b\x1f", 4), R"("\u0000\u0001\u001b\u001f")"},
      {"caf\xc3\xa9 /usr/bin \x7f", "\"caf\xc3\xa9 /usr/bin \x7f\""},
      {"", R"("")"},
      {"\t\"\\\x01\xc3\xa9/\x7f", "\"\\t\\\"\\\\\\u0001\xc3\xa9/\x7f\""},
  };
  for (const auto& c : kCases) {
    // Both string paths: the short texts of events and the texts inside process records.
    RecordingSink sink;
    EventWriter writer(sink);
    ASSERT_TRUE(writer.writeError("invalid-command", c.raw, true).ok());
    EXPECT_NE(sink.output.find(R"("message":)" + std::string(c.written) + ","), std::string::npos)
        << sink.output;
    ProcessSample p;
    p.name = std::string(c.raw);
    EXPECT_NE(recordText(p).find(R"("name":)" + std::string(c.written) + ","), std::string::npos);
  }
}

TEST(EventWriter, EscapesTextsLongerThanTheBuffer) {
  std::string raw;
  std::string written;
  for (int i = 0; i < 5000; ++i) {
    raw += "a\"\xc3\xa9\x01";
    written += "a\\\"\xc3\xa9\\u0001";
  }
  ProcessSample p = nodeProcess();
  p.command = raw;
  p.name = raw.substr(0, 2000);
  const std::string record = recordText(p);
  EXPECT_NE(record.find(R"("command":")" + written + R"(","status":"Run","cpuPercent":12.5,)"),
            std::string::npos);
  EXPECT_NE(record.find(R"("name":")" + written.substr(0, 400 * 11) + R"(","command":)"),
            std::string::npos);

  RecordingSink sink;
  EventWriter writer(sink);
  ASSERT_TRUE(writer.writeError("invalid-command", raw, true).ok());
  EXPECT_EQ(sink.output, R"({"version":2,"type":"error","code":"invalid-command","message":")" +
                             written + R"(","recoverable":true})" + "\n");
}

TEST(EventWriter, WritesHistoryChunksWithTheSnapshotObjects) {
  RecordingSink sink;
  EventWriter writer(sink);
  ASSERT_TRUE(writer.writeHistoryChunk("h-1", true, {}).ok());
  EXPECT_EQ(sink.output,
            R"({"version":2,"type":"historyChunk","requestId":"h-1","done":true,"snapshots":[]})"
            "\n");

  Snapshot first = sampleSnapshot();
  Snapshot second = sampleSnapshot();
  second.requestId = "never-inside-a-chunk";
  const Snapshot* slice[] = {&first, &second};
  sink.output.clear();
  ASSERT_TRUE(writer.writeHistoryChunk("h-2", false, slice).ok());
  std::string object = sampleSnapshotLine();
  object.pop_back();
  EXPECT_EQ(sink.output, R"({"version":2,"type":"historyChunk","requestId":"h-2","done":false,)"
                         R"("snapshots":[)" +
                             object + "," + object + "]}\n");
}

TEST(EventWriter, PassesALongEventThroughInOrder) {
  Snapshot large = largeSnapshot();
  large.processes[30].command = std::string(20000, '\x02');  // the piecewise path, mid-stream
  RecordingSink sink;
  EventWriter writer(sink);
  ASSERT_TRUE(writer.writeSnapshot(large).ok());

  std::string expected = std::string(kSnapshotHead) + std::string(kSnapshotExternals);
  for (std::size_t i = 0; i < large.processes.size(); ++i) {
    expected += (i == 0 ? "" : ",") + recordText(large.processes[i]);
  }
  expected += "]}\n";
  EXPECT_EQ(sink.output, expected);
  EXPECT_GT(sink.writes.size(), expected.size() / EVENT_BUFFER_BYTES);
  for (std::size_t size : sink.writes) EXPECT_LE(size, EVENT_BUFFER_BYTES);
}

// Records of the widest numbers and texts that escape to six bytes a byte, in sizes that make
// them end at every offset near the end of the buffer. The writer lives on the heap, so that
// AddressSanitizer sees any write past its buffer.
TEST(EventWriter, WorstCaseRecordsStayInsideTheBuffer) {
  ProcessSample widest;
  widest.pid = widest.ppid = std::numeric_limits<std::uint32_t>::max();
  widest.startTimeMs = widest.runTimeMs = widest.cpuTimeMs = widest.residentBytes = U64_MAX;
  widest.virtualBytes = widest.ioReadBytes = widest.ioWriteBytes = U64_MAX;
  widest.cpuPercent = -0.0000012345678f;
  widest.command = std::string(200, '\x1f');
  widest.status = "\x01";
  Snapshot snapshot;
  snapshot.sequence = snapshot.sampledAtUnixMs = snapshot.collectionDurationMicros = U64_MAX;
  for (std::size_t nameBytes = 0; nameBytes < 12; ++nameBytes) {
    widest.name = std::string(nameBytes, '\x02');
    snapshot.processes.assign(40, widest);
    RecordingSink sink;
    auto writer = std::make_unique<EventWriter>(sink);
    ASSERT_TRUE(writer->writeSnapshot(snapshot).ok());
    const std::string record = recordText(widest);
    EXPECT_NE(record.find(R"("cpuPercent":-0.0000012345678,)"), std::string::npos);
    EXPECT_EQ(sink.output.size(),
              sink.output.find(R"("processes":[)") + 13 + 40 * record.size() + 39 + 3);
  }
}

TEST(EventWriter, StopsAtTheFirstFailedWriteAndFlushesOnlyTheRest) {
  const Snapshot large = largeSnapshot();
  const std::string whole = writeOne(large);
  // Failing in the first write, in the middle, at the last byte, and on the final flush alone.
  for (std::size_t failAfter : {std::size_t{0}, std::size_t{10}, std::size_t{9000},
                                whole.size() / 2, whole.size() - 1}) {
    RecordingSink sink;
    EventWriter writer(sink);
    sink.failAfter(failAfter);
    const IoStatus status = writer.writeSnapshot(large);
    ASSERT_FALSE(status.ok()) << failAfter;
    EXPECT_EQ(status.error(), IoError{EPIPE});
    EXPECT_EQ(sink.output, whole.substr(0, failAfter));

    // Nothing more reaches the sink, and the first failure is what later events get.
    const int calls = sink.calls;
    sink.failAfter(failAfter, EIO);
    EXPECT_EQ(writer.writeError("not-configured", "x", true).error(), IoError{EPIPE});
    EXPECT_EQ(writer.writeSnapshot(large).error(), IoError{EPIPE});
    EXPECT_EQ(sink.calls, calls);

    // One more attempt sends what the sink had not taken, once; a second has nothing left.
    sink.heal();
    EXPECT_TRUE(writer.flush().ok());
    EXPECT_GT(sink.output.size(), failAfter);
    EXPECT_EQ(sink.output, whole.substr(0, sink.output.size()));
    if (failAfter == whole.size() - 1) {
      EXPECT_EQ(sink.output, whole);
    }
    const int afterFlush = sink.calls;
    EXPECT_TRUE(writer.flush().ok());
    EXPECT_EQ(sink.calls, afterFlush);
  }
}

// Real descriptors: a reader that has gone, a descriptor that is not open, a full device.
TEST(FdSink, ReportsDescriptorFailuresAsTheWireExpects) {
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  FdSink brokenPipe(ends[1]);
  EventWriter writer(brokenPipe);
  const IoStatus status = writer.writeHello({"0.1.0", 1, "macos", "aarch64", {}});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), IoError{EPIPE});
  close(ends[1]);
  sigaction(SIGPIPE, &previous, nullptr);

  FdSink notOpen(ends[1]);  // just closed
  EXPECT_TRUE(notOpen.writeAll("x\n", 2).ok());
  EventWriter silent(notOpen);
  EXPECT_TRUE(silent.writeError("invalid-command", "x", true).ok());

  const int full = open("/dev/full", O_WRONLY);
  if (full >= 0) {
    FdSink device(full);
    EXPECT_EQ(device.writeAll("x", 1).error(), IoError{ENOSPC});
    close(full);
  }
}

// Signals land while the writer blocks on a full pipe: some writes end early, some with EINTR.
TEST(FdSink, CarriesOnThroughInterruptedAndPartialWrites) {
  struct sigaction wake = {};
  struct sigaction previous = {};
  wake.sa_handler = [](int) {};
  sigemptyset(&wake.sa_mask);
  wake.sa_flags = 0;  // no SA_RESTART: the write really returns
  ASSERT_EQ(sigaction(SIGUSR1, &wake, &previous), 0);

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);

  const pthread_t writerThread = pthread_self();
  std::string received;
  std::thread reader([&] {
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      pthread_kill(writerThread, SIGUSR1);
    }
    char chunk[65536];
    for (;;) {
      const ssize_t n = read(ends[0], chunk, sizeof chunk);
      if (n > 0) received.append(chunk, static_cast<std::size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
  });
  FdSink sink(ends[1]);
  const IoStatus status = sink.writeAll(data.data(), data.size());
  close(ends[1]);
  reader.join();
  close(ends[0]);
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_TRUE(status.ok());
  EXPECT_TRUE(received == data) << received.size() << " bytes received";
}

}  // namespace
}  // namespace procsampler::protocol
