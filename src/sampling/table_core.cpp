#include "sampling/table_core.h"

#include <algorithm>

#include "sampling/tree_selection.h"

namespace procsampler::sampling {

std::size_t TreeWalk::treeSize(std::span<const Process* const> processes,
                               std::span<const Pid> seeds) {
  std::vector<ProcessLink> links;
  links.reserve(processes.size());
  for (const Process* process : processes) links.push_back(linkOf(*process));
  return selectProcessTrees(links, seeds).size();
}

CpuIntervalRule::CpuIntervalRule(double unitsPerSecond)
    : floor_(unitsPerSecond * std::chrono::duration<double>(CPU_INTERVAL_FLOOR).count()) {}

bool CpuIntervalRule::reuses(MonoTime now) const {
  return computedAt_ && (now < *computedAt_ || now - *computedAt_ < CPU_INTERVAL_REUSE);
}

double CpuIntervalRule::record(MonoTime now, std::optional<double> elapsedPerCpu) {
  computedAt_ = now;
  last_ = elapsedPerCpu ? std::max(*elapsedPerCpu, floor_) : 0.0;
  return last_;
}

void CpuSpans::add(double interval) {
  ++refresh_;
  if (!(interval > 0.0)) lastWithoutInterval_ = refresh_;
  last_ = interval;
  elapsed_ += interval;
}

double CpuSpans::since(CpuMark earlier) const {
  if (earlier.refresh == 0 || earlier.refresh >= refresh_ ||
      lastWithoutInterval_ > earlier.refresh) {
    return 0.0;
  }
  // The previous refresh's reading divides by this refresh's interval as given, which a difference
  // of sums would only approximate.
  return earlier.refresh + 1 == refresh_ ? last_ : elapsed_ - earlier.elapsed;
}

std::string_view finalComponent(std::string_view path) {
  while (!path.empty()) {
    std::size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (last.empty() || last == ".") {
      path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
      continue;
    }
    return last == ".." ? std::string_view() : last;
  }
  return {};
}

}  // namespace procsampler::sampling
