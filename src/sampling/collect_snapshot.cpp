#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "common/saturating.h"
#include "common/utf8.h"
#include "sampling/process_sample.h"
#include "sampling/sampler.h"
#include "sampling/tree_selection.h"

namespace procsampler::sampling {
namespace {

// Refreshes closer together than this would make the table's CPU percentages meaningless, so a
// collection that comes too soon waits for the rest of the spacing.
void waitForSpacing(Sampler& sampler) {
  if (!sampler.lastRefreshAt) return;
  const MonoTime now = sampler.clock->monotonicNow();
  const auto elapsed =
      now > *sampler.lastRefreshAt ? now - *sampler.lastRefreshAt : MonoTime::duration::zero();
  if (elapsed < MIN_REFRESH_SPACING) sampler.clock->sleepFor(MIN_REFRESH_SPACING - elapsed);
}

std::uint64_t microsBetween(MonoTime start, MonoTime end) {
  if (end <= start) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
}

// Cuts the longest commands to the one length that brings the names and commands within
// SNAPSHOT_MAX_TEXT_BYTES, so that no process loses more of its command than a longer one.
void capTexts(std::vector<ProcessSample>& processes) {
  std::size_t total = 0;
  std::size_t names = 0;
  std::vector<std::size_t> lengths;
  lengths.reserve(processes.size());
  for (const ProcessSample& process : processes) {
    names += process.name.size();
    lengths.push_back(process.command.size());
    total += process.name.size() + process.command.size();
  }
  if (total <= SNAPSHOT_MAX_TEXT_BYTES) return;
  std::sort(lengths.begin(), lengths.end());
  std::size_t left = names < SNAPSHOT_MAX_TEXT_BYTES ? SNAPSHOT_MAX_TEXT_BYTES - names : 0;
  std::size_t cut = 0;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const std::size_t share = left / (lengths.size() - i);
    if (lengths[i] > share) {
      cut = share;
      break;
    }
    left -= lengths[i];
  }
  for (ProcessSample& process : processes) truncateUtf8(process.command, cut);
}

// The table need only look at the trees that can be reported: the root's and those of every
// external process, matched or not (matching needs their start times).
void refreshCandidateTrees(Sampler& sampler, Pid rootPid,
                           const ExternalProcessMap& externalProcesses) {
  std::vector<Pid> candidates;
  candidates.reserve(externalProcesses.size() + 1);
  candidates.push_back(rootPid);
  for (const auto& external : externalProcesses) candidates.push_back(external.first);
  sampler.table->refreshTrees(candidates);
}

// The external processes matched and the records of the selected trees, from the table as it
// is; selectedCount: how many were selected, some of which completion may have dropped.
Snapshot selectAndBuild(Sampler& sampler, Pid rootPid, const ExternalProcessMap& externalProcesses,
                        std::size_t& selectedCount) {
  const ProcessTable& table = *sampler.table;
  std::vector<ProcessLink> links;
  links.reserve(table.processCount());
  table.forEachProcess([&links](const Process& process) { links.push_back(linkOf(process)); });

  Snapshot snapshot;
  snapshot.machine = table.machineTotals();
  snapshot.externalProcesses = matchExternalProcesses(
      links, externalProcesses,
      sampler.exactStarts ? std::optional(table.startToleranceMs()) : std::nullopt);
  std::vector<Pid> seeds;
  seeds.reserve(snapshot.externalProcesses.size() + 1);
  for (const ExternalProcess& external : snapshot.externalProcesses) seeds.push_back(external.pid);
  seeds.push_back(rootPid);
  const std::vector<Pid> selected = selectProcessTrees(links, seeds);

  // The refresh may have read only what selection needs; the rest is read for the reported
  // processes alone. One that exited since the refresh is dropped here and counted inaccessible.
  sampler.table->completeProcesses(selected);
  snapshot.processes.reserve(selected.size());
  for (const Pid pid : selected) {
    if (const Process* process = table.find(pid)) {
      snapshot.processes.push_back(
          buildProcessSample(*process, sampler.withArgv, sampler.exactStarts));
    }
  }
  std::sort(snapshot.processes.begin(), snapshot.processes.end(),
            [](const ProcessSample& a, const ProcessSample& b) { return a.pid < b.pid; });
  capTexts(snapshot.processes);
  selectedCount = selected.size();
  return snapshot;
}

}  // namespace

void refreshTreesForExits(Sampler& sampler, Pid rootPid,
                          const ExternalProcessMap& externalProcesses) {
  refreshCandidateTrees(sampler, rootPid, externalProcesses);
}

void refreshTable(Sampler& sampler) {
  sampler.table->refreshAll();
  sampler.lastRefreshAt = sampler.clock->monotonicNow();
}

Snapshot collectSnapshot(Sampler& sampler, Pid rootPid, const ExternalProcessMap& externalProcesses,
                         std::optional<std::string> requestId) {
  waitForSpacing(sampler);
  const MonoTime start = sampler.clock->monotonicNow();
  refreshCandidateTrees(sampler, rootPid, externalProcesses);
  sampler.lastRefreshAt = sampler.clock->monotonicNow();
  // Before completion, which drops a process that exited since the refresh.
  const std::size_t scanned = sampler.table->machineProcessCount();
  std::size_t selectedCount = 0;
  Snapshot snapshot = selectAndBuild(sampler, rootPid, externalProcesses, selectedCount);
  snapshot.scannedProcessCount = scanned;
  snapshot.retainedProcessCount = snapshot.processes.size();
  snapshot.inaccessibleProcessCount = selectedCount - snapshot.processes.size();

  sampler.lastSequence = saturatingAdd(sampler.lastSequence, 1);
  snapshot.sequence = sampler.lastSequence;
  snapshot.sampledAtUnixMs = unixMillis(sampler.clock->wallNow());
  snapshot.collectionDurationMicros = microsBetween(start, sampler.clock->monotonicNow());
  snapshot.requestId = std::move(requestId);
  return snapshot;
}

std::vector<ProcessSample> collectRecords(Sampler& sampler, Pid rootPid,
                                          const ExternalProcessMap& externalProcesses) {
  std::size_t selectedCount = 0;
  return selectAndBuild(sampler, rootPid, externalProcesses, selectedCount).processes;
}

}  // namespace procsampler::sampling
