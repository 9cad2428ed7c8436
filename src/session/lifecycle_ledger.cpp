#include "session/lifecycle_ledger.h"

#include <cstdint>
#include <iterator>

#include "sampling/tree_selection.h"

namespace procsampler::session {
namespace {

bool isZombie(sampling::ProcessStatusKind kind) {
  return kind == sampling::ProcessStatusKind::Zombie || kind == sampling::ProcessStatusKind::Dead;
}

// Whether the process of this record has exited by the table's account. The record's start is
// exact or in whole seconds, as the collection wrote it.
bool exitedIn(const sampling::ProcessTable& table, const sampling::ProcessSample& record) {
  const sampling::Process* process = table.find(record.pid);
  if (process == nullptr || isZombie(process->status.kind)) return true;
  return sampling::exactStartMillis(*process) != record.startTimeMs &&
         sampling::startMillis(*process) != record.startTimeMs;
}

}  // namespace

LifecycleNews LifecycleLedger::afterCollection(std::span<const sampling::ProcessSample> records,
                                               const sampling::ProcessTable& table) {
  LifecycleNews news;
  // Both are ascending by pid, so one pass pairs them.
  auto told = told_.begin();
  // The processes told of below upTo that the records lack.
  const auto forgetOrExit = [&](std::uint64_t upTo) {
    while (told != told_.end() && told->first < upTo) {
      if (!told->second.exitTold && exitedIn(table, told->second.record)) {
        news.exited.push_back(std::move(told->second.record));
      }
      told = told_.erase(told);
    }
  };
  for (const sampling::ProcessSample& record : records) {
    forgetOrExit(record.pid);
    const bool zombie = record.status == "Zombie" || record.status == "Dead";
    if (told != told_.end() && told->first == record.pid &&
        told->second.record.startTimeMs != record.startTimeMs) {
      // The pid went to another process between two looks.
      if (!told->second.exitTold) news.exited.push_back(std::move(told->second.record));
      told = told_.erase(told);
    }
    if (told != told_.end() && told->first == record.pid) {
      if (zombie && !told->second.exitTold) news.exited.push_back(record);
      told->second = Told{record, told->second.exitTold || zombie};
      ++told;
      continue;
    }
    // A process first seen dead is told of neither way: no record shows it alive.
    if (!zombie) news.started.push_back(record);
    told = std::next(told_.emplace_hint(told, record.pid, Told{record, zombie}));
  }
  forgetOrExit(std::uint64_t{1} << 32);
  return news;
}

std::vector<sampling::ProcessSample> LifecycleLedger::exitsIn(const sampling::ProcessTable& table) {
  std::vector<sampling::ProcessSample> exited;
  for (auto told = told_.begin(); told != told_.end();) {
    if (told->second.exitTold || !exitedIn(table, told->second.record)) {
      ++told;
    } else if (table.find(told->first) != nullptr &&
               isZombie(table.find(told->first)->status.kind)) {
      told->second.exitTold = true;  // still in the trees until reaped
      exited.push_back(told->second.record);
      ++told;
    } else {
      exited.push_back(std::move(told->second.record));
      told = told_.erase(told);
    }
  }
  return exited;
}

}  // namespace procsampler::session
