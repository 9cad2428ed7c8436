// Turns one process-table entry into the record a snapshot reports: units converted, byte strings
// made UTF-8, the command line joined, the status named, every text bounded. Pure; any thread.
#pragma once

#include <string>

#include "sampling/process_table.h"
#include "sampling/snapshot.h"

namespace procsampler::sampling {

// withArgv: also fill argv (copies every argument again). exactStart: startTimeMs to the
// kernel's precision rather than the whole second.
ProcessSample buildProcessSample(const Process& entry, bool withArgv = false,
                                 bool exactStart = false);

// "Run", "Sleep", ..., "Unknown(7)".
std::string processStatusText(const ProcessStatus& status);

}  // namespace procsampler::sampling
