// Cost of one table refresh and of snapshots against the cost of simply reading /proc, measured
// side by side because this machine is shared and noisy. With 2000 sleeping children of this
// process alive, and a separate tree of 10 sleeping processes, each round times, in rotating
// order:
//   (a) a bare pass: open and read stat, statm, cmdline and io, and read the exe link, of every
//   pid; (b) refresh_processes_specifics of a warm table; (c) collectSnapshot of this process's
//   tree (itself, the 2000 children and the small tree) on a warm sampler; (d) collectSnapshot of
//   the small tree alone on another warm sampler.
// Prints the medians and the ratios (b)/(a) and (c)/(a), whose targets are at most 1.2, and
// (d)/(a), whose target is at most 0.5. Also counts heap allocations per warm refresh, which
// should stay near 0 on a steady machine.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
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
constexpr int kSmallTree = 10;

// Forks count children that sleep until killed and die with this process, says so with one
// byte on ready, then sleeps too.
[[noreturn]] void forkSleepersAndSleep(int count, int ready) {
  for (int i = 0; i < count; ++i) {
    if (::fork() == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      while (true) ::pause();
    }
  }
  char byte = 1;
  if (::write(ready, &byte, 1) != 1) ::_exit(1);
  while (true) ::pause();
}

// Ten sleeping processes in three levels: a root, its child, four children of each. Each dies
// with its parent, so killing the root ends them all.
class SmallTree {
 public:
  SmallTree() {
    int ready[2];
    if (::pipe(ready) != 0) return;
    root_ = ::fork();
    if (root_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(ready[0]);
      if (::fork() == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        forkSleepersAndSleep(4, ready[1]);
      }
      forkSleepersAndSleep(4, ready[1]);
    }
    ::close(ready[1]);
    char bytes[2];
    for (std::size_t got = 0; root_ > 0 && got < sizeof bytes;) {
      ssize_t n = ::read(ready[0], bytes + got, sizeof bytes - got);
      if (n <= 0) {
        std::perror("small tree");
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    ::close(ready[0]);
  }
  ~SmallTree() {
    if (root_ <= 0) return;
    ::kill(root_, SIGKILL);
    ::waitpid(root_, nullptr, 0);
  }
  SmallTree(const SmallTree&) = delete;
  SmallTree& operator=(const SmallTree&) = delete;
  sampling::Pid root() const { return static_cast<sampling::Pid>(root_); }

 private:
  pid_t root_ = -1;
};
sampling::Pid smallTreeRoot = 0;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

struct Results {
  double bareUs = 0, refreshUs = 0, snapshotUs = 0, smallSnapshotUs = 0;
  std::size_t pids = 0, snapshotRecords = 0, smallSnapshotRecords = 0;
  double refreshAllocations = 0;
};
Results results;

void BM_RefreshAgainstBarePass(benchmark::State& state) {
  SystemClock clock;
  auto table = sampling::new_with_specifics(clock);
  sampling::Sampler sampler(sampling::new_with_specifics(clock), clock);
  sampling::Sampler smallSampler(sampling::new_with_specifics(clock), clock);
  table->refresh_processes_specifics();
  sampling::refreshTable(sampler);
  sampling::refreshTable(smallSampler);
  const auto self = static_cast<sampling::Pid>(::getpid());

  std::vector<double> times[4];
  std::size_t pids = 0, records = 0, smallRecords = 0, refreshAllocations = 0;
  // Every order of the four in turn, so none runs more often right after another has warmed the
  // kernel's caches for it.
  int order[4] = {0, 1, 2, 3};
  for (auto _ : state) {
    double roundSeconds = 0;
    for (int which : order) {
      Steady::time_point start = Steady::now();
      if (which == 0) {
        pids = barePass();
      } else if (which == 1) {
        std::size_t before = allocationCount;
        benchmark::DoNotOptimize(table->refresh_processes_specifics());
        refreshAllocations += allocationCount - before;
      } else if (which == 2) {
        sampler.lastRefreshAt.reset();  // no waiting for the 200 ms spacing
        records = sampling::collectSnapshot(sampler, self, {}, std::nullopt).processes.size();
      } else {
        smallSampler.lastRefreshAt.reset();
        smallRecords = sampling::collectSnapshot(smallSampler, smallTreeRoot, {}, std::nullopt)
                           .processes.size();
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
             median(times[3]),
             pids,
             records,
             smallRecords,
             static_cast<double>(refreshAllocations) / static_cast<double>(times[1].size())};
  state.counters["pids"] = static_cast<double>(pids);
  state.counters["a_us"] = results.bareUs;
  state.counters["b_us"] = results.refreshUs;
  state.counters["c_us"] = results.snapshotUs;
  state.counters["d_us"] = results.smallSnapshotUs;
  state.counters["b/a"] = results.refreshUs / results.bareUs;
  state.counters["c/a"] = results.snapshotUs / results.bareUs;
  state.counters["d/a"] = results.smallSnapshotUs / results.bareUs;
  state.counters["b_allocs"] = results.refreshAllocations;
}
// 48 rounds: each of the 24 orders twice.
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
    SmallTree tree;
    smallTreeRoot = tree.root();
    std::printf("sleeping children: %zu, small tree root: %u\n", children.size(), smallTreeRoot);
    benchmark::RunSpecifiedBenchmarks();
  }
  if (results.bareUs > 0) {
    std::printf("processes on the machine: %zu, records per snapshot: (c) %zu, (d) %zu\n",
                results.pids, results.snapshotRecords, results.smallSnapshotRecords);
    std::printf(
        "median (a) bare pass %.0f us (%.1f us per process), (b) refresh %.0f us, "
        "(c) snapshot %.0f us, (d) small snapshot %.0f us\n",
        results.bareUs, results.bareUs / static_cast<double>(results.pids), results.refreshUs,
        results.snapshotUs, results.smallSnapshotUs);
    std::printf("heap allocations per warm refresh: %.1f\n", results.refreshAllocations);
    std::printf("(b)/(a) = %.2f  (c)/(a) = %.2f  (targets: at most 1.2)\n",
                results.refreshUs / results.bareUs, results.snapshotUs / results.bareUs);
    std::printf("(d)/(a) = %.2f  (target: at most 0.5)\n",
                results.smallSnapshotUs / results.bareUs);
  }
  benchmark::Shutdown();
  return 0;
}
