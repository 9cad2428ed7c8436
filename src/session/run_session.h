// The session's spine: startup in its fixed order, then the one loop that alternates between due
// periodic samples and the messages of the command reader. Runs on the main thread, which owns
// every session object; the reader thread shares only the channel with it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "common/clock.h"
#include "common/io_error.h"
#include "sampling/process_table.h"
#include "session/command_channel.h"
#include "session/handle_message.h"
#include "session/launch_options.h"

namespace procsampler::session {

inline constexpr std::string_view SIDECAR_VERSION = "0.1.0";
// How long one receive waits when no periodic sample is pending.
inline constexpr std::chrono::seconds IDLE_WAIT{60};
// The least time between two refreshes for exits. Every exit on the machine wakes the loop (the
// table watches them all), so this bounds what a machine busy ending processes costs, at the
// price of that much delay, while an exit after a quiet spell is looked for at once.
inline constexpr std::chrono::milliseconds EXIT_CHECK_SPACING{50};

// Takes the periodic sample if the session has an interval: collect, store, write while
// streaming, then schedule the next one a full interval after this one ended. Returns the error
// of a failed write.
IoStatus takePeriodicSample(SessionContext& session);

// Runs until a shutdown is handled or the sender is gone with nothing queued (success), or an
// event write fails (that error). A due look for exits, then a due periodic sample, always goes
// before the next message.
IoStatus runMainLoop(SessionContext& session, MessageSource& messages);

// Where a session's input, output, time and processes come from.
struct SessionEnvironment {
  int inputFd = 0;         // read by the command reader thread
  int outputFd = 1;        // written only through the EventWriter
  Clock* clock = nullptr;  // must outlive the session and be the real monotonic clock, since the
                           // channel waits on it
  std::function<std::unique_ptr<sampling::ProcessTable>(Clock&)> makeTable;
  // When set, held by the main thread from the first byte of each event line to its line feed
  // (see LineBoundarySink); it must outlive the session.
  std::timed_mutex* lineBoundary = nullptr;
  std::uint32_t protocolVersion = PROTOCOL_VERSION;  // one of SUPPORTED_PROTOCOL_VERSIONS
};

// Writes hello, starts the reader, runs the loop, and returns success or the error of the first
// failed event write. The reader thread may outlive the call (blocked in a read of inputFd).
IoStatus runSession(const SessionEnvironment& environment);

// Standard input and output, the system clocks and this platform's process table; SIGTERM,
// SIGINT and SIGHUP (console control events on Windows) end the process only between two lines
// (watchStopSignals).
IoStatus runSession(const LaunchOptions& options);

}  // namespace procsampler::session
