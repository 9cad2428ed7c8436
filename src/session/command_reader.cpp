#include "session/command_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "common/io_error.h"
#include "common/os_io.h"
#include "common/utf8.h"
#include "protocol/command_decoder.h"

namespace procsampler::session {
namespace {

// How much one read may add to the line buffer; lines themselves have no limit.
constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;
// A buffer that grew past this for one long line is given back once that line is dealt with,
// so one huge line does not stay resident for the rest of the session.
constexpr std::size_t KEPT_BUFFER_BYTES = 4 * READ_CHUNK_BYTES;

constexpr std::string_view READ_FAILURE_PREFIX = "failed reading command stream: ";
constexpr std::string_view INVALID_COMMAND_PREFIX = "invalid command: ";

enum class Next { KeepReading, Finish };

// line: one line as read, with its line feed when it had one.
Next dealWithLine(CommandSender& sender, std::string_view line) {
  if (!isValidUtf8(line)) {
    // Invalid UTF-8 is a failure of the stream, not of one command: nothing after it is read.
    (void)sender.send(
        Invalid{std::string(READ_FAILURE_PREFIX) + "stream did not contain valid UTF-8"});
    return Next::Finish;
  }
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  if (isUnicodeBlank(line)) return Next::KeepReading;

  auto decoded = protocol::decodeCommand(line);
  ReaderMessage message =
      decoded.hasValue()
          ? ReaderMessage(std::move(decoded).value())
          : ReaderMessage(Invalid{std::string(INVALID_COMMAND_PREFIX) + std::move(decoded).error(),
                                  protocol::requestIdOfObject(line)});
  return sender.send(std::move(message)) ? Next::KeepReading : Next::Finish;
}

}  // namespace

void runCommandReader(CommandSender sender, int fd) {
  // Holds the unfinished line at its start, possibly followed by whole lines not yet dealt with.
  std::string buffer;
  std::size_t searchFrom = 0;  // bytes before this hold no line feed
  for (;;) {
    std::size_t lineStart = 0;
    while (const void* found =
               std::memchr(buffer.data() + searchFrom, '\n', buffer.size() - searchFrom)) {
      const std::size_t lineEnd =
          static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data()) + 1;
      if (dealWithLine(sender, std::string_view(buffer).substr(lineStart, lineEnd - lineStart)) ==
          Next::Finish) {
        return;
      }
      lineStart = lineEnd;
      searchFrom = lineEnd;
    }
    buffer.erase(0, lineStart);
    searchFrom = buffer.size();
    if (buffer.capacity() > KEPT_BUFFER_BYTES && buffer.size() < READ_CHUNK_BYTES) {
      std::string smaller;
      smaller.reserve(buffer.size() + READ_CHUNK_BYTES);
      smaller = buffer;
      buffer.swap(smaller);
    }

    const std::size_t kept = buffer.size();
    buffer.resize(kept + READ_CHUNK_BYTES);
    const Expected<std::size_t, IoError> got =
        os::readSome(fd, buffer.data() + kept, READ_CHUNK_BYTES);
    buffer.resize(got ? kept + *got : kept);

    if (!got) {
      (void)sender.send(Invalid{std::string(READ_FAILURE_PREFIX) + ioErrorText(got.error())});
      return;
    }
    if (*got == 0) {
      // A last line without a line feed still counts.
      if (!buffer.empty()) (void)dealWithLine(sender, buffer);
      return;
    }
  }
}

void startCommandReader(CommandSender sender, int fd) {
  try {
    std::thread(runCommandReader, std::move(sender), fd).detach();
  } catch (const std::system_error& failure) {
    // The session cannot work without its reader; there is no one to report to but stderr.
    std::fprintf(stderr, "failed to spawn thread: %s\n", failure.what());
    std::abort();
  }
}

}  // namespace procsampler::session
