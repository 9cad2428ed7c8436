// Decoding speed of command lines: a host naming many external processes at once is the largest
// line the sidecar sees, so that is the one measured in bytes per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "protocol/command_decoder.h"

namespace {

using procsampler::protocol::decodeCommand;

// About targetBytes of setExternalProcesses, mixing the object and the array forms of an entry
// the way a host that sometimes knows the start time would.
std::string externalProcessesLine(std::size_t targetBytes) {
  std::mt19937_64 random(42);
  std::string line = R"({"type":"setExternalProcesses","version":2,"processes":[)";
  bool first = true;
  while (line.size() < targetBytes) {
    if (!first) line += ',';
    first = false;
    const std::uint64_t pid = 1 + random() % 99999;
    const std::uint64_t start = 1'700'000'000'000 + random() % 100'000'000'000;
    switch (random() % 4) {
      case 0:
        line += "[" + std::to_string(pid) + "," + std::to_string(start) + "]";
        break;
      case 1:
        line += R"({"pid":)" + std::to_string(pid) + "}";
        break;
      default:
        line +=
            R"({"pid":)" + std::to_string(pid) + R"(,"startTimeMs":)" + std::to_string(start) + "}";
    }
  }
  return line + "]}";
}

void BM_DecodeExternalProcesses(benchmark::State& state) {
  const std::string line = externalProcessesLine(static_cast<std::size_t>(state.range(0)));
  if (!decodeCommand(line)) std::abort();
  for (auto _ : state) {
    auto command = decodeCommand(line);
    benchmark::DoNotOptimize(command);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_DecodeExternalProcesses)->Arg(1 << 20)->Arg(4 << 10)->Unit(benchmark::kMicrosecond);

// The everyday line: per-call overhead dominates.
void BM_DecodeSampleNow(benchmark::State& state) {
  const std::string line = R"({"type":"sampleNow","version":2,"requestId":"req-000123"})";
  for (auto _ : state) {
    auto command = decodeCommand(line);
    benchmark::DoNotOptimize(command);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_DecodeSampleNow);

}  // namespace

BENCHMARK_MAIN();
