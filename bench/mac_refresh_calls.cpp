// How many kernel calls the macOS table makes for one snapshot, counted on the model of xnu the
// tests use (tests/fakes/fake_darwin_kernel.h), so it runs anywhere. A machine of 600 processes as
// a user's sidecar sees it: launchd and 249 daemons of root's, 300 of the user's own with a few
// threads each, 40 zombies, and a separate tree of 10 processes of the user's. Prints, per kind of
// call, the calls of one snapshot of the small tree and of the whole machine, each on a warm table
// (the same snapshot taken just before), and checks them against the bound: one listing, one call
// per unreported pid, at most READ_PER_REPORTED per reported pid and one per thread read.
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

constexpr std::int32_t TREE_ROOT = 5000;
// The refresh's own call, then the argument area's probe and copy, the disk totals, the thread
// list, and the check that the refresh's process still holds the pid.
constexpr std::size_t READ_PER_REPORTED = 6;

void buildMachine(FakeDarwinKernel& kernel) {
  kernel.sidecar_uid = testing::USER;
  auto add = [&](FakeMacProcess p) { kernel.processes.push_back(std::move(p)); };
  add({.pid = 1, .ppid = 0, .uid = testing::ROOT, .path = "/sbin/launchd"});
  for (std::int32_t pid = 100; pid < 349; ++pid) {
    add({.pid = pid, .uid = testing::ROOT, .path = "/usr/libexec/daemon"});
  }
  for (std::int32_t pid = 1000; pid < 1300; ++pid) {  // the user's apps, some of them busy
    add({.pid = pid,
         .path = "/Applications/App.app/Contents/MacOS/App",
         .argv = {"App", "-psn"},
         .threads = {{1, pid % 5 == 0 ? mac::RUN_STATE_RUNNING : mac::RUN_STATE_WAITING},
                     {2, mac::RUN_STATE_WAITING},
                     {3, mac::RUN_STATE_WAITING}}});
  }
  for (std::int32_t pid = 2000; pid < 2040; ++pid) {
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

// Calls of the second of two snapshots of the root's tree, 1 s apart, by kind.
std::map<std::string, std::size_t> callsOfSnapshot(sampling::Pid root, std::size_t& reported) {
  FakeDarwinKernel kernel;
  buildMachine(kernel);
  testing::FakeClock clock;
  sampling::Sampler sampler(std::make_unique<sampling::macos::MacProcessTable>(kernel, clock),
                            clock);
  sampling::collectSnapshot(sampler, root, {}, std::nullopt);
  clock.advance(std::chrono::seconds(1));
  kernel.passTicks(100);
  kernel.calls.clear();
  reported = sampling::collectSnapshot(sampler, root, {}, std::nullopt).processes.size();
  std::map<std::string, std::size_t> byKind;
  for (const std::string& call : kernel.calls) ++byKind[call.substr(0, call.find(' '))];
  return byKind;
}

bool report(const char* what, sampling::Pid root) {
  std::size_t reported = 0;
  const auto calls = callsOfSnapshot(root, reported);
  FakeDarwinKernel machine;
  buildMachine(machine);
  const std::size_t pids = machine.processes.size(), unreported = pids - reported;
  std::size_t total = 0;
  std::printf("%s: %zu of %zu pids reported\n", what, reported, pids);
  for (const auto& [kind, count] : calls) {
    std::printf("  %-8s %6zu\n", kind.c_str(), count);
    total += count;
  }
  const std::size_t listing = calls.count("list") ? calls.at("list") : 0;
  const std::size_t threads = calls.count("thread") ? calls.at("thread") : 0;
  const std::size_t perPid = total - listing - (calls.count("cpu") ? calls.at("cpu") : 0);
  const std::size_t bound = unreported + READ_PER_REPORTED * reported + threads;
  std::printf(
      "  total %zu: listing %zu (count, then pids), per-pid %zu; bound %zu + %zu x %zu + "
      "%zu threads = %zu: %s\n",
      total, listing, perPid, unreported, READ_PER_REPORTED, reported, threads, bound,
      perPid <= bound ? "holds" : "FAILS");
  return perPid <= bound;
}

}  // namespace

int main() {
  const bool tree = report("snapshot of a 10-process tree", TREE_ROOT);
  const bool machine = report("snapshot of the whole machine (the tree of launchd)", 1);
  return tree && machine ? 0 : 1;
}
