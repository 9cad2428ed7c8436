#include "session/run_session.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "common/os_io.h"
#include "history/snapshot_history.h"
#include "protocol/event_writer.h"
#include "sampling/sampler.h"
#include "session/command_reader.h"
#include "session/stop_signals.h"

namespace procsampler::session {
namespace {

// now + wait, or no deadline at all when that instant is beyond what the clock can represent.
std::optional<MonoTime> deadlineAfter(MonoTime now, MonoTime::duration wait) {
  if (now.time_since_epoch() > MonoTime::duration::max() - wait) return std::nullopt;
  return now + wait;
}

}  // namespace

IoStatus takePeriodicSample(SessionContext& session) {
  if (!session.state.config || !session.state.config->sampleInterval) return {};
  // The history fills at the interval whether or not anyone is watching the stream.
  Expected<sampling::Snapshot, IoError> sampled = sampleAndStore(session, std::nullopt);
  if (!sampled.hasValue()) return sampled.error();
  const sampling::Snapshot& snapshot = sampled.value();
  if (session.state.streaming && !session.state.latestOnly) {
    IoStatus status = session.writer.writeSnapshot(snapshot);
    if (!status.ok()) return status;
  } else if (session.state.streaming && !session.writer.outputDrained()) {
    ++session.state.skippedSnapshots;
  } else if (session.state.streaming) {
    IoStatus status =
        session.writer.writeSnapshot(snapshot, std::exchange(session.state.skippedSnapshots, 0));
    if (!status.ok()) return status;
  }
  // Measured from the end of this sample, so a slow collection is never made up for.
  session.schedule.waitFrom(session.state.config->sampleInterval, session.clock.monotonicNow());
  return {};
}

IoStatus runMainLoop(SessionContext& session, MessageSource& messages) {
  for (;;) {
    MonoTime::duration wait = IDLE_WAIT;
    if (session.exitCheckDue) {
      const MonoTime now = session.clock.monotonicNow();
      if (now >= *session.exitCheckDue) {
        session.exitCheckDue.reset();
        IoStatus status = checkLifecycle(session);
        if (!status.ok()) return status;
        continue;
      }
      wait = *session.exitCheckDue - now;
    }
    if (const std::optional<MonoTime> due = session.schedule.nextDue()) {
      const MonoTime now = session.clock.monotonicNow();
      if (now >= *due) {
        IoStatus status = takePeriodicSample(session);
        if (!status.ok()) return status;
        continue;
      }
      wait = std::min(wait, *due - now);
    }

    ReceiveResult received = messages.receive(deadlineAfter(session.clock.monotonicNow(), wait));
    switch (received.status) {
      case ReceiveStatus::TimedOut:
        continue;
      case ReceiveStatus::Woken: {
        // A process the table watches has exited or started another: its trees are refreshed at
        // once, or once EXIT_CHECK_SPACING has passed since the last such refresh.
        const MonoTime now = session.clock.monotonicNow();
        const MonoTime earliest = session.lastExitCheck
                                      ? std::max(now, *session.lastExitCheck + EXIT_CHECK_SPACING)
                                      : now;
        if (!session.exitCheckDue) session.exitCheckDue = earliest;
        continue;
      }
      case ReceiveStatus::SenderGone:
        return {};
      case ReceiveStatus::Message:
        break;
    }
    Expected<Flow, IoError> handled = handleMessage(session, std::move(*received.message));
    if (!handled.hasValue()) return handled.error();
    if (handled.value() == Flow::Stop) return {};
  }
}

IoStatus runSession(const SessionEnvironment& environment) {
  protocol::FdSink fdSink(environment.outputFd);
  std::optional<LineBoundarySink> guarded;
  if (environment.lineBoundary) guarded.emplace(fdSink, *environment.lineBoundary);
  protocol::EventWriter writer(guarded ? static_cast<protocol::OutputSink&>(*guarded) : fdSink,
                               environment.protocolVersion);

  protocol::HelloInfo hello;
  hello.sidecarVersion = SIDECAR_VERSION;
  hello.sidecarPid = os::currentProcessId();
  // The system and processor this binary was built for, as the build names them.
  hello.platform = PROCSAMPLER_PLATFORM;
  hello.arch = PROCSAMPLER_ARCH;
  // Nothing else exists yet when hello fails: no thread, no channel, no table.
  IoStatus helloStatus = writer.writeHello(hello);
  if (!helloStatus.ok()) return helloStatus;

  IoStatus outcome;
  {
    CommandChannel channel = makeCommandChannel();
    startCommandReader(std::move(channel.sender), environment.inputFd);
    Clock& clock = *environment.clock;
    sampling::Sampler sampler(environment.makeTable(clock), clock);
    sampler.withArgv = environment.protocolVersion >= 3;
    sampler.exactStarts = environment.protocolVersion >= 3;
    history::SnapshotHistory history;
    SessionContext session{writer, sampler, history, clock, SessionState{}, SampleSchedule{}};
    session.wakeLoop = [waker = channel.receiver.waker()] { waker.wake(); };
    outcome = runMainLoop(session, channel.receiver);
  }
  // Normally empty; after a failed write it holds the rest of that line, worth one more try.
  (void)writer.flush();
  return outcome;
}

IoStatus runSession(const LaunchOptions& options) {
  // Never destroyed: the watcher may take it while the process exits.
  static std::timed_mutex& lineBoundary = *new std::timed_mutex;
  watchStopSignals(lineBoundary);
  SystemClock clock;
  SessionEnvironment environment;
  environment.inputFd = 0;
  environment.outputFd = 1;
  environment.clock = &clock;
  environment.lineBoundary = &lineBoundary;
  environment.protocolVersion = options.protocolVersion;
  environment.makeTable = [](Clock& tableClock) {
    return sampling::newPlatformTable(tableClock, sampling::SNAPSHOT_TABLE_LIMITS);
  };
  return runSession(environment);
}

}  // namespace procsampler::session
