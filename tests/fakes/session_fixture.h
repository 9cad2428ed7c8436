// The main thread's session objects over test doubles: a scripted clock, an in-memory process
// table, a recording output. Also a message source whose messages arrive at scripted instants of
// that clock, so the main loop's timing can be checked without waiting. Single-threaded.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_table.h"
#include "fakes/recording_sink.h"
#include "history/snapshot_history.h"
#include "protocol/command.h"
#include "protocol/event_writer.h"
#include "sampling/sampler.h"
#include "session/command_channel.h"
#include "session/handle_message.h"
#include "support/event_lines.h"

namespace procsampler::testing {

inline constexpr sampling::Pid kRootPid = 100;

template <class C>
session::ReaderMessage command(C body) {
  return protocol::Command(std::move(body));
}

inline session::ReaderMessage configure(std::uint64_t sampleIntervalMs,
                                        std::vector<sampling::ExternalProcess> external = {}) {
  return command(protocol::Configure{.version = 2,
                                     .rootPid = kRootPid,
                                     .sampleIntervalMs = sampleIntervalMs,
                                     .externalProcesses = std::move(external)});
}
inline session::ReaderMessage setStreaming(bool enabled) {
  return command(protocol::SetStreaming{.version = 2, .enabled = enabled});
}
inline session::ReaderMessage setSampleInterval(std::uint64_t ms) {
  return command(protocol::SetSampleInterval{.version = 2, .sampleIntervalMs = ms});
}
inline session::ReaderMessage sampleNow(std::string requestId) {
  return command(protocol::SampleNow{.version = 2, .requestId = std::move(requestId)});
}
inline session::ReaderMessage readHistory(std::string requestId, std::uint64_t windowMs) {
  return command(
      protocol::ReadHistory{.version = 2, .requestId = std::move(requestId), .windowMs = windowMs});
}
inline session::ReaderMessage shutdown() { return command(protocol::Shutdown{.version = 2}); }

struct SessionRig {
  SessionRig() {
    // A root with one child: every snapshot holds two records.
    table->set(makeProcess(kRootPid, std::nullopt, 1'699'000'000, "root"));
    table->set(makeProcess(kRootPid + 1, kRootPid, 1'699'000'001, "child"));
    table->onRefresh = [this](FakeProcessTable& refreshed) {
      // A loop that samples without end would otherwise fill memory with events.
      if (refreshed.refreshCount() > kMaxRefreshes) {
        throw std::runtime_error("runaway sampling: more than 10000 refreshes");
      }
      clock.advance(refreshCost);
    };
  }

  static constexpr std::size_t kMaxRefreshes = 10000;
  std::chrono::nanoseconds refreshCost{0};  // how long each refresh of the table takes

  FakeClock clock;
  FakeProcessTable* table = nullptr;  // owned by the sampler
  RecordingSink sink;
  protocol::EventWriter writer{sink};
  sampling::Sampler sampler{makeTable(), clock};
  history::SnapshotHistory history;
  session::SessionContext session{writer, sampler, history, clock, {}, std::nullopt};

  // The event lines written since the last call.
  std::vector<std::string> takeLines() {
    std::vector<std::string> lines = splitLines(sink.output);
    sink.output.clear();
    return lines;
  }
  MonoTime now() { return clock.monotonicNow(); }

 private:
  std::unique_ptr<sampling::ProcessTable> makeTable() {
    auto owned = std::make_unique<FakeProcessTable>(&clock);
    table = owned.get();
    return owned;
  }
};

// Delivers each message at its scripted instant: a receive whose deadline comes first moves the
// clock to the deadline and times out; otherwise the clock moves to the arrival. When the script
// is used up the sender is gone.
class ScriptedSource final : public session::MessageSource {
 public:
  explicit ScriptedSource(FakeClock& clock) : clock_(clock) {}

  void at(MonoTime arrival, session::ReaderMessage message) {
    script_.push_back({arrival, std::move(message)});
  }

  session::ReceiveResult receive(std::optional<MonoTime> deadline) override {
    deadlines.push_back(deadline);
    if (script_.empty() || deadlines.size() > kMaxReceives) {
      return {session::ReceiveStatus::SenderGone, std::nullopt};
    }
    const MonoTime arrival = script_.front().arrival;
    if (deadline && *deadline < arrival) {
      moveTo(*deadline);
      return {session::ReceiveStatus::TimedOut, std::nullopt};
    }
    moveTo(arrival);
    session::ReaderMessage message = std::move(script_.front().message);
    script_.pop_front();
    return {session::ReceiveStatus::Message, std::move(message)};
  }

  bool exhausted() const { return script_.empty(); }

  std::vector<std::optional<MonoTime>> deadlines;  // one per receive, in order

 private:
  // A loop that never stops receiving ends here instead of hanging the test.
  static constexpr std::size_t kMaxReceives = 100000;

  void moveTo(MonoTime instant) {
    if (instant > clock_.monotonicNow()) clock_.advance(instant - clock_.monotonicNow());
  }

  struct Arrival {
    MonoTime arrival;
    session::ReaderMessage message;
  };
  FakeClock& clock_;
  std::deque<Arrival> script_;
};

}  // namespace procsampler::testing
