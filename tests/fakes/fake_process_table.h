// An in-memory process table for tests above the table contract: the test fills and edits the
// entries, and every refresh is timed by the given clock and every completion recorded, so tests
// can check how often, when and for what the code under test asked.
#pragma once

#include <functional>
#include <unordered_map>

#include "sampling/process_table.h"

namespace procsampler::testing {

// A table entry with the fields tree selection looks at (given in field order); the rest keep
// their defaults.
inline sampling::Process makeProcess(sampling::Pid pid, std::optional<sampling::Pid> parent,
                                     std::uint64_t startSeconds, std::string name = "proc") {
  return {pid, parent, std::move(name), {}, {}, 0.0f, 0, 0, 0, 0, 0, startSeconds};
}

class FakeProcessTable final : public sampling::ProcessTable {
 public:
  // The clock must outlive the table.
  explicit FakeProcessTable(Clock* clock) : clock_(clock) {}

  // Inserts the entry, replacing any entry with the same pid.
  void set(sampling::Process process) { entries_.insert_or_assign(process.pid, process); }
  void remove(sampling::Pid pid) { entries_.erase(pid); }

  // Runs inside every refresh, after its instant is recorded: what changes between two looks.
  std::function<void(FakeProcessTable&)> onRefresh;
  // Runs inside every completion: what it finds, such as a process that exited since the refresh.
  std::function<void(FakeProcessTable&, std::span<const sampling::Pid>)> onComplete;
  std::vector<std::vector<sampling::Pid>> completions;  // the pids of every completion, in order
  std::vector<std::vector<sampling::Pid>> treeSeeds;    // the seeds of every tree refresh, in order
  std::optional<std::size_t> machineCount;  // what machineProcessCount says; else the entry count

  std::size_t refreshCount() const { return refreshInstants_.size(); }
  const std::vector<MonoTime>& refreshInstants() const { return refreshInstants_; }

  std::size_t refresh_processes_specifics() override {
    refreshInstants_.push_back(clock_->monotonicNow());
    if (onRefresh) onRefresh(*this);
    return entries_.size();
  }
  void refreshTrees(std::span<const sampling::Pid> seeds) override {
    treeSeeds.emplace_back(seeds.begin(), seeds.end());
    refresh_processes_specifics();
  }
  void completeProcesses(std::span<const sampling::Pid> pids) override {
    completions.emplace_back(pids.begin(), pids.end());
    if (onComplete) onComplete(*this, pids);
  }
  std::size_t processCount() const override { return entries_.size(); }
  std::size_t machineProcessCount() const override {
    return machineCount.value_or(entries_.size());
  }
  const sampling::Process* find(sampling::Pid pid) const override {
    const auto found = entries_.find(pid);
    return found == entries_.end() ? nullptr : &found->second;
  }
  void forEachProcess(const std::function<void(const sampling::Process&)>& visit) const override {
    for (const auto& [pid, process] : entries_) visit(process);
  }

 private:
  Clock* clock_;
  std::unordered_map<sampling::Pid, sampling::Process> entries_;
  std::vector<MonoTime> refreshInstants_;
};

}  // namespace procsampler::testing
