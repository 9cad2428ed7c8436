#include "session/handle_message.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/saturating.h"
#include "history/downsample.h"

namespace procsampler::session {
namespace {

using protocol::Command;

constexpr std::string_view kInvalidCommand = "invalid-command";
constexpr std::string_view kProtocolMismatch = "protocol-mismatch";
constexpr std::string_view kNotConfigured = "not-configured";

using Result = Expected<Flow, IoError>;

Result continueAfter(IoStatus status) {
  if (!status.ok()) return Unexpected{status.error()};
  return Flow::Continue;
}

// The commands that need a configuration, and how each is refused without one.
std::string_view notConfiguredMessage(const Command& command) {
  if (std::holds_alternative<protocol::SetExternalProcesses>(command)) {
    return "configure must be sent before external processes";
  }
  if (std::holds_alternative<protocol::SetSampleInterval>(command)) {
    return "configure must be sent before changing the sample interval";
  }
  if (std::holds_alternative<protocol::SampleNow>(command)) {
    return "configure must be sent before sampling";
  }
  if (std::holds_alternative<protocol::ReadHistory>(command)) {
    return "configure must be sent before reading history";
  }
  return {};
}

// Exits first: a pid reused since the last look is the old process's exit, then the new one's
// start.
IoStatus writeLifecycle(SessionContext& session, const LifecycleNews& news) {
  const std::uint64_t nowMs = unixMillis(session.clock.wallNow());
  for (const sampling::ProcessSample& record : news.exited) {
    IoStatus status = session.writer.writeProcessExited(record, nowMs);
    if (!status.ok()) return status;
  }
  for (const sampling::ProcessSample& record : news.started) {
    IoStatus status = session.writer.writeProcessStarted(record);
    if (!status.ok()) return status;
  }
  return {};
}

// Watches the table's exit signal while lifecycle is on; the signal may appear only once the
// table watches a process, so this is asked again after every look for exits.
void updateExitWatch(SessionContext& session) {
  if (!session.state.config || !session.state.config->lifecycle || !session.wakeLoop) {
    session.exitWatch.reset();
    return;
  }
  if (session.exitWatch) return;
  if (const std::optional<int> signal = session.sampler.table->exitSignal()) {
    session.exitWatch = std::make_unique<ReadinessWatch>(*signal, session.wakeLoop);
  }
}

IoStatus configure(SessionContext& session, const protocol::Configure& command) {
  SessionConfig config;
  config.rootPid = command.rootPid;
  config.externalProcesses = externalProcessMap(command.externalProcesses);
  config.sampleInterval = sampleIntervalFromMs(command.sampleIntervalMs);
  config.lifecycle = command.lifecycle;
  const bool periodic = config.sampleInterval.has_value();
  session.state.config = std::move(config);
  // The first snapshot's CPU figures are measured from this refresh.
  sampling::refreshTable(session.sampler);
  session.nextSampleDue =
      periodic ? std::optional<MonoTime>(session.clock.monotonicNow()) : std::nullopt;
  updateExitWatch(session);
  if (!command.lifecycle) {
    session.lifecycle.clear();
    session.exitCheckDue.reset();
    return {};
  }
  // The trees as they are now are the processes the host hears start; their exits follow.
  const SessionConfig& current = *session.state.config;
  const std::vector<sampling::ProcessSample> records =
      sampling::collectRecords(session.sampler, current.rootPid, current.externalProcesses);
  return writeLifecycle(session,
                        session.lifecycle.afterCollection(records, *session.sampler.table));
}

void setSampleInterval(SessionContext& session, const protocol::SetSampleInterval& command) {
  const auto interval = sampleIntervalFromMs(command.sampleIntervalMs);
  session.state.config->sampleInterval = interval;
  // A full new interval from now, even when a sample was due sooner.
  session.nextSampleDue =
      interval ? std::optional<MonoTime>(session.clock.monotonicNow() + *interval) : std::nullopt;
}

IoStatus sampleNow(SessionContext& session, const protocol::SampleNow& command) {
  Expected<sampling::Snapshot, IoError> snapshot = sampleAndStore(session, command.requestId);
  if (!snapshot.hasValue()) return snapshot.error();
  return session.writer.writeSnapshot(snapshot.value());
}

// The history's answer, cut in order into chunks of at most HISTORY_CHUNK_SIZE snapshots whose
// lines take at most HISTORY_CHUNK_MAX_BYTES, but at least one snapshot each; at least one chunk,
// so an empty answer is still one chunk marked done.
// Downsampled steps go out in chunks of at most HISTORY_CHUNK_SIZE steps within
// HISTORY_CHUNK_MAX_BYTES, at least one step each, and at least one chunk.
IoStatus writeSteps(SessionContext& session, const protocol::ReadHistory& command,
                    std::span<const sampling::Snapshot* const> selected) {
  using protocol::EventWriter;
  const std::vector<sampling::HistoryStep> steps = history::downsample(selected, command.stepMs);
  const std::span<const sampling::HistoryStep> all(steps);
  const std::uint64_t envelope =
      EventWriter::emptyHistoryStepsBytes(command.requestId, command.stepMs);
  std::size_t offset = 0;
  do {
    std::size_t count = 0;
    for (std::uint64_t line = envelope; offset + count < all.size() && count < HISTORY_CHUNK_SIZE;
         ++count) {
      line += EventWriter::historyStepBytes(all[offset + count]) + (count > 0 ? 1 : 0);
      if (count > 0 && line > HISTORY_CHUNK_MAX_BYTES) break;
    }
    const bool done = offset + count == all.size();
    IoStatus status = session.writer.writeHistorySteps(command.requestId, done, command.stepMs,
                                                       all.subspan(offset, count));
    if (!status.ok()) return status;
    offset += count;
  } while (offset < all.size());
  return {};
}

IoStatus readHistory(SessionContext& session, const protocol::ReadHistory& command) {
  using protocol::EventWriter;
  const std::uint64_t nowMs = unixMillis(session.clock.wallNow());
  const std::vector<const sampling::Snapshot*> selected =
      session.history.selectWindow(nowMs, command.windowMs);
  if (command.stepMs > 0) return writeSteps(session, command, selected);
  const std::span<const sampling::Snapshot* const> all(selected);
  // The longer of the two envelopes, so the last chunk's is covered too.
  const std::uint64_t envelope = EventWriter::emptyHistoryChunkBytes(command.requestId, false);
  // Snapshots are measured only when a chunk might not fit: every byte of their texts takes at
  // most six on the wire, and their fixed parts less than six times what the estimate counts.
  const auto mayExceed = [&](std::span<const sampling::Snapshot* const> chunk) {
    std::uint64_t bound = envelope;
    for (const sampling::Snapshot* snapshot : chunk) {
      bound = saturatingAdd(bound, saturatingMul(history::estimatedBytes(*snapshot), 6) + 1);
    }
    return bound > HISTORY_CHUNK_MAX_BYTES;
  };
  std::size_t offset = 0;
  do {
    std::size_t count = std::min(HISTORY_CHUNK_SIZE, all.size() - offset);
    if (mayExceed(all.subspan(offset, count))) {
      std::uint64_t line = envelope + EventWriter::chunkedSnapshotBytes(*all[offset]);
      std::size_t fitting = 1;
      for (; fitting < count; ++fitting) {
        line += 1 + EventWriter::chunkedSnapshotBytes(*all[offset + fitting]);  // and a comma
        if (line > HISTORY_CHUNK_MAX_BYTES) break;
      }
      count = fitting;
    }
    const bool done = offset + count == all.size();
    IoStatus status =
        session.writer.writeHistoryChunk(command.requestId, done, all.subspan(offset, count));
    if (!status.ok()) return status;
    offset += count;
  } while (offset < all.size());
  return {};
}

Result handleCommand(SessionContext& session, const Command& command) {
  const std::uint32_t version = protocol::commandVersion(command);
  const std::uint32_t spoken = session.writer.version();
  const std::optional<std::string_view> requestId = protocol::commandRequestId(command);
  if (version != spoken) {
    const std::string message = "unsupported protocol version " + std::to_string(version) +
                                "; expected " + std::to_string(spoken);
    return continueAfter(session.writer.writeError(kProtocolMismatch, message, false, requestId));
  }
  if (!session.state.config) {
    const std::string_view refusal = notConfiguredMessage(command);
    if (!refusal.empty()) {
      return continueAfter(session.writer.writeError(kNotConfigured, refusal, true, requestId));
    }
  }

  if (const auto* n = std::get_if<protocol::SampleNow>(&command)) {
    return continueAfter(sampleNow(session, *n));
  }
  if (const auto* h = std::get_if<protocol::ReadHistory>(&command)) {
    return continueAfter(readHistory(session, *h));
  }
  // The commands without a result of their own.
  if (const auto* c = std::get_if<protocol::Configure>(&command)) {
    const IoStatus status = configure(session, *c);
    if (!status.ok()) return Unexpected{status.error()};
  } else if (const auto* e = std::get_if<protocol::SetExternalProcesses>(&command)) {
    session.state.config->externalProcesses = externalProcessMap(e->processes);
  } else if (const auto* i = std::get_if<protocol::SetSampleInterval>(&command)) {
    setSampleInterval(session, *i);
  } else if (const auto* s = std::get_if<protocol::SetStreaming>(&command)) {
    session.state.streaming = s->enabled;
    session.state.latestOnly = s->latest;
    session.state.skippedSnapshots = 0;
  }
  // Only a version 3 command can carry a request id here, so the ack is version 3's alone.
  if (requestId) {
    const IoStatus status = session.writer.writeAck(*requestId);
    if (!status.ok()) return Unexpected{status.error()};
  }
  return std::holds_alternative<protocol::Shutdown>(command) ? Flow::Stop : Flow::Continue;
}

}  // namespace

Expected<sampling::Snapshot, IoError> sampleAndStore(SessionContext& session,
                                                     std::optional<std::string> requestId) {
  const SessionConfig& config = *session.state.config;
  sampling::Snapshot snapshot = sampling::collectSnapshot(
      session.sampler, config.rootPid, config.externalProcesses, std::move(requestId));
  session.history.append(snapshot);
  if (config.lifecycle) {
    const IoStatus status = writeLifecycle(
        session, session.lifecycle.afterCollection(snapshot.processes, *session.sampler.table));
    if (!status.ok()) return Unexpected{status.error()};
  }
  return snapshot;
}

IoStatus checkExits(SessionContext& session) {
  if (!session.state.config || !session.state.config->lifecycle) return {};
  const SessionConfig& config = *session.state.config;
  session.lastExitCheck = session.clock.monotonicNow();
  sampling::refreshTreesForExits(session.sampler, config.rootPid, config.externalProcesses);
  // The refresh has taken what made the signal readable, so a wake from now on is news.
  if (session.exitWatch) session.exitWatch->rearm();
  updateExitWatch(session);
  return writeLifecycle(session,
                        LifecycleNews{{}, session.lifecycle.exitsIn(*session.sampler.table)});
}

Expected<Flow, IoError> handleMessage(SessionContext& session, ReaderMessage message) {
  if (const auto* invalid = std::get_if<Invalid>(&message)) {
    return continueAfter(
        session.writer.writeError(kInvalidCommand, invalid->text, true, invalid->requestId));
  }
  return handleCommand(session, std::get<protocol::Command>(message));
}

}  // namespace procsampler::session
