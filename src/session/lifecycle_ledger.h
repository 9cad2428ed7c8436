// What the host has been told of the selected processes' lives (version 3's lifecycle events):
// which processes it has heard start, with the last record taken of each, so that an exit can
// be told with that record and every start and exit is told once. Main thread only.
#pragma once

#include <map>
#include <span>
#include <vector>

#include "sampling/process_table.h"
#include "sampling/snapshot.h"

namespace procsampler::session {

struct LifecycleNews {
  std::vector<sampling::ProcessSample> started;  // records as the snapshot holds them
  std::vector<sampling::ProcessSample> exited;   // the last record taken of each
};

class LifecycleLedger {
 public:
  // After a collection of the trees' records (ascending by pid), with the table it read: the
  // processes not told of yet have started, unless already zombies; those told of that it lacks
  // and the table shows gone, reused or a zombie have exited, as have zombies among its records.
  // One that left the trees alive is forgotten without news. The others' records become these.
  LifecycleNews afterCollection(std::span<const sampling::ProcessSample> records,
                                const sampling::ProcessTable& table);

  // Between snapshots, after a refresh of the trees: the processes told of that the table shows
  // gone, reused or a zombie.
  std::vector<sampling::ProcessSample> exitsIn(const sampling::ProcessTable& table);

  void clear() { told_.clear(); }

 private:
  struct Told {
    sampling::ProcessSample record;
    bool exitTold = false;  // a zombie still in the trees, its exit told
  };
  std::map<sampling::Pid, Told> told_;
};

}  // namespace procsampler::session
