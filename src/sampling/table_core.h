// What every platform's process table shares, written once: the entry map with its lifecycle, the
// rule that turns the machine's CPU counters into the interval a refresh divides CPU times by, and
// the file name of a path. A platform table only translates kernel records into entry fields.
// Everything here belongs to the thread that owns the table.
#pragma once

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/clock.h"
#include "sampling/process_table.h"

namespace procsampler::sampling {

// Entries keyed by pid, with the lifecycle every table follows. A refresh starts a sweep, gets or
// creates the entry of each pid it looks at (learning whether the pid was seen before), marks the
// entries it finds alive, and ends by sweeping away every entry it did not mark. Marking is kept
// apart from reading, so a refresh may keep an entry it has other news of without reading it, and
// an entry created for a process that turns out to be gone is swept like a vanished one.
// Entry is the platform's record and holds the `Process process` readers see. A reference to an
// entry stays valid until that entry is removed.
template <typename Entry>
class ProcessEntryMap {
 public:
  struct Slot {
    Entry& entry;
    bool seenBefore;  // false when this call created the entry
  };

  // Every entry counts as vanished until marked again.
  void startSweep() { ++sweep_; }
  // Counts sweeps; an entry may note it to tell whether something happened in this one.
  std::uint64_t sweepNumber() const { return sweep_; }

  Slot getOrCreate(Pid pid) {
    auto [stored, created] = entries_.try_emplace(pid);
    return {stored->second.entry, !created};
  }
  void markAlive(Pid pid) {
    if (auto stored = entries_.find(pid); stored != entries_.end()) stored->second.marked = sweep_;
  }
  // Removes every entry not marked since startSweep, handing each to `removed(pid, entry)` first.
  template <typename Removed>
  void sweepUnmarked(Removed&& removed) {
    for (auto item = entries_.begin(); item != entries_.end();) {
      if (item->second.marked == sweep_) {
        ++item;
        continue;
      }
      removed(item->first, item->second.entry);
      item = entries_.erase(item);
    }
  }
  void sweepUnmarked() {
    sweepUnmarked([](Pid, Entry&) {});
  }
  void erase(Pid pid) { entries_.erase(pid); }
  void clear() { entries_.clear(); }

  std::size_t size() const { return entries_.size(); }
  Entry* find(Pid pid) {
    auto stored = entries_.find(pid);
    return stored == entries_.end() ? nullptr : &stored->second.entry;
  }
  const Entry* find(Pid pid) const {
    auto stored = entries_.find(pid);
    return stored == entries_.end() ? nullptr : &stored->second.entry;
  }
  template <typename Visit>
  void forEach(Visit&& visit) const {
    for (const auto& item : entries_) visit(item.second.entry);
  }
  template <typename Visit>
  void forEach(Visit&& visit) {
    for (auto& item : entries_) visit(item.second.entry);
  }

 private:
  struct Stored {
    Entry entry;
    std::uint64_t marked = 0;  // the sweep that last marked it
  };
  std::unordered_map<Pid, Stored> entries_;
  std::uint64_t sweep_ = 0;
};

// A tree refresh for a kernel that lists a process's children: breadth first from the seeds, each
// pid's record, then its children. The platform reads a record and lists children; the walk
// queues, reads a pid listed twice (a traced process is listed under its tracer and its parent)
// once, and stops at its limit. Its queue is kept from one refresh to the next.
class TreeWalk {
 public:
  // Whether the trees grown from the seeds, as the entries hold them from the last refresh, have
  // at most `limit` processes, so that walking them is likely to pay; never with a limit of 0.
  template <typename Entry>
  static bool pays(const ProcessEntryMap<Entry>& entries, std::span<const Pid> seeds,
                   std::size_t limit) {
    if (limit == 0) return false;
    std::vector<const Process*> processes;
    processes.reserve(entries.size());
    entries.forEach([&processes](const Entry& entry) { processes.push_back(&entry.process); });
    return treeSize(processes, seeds) <= limit;
  }

  // lookedAt(pid): whether this refresh has asked for the pid's record already.
  // read(pid): asks for it; false when the pid has no process the table keeps, whose children
  // are then not listed (one gone has handed them on to another parent).
  // listChildren(pid, queue): appends its children to queue; false when the listing cannot be
  // trusted to hold every one.
  // False when a listing could not be trusted or the walk read more than `limit` processes: the
  // trees may hold processes it did not reach. What it read stays read.
  template <typename LookedAt, typename Read, typename ListChildren>
  bool run(std::span<const Pid> seeds, std::size_t limit, const LookedAt& lookedAt,
           const Read& read, const ListChildren& listChildren) {
    queue_.assign(seeds.begin(), seeds.end());
    std::size_t walked = 0;
    // The queue grows as it is read.
    for (std::size_t head = 0; head < queue_.size(); ++head) {
      const Pid pid = queue_[head];
      if (lookedAt(pid) || !read(pid)) continue;
      if (++walked > limit) return false;
      if (!listChildren(pid, queue_)) return false;
    }
    return true;
  }

 private:
  // The size of the trees the tree selection would grow from the seeds over these processes.
  static std::size_t treeSize(std::span<const Process* const> processes,
                              std::span<const Pid> seeds);

  std::vector<Pid> queue_;
};

// Refreshes closer together than this share one interval: CPU counters move in 10 ms ticks, so a
// shorter window would be mostly rounding.
inline constexpr std::chrono::milliseconds CPU_INTERVAL_REUSE{200};
// The shortest interval a CPU percentage is divided by, so an idle machine whose counters barely
// moved cannot inflate the figures.
inline constexpr std::chrono::milliseconds CPU_INTERVAL_FLOOR{200};

// The interval a refresh divides each process's CPU time by: the mean time that passed per CPU
// since the previous reading of the machine's counters, in whatever unit the platform's counters
// count.
class CpuIntervalRule {
 public:
  // unitsPerSecond: how many of the counters' units make one second of one CPU.
  explicit CpuIntervalRule(double unitsPerSecond);

  // Whether a refresh at `now` is to reuse last(): one was computed less than CPU_INTERVAL_REUSE
  // before, or the clock reads earlier than that computation. Otherwise the platform reads its
  // counters and records what they say, or gives this refresh 0 when they cannot be read.
  bool reuses(MonoTime now) const;
  double last() const { return last_; }
  // Records the interval computed at `now` from the mean elapsed time per CPU since the previous
  // reading of the counters: at least the floor, or 0 when there was no previous reading.
  double record(MonoTime now, std::optional<double> elapsedPerCpu);

 private:
  double floor_;
  std::optional<MonoTime> computedAt_;
  double last_ = 0.0;
};

// Where a process's CPU time was read: which refresh, and the sum of the refresh intervals then.
struct CpuMark {
  std::uint64_t refresh = 0;  // 0: never read
  double elapsed = 0.0;
};

// The span a CPU time difference is divided by when a source reads a process's CPU time at some
// refreshes only (as when it reads only what is reported): the intervals of every refresh since
// the earlier reading, so the percentage is the process's mean use over that span, and exactly
// the refresh's own interval when the earlier reading is from the refresh before.
class CpuSpans {
 public:
  // Once per refresh, before any reading, with the interval that refresh divides by (0: none).
  void add(double interval);
  // Stamps a reading taken in the current refresh.
  CpuMark mark() const { return {refresh_, elapsed_}; }
  // What a reading taken now divides its difference from the one stamped `earlier` by: 0 when
  // there was none, when it is from this refresh, or when a refresh since had no interval.
  double since(CpuMark earlier) const;

 private:
  std::uint64_t refresh_ = 0;
  std::uint64_t lastWithoutInterval_ = 0;
  double last_ = 0.0;
  double elapsed_ = 0.0;
};

// A CPU percent as a Process holds it: past the largest float (a span of almost nothing) it stays
// at that float rather than becoming infinite.
inline float toPercent(double value) {
  return static_cast<float>(std::min(value, static_cast<double>(FLT_MAX)));
}

// The machine's CPU use as percent of one CPU: the busy time of every CPU, in the counters' units,
// over the interval a refresh divides by. Absent when the refresh has no interval.
inline std::optional<float> machineCpuPercent(double busyUnits, double interval) {
  if (!(interval > 0.0)) return std::nullopt;
  return toPercent(busyUnits / interval * 100.0);
}

// The final component of a path as a file name: trailing separators and "." components are
// ignored; a path ending in the root or ".." has none (empty).
std::string_view finalComponent(std::string_view path);

}  // namespace procsampler::sampling
