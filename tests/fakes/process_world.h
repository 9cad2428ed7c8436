// A world of processes that a table source looks at, behind one interface, so one suite can hold
// every table source to the same tree-selection contract; and the few helpers that the tests of
// the scripted and the live tables share. A world owns its table; spawn and exit take effect at
// the next refresh at the latest. The fixture collects through the world's table with a scripted
// clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "fakes/fake_clock.h"
#include "sampling/sampler.h"

namespace procsampler::testing {

struct WorldProcess {
  sampling::Pid pid = 0, ppid = 0;  // ppid 0: no parent
  std::uint64_t startSeconds = 0;
  std::string name = "proc";
  std::vector<std::string> arguments{};
};

class ProcessWorld {
 public:
  virtual ~ProcessWorld() = default;
  // Starts a process, or replaces the one with the same pid (pid reuse when the start differs).
  virtual void spawn(const WorldProcess& process) = 0;
  virtual void exit(sampling::Pid pid) = 0;
  // The table that looks at this world; it lives as long as the world.
  virtual sampling::ProcessTable& table() = 0;
};

// Builds an empty world whose table reads time from the given clock (which outlives the world).
using ProcessWorldFactory = std::function<std::unique_ptr<ProcessWorld>(Clock&)>;

// The pids a table holds, in order.
inline std::vector<sampling::Pid> pidsOf(const sampling::ProcessTable& table) {
  std::vector<sampling::Pid> pids;
  table.forEachProcess([&pids](const sampling::Process& p) { pids.push_back(p.pid); });
  std::ranges::sort(pids);
  return pids;
}

// A table's entry for pid; throws when it holds none, so the test fails instead of crashing.
inline const sampling::Process& entryOf(const sampling::ProcessTable& table, sampling::Pid pid) {
  return table.find(pid) ? *table.find(pid) : throw std::out_of_range(std::to_string(pid));
}

// A full refresh, then completion of every entry, as if every process were reported.
inline void refreshAll(sampling::ProcessTable& table) {
  table.refreshAll();
  table.completeProcesses(pidsOf(table));
}

// Lends a world's table to a Sampler, which wants to own one; with readAll, as a table that reads
// everything: every refresh a full one, every completion of every entry.
class BorrowedTable final : public sampling::ProcessTable {
 public:
  explicit BorrowedTable(sampling::ProcessTable& table, bool readAll = false)
      : table_(table), readAll_(readAll) {}
  std::size_t refreshAll() override { return table_.refreshAll(); }
  void refreshTrees(std::span<const sampling::Pid> seeds) override {
    readAll_ ? static_cast<void>(table_.refreshAll()) : table_.refreshTrees(seeds);
  }
  void completeProcesses(std::span<const sampling::Pid> pids) override {
    readAll_ ? table_.completeProcesses(pidsOf(table_)) : table_.completeProcesses(pids);
  }
  std::size_t processCount() const override { return table_.processCount(); }
  std::size_t machineProcessCount() const override { return table_.machineProcessCount(); }
  sampling::MachineTotals machineTotals() const override { return table_.machineTotals(); }
  const sampling::Process* find(sampling::Pid pid) const override { return table_.find(pid); }
  void forEachProcess(const std::function<void(const sampling::Process&)>& visit) const override {
    table_.forEachProcess(visit);
  }

 private:
  sampling::ProcessTable& table_;
  bool readAll_;
};

// Its cases live in tests/sampling/collect_snapshot_test.cpp; a table source joins it with
// INSTANTIATE_TEST_SUITE_P over ProcessWorldFactory values.
class TreeSelectionContract : public ::testing::TestWithParam<ProcessWorldFactory> {
 protected:
  sampling::Snapshot collect(sampling::Pid rootPid, const sampling::ExternalProcessMap& external) {
    return sampling::collectSnapshot(sampler_, rootPid, external, std::nullopt);
  }

  FakeClock clock_;
  std::unique_ptr<ProcessWorld> world_ = GetParam()(clock_);
  sampling::Sampler sampler_{std::make_unique<BorrowedTable>(world_->table()), clock_};
};

}  // namespace procsampler::testing
