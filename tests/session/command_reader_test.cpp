// The reader thread over a real pipe: line cutting, terminators, blank lines, bad UTF-8, long
// lines and the end of its input. Expected commands and decoder texts come from decodeCommand
// itself, so these tests pin what the reader hands to the decoder, not the decoder's wording.
#include "session/command_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/command_decoder.h"

namespace procsampler::session {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kShutdown = R"({"type":"shutdown","version":2})";
constexpr std::string_view kBadUtf8 =
    "failed reading command stream: stream did not contain valid UTF-8";

// What the reader must send for a line that reached the decoder as exactly `line`.
ReaderMessage decodedAs(std::string_view line) {
  auto decoded = protocol::decodeCommand(line);
  if (decoded.hasValue()) return decoded.value();
  return Invalid{"invalid command: " + decoded.error()};
}

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
  ~Pipe() {
    closeWrite();
    if (read >= 0) ::close(read);
  }
};

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Everything the reader sends until it finishes. Returns early (and fails) if it never does.
std::vector<ReaderMessage> drain(CommandReceiver& receiver) {
  std::vector<ReaderMessage> messages;
  for (;;) {
    ReceiveResult received = receiver.receive(std::chrono::steady_clock::now() + 10s);
    if (received.status == ReceiveStatus::SenderGone) return messages;
    if (received.status == ReceiveStatus::TimedOut) {
      ADD_FAILURE() << "the reader neither sent nor finished";
      return messages;
    }
    messages.push_back(std::move(*received.message));
  }
}

// Feeds input through a pipe that is closed after it, as a host ending its input would.
std::vector<ReaderMessage> readerMessagesFor(std::string_view input) {
  Pipe pipe;
  CommandChannel channel = makeCommandChannel();
  startCommandReader(std::move(channel.sender), pipe.read);
  std::thread host([&] {
    writeAll(pipe.write, input);
    pipe.closeWrite();
  });
  std::vector<ReaderMessage> messages = drain(channel.receiver);
  host.join();
  return messages;
}

std::string line(std::string_view text) { return std::string(text) + "\n"; }

TEST(CommandReader, LineCuttingAndTerminators) {
  const std::string unclosed = R"({"type":"shutdown")";
  // Only meaningful if the decoder's answer shows whether a carriage return reached it.
  ASSERT_NE(decodedAs(unclosed), decodedAs(unclosed + "\r"));

  const struct {
    const char* name;
    std::string input;
    std::vector<ReaderMessage> expected;
  } cases[] = {
      {"LF", line(kShutdown), {decodedAs(kShutdown)}},
      {"CRLF", std::string(kShutdown) + "\r\n", {decodedAs(kShutdown)}},
      {"CRLF removed before decoding", unclosed + "\r\n", {decodedAs(unclosed)}},
      {"only one CR removed", unclosed + "\r\r\n", {decodedAs(unclosed + "\r")}},
      {"CR kept at end of input", unclosed + "\r", {decodedAs(unclosed + "\r")}},
      {"last line without LF",
       line("[1]") + std::string(kShutdown),
       {decodedAs("[1]"), decodedAs(kShutdown)}},
      {"trailing spaces kept for the decoder",
       std::string(kShutdown) + "  \r\n",
       {decodedAs(std::string(kShutdown) + "  ")}},
      {"U+00A0 around a command is not blank",
       "\xC2\xA0" + std::string(kShutdown) + "\n",
       {decodedAs("\xC2\xA0" + std::string(kShutdown))}},
      {"an invalid line does not stop reading",
       line("nope") + line(kShutdown),
       {decodedAs("nope"), decodedAs(kShutdown)}},
      {"empty input", "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readerMessagesFor(c.input), c.expected) << c.name;
  }
}

TEST(CommandReader, BlankLinesAreSkippedSilently) {
  const std::string blanks = std::string("\r\n") + "\n" + " \t \n" + "\xC2\xA0\n" +
                             "\xE3\x80\x80\xE2\x80\xA8 \r\n" + "\x0B\x0C\n";
  EXPECT_EQ(readerMessagesFor(blanks + line(kShutdown) + blanks),
            std::vector<ReaderMessage>{decodedAs(kShutdown)});
}

TEST(CommandReader, BadUtf8EndsTheReaderWithoutWaitingForMoreInput) {
  const struct {
    const char* name;
    std::string badLine;
  } cases[] = {
      {"0xFF", "{\"type\":\"\xFF\"}\n"},
      {"truncated sequence before LF", "{}\xC3\n"},
      {"surrogate", "\xED\xA0\x80\n"},
  };
  for (const auto& c : cases) {
    Pipe pipe;
    CommandChannel channel = makeCommandChannel();
    startCommandReader(std::move(channel.sender), pipe.read);
    // The write end stays open: the reader must finish on its own, reading nothing after.
    writeAll(pipe.write, line(kShutdown) + c.badLine + line(kShutdown));
    EXPECT_EQ(drain(channel.receiver),
              (std::vector<ReaderMessage>{decodedAs(kShutdown), Invalid{std::string(kBadUtf8)}}))
        << c.name;
  }
}

TEST(CommandReader, MegabyteLineArrivesWholeBetweenItsNeighbours) {
  const std::string requestId(1 << 20, 'r');
  const std::string big = R"({"type":"sampleNow","version":2,"requestId":")" + requestId + "\"}";
  const std::vector<ReaderMessage> messages =
      readerMessagesFor(line(kShutdown) + line(big) + line("[2]"));
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], decodedAs(kShutdown));
  const auto* command = std::get_if<protocol::Command>(&messages[1]);
  ASSERT_NE(command, nullptr);
  const auto* sample = std::get_if<protocol::SampleNow>(command);
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(sample->requestId, requestId);
  EXPECT_EQ(messages[2], decodedAs("[2]"));
}

TEST(CommandReader, ManyLinesStayInOrderAcrossReadsAndTheChannelBound) {
  std::string input;
  std::vector<ReaderMessage> expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = i % 3 == 0 ? "[" + std::to_string(i) + "]" : std::string(kShutdown);
    input += line(text);
    expected.push_back(decodedAs(text));
  }
  EXPECT_EQ(readerMessagesFor(input), expected);
}

TEST(CommandReader, ReadErrorsAndClosedDescriptors) {
  {
    // Not an open descriptor: plain end of input, nothing sent.
    CommandChannel channel = makeCommandChannel();
    runCommandReader(std::move(channel.sender), -1);
    EXPECT_TRUE(drain(channel.receiver).empty());
  }
  {
    // Any other failure is reported once with the system's words, then reading stops.
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    CommandChannel channel = makeCommandChannel();
    runCommandReader(std::move(channel.sender), directory);
    ::close(directory);
    EXPECT_EQ(drain(channel.receiver),
              std::vector<ReaderMessage>{
                  Invalid{"failed reading command stream: Is a directory (os error 21)"}});
  }
}

void ignoreSignal(int) {}

TEST(CommandReader, ReadInterruptedBySignalIsRetried) {
  struct sigaction action = {};
  action.sa_handler = ignoreSignal;  // without SA_RESTART, so read(2) returns EINTR
  struct sigaction previous = {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  Pipe pipe;
  CommandChannel channel = makeCommandChannel();
  std::thread reader(runCommandReader, std::move(channel.sender), pipe.read);
  std::this_thread::sleep_for(100ms);  // let it block in read
  ::pthread_kill(reader.native_handle(), SIGUSR1);
  std::this_thread::sleep_for(50ms);
  writeAll(pipe.write, line(kShutdown));
  pipe.closeWrite();
  EXPECT_EQ(drain(channel.receiver), std::vector<ReaderMessage>{decodedAs(kShutdown)});
  reader.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(CommandReader, FinishesWhenTheMainLoopIsGone) {
  Pipe pipe;
  CommandChannel channel = makeCommandChannel();
  { CommandReceiver gone = std::move(channel.receiver); }
  std::atomic<bool> finished{false};
  std::thread reader([&, sender = std::move(channel.sender)]() mutable {
    runCommandReader(std::move(sender), pipe.read);
    finished.store(true);
  });
  writeAll(pipe.write, line(kShutdown) + line(kShutdown));
  const auto giveUp = std::chrono::steady_clock::now() + 10s;
  while (!finished.load() && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(1ms);
  }
  const bool finishedBeforeEndOfInput = finished.load();
  pipe.closeWrite();  // unblocks a reader that wrongly went on reading
  reader.join();
  EXPECT_TRUE(finishedBeforeEndOfInput);
}

}  // namespace
}  // namespace procsampler::session
