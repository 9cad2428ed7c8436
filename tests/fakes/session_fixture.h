// The main thread's session objects over test doubles: a scripted clock, an in-memory process
// table whose refreshes take refreshCost of that clock, and a recording output. Single-threaded.
#pragma once

#include <stdexcept>
#include <string>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_table.h"
#include "fakes/recording_sink.h"
#include "protocol/command_decoder.h"
#include "session/handle_message.h"

namespace procsampler::testing {

// A version-2 command as a host writes it, decoded; one the decoder refuses throws.
inline session::ReaderMessage cmd(const std::string& type, const std::string& fields = "") {
  const std::string more = fields.empty() ? "" : "," + fields;
  return protocol::decodeCommand(R"({"type":")" + type + R"(","version":2)" + more + "}").value();
}

// How often needle occurs in text.
inline std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

struct SessionRig {
  SessionRig() {
    table->onRefresh = [this](FakeProcessTable& refreshed) {
      // A loop that samples without end would otherwise fill memory with events.
      if (refreshed.refreshInstants().size() > 10000) throw std::runtime_error("runaway sampling");
      clock.advance(refreshCost);
    };
  }
  // Handles one message; a failed write throws.
  session::Flow run(session::ReaderMessage message) {
    return session::handleMessage(session, std::move(message)).value();
  }

  std::chrono::nanoseconds refreshCost{0};
  FakeClock clock;
  FakeProcessTable* table = new FakeProcessTable(&clock);  // owned by the sampler
  RecordingSink sink;
  protocol::EventWriter writer{sink};
  sampling::Sampler sampler{std::unique_ptr<sampling::ProcessTable>(table), clock};
  history::SnapshotHistory history;
  session::SessionContext session{writer, sampler, history, clock, {}, std::nullopt};
};

}  // namespace procsampler::testing
