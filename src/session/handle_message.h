// What the main loop does with each ReaderMessage: version check, refusal before configure, then
// the command itself and the events that answer it. Main thread only, one message at a time.
#pragma once

#include <optional>
#include <string>

#include "common/clock.h"
#include "common/expected.h"
#include "common/io_error.h"
#include "history/snapshot_history.h"
#include "protocol/event_writer.h"
#include "sampling/sampler.h"
#include "session/command_channel.h"
#include "session/session_state.h"

namespace procsampler::session {

// The main thread's session objects for one run. The referenced objects outlive the context;
// state and schedule are its own.
struct SessionContext {
  protocol::EventWriter& writer;
  sampling::Sampler& sampler;
  history::SnapshotHistory& history;
  Clock& clock;  // the same clock the sampler uses
  SessionState state;
  SampleSchedule schedule;
};

enum class Flow { Continue, Stop };

// Collects a snapshot of the configured trees and stores it in the history, as every sample is,
// periodic or on request. The session must be configured.
sampling::Snapshot sampleAndStore(SessionContext& session, std::optional<std::string> requestId);

// Handles one message. Returns Stop for a shutdown in the session's version, Continue otherwise, or
// the error of the first event write that failed; work done before a failed write stays done, work
// after it is skipped.
Expected<Flow, IoError> handleMessage(SessionContext& session, ReaderMessage message);

}  // namespace procsampler::session
