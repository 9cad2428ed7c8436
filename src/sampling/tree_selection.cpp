#include "sampling/tree_selection.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <unordered_set>

#include "common/saturating.h"

namespace procsampler::sampling {
namespace {

struct Node {
  Pid pid;
  std::uint64_t startMs;
  friend bool operator==(const Node&, const Node&) = default;
};

struct NodeHash {
  std::size_t operator()(const Node& node) const noexcept {
    // The start is a multiple of 1000 for every real process; mixing it keeps pairs of one pid
    // apart.
    const std::uint64_t mixed = (node.startMs * 0x9E3779B97F4A7C15ULL) ^ node.pid;
    return std::hash<std::uint64_t>{}(mixed);
  }
};

}  // namespace

std::uint64_t startMillis(const Process& process) {
  return saturatingMul(process.start_time_s, 1000);
}

std::uint64_t exactStartMillis(const Process& process) {
  return process.start_time_ms.value_or(startMillis(process));
}

ProcessLink linkOf(const Process& process) {
  return {process.pid, process.parent_pid.value_or(0), startMillis(process),
          exactStartMillis(process)};
}

std::vector<ExternalProcess> matchExternalProcesses(std::span<const ProcessLink> links,
                                                    const ExternalProcessMap& externalProcesses,
                                                    std::optional<std::uint64_t> exactWithin) {
  std::vector<ExternalProcess> matched;
  if (externalProcesses.empty()) return matched;
  for (const ProcessLink& link : links) {
    const auto wanted = externalProcesses.find(link.pid);
    if (wanted == externalProcesses.end()) continue;
    if (const std::optional<std::uint64_t> given = wanted->second) {
      // A start with a millisecond part came from a version 3 record (or a host that knows as
      // much), so it tells apart two processes of one second; a whole second only names the second.
      const bool exact = exactWithin && *given % 1000 != 0;
      const std::uint64_t apart =
          *given > link.exactStartMs ? *given - link.exactStartMs : link.exactStartMs - *given;
      if (exact ? apart > *exactWithin : *given - *given % 1000 != link.startMs) continue;
    }
    matched.push_back({link.pid, exactWithin ? link.exactStartMs : link.startMs});
  }
  std::sort(matched.begin(), matched.end(),
            [](const ExternalProcess& a, const ExternalProcess& b) { return a.pid < b.pid; });
  return matched;
}

std::vector<Pid> selectProcessTrees(std::span<const ProcessLink> links,
                                    std::span<const Pid> seeds) {
  std::unordered_map<Pid, std::vector<Node>> childrenByParent;
  std::unordered_map<Pid, std::uint64_t> startByPid;
  childrenByParent.reserve(links.size());
  startByPid.reserve(links.size());
  for (const ProcessLink& link : links) {
    childrenByParent[link.parentPid].push_back({link.pid, link.startMs});
    startByPid.emplace(link.pid, link.startMs);
  }

  // A first-in first-out queue kept as a vector read from the front. Each pid has one start, so
  // each children list is queued once at most and the vector stays within seeds + links entries.
  std::vector<Node> queue;
  queue.reserve(seeds.size() + links.size());
  for (const Pid seed : seeds) {
    const auto start = startByPid.find(seed);
    if (start != startByPid.end()) queue.push_back({seed, start->second});
  }

  // Keyed by the pair, as the walk is; since a table holds each pid once, every pid has a single
  // start and a pair visited once is also a pid selected once.
  std::unordered_set<Node, NodeHash> visited;
  std::vector<Pid> selected;
  visited.reserve(queue.size());
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const Node node = queue[head];
    if (!visited.insert(node).second) continue;
    selected.push_back(node.pid);
    const auto children = childrenByParent.find(node.pid);
    if (children == childrenByParent.end()) continue;
    for (const Node& child : children->second) {
      // A child that started before its parent belongs to an earlier holder of the parent's pid.
      if (child.startMs >= node.startMs) queue.push_back(child);
    }
  }
  return selected;
}

}  // namespace procsampler::sampling
