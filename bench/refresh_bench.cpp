// Cost of one table refresh and of snapshots against the cost of simply reading /proc, measured
// side by side because this machine is shared and noisy. With 2000 sleeping children of this
// process alive, each round times, in rotating order:
//   (a) a bare pass: open and read stat, statm, cmdline and io, and read the exe link, of every
//   pid; (b) refreshAll (configure's full refresh) of a warm table;
//   (c) collectSnapshot of this process's tree (itself and the 2000 children) on a warm sampler.
// Prints the medians and the ratios (b)/(a) and (c)/(a), whose targets are at most 1.2. Also
// counts heap allocations per warm refresh, which should stay near 0 on a steady machine.
// Snapshots of a small tree, and their growth with the machine, are walk_costs's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <vector>

#include "common/clock.h"
#include "proc_load.h"
#include "sampling/process_table.h"
#include "sampling/sampler.h"

// Every operator new of this program, so a refresh's allocations can be counted. Not inlined:
// GCC would then see malloc paired with delete and warn of a mismatch.
static std::size_t allocationCount = 0;
[[gnu::noinline]] void* operator new(std::size_t size) {
  ++allocationCount;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

using namespace procsampler;
using Steady = std::chrono::steady_clock;
using bench::barePass;
using bench::SleepingChildren;

constexpr int kChildren = 2000;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

struct Results {
  double bareUs = 0, refreshUs = 0, snapshotUs = 0;
  std::size_t pids = 0, snapshotRecords = 0;
  double refreshAllocations = 0;
};
Results results;

void BM_RefreshAgainstBarePass(benchmark::State& state) {
  SystemClock clock;
  auto table = sampling::newPlatformTable(clock);
  sampling::Sampler sampler(sampling::newPlatformTable(clock), clock);
  table->refreshAll();
  sampling::refreshTable(sampler);
  const auto self = static_cast<sampling::Pid>(::getpid());

  std::vector<double> times[3];
  std::size_t pids = 0, records = 0, refreshAllocations = 0;
  // Every order of the three in turn, so none runs more often right after another has warmed the
  // kernel's caches for it.
  int order[3] = {0, 1, 2};
  for (auto _ : state) {
    double roundSeconds = 0;
    for (int which : order) {
      Steady::time_point start = Steady::now();
      if (which == 0) {
        pids = barePass();
      } else if (which == 1) {
        std::size_t before = allocationCount;
        benchmark::DoNotOptimize(table->refreshAll());
        refreshAllocations += allocationCount - before;
      } else {
        sampler.lastRefreshAt.reset();  // no waiting for the 200 ms spacing
        records = sampling::collectSnapshot(sampler, self, {}, std::nullopt).processes.size();
      }
      double us = std::chrono::duration<double, std::micro>(Steady::now() - start).count();
      times[which].push_back(us);
      roundSeconds += us / 1e6;
    }
    state.SetIterationTime(roundSeconds);
    std::next_permutation(std::begin(order), std::end(order));
  }
  results = {median(times[0]),
             median(times[1]),
             median(times[2]),
             pids,
             records,
             static_cast<double>(refreshAllocations) / static_cast<double>(times[1].size())};
  state.counters["pids"] = static_cast<double>(pids);
  state.counters["a_us"] = results.bareUs;
  state.counters["b_us"] = results.refreshUs;
  state.counters["c_us"] = results.snapshotUs;
  state.counters["b/a"] = results.refreshUs / results.bareUs;
  state.counters["c/a"] = results.snapshotUs / results.bareUs;
  state.counters["b_allocs"] = results.refreshAllocations;
}
// 48 rounds: each of the 6 orders 8 times.
BENCHMARK(BM_RefreshAgainstBarePass)
    ->Iterations(48)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  {
    SleepingChildren children(kChildren);
    std::printf("sleeping children: %zu\n", children.size());
    benchmark::RunSpecifiedBenchmarks();
  }
  if (results.bareUs > 0) {
    std::printf("processes on the machine: %zu, records per snapshot: %zu\n", results.pids,
                results.snapshotRecords);
    std::printf(
        "median (a) bare pass %.0f us (%.1f us per process), (b) refresh %.0f us, "
        "(c) snapshot %.0f us\n",
        results.bareUs, results.bareUs / static_cast<double>(results.pids), results.refreshUs,
        results.snapshotUs);
    std::printf("heap allocations per warm refresh: %.1f\n", results.refreshAllocations);
    std::printf("(b)/(a) = %.2f  (c)/(a) = %.2f  (targets: at most 1.2)\n",
                results.refreshUs / results.bareUs, results.snapshotUs / results.bareUs);
  }
  benchmark::Shutdown();
  return 0;
}
