// Cost of one table refresh and of one snapshot against the cost of simply reading /proc, measured
// side by side because this machine is shared and noisy. With 2000 sleeping children of this
// process alive, each round times, in rotating order:
//   (a) a bare pass: open and read stat, statm, cmdline and io, and read the exe link, of every
//   pid; (b) refresh_processes_specifics of a warm table; (c) collectSnapshot of this process's
//   tree (itself and the 2000 children) on a warm sampler.
// Prints the medians and the ratios (b)/(a) and (c)/(a); the targets are both at most 1.2. Also
// counts heap allocations per warm refresh, which should stay near 0 on a steady machine.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  auto table = sampling::new_with_specifics(clock);
  sampling::Sampler sampler(sampling::new_with_specifics(clock), clock);
  table->refresh_processes_specifics();
  sampling::refreshTable(sampler);
  const auto self = static_cast<sampling::Pid>(::getpid());

  std::vector<double> bare, refresh, snapshot;
  std::size_t pids = 0, records = 0, refreshAllocations = 0;
  int round = 0;
  for (auto _ : state) {
    double roundSeconds = 0;
    // Each of the six orders in turn, so none of the three runs more often right after another
    // has warmed the kernel's caches for it.
    static constexpr int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                          {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int which : kOrders[round % 6]) {
      Steady::time_point start = Steady::now();
      if (which == 0) {
        pids = barePass();
      } else if (which == 1) {
        std::size_t before = allocationCount;
        benchmark::DoNotOptimize(table->refresh_processes_specifics());
        refreshAllocations += allocationCount - before;
      } else {
        sampler.lastRefreshAt.reset();  // no waiting for the 200 ms spacing
        records = sampling::collectSnapshot(sampler, self, {}, std::nullopt).processes.size();
      }
      double us = std::chrono::duration<double, std::micro>(Steady::now() - start).count();
      (which == 0 ? bare : which == 1 ? refresh : snapshot).push_back(us);
      roundSeconds += us / 1e6;
    }
    state.SetIterationTime(roundSeconds);
    ++round;
  }
  results = {median(bare),
             median(refresh),
             median(snapshot),
             pids,
             records,
             static_cast<double>(refreshAllocations) / static_cast<double>(refresh.size())};
  state.counters["pids"] = static_cast<double>(pids);
  state.counters["a_us"] = results.bareUs;
  state.counters["b_us"] = results.refreshUs;
  state.counters["c_us"] = results.snapshotUs;
  state.counters["b/a"] = results.refreshUs / results.bareUs;
  state.counters["c/a"] = results.snapshotUs / results.bareUs;
  state.counters["b_allocs"] = results.refreshAllocations;
}
BENCHMARK(BM_RefreshAgainstBarePass)
    ->Iterations(30)
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
