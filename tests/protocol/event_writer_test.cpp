#include "protocol/event_writer.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <thread>

#include "fakes/recording_sink.h"

namespace procsampler::protocol {
namespace {

using sampling::MachineTotals;
using sampling::ProcessSample;
using sampling::Snapshot;

int errorCode(const IoStatus& status) { return status.ok() ? 0 : status.error().code; }

std::string writeOne(const Snapshot& snapshot) {
  testing::RecordingSink sink;
  EXPECT_TRUE(EventWriter(sink).writeSnapshot(snapshot).ok());
  return sink.output;
}

// Hello and error lines are compared whole by the end-to-end and session tests.
TEST(EventWriter, WritesSnapshotsAndHistoryChunksExactly) {
  // JSON needs only these escaped; "/", 0x7F and UTF-8 pass unchanged.
  const std::string name = "n\t\"\\\x01\xc3\xa9/\x7f", command = "\b\f\n\r\x1b";
  const ProcessSample node{UINT32_MAX,    1,   1717999999000, 1123,       name, command, "Run",
                           100.0f / 3.0f, 870, 52428800,      UINT64_MAX, 1024, 0,       false};
  const Snapshot sampled{7, 1718000000123, 1500, 412, 1, 3, "r", {{4321, 17}, {7, {}}}, {node}};
  const Snapshot empty{7, 1718000000123, 1500, 412, 1, 3, {}, {}, {}};
  const Snapshot* slice[] = {&sampled, &empty};
  testing::RecordingSink sink;
  EventWriter writer(sink);
  ASSERT_TRUE(writer.writeSnapshot(sampled).ok() && writer.writeSnapshot(empty).ok() &&
              writer.writeHistory("h-1", {}).ok() && writer.writeHistory("h-2", slice).ok());
  EXPECT_EQ(sink.writes, 4u);  // flushed per event
  const std::string head =
      R"({"version":2,"type":"snapshot","sequence":7,"sampledAtUnixMs":1718000000123,)"
      R"("collectionDurationMicros":1500,"scannedProcessCount":412,"retainedProcessCount":1,)"
      R"("inaccessibleProcessCount":3)";
  const std::string rest =
      R"(,"externalProcesses":[{"pid":4321,"startTimeMs":17},{"pid":7,"startTimeMs":null}],)"
      R"("processes":[)"
      R"({"pid":4294967295,"ppid":1,"startTimeMs":1717999999000,"runTimeMs":1123,)"
      "\"name\":\"n\\t\\\"\\\\\\u0001\xc3\xa9/\x7f\",\"command\":\"\\b\\f\\n\\r\\u001b\","
      R"("status":"Run","cpuPercent":33.333332,"cpuTimeMs":870,"residentBytes":52428800,)"
      R"("virtualBytes":18446744073709551615,"ioReadBytes":1024,"ioWriteBytes":0,)"
      R"("ioSemantics":"storage"}]})";
  const std::string emptyText = head + R"(,"externalProcesses":[],"processes":[]})";
  const std::string emptyChunk =
      R"({"version":2,"type":"historyChunk","requestId":"h-1","done":true,"snapshots":[]})"
      "\n";
  // What history chunks are cut by: the same bytes, counted.
  EXPECT_EQ(writer.chunkedSnapshotBytes(sampled), (head + rest).size());
  EXPECT_EQ(writer.emptyHistoryChunkBytes("h-1", true), emptyChunk.size());
  // Inside a chunk a snapshot has no request id.
  EXPECT_EQ(sink.output, head + R"(,"requestId":"r")" + rest + "\n" + emptyText + "\n" +
                             emptyChunk +
                             R"({"version":2,"type":"historyChunk","requestId":"h-2","done":true,)"
                             R"("snapshots":[)" +
                             head + rest + "," + emptyText + "]}\n");
}

// Version 3 writes a refused figure as null, never 0, and after ioSemantics what version 2 lacks.
TEST(EventWriter, Version3RecordsNameRefusalsAndCarryTheirLaterMembers) {
  const ProcessSample refused{
      1, 0, 0, 0,     "",   "",   "Sleep", 0.0f, 0,  0,
      0, 0, 0, false, true, true, 0,       {},   {}, {"/sbin/init", "a\"b", ""}};
  const ProcessSample own{2, 0, 0, 0,     "",    "",    "Run", 1.5f, 0,   4096,
                          0, 8, 0, false, false, false, 501,   3,    2048};
  // The machine totals a table could read in part.
  const MachineTotals machine{.cpuCount = 2, .cpuPercent = 37.5f, .memoryTotalBytes = 8ULL << 30};
  const Snapshot snapshot{0, 0, 0, 0, 0, 0, {}, {}, {refused, own}, machine};
  testing::RecordingSink sink;
  ASSERT_TRUE(EventWriter(sink, 3).writeSnapshot(snapshot, 2).ok());
  const std::string common = R"(,"name":"","command":"",)";
  EXPECT_EQ(sink.output,
            R"({"version":3,"type":"snapshot","sequence":0,"sampledAtUnixMs":0,)"
            R"("collectionDurationMicros":0,"scannedProcessCount":0,"retainedProcessCount":0,)"
            R"("inaccessibleProcessCount":0,"skippedSnapshots":2,"machine":{"cpuCount":2,)"
            R"("cpuPercent":37.5,"memoryTotalBytes":8589934592,"memoryAvailableBytes":null,)"
            R"("uptimeMs":null},"externalProcesses":[],)"
            R"("processes":[{"pid":1,"ppid":0,"startTimeMs":0,"runTimeMs":0)" +
                common +
                R"("status":"Sleep","cpuPercent":null,"cpuTimeMs":null,"residentBytes":null,)"
                R"("virtualBytes":null,"ioReadBytes":null,"ioWriteBytes":null,)"
                R"("ioSemantics":"storage","uid":0,"threads":null,"footprintBytes":null,)"
                R"("argv":["/sbin/init","a\"b",""]},)"
                R"({"pid":2,"ppid":0,"startTimeMs":0,"runTimeMs":0)" +
                common +
                R"("status":"Run","cpuPercent":1.5,"cpuTimeMs":0,"residentBytes":4096,)"
                R"("virtualBytes":0,"ioReadBytes":8,"ioWriteBytes":0,"ioSemantics":"storage",)"
                R"("uid":501,"threads":3,"footprintBytes":2048,"argv":[]}]})"
                "\n");
  // History chunks are cut by the same bytes, counted in the writer's version.
  const std::string skipped = R"("skippedSnapshots":2,)";
  EXPECT_EQ(EventWriter(sink, 3).chunkedSnapshotBytes(snapshot),
            sink.output.size() - skipped.size() - 1);
}

// The widest numbers and texts that escape to six bytes a byte, the worst case for the buffer,
// in records that end at many offsets near its end, after a request id escaped in pieces.
TEST(EventWriter, PassesLongEventsThroughWholeAndStopsAtTheFirstFailedWrite) {
  ProcessSample wide{UINT32_MAX, UINT32_MAX, UINT64_MAX, UINT64_MAX, "",         "",         "\x01",
                     NAN,        UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, true};
  wide.command.assign(200, '\x1f');
  const std::string nan = writeOne({0, 0, 0, 0, 0, 0, {}, {}, {wide}});
  EXPECT_NE(nan.find(R"("cpuPercent":null,)"), std::string::npos) << nan;
  wide.cpuPercent = -1.1754942e-38f;  // as long as a float's text gets
  for (std::size_t extra = 0; extra < 12; ++extra) {
    wide.name.assign(extra, '\x02');
    std::string record = writeOne({0, 0, 0, 0, 0, 0, {}, {}, {wide}});
    record = record.substr(record.find(R"({"pid")"), record.size() - record.find(R"({"pid")") - 3);
    const Snapshot snapshot{0, 0, 0, 0, 0, 0, std::string(1400 + extra, '\x02'), {}, {40, wide}};
    std::string whole =
        R"({"version":2,"type":"snapshot","sequence":0,"sampledAtUnixMs":0,)"
        R"("collectionDurationMicros":0,"scannedProcessCount":0,"retainedProcessCount":0,)"
        R"("inaccessibleProcessCount":0,"requestId":")";
    for (std::size_t i = 0; i < 1400 + extra; ++i) whole += "\\u0002";
    whole += R"(","externalProcesses":[],"processes":[)" + record;
    for (int i = 1; i < 40; ++i) whole += "," + record;
    whole += "]}\n";
    testing::RecordingSink sink;
    ASSERT_TRUE(EventWriter(sink).writeSnapshot(snapshot).ok());
    EXPECT_EQ(sink.output, whole);

    // Failing in the first write, in a later one, and at the last byte of the line.
    for (const std::size_t failAfter :
         {std::size_t{0}, std::size_t{9000} + extra, whole.size() - 1}) {
      testing::RecordingSink failing;
      EventWriter writer(failing);
      failing.failAfter(failAfter);
      EXPECT_EQ(errorCode(writer.writeSnapshot(snapshot)), EPIPE);
      EXPECT_EQ(failing.output, whole.substr(0, failAfter));
      // Nothing more reaches the sink, and later events get the first failure.
      const std::size_t calls = failing.writes;
      EXPECT_EQ(errorCode(writer.writeError("not-configured", "x", true)), EPIPE);
      EXPECT_EQ(failing.writes, calls);
      // One more attempt sends, once, what the sink had not taken.
      failing.failAfter(SIZE_MAX);
      EXPECT_TRUE(writer.flush().ok() && writer.flush().ok());
      EXPECT_EQ(failing.writes, calls + 1);
      EXPECT_GT(failing.output.size(), failAfter);
      EXPECT_EQ(failing.output, whole.substr(0, failing.output.size()));
    }
  }
}

// Real descriptors: one that is not open, and signals landing while a write blocks on a full
// pipe, so that some writes end early and some with EINTR. A reader that has gone is the
// end-to-end tests' business, where its error text shows. Windows has no signals to interrupt a
// write with.
#if !defined(_WIN32)
TEST(FdSink, DiscardsWithoutADescriptorAndResumesInterruptedWrites) {
  EXPECT_EQ(errorCode(FdSink(-1).writeAll("x\n", 2)), 0);
  struct sigaction handler = {};
  handler.sa_handler = [](int) {};  // no SA_RESTART: a blocked write returns
  ASSERT_EQ(sigaction(SIGUSR1, &handler, nullptr), 0);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::string data(1 << 20, '\0'), received;
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  std::thread reader([&, writer = pthread_self()] {
    for (int i = 0; i < 20; ++i, usleep(3000)) pthread_kill(writer, SIGUSR1);
    char chunk[65536];
    for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;) {
      received.append(chunk, static_cast<std::size_t>(n));
    }
  });
  EXPECT_EQ(errorCode(FdSink(ends[1]).writeAll(data.data(), data.size())), 0);
  close(ends[1]);
  reader.join();
  close(ends[0]);
  EXPECT_TRUE(received == data) << received.size() << " bytes received";
}
#endif

}  // namespace
}  // namespace procsampler::protocol
