// The session's parts: the channel with real threads, the reader over a pipe, and command
// handling and the main loop over a scripted clock, so that every schedule is exact.
#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <sstream>
#include <stdexcept>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_table.h"
#include "fakes/recording_sink.h"
#include "protocol/command_decoder.h"
#include "session/command_reader.h"
#include "session/run_session.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
// The C runtime's pipe, as the reader sees a host's: binary, in Windows' usual 64 KiB.
static int pipe(int fds[2]) { return ::_pipe(fds, 1 << 16, _O_BINARY); }
static ssize_t write(int fd, const char* data, std::size_t size) {
  return ::_write(fd, data, static_cast<unsigned>(size));
}
#endif

namespace procsampler::session {
namespace {

using namespace std::chrono_literals;
using Messages = std::vector<ReaderMessage>;

// A version-2 command as a host writes it, decoded; one the decoder refuses throws.
ReaderMessage cmd(const std::string& type, const std::string& fields = "") {
  const std::string more = fields.empty() ? "" : "," + fields;
  return protocol::decodeCommand(R"({"type":")" + type + R"(","version":2)" + more + "}").value();
}

// How often needle occurs in text.
std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The main thread's session objects over a scripted clock, an in-memory process table whose
// refreshes take refreshCost of that clock, and a recording output.
struct SessionRig {
  SessionRig() {
    table->onRefresh = [this](testing::FakeProcessTable& refreshed) {
      // A loop that samples without end would otherwise fill memory with events.
      if (refreshed.refreshInstants().size() > 10000) throw std::runtime_error("runaway sampling");
      clock.advance(refreshCost);
    };
  }
  // Handles one message; a failed write throws.
  Flow run(ReaderMessage message) { return handleMessage(session, std::move(message)).value(); }

  std::chrono::nanoseconds refreshCost{0};
  testing::FakeClock clock;
  testing::FakeProcessTable* table = new testing::FakeProcessTable(&clock);  // owned by the sampler
  testing::RecordingSink sink;
  protocol::EventWriter writer{sink};
  sampling::Sampler sampler{std::unique_ptr<sampling::ProcessTable>(table), clock};
  history::SnapshotHistory history;
  SessionContext session{writer, sampler, history, clock, {}, {}};
};

// What is queued now.
Messages drain(CommandReceiver& receiver) {
  Messages messages;
  for (ReceiveResult r; (r = receiver.receive(MonotonicClock::now())).message;)
    messages.push_back(std::move(*r.message));
  return messages;
}

TEST(CommandChannel, HoldsSixtyFourTimesOutAndOutlivesEitherEnd) {
  CommandChannel channel = makeCommandChannel();
  const MonoTime start = MonotonicClock::now();
  EXPECT_EQ(channel.receiver.receive(start + 50ms).status, ReceiveStatus::TimedOut);
  EXPECT_GE(MonotonicClock::now() - start, 50ms);
  Messages sent;
  for (int i = 0; i < 65; ++i) sent.push_back(Invalid{std::to_string(i)});
  for (std::size_t i = 0; i < 64; ++i) ASSERT_TRUE(channel.sender.send(sent[i]));
  auto last = std::async(std::launch::async, [&] {
    CommandSender end = std::move(channel.sender);  // gone once the send is done
    return end.send(sent[64]);
  });
  EXPECT_EQ(last.wait_for(100ms), std::future_status::timeout) << "went in while 64 waited";
  Messages received{*channel.receiver.receive(std::nullopt).message};
  EXPECT_TRUE(last.get());
  for (ReaderMessage& m : drain(channel.receiver)) received.push_back(std::move(m));
  EXPECT_EQ(received, sent) << "the sender's leaving must not cut the queue short";
  EXPECT_EQ(channel.receiver.receive(std::nullopt).status, ReceiveStatus::SenderGone);
  channel = makeCommandChannel();
  { CommandReceiver gone = std::move(channel.receiver); }
  EXPECT_FALSE(channel.sender.send(Invalid{}));
}

// What the reader must queue for a line the decoder refuses, reaching it as exactly `line`.
ReaderMessage refused(const std::string& line) {
  return Invalid{"invalid command: " + protocol::decodeCommand(line).error()};
}

// What the reader queues for input through a pipe that ends after it; no input is given as a
// descriptor that is not open at all.
Messages readerOutput(const std::string& input) {
  int fds[2] = {-1, -1};
  if (!input.empty() && ::pipe(fds) == 0) {
    EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fds[1]);
  }
  CommandChannel channel = makeCommandChannel();
  runCommandReader(std::move(channel.sender), fds[0]);
  if (fds[0] >= 0) ::close(fds[0]);
  return drain(channel.receiver);
}

// A line that is not UTF-8 ends the reading: the end-to-end tests see that as a host does.
TEST(CommandReader, CutsLinesAndSkipsBlankOnes) {
  const std::string stop = R"({"type":"shutdown","version":2})", cut = R"({"type":"shutdown")";
  // Only meaningful if the decoder's answer shows whether a carriage return reached it.
  ASSERT_NE(refused(cut), refused(cut + "\r"));
  const std::string blanks = "\r\n \t\n\xC2\xA0\n\xE3\x80\x80\r\n";
  EXPECT_EQ(readerOutput(blanks + cut + "\r\n" + cut + "\r\r\n\xC2\xA0" + stop + "\n" + blanks +
                         stop + "\r\n" + cut + "\r"),
            (Messages{refused(cut), refused(cut + "\r"), refused("\xC2\xA0" + stop),
                      cmd("shutdown"), refused(cut + "\r")}));
  EXPECT_EQ(readerOutput(""), Messages{});
}

std::string errorLine(const std::string& code, const std::string& message) {
  return R"({"version":2,"type":"error","code":")" + code + R"(","message":")" + message +
         R"(","recoverable":)" + (code == "protocol-mismatch" ? "false" : "true") + "}";
}
const ReaderMessage kReadHistory = cmd("readHistory", R"("requestId":"h","windowMs":3600000)");

// A host that concatenates the chunks until done gets the snapshots in order: at most 32 a line,
// and at most 64 MiB a line unless one snapshot alone is larger. Each byte 0x01 of these commands
// takes six on the wire, so 700 records of them make some 66 MiB.
TEST(HandleMessage, HistoryComesInChunksOf32AndOf64MiBWithDoneOnlyOnTheLastAndOutlivesConfigure) {
  using Sizes = std::vector<std::size_t>;
  const std::pair<Sizes, Sizes> cases[] = {{{}, {0}}, {Sizes(33), {32, 1}}, {{700, 1, 1}, {1, 2}}};
  for (const auto& [stored, sizes] : cases) {
    SessionRig rig;
    rig.run(cmd("configure", R"("rootPid":1,"sampleIntervalMs":0,"externalProcesses":[])"));
    for (const std::size_t records : stored) {
      sampling::Snapshot snapshot;
      snapshot.sampledAtUnixMs = unixMillis(rig.clock.wallNow());
      snapshot.processes.resize(records);
      for (auto& record : snapshot.processes) record.command.assign(sampling::MAX_COMMAND_BYTES, 1);
      rig.history.append(snapshot);
    }
    // A second configure keeps the history. Of two entries for one pid the later counts.
    rig.run(cmd("configure", R"("rootPid":7,"sampleIntervalMs":0,"externalProcesses":[])"));
    rig.run(cmd("setExternalProcesses", R"("processes":[{"pid":3,"startTimeMs":5},{"pid":3}])"));
    EXPECT_EQ(rig.session.state.config->externalProcesses.at(3), std::nullopt);
    rig.sink.output.clear();
    rig.run(kReadHistory);
    const std::string_view out = rig.sink.output;
    Sizes seen;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != out.npos; at = end + 1) {
      seen.push_back(count(std::string(out.substr(at, end - at)), "\"sequence\":"));
      EXPECT_TRUE(end - at < (64u << 20) || seen.back() == 1) << end - at;
    }
    EXPECT_EQ(seen, sizes);
    // Every chunk answers "h"; only the last is done.
    const std::string header = R"({"version":2,"type":"historyChunk","requestId":"h","done":)";
    EXPECT_EQ(count(rig.sink.output, header + "false,"), sizes.size() - 1);
    EXPECT_EQ(rig.sink.output.rfind(header), rig.sink.output.find(header + "true,"));
  }
}

// Delivers each message at its instant: a receive whose deadline comes first moves the clock to
// the deadline and times out, otherwise the clock moves to the arrival. Then the sender is gone.
struct ScriptedSource final : MessageSource {
  ReceiveResult receive(std::optional<MonoTime> deadline) override {
    deadlines.push_back(deadline);
    // A loop that receives without end stops here rather than hanging the test.
    if (script.empty() || deadlines.size() > 100000) return {ReceiveStatus::SenderGone, {}};
    auto& [arrival, message] = script.front();
    const MonoTime until = deadline ? std::min(*deadline, arrival) : arrival;
    clock->advance(std::max(until - clock->monotonicNow(), 0ns));
    if (until < arrival) return {ReceiveStatus::TimedOut, std::nullopt};
    ReceiveResult result{ReceiveStatus::Message, std::move(message)};
    script.pop_front();
    return result;
  }
  testing::FakeClock* clock = nullptr;
  std::deque<std::pair<MonoTime, ReaderMessage>> script;
  std::vector<std::optional<MonoTime>> deadlines;
};

TEST(MainLoop, RefusesSchedulesSamplesWritesOnlyWhatIsAskedAndStopsAtAFailedWrite) {
  SessionRig rig;
  rig.refreshCost = 100ms;
  const MonoTime t0 = rig.clock.monotonicNow();
  ScriptedSource source;
  source.clock = &rig.clock;
  source.script = {
      // Refused, with the session going on: a bad line, a wrong version, and before configure.
      {t0, Invalid{"invalid command: x"}},
      {t0, protocol::decodeCommand(R"({"type":"shutdown","version":1})").value()},
      {t0, cmd("sampleNow", R"("requestId":"r")")},
      {t0, cmd("setExternalProcesses", R"("processes":[])")},
      {t0, cmd("setSampleInterval", R"("sampleIntervalMs":1000)")},
      {t0, kReadHistory},
      {t0, cmd("setStreaming", R"("enabled":true)")},
      {t0, cmd("configure", R"("rootPid":1,"sampleIntervalMs":1,"externalProcesses":[])")},
      {t0, Invalid{"queued"}},
      {t0 + 1200ms, cmd("setStreaming", R"("enabled":false)")},
      {t0 + 1800ms, cmd("sampleNow", R"("requestId":"asked")")},
      {t0 + 2500ms, cmd("setSampleInterval", R"("sampleIntervalMs":120000)")},
      {t0 + 4000ms, cmd("setSampleInterval", R"("sampleIntervalMs":0)")},
      {t0 + 94s, cmd("shutdown")},
      {t0 + 94s, Invalid{"never handled"}}};
  EXPECT_TRUE(runMainLoop(rig.session, source).ok());
  // Each sample waits out the 200 ms refresh spacing and the next is due 250 ms after one ends.
  // sampleNow (at 2000) leaves the schedule alone; setting an interval postpones the next sample,
  // here by the most there is; then a minute's wait while nothing is due.
  std::vector<long long> refreshes;
  for (const MonoTime t : rig.table->refreshInstants()) refreshes.push_back((t - t0) / 1ms);
  EXPECT_EQ(refreshes, (std::vector<long long>{0, 300, 650, 1000, 1350, 1700, 2000, 2300}));
  EXPECT_EQ(std::vector(source.deadlines.end() - 3, source.deadlines.end()),
            (std::vector<std::optional<MonoTime>>{t0 + 62500ms, t0 + 64s, t0 + 124s}));
  // The due sample goes before the message queued since t0; only periodic ones need streaming.
  std::istringstream out(rig.sink.output);
  std::vector<std::string> events;
  for (std::string line; std::getline(out, line);)
    events.push_back(line.substr(0, line.find(",\"sampledAt")));
  std::vector<std::string> expected{
      errorLine("invalid-command", "invalid command: x"),
      errorLine("protocol-mismatch", "unsupported protocol version 1; expected 2")};
  for (const std::string what :
       {"sampling", "external processes", "changing the sample interval", "reading history"})
    expected.push_back(errorLine("not-configured", "configure must be sent before " + what));
  const std::string snapshot = R"({"version":2,"type":"snapshot","sequence":)";
  expected.insert(expected.end(), {snapshot + "1", errorLine("invalid-command", "queued"),
                                   snapshot + "2", snapshot + "3", snapshot + "6"});
  EXPECT_EQ(events, expected);
  EXPECT_EQ(rig.history.size(), 7u) << "unwritten samples are stored all the same";

  // A failed write ends the loop with its error; nothing after it is read.
  source.script = {{t0 + 94s, Invalid{"fails"}}, {t0 + 94s, Invalid{"never read"}}};
  rig.sink.failAfter(0);
  const IoStatus failed = runMainLoop(rig.session, source);
  EXPECT_EQ(failed.ok() ? IoError{} : failed.error(), IoError{EPIPE});
  EXPECT_EQ(source.script.size(), 1u);
}

}  // namespace
}  // namespace procsampler::session
