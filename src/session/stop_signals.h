// Ending by SIGTERM, SIGINT or SIGHUP without cutting an event line the host is still reading. No
// handler runs: the signals stay blocked in every thread but one, which waits for them, waits for
// the output to reach a line boundary (at most STOP_LINE_WAIT) and keeps it there, and then ends
// the process by the same signal with its default action, so the host sees "killed by SIGTERM".
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>

#include "protocol/event_writer.h"

namespace procsampler::session {

// How long a stop signal waits for the line being written to finish: a host that stopped reading
// would otherwise keep the sidecar alive for ever, blocked in a write.
inline constexpr std::chrono::seconds STOP_LINE_WAIT{5};

// An OutputSink that holds `boundary` while a line is partly written: locked by the first write
// of a line, released by the write that ends it (every line feed the writer emits ends an event)
// or by a failed write, which cuts the line anyway. Whoever locks `boundary` therefore finds the
// output between two lines, and no line starts until it lets go. Both references must outlive
// the sink; used by the thread that writes events.
class LineBoundarySink final : public protocol::OutputSink {
 public:
  LineBoundarySink(protocol::OutputSink& inner, std::timed_mutex& boundary)
      : inner_(inner), boundary_(boundary) {}
  ~LineBoundarySink() override;
  LineBoundarySink(const LineBoundarySink&) = delete;
  LineBoundarySink& operator=(const LineBoundarySink&) = delete;

  IoStatus writeAll(const char* data, std::size_t size) override;
  std::size_t acceptedBeforeFailure() const override { return inner_.acceptedBeforeFailure(); }
  std::optional<std::uint64_t> unreadBytes() const override { return inner_.unreadBytes(); }

 private:
  protocol::OutputSink& inner_;
  std::timed_mutex& boundary_;
  bool midLine_ = false;
};

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread, and so in every thread it starts
// afterwards (call it before any other thread exists), and starts the detached thread that
// waits for them and ends the process under `boundary` (or without it, once STOP_LINE_WAIT has
// passed and the line is cut), which must live until the process ends.
// A signal already ignored when the program started (nohup, a background job) stays ignored.
// If the thread cannot start, the signals keep their usual effect.
// On Windows (stop_signals_windows.cpp) the same is done for console control events.
void watchStopSignals(std::timed_mutex& boundary);

}  // namespace procsampler::session
