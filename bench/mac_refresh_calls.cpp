// How many kernel calls, and how many walks of the kernel's whole process list, the macOS table
// makes for one snapshot, counted on the model of xnu the tests use
// (tests/fakes/fake_darwin_kernel.h), so it runs anywhere. Machines of 600 and 3000 processes:
// launchd, root's daemons, a user's apps with a few threads each (one in five busy), zombies, and
// a separate tree of 10 processes of the user's; the sidecar runs as that user or as root.
// Prints, per kind of call, the calls of one snapshot of the small tree and of the whole machine,
// each on a warm table (the same snapshot taken a second before), and checks them against their
// bounds: the tree's calls the same on both machines and at most TREE_CALLS; the whole machine's
// at most one per unreported pid and PER_REPORTED per reported pid, besides the threads read and
// the calls once per snapshot, in at most MACHINE_WALKS list walks.
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
// A snapshot of a 10-process tree: what a host polling its own children every second pays.
constexpr std::size_t TREE_CALLS = 80;
// A reported process of a refresh that reads the whole machine: its record, the argument area's
// probe and copy, the disk totals, the thread list and the check that the refresh's process still
// holds the pid.
constexpr std::size_t PER_REPORTED = 6;
// Calls once per snapshot: the listing (count, then pids), the CPU load, and kinfo_proc of the
// whole machine (size probe, then records) for a user's sidecar.
constexpr std::size_t PER_SNAPSHOT = 5;
// Walks of the process list for the whole machine: the listing, and kinfo_proc of every process
// with its size probe.
constexpr std::size_t MACHINE_WALKS = 3;

// `total` processes: a fifteenth of them zombies, half apps, the rest root's.
void buildMachine(FakeDarwinKernel& kernel, std::int32_t total) {
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
  std::size_t walks = 0;
  std::size_t reported = 0;
  std::size_t pids = 0;
  std::size_t count(const std::string& kind) const {
    return calls.count(kind) ? calls.at(kind) : 0;
  }
};

// The calls of the second of two snapshots of the root's tree, 1 s apart.
Measured measure(std::int32_t machineSize, sampling::Pid root, std::uint32_t sidecarUid) {
  FakeDarwinKernel kernel;
  kernel.sidecar_uid = sidecarUid;
  buildMachine(kernel, machineSize);
  testing::FakeClock clock;
  sampling::Sampler sampler(std::make_unique<mac::MacProcessTable>(kernel, clock), clock);
  sampling::collectSnapshot(sampler, root, {}, std::nullopt);
  clock.advance(std::chrono::seconds(1));
  kernel.passTicks(100);
  kernel.calls.clear();
  kernel.walks = 0;
  Measured measured;
  measured.reported = sampling::collectSnapshot(sampler, root, {}, std::nullopt).processes.size();
  measured.pids = kernel.processes.size();
  measured.total = kernel.calls.size();
  measured.walks = kernel.walks;
  for (const std::string& call : kernel.calls) ++measured.calls[call.substr(0, call.find(' '))];
  return measured;
}

void print(const std::string& what, const Measured& measured) {
  std::printf("%s: %zu of %zu pids reported, %zu calls, %zu list walks\n ", what.c_str(),
              measured.reported, measured.pids, measured.total, measured.walks);
  for (const auto& [kind, count] : measured.calls) std::printf(" %s %zu", kind.c_str(), count);
  std::printf("\n");
}

}  // namespace

int main() {
  bool holds = true;
  for (const std::uint32_t uid : {testing::USER, testing::ROOT}) {
    const char* who = uid == testing::ROOT ? "root" : "a user";
    std::size_t treeCalls[2] = {};
    for (const std::int32_t size : {600, 3000}) {
      const std::string label = "sidecar of " + std::string(who) + ", machine of " +
                                std::to_string(size) + ", snapshot of ";
      const Measured tree = measure(size, TREE_ROOT, uid);
      print(label + "a 10-process tree", tree);
      std::printf("  %.1f calls per tree process; bound %zu: %s\n",
                  static_cast<double>(tree.total) / static_cast<double>(tree.reported), TREE_CALLS,
                  tree.total <= TREE_CALLS ? "holds" : "FAILS");
      holds = holds && tree.total <= TREE_CALLS;
      treeCalls[size == 600 ? 0 : 1] = tree.total;

      const Measured machine = measure(size, 1, uid);
      print(label + "the whole machine (the tree of launchd)", machine);
      const std::size_t unreported = machine.pids - machine.reported;
      const std::size_t machineBound =
          PER_SNAPSHOT + unreported + PER_REPORTED * machine.reported + machine.count("thread");
      const bool machineHolds = machine.total <= machineBound && machine.walks <= MACHINE_WALKS;
      std::printf("  bound %zu + %zu + %zu x %zu + %zu threads = %zu calls, %zu walks: %s\n",
                  PER_SNAPSHOT, unreported, PER_REPORTED, machine.reported, machine.count("thread"),
                  machineBound, MACHINE_WALKS, machineHolds ? "holds" : "FAILS");
      holds = holds && machineHolds;
    }
    const bool flat = treeCalls[0] == treeCalls[1];
    std::printf("sidecar of %s, tree snapshot: %zu calls on 600 processes, %zu on 3000: %s\n\n",
                who, treeCalls[0], treeCalls[1],
                flat ? "independent of the machine" : "GROWS WITH THE MACHINE");
    holds = holds && flat;
  }
  return holds ? 0 : 1;
}
