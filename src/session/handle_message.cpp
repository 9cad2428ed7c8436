#include "session/handle_message.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "history/downsample.h"

namespace procsampler::session {
namespace {

using protocol::Command;

constexpr std::string_view INVALID_COMMAND = "invalid-command";
constexpr std::string_view PROTOCOL_MISMATCH = "protocol-mismatch";
constexpr std::string_view NOT_CONFIGURED = "not-configured";

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
  session.state.config = std::move(config);
  // The first snapshot's CPU figures are measured from this refresh.
  sampling::refreshTable(session.sampler);
  session.schedule.restart(session.state.config->sampleInterval, session.clock.monotonicNow());
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
  session.schedule.waitFrom(interval, session.clock.monotonicNow());
}

IoStatus sampleNow(SessionContext& session, const protocol::SampleNow& command) {
  Expected<sampling::Snapshot, IoError> snapshot = sampleAndStore(session, command.requestId);
  if (!snapshot.hasValue()) return snapshot.error();
  return session.writer.writeSnapshot(snapshot.value());
}

IoStatus readHistory(SessionContext& session, const protocol::ReadHistory& command) {
  const std::uint64_t nowMs = unixMillis(session.clock.wallNow());
  const std::vector<const sampling::Snapshot*> selected =
      session.history.selectWindow(nowMs, command.windowMs);
  if (command.stepMs == 0) return session.writer.writeHistory(command.requestId, selected);
  const std::vector<sampling::HistoryStep> steps = history::downsample(selected, command.stepMs);
  return session.writer.writeHistory(command.requestId, command.stepMs, steps);
}

Result handleCommand(SessionContext& session, const Command& command) {
  const std::uint32_t version = protocol::commandVersion(command);
  const std::uint32_t spoken = session.writer.version();
  const std::optional<std::string_view> requestId = protocol::commandRequestId(command);
  if (version != spoken) {
    const std::string message = "unsupported protocol version " + std::to_string(version) +
                                "; expected " + std::to_string(spoken);
    return continueAfter(session.writer.writeError(PROTOCOL_MISMATCH, message, false, requestId));
  }
  if (!session.state.config) {
    const std::string_view refusal = notConfiguredMessage(command);
    if (!refusal.empty()) {
      return continueAfter(session.writer.writeError(NOT_CONFIGURED, refusal, true, requestId));
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

IoStatus checkLifecycle(SessionContext& session) {
  if (!session.state.config || !session.state.config->lifecycle) return {};
  const SessionConfig& config = *session.state.config;
  session.lastExitCheck = session.clock.monotonicNow();
  sampling::refreshTreesForExits(session.sampler, config.rootPid, config.externalProcesses);
  // A new process is told with a whole record, which a collection completes for every process of
  // the trees (arguments and all); an exit needs only the ledger's records, so a wake that heard
  // no start is spared the collection.
  std::optional<std::vector<sampling::ProcessSample>> records;
  if (session.sampler.table->heardStarts()) {
    records = sampling::collectRecords(session.sampler, config.rootPid, config.externalProcesses);
  }
  // The refresh has taken what made the signal readable, so a wake from now on is news.
  if (session.exitWatch) session.exitWatch->rearm();
  updateExitWatch(session);
  const sampling::ProcessTable& table = *session.sampler.table;
  return writeLifecycle(session, records ? session.lifecycle.afterCollection(*records, table)
                                         : LifecycleNews{{}, session.lifecycle.exitsIn(table)});
}

Expected<Flow, IoError> handleMessage(SessionContext& session, ReaderMessage message) {
  if (const auto* invalid = std::get_if<Invalid>(&message)) {
    return continueAfter(
        session.writer.writeError(INVALID_COMMAND, invalid->text, true, invalid->requestId));
  }
  return handleCommand(session, std::get<protocol::Command>(message));
}

}  // namespace procsampler::session
