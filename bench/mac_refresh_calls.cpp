// How many kernel calls the macOS table makes for one snapshot, counted on the model of xnu the
// tests use (tests/fakes/fake_darwin_kernel.h), so it runs anywhere. Machines of 600 and 3000
// processes as a user's sidecar sees them: launchd, root's daemons, the user's own apps with a few
// threads each (one in five busy), zombies, and a separate tree of 10 processes of the user's.
// Prints, per kind of call, the calls of one snapshot of the small tree and of the whole machine,
// each on a warm table (the same snapshot taken a second before), and checks them against their
// bounds: the tree's calls the same on both machines, at most PER_TREE_PROCESS per process of it
// besides the listing and the CPU load; the whole machine's at most one per unreported pid and
// PER_REPORTED per reported pid, besides the threads read.
// Not a Google Benchmark: the figures are counts, not times. Exit status 1 when a bound fails.
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "fakes/fake_clock.h"
#include "fakes/fake_darwin_kernel.h"
#include "sampling/macos/mac_process_table.h"
#include "sampling/sampler.h"

namespace {

using namespace procsampler;
using testing::FakeDarwinKernel;
using testing::FakeMacProcess;
namespace mac = sampling::macos;
using Calls = std::map<std::string, std::size_t>;

constexpr std::int32_t TREE_ROOT = 50'000;
constexpr std::size_t TREE_SIZE = 10;
// A tree process: its record and its children's listing, then, reported, the argument area's
// probe and copy, the disk totals, the thread list and the check that the refresh's process still
// holds the pid.
constexpr std::size_t PER_TREE_PROCESS = 7;
// A reported process of a refresh that reads the whole machine: the same but for the listing of
// its children.
constexpr std::size_t PER_REPORTED = 6;
// Calls once per snapshot: the listing (count, then pids) and the CPU load.
constexpr std::size_t PER_SNAPSHOT = 3;

// `total` processes: a fifteenth of them zombies, half apps, the rest root's.
void buildMachine(FakeDarwinKernel& kernel, std::int32_t total) {
  kernel.sidecar_uid = testing::USER;
  auto add = [&](FakeMacProcess p) { kernel.processes.push_back(std::move(p)); };
  add({.pid = 1, .ppid = 0, .uid = testing::ROOT, .path = "/sbin/launchd"});
  const std::int32_t zombies = total / 15, apps = total / 2;
  const std::int32_t daemons = total - 1 - zombies - apps - static_cast<std::int32_t>(TREE_SIZE);
  for (std::int32_t pid = 100; pid < 100 + daemons; ++pid) {
    add({.pid = pid, .uid = testing::ROOT, .path = "/usr/libexec/daemon"});
  }
  for (std::int32_t pid = 10'000; pid < 10'000 + apps; ++pid) {
    add({.pid = pid,
         .path = "/Applications/App.app/Contents/MacOS/App",
         .argv = {"App", "-psn"},
         .threads = {{1, pid % 5 == 0 ? mac::RUN_STATE_RUNNING : mac::RUN_STATE_WAITING},
                     {2, mac::RUN_STATE_WAITING},
                     {3, mac::RUN_STATE_WAITING}}});
  }
  for (std::int32_t pid = 40'000; pid < 40'000 + zombies; ++pid) {
    add({.pid = pid, .stat = mac::STATUS_ZOMBIE, .path = "/bin/sh"});
  }
  for (std::int32_t i = 0; i < 9; ++i) {  // the small tree: a root, a child, its seven children
    add({.pid = TREE_ROOT + i,
         .ppid = i == 0   ? 1u
                 : i == 1 ? TREE_ROOT
                          : TREE_ROOT + 1,
         .path = "/usr/local/bin/node",
         .argv = {"node", "worker.js", std::to_string(i)}});
  }
  add({.pid = TREE_ROOT + 9,
       .ppid = TREE_ROOT + 0u,
       .stat = mac::STATUS_ZOMBIE,
       .path = "/bin/sh"});
}

struct Measured {
  Calls calls;  // by kind
  std::size_t total = 0;
  std::size_t reported = 0;
  std::size_t pids = 0;
  std::size_t count(const std::string& kind) const {
    return calls.count(kind) ? calls.at(kind) : 0;
  }
};

// The calls of the second of two snapshots of the root's tree, 1 s apart.
Measured measure(std::int32_t machineSize, sampling::Pid root) {
  FakeDarwinKernel kernel;
  buildMachine(kernel, machineSize);
  testing::FakeClock clock;
  sampling::Sampler sampler(std::make_unique<mac::MacProcessTable>(kernel, clock), clock);
  sampling::collectSnapshot(sampler, root, {}, std::nullopt);
  clock.advance(std::chrono::seconds(1));
  kernel.passTicks(100);
  kernel.calls.clear();
  Measured measured;
  measured.reported = sampling::collectSnapshot(sampler, root, {}, std::nullopt).processes.size();
  measured.pids = kernel.processes.size();
  measured.total = kernel.calls.size();
  for (const std::string& call : kernel.calls) ++measured.calls[call.substr(0, call.find(' '))];
  return measured;
}

void print(const char* what, const Measured& measured) {
  std::printf("%s: %zu of %zu pids reported, %zu calls\n ", what, measured.reported, measured.pids,
              measured.total);
  for (const auto& [kind, count] : measured.calls) std::printf(" %s %zu", kind.c_str(), count);
  std::printf("\n");
}

}  // namespace

int main() {
  bool holds = true;
  std::size_t treeCalls[2] = {};
  for (const std::int32_t size : {600, 3000}) {
    const Measured tree = measure(size, TREE_ROOT);
    const std::string label = "machine of " + std::to_string(size);
    print((label + ", snapshot of a 10-process tree").c_str(), tree);
    const std::size_t treeBound =
        PER_SNAPSHOT + PER_TREE_PROCESS * tree.reported + tree.count("thread");
    std::printf("  %.1f calls per tree process; bound %zu + %zu x %zu + %zu threads = %zu: %s\n",
                static_cast<double>(tree.total) / static_cast<double>(tree.reported), PER_SNAPSHOT,
                PER_TREE_PROCESS, tree.reported, tree.count("thread"), treeBound,
                tree.total <= treeBound ? "holds" : "FAILS");
    holds = holds && tree.total <= treeBound;
    treeCalls[size == 600 ? 0 : 1] = tree.total;

    const Measured machine = measure(size, 1);
    print((label + ", snapshot of the whole machine (the tree of launchd)").c_str(), machine);
    const std::size_t unreported = machine.pids - machine.reported;
    const std::size_t machineBound =
        PER_SNAPSHOT + unreported + PER_REPORTED * machine.reported + machine.count("thread");
    std::printf("  bound %zu + %zu + %zu x %zu + %zu threads = %zu: %s\n", PER_SNAPSHOT, unreported,
                PER_REPORTED, machine.reported, machine.count("thread"), machineBound,
                machine.total <= machineBound ? "holds" : "FAILS");
    holds = holds && machine.total <= machineBound;
  }
  const bool flat = treeCalls[0] == treeCalls[1];
  std::printf("tree snapshot: %zu calls on 600 processes, %zu on 3000: %s\n", treeCalls[0],
              treeCalls[1], flat ? "independent of the machine" : "GROWS WITH THE MACHINE");
  return holds && flat ? 0 : 1;
}
