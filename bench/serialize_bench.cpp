// Serializing speed of a snapshot event: 1000 process records, the size of a busy host's process
// tree, written by our EventWriter into a sink that discards the bytes, and the same keys and
// values in the same order by RapidJSON's Writer into its StringBuffer. Prints RapidJSON's time
// divided by ours at the end.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/event_writer.h"

#ifdef PROCSAMPLER_HAVE_RAPIDJSON
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif

namespace {

using procsampler::IoStatus;
using procsampler::protocol::EventWriter;
using procsampler::protocol::OutputSink;
using procsampler::sampling::ProcessSample;
using procsampler::sampling::Snapshot;

// Takes the bytes and drops them, so only serializing is measured.
class DiscardSink final : public OutputSink {
 public:
  IoStatus writeAll(const char* data, std::size_t size) override {
    benchmark::DoNotOptimize(data);
    bytes += size;
    return {};
  }
  std::size_t bytes = 0;
};

std::string randomText(std::mt19937_64& random, std::size_t size) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789-_./=";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) text += kLetters[random() % (sizeof kLetters - 1)];
  return text;
}

// Names of 10 to 20 bytes, command lines of 60 to 200, one in eight with something to escape
// (quotes, a tab, a Windows path) and one in sixteen with non-ASCII text.
Snapshot realisticSnapshot() {
  std::mt19937_64 random(7);
  Snapshot snapshot;
  snapshot.sequence = 48213;
  snapshot.sampledAtUnixMs = 1718000000123;
  snapshot.collectionDurationMicros = 8412;
  snapshot.scannedProcessCount = 1873;
  snapshot.retainedProcessCount = 1000;
  snapshot.inaccessibleProcessCount = 41;
  snapshot.externalProcesses = {{812, 1717990000000}, {9121, 1717999000000}};
  for (std::uint32_t i = 0; i < 1000; ++i) {
    ProcessSample p;
    p.pid = 800 + i * 7;
    p.ppid = i == 0 ? 1 : 800 + static_cast<std::uint32_t>(random() % i) * 7;
    p.startTimeMs = 1717990000000 + random() % 10'000'000;
    p.runTimeMs = random() % 10'000'000;
    p.name = randomText(random, 10 + random() % 11);
    p.command = "/usr/local/bin/" + p.name + " " + randomText(random, 40 + random() % 146);
    if (i % 8 == 3) p.command += " --title \"build \\ step\"\t--path C:\\work\\out";
    if (i % 16 == 5) p.command += " --label caf\xc3\xa9-\xe2\x9c\x93";
    p.status = i % 5 == 0 ? "Run" : "Sleep";
    p.cpuPercent = i % 3 == 0 ? 0.0f : static_cast<float>(random() % 40000) / 100.0f;
    p.cpuTimeMs = random() % 100'000'000;
    p.residentBytes = random() % (1ull << 32);
    p.virtualBytes = random() % (1ull << 40);
    p.ioReadBytes = random() % (1ull << 36);
    p.ioWriteBytes = random() % (1ull << 30);
    snapshot.processes.push_back(std::move(p));
  }
  return snapshot;
}

const Snapshot& sharedSnapshot() {
  static const Snapshot snapshot = realisticSnapshot();
  return snapshot;
}

void BM_EventWriterSnapshot(benchmark::State& state) {
  const Snapshot& snapshot = sharedSnapshot();
  DiscardSink sink;
  EventWriter writer(sink);
  for (auto _ : state) {
    if (!writer.writeSnapshot(snapshot).ok()) std::abort();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(sink.bytes));
  state.counters["line_bytes"] = static_cast<double>(sink.bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EventWriterSnapshot)->Unit(benchmark::kMicrosecond);

#ifdef PROCSAMPLER_HAVE_RAPIDJSON
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void rapidString(JsonWriter& w, const std::string& text) {
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void rapidSnapshot(JsonWriter& w, const Snapshot& s) {
  w.StartObject();
  w.Key("version");
  w.Uint(2);
  w.Key("type");
  w.String("snapshot");
  w.Key("sequence");
  w.Uint64(s.sequence);
  w.Key("sampledAtUnixMs");
  w.Uint64(s.sampledAtUnixMs);
  w.Key("collectionDurationMicros");
  w.Uint64(s.collectionDurationMicros);
  w.Key("scannedProcessCount");
  w.Uint64(s.scannedProcessCount);
  w.Key("retainedProcessCount");
  w.Uint64(s.retainedProcessCount);
  w.Key("inaccessibleProcessCount");
  w.Uint64(s.inaccessibleProcessCount);
  if (s.requestId) {
    w.Key("requestId");
    rapidString(w, *s.requestId);
  }
  w.Key("externalProcesses");
  w.StartArray();
  for (const auto& e : s.externalProcesses) {
    w.StartObject();
    w.Key("pid");
    w.Uint(e.pid);
    w.Key("startTimeMs");
    if (e.startTimeMs) {
      w.Uint64(*e.startTimeMs);
    } else {
      w.Null();
    }
    w.EndObject();
  }
  w.EndArray();
  w.Key("processes");
  w.StartArray();
  for (const ProcessSample& p : s.processes) {
    w.StartObject();
    w.Key("pid");
    w.Uint(p.pid);
    w.Key("ppid");
    w.Uint(p.ppid);
    w.Key("startTimeMs");
    w.Uint64(p.startTimeMs);
    w.Key("runTimeMs");
    w.Uint64(p.runTimeMs);
    w.Key("name");
    rapidString(w, p.name);
    w.Key("command");
    rapidString(w, p.command);
    w.Key("status");
    rapidString(w, p.status);
    w.Key("cpuPercent");
    w.Double(static_cast<double>(p.cpuPercent));
    w.Key("cpuTimeMs");
    w.Uint64(p.cpuTimeMs);
    w.Key("residentBytes");
    w.Uint64(p.residentBytes);
    w.Key("virtualBytes");
    w.Uint64(p.virtualBytes);
    w.Key("ioReadBytes");
    w.Uint64(p.ioReadBytes);
    w.Key("ioWriteBytes");
    w.Uint64(p.ioWriteBytes);
    w.Key("ioSemantics");
    w.String(p.ioCountsAllIo ? "all-io" : "storage");
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
}

// The buffer is reused, as a long-lived writer would, so both sides run without allocating.
void BM_RapidJsonSnapshot(benchmark::State& state) {
  const Snapshot& snapshot = sharedSnapshot();
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  std::size_t bytes = 0;
  for (auto _ : state) {
    buffer.Clear();
    writer.Reset(buffer);
    rapidSnapshot(writer, snapshot);
    buffer.Put('\n');
    benchmark::DoNotOptimize(buffer.GetString());
    bytes += buffer.GetSize();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  // Longer than ours: a float widened to double prints with up to 17 digits (12.340000152587891).
  state.counters["line_bytes"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RapidJsonSnapshot)->Unit(benchmark::kMicrosecond);
#endif

// The console output as usual, plus the mean CPU time of each benchmark for the closing ratio.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      auto& [total, count] = times_[run.run_name.function_name];
      // CPU time: the machine this runs on is often shared, which inflates wall time unevenly.
      if (run.run_type == Run::RT_Iteration) {
        total += run.GetAdjustedCPUTime();
        ++count;
      } else if (run.aggregate_name == "mean") {  // --benchmark_report_aggregates_only
        total = run.GetAdjustedCPUTime();
        count = 1;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double meanTime(const std::string& name) const {
    const auto found = times_.find(name);
    if (found == times_.end() || found->second.second == 0) return 0.0;
    return found->second.first / found->second.second;
  }

 private:
  std::map<std::string, std::pair<double, int>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.meanTime("BM_EventWriterSnapshot");
  const double theirs = reporter.meanTime("BM_RapidJsonSnapshot");
  if (ours > 0 && theirs > 0) {
    std::printf("snapshot of 1000 processes (CPU time): EventWriter %.1f us, RapidJSON %.1f us, "
                "RapidJSON / EventWriter = %.2fx (target >= 1.3x)\n",
                ours, theirs, theirs / ours);
  }
#ifndef PROCSAMPLER_HAVE_RAPIDJSON
  std::printf("RapidJSON was not found when this was built: no comparison.\n");
#endif
  benchmark::Shutdown();
  return 0;
}
