// What the main loop does with each ReaderMessage: version check, refusal before configure, then
// the command itself and the events that answer it. Main thread only, one message at a time.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/clock.h"
#include "common/expected.h"
#include "common/io_error.h"
#include "common/readiness_watch.h"
#include "history/snapshot_history.h"
#include "protocol/event_writer.h"
#include "sampling/sampler.h"
#include "session/command_channel.h"
#include "session/lifecycle_ledger.h"
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
  // Version 3 lifecycle. The ledger holds what the host has been told while lifecycle is on.
  LifecycleLedger lifecycle = {};
  // When present, the trees are refreshed for exits once the monotonic clock reaches it: set
  // when the table's exit signal woke the loop.
  std::optional<MonoTime> exitCheckDue = std::nullopt;
  std::optional<MonoTime> lastExitCheck = std::nullopt;  // when the last one began
  // Wakes the main loop from any thread; empty where nothing can (tests of the loop), and then
  // exits are found by the snapshots alone.
  std::function<void()> wakeLoop = {};
  // Waits on the table's exit signal while lifecycle is on and the table has one.
  std::unique_ptr<ReadinessWatch> exitWatch = {};
};

enum class Flow { Continue, Stop };

// Collects a snapshot of the configured trees and stores it in the history, as every sample is,
// periodic or on request; with lifecycle on, first writes the exits and starts it reveals. The
// session must be configured. Fails with the error of a failed write.
Expected<sampling::Snapshot, IoError> sampleAndStore(SessionContext& session,
                                                     std::optional<std::string> requestId);

// With lifecycle on: refreshes the trees and writes the exits of processes the host was told of,
// then, when the refresh heard of new processes (ProcessTable::heardStarts), their starts; then
// watches the table's exit signal again. Returns the error of a failed write.
IoStatus checkLifecycle(SessionContext& session);

// Handles one message. Returns Stop for a shutdown in the session's version, Continue otherwise, or
// the error of the first event write that failed; work done before a failed write stays done, work
// after it is skipped.
Expected<Flow, IoError> handleMessage(SessionContext& session, ReaderMessage message);

}  // namespace procsampler::session
