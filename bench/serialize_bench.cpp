// Serializing speed of a snapshot event: 1000 process records, the size of a busy host's process
// tree, written by our EventWriter into a sink that discards the bytes, side by side with the
// floor of copying the finished line. Prints how many copies' worth serializing costs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/event_writer.h"

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
  state.counters["line_bytes"] =
      static_cast<double>(sink.bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EventWriterSnapshot)->Unit(benchmark::kMicrosecond);

// The floor any serializer stands on: copying the finished line, as many bytes as ours writes,
// into a buffer that is reused. What serializing adds is the ratio of the two.
void BM_CopyFinishedLine(benchmark::State& state) {
  class CaptureSink final : public OutputSink {
   public:
    IoStatus writeAll(const char* data, std::size_t size) override {
      line.append(data, size);
      return {};
    }
    std::string line;
  } capture;
  EventWriter writer(capture);
  if (!writer.writeSnapshot(sharedSnapshot()).ok()) std::abort();
  const std::string& line = capture.line;
  std::string copy(line.size(), '\0');
  for (auto _ : state) {
    std::memcpy(copy.data(), line.data(), line.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(line.size()) * state.iterations());
}
BENCHMARK(BM_CopyFinishedLine)->Unit(benchmark::kMicrosecond);

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
  const double floor = reporter.meanTime("BM_CopyFinishedLine");
  if (ours > 0 && floor > 0) {
    std::printf(
        "snapshot of 1000 processes (CPU time): EventWriter %.1f us, copying the finished "
        "line %.1f us: serializing costs %.1fx a copy\n",
        ours, floor, ours / floor);
  }
  benchmark::Shutdown();
  return 0;
}
