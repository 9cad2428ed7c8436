// An in-memory process table for tests above the table contract: the test fills and edits the
// entries, and every refresh is timed by the given clock and every completion recorded, so tests
// can check how often, when and for what the code under test asked.
#pragma once

#include <functional>
#include <unordered_map>

#include "sampling/process_table.h"

namespace procsampler::testing {

class FakeProcessTable final : public sampling::ProcessTable {
 public:
  // The clock must outlive the table.
  explicit FakeProcessTable(Clock* clock) : clock_(clock) {}

  void set(sampling::Process process) { entries_.insert_or_assign(process.pid, process); }
  void remove(sampling::Pid pid) { entries_.erase(pid); }

  // Runs inside every refresh, after its instant is recorded: what changes between two looks.
  std::function<void(FakeProcessTable&)> onRefresh;
  // Runs inside every completion: what it finds, such as a process that exited since the refresh.
  std::function<void(FakeProcessTable&)> onComplete;
  std::vector<std::vector<sampling::Pid>> completions;  // the pids of every completion, in order

  const std::vector<MonoTime>& refreshInstants() const { return refreshInstants_; }

  std::size_t refreshAll() override {
    refreshInstants_.push_back(clock_->monotonicNow());
    if (onRefresh) onRefresh(*this);
    return entries_.size();
  }
  void completeProcesses(std::span<const sampling::Pid> pids) override {
    completions.emplace_back(pids.begin(), pids.end());
    if (onComplete) onComplete(*this);
  }
  std::size_t processCount() const override { return entries_.size(); }
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
