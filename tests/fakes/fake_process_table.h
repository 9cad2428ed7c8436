// An in-memory process table for tests above the table contract: the test fills and edits the
// entries, and every refresh is counted (and timed when a clock is given) and every completion
// recorded, so tests can check how often, when and for what the code under test asked. Entries
// edited by the test are visible at once.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "sampling/process_table.h"

namespace procsampler::testing {

// A table entry with the fields tree selection looks at; the rest keep their defaults.
inline sampling::Process makeProcess(sampling::Pid pid, std::optional<sampling::Pid> parent,
                                     std::uint64_t startSeconds, std::string name = "proc") {
  sampling::Process process;
  process.pid = pid;
  process.parent_pid = parent;
  process.start_time_s = startSeconds;
  process.name = std::move(name);
  return process;
}

class FakeProcessTable final : public sampling::ProcessTable {
 public:
  // With a clock, each refresh records the clock's monotonic reading; the clock must outlive this.
  explicit FakeProcessTable(Clock* clock = nullptr) : clock_(clock) {}

  // Inserts the entry, replacing any entry with the same pid.
  void set(sampling::Process process) {
    const sampling::Pid pid = process.pid;
    entries_.insert_or_assign(pid, std::move(process));
  }
  void remove(sampling::Pid pid) { entries_.erase(pid); }
  void clear() { entries_.clear(); }

  // Runs inside every refresh, after the instant is recorded: a script of what changes in the
  // world between two looks at it (new processes, exits, time spent refreshing).
  std::function<void(FakeProcessTable&)> onRefresh;

  // Runs inside every completion with the pids given: what a completion finds, such as a
  // process that exited since the refresh (removed) or details read only now (edited).
  std::function<void(FakeProcessTable&, std::span<const sampling::Pid>)> onComplete;
  // The pids of every completion, in the order given.
  std::vector<std::vector<sampling::Pid>> completions;

  std::size_t refreshCount() const { return refreshInstants_.size(); }
  // One reading per refresh when a clock was given; otherwise default instants.
  const std::vector<MonoTime>& refreshInstants() const { return refreshInstants_; }

  std::size_t refresh_processes_specifics() override {
    refreshInstants_.push_back(clock_ != nullptr ? clock_->monotonicNow() : MonoTime{});
    if (onRefresh) onRefresh(*this);
    return entries_.size();
  }

  void completeProcesses(std::span<const sampling::Pid> pids) override {
    completions.emplace_back(pids.begin(), pids.end());
    if (onComplete) onComplete(*this, pids);
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
