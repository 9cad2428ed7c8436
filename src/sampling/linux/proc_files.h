// The file-reading seam of the /proc table: everything it needs from the kernel, as text. The live
// layer (proc_files_live.cpp) reads /proc into reusable buffers; tests script an in-memory fake
// and inject failures. An object belongs to the thread that owns its table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "sampling/process_table.h"

namespace procsampler::sampling::procfs {

enum class PidFile : std::uint8_t { Stat, Io };

enum class ReadStatus : std::uint8_t {
  Ok,
  Gone,        // ENOENT or ESRCH: the process (or the file) does not exist
  Unreadable,  // any other failure, such as EACCES for another user's process
};

class ProcFiles {
 public:
  virtual ~ProcFiles() = default;

  // Replaces out with the pids of /proc (thread-group leaders). False when /proc cannot be listed.
  virtual bool listPids(std::vector<Pid>& out) = 0;

  // On Ok, text holds the whole file; the view stays valid until the next call on this object.
  virtual ReadStatus readPidFile(Pid pid, PidFile file, std::string_view& text) = 0;
  // Reads /proc/PID/cmdline from its start, piece by piece through one buffer of fixed size,
  // handing each piece to `take` until take returns false or the file ends; a piece is valid only
  // during its call. A file read to its end or to take's refusal is Ok, an empty one included.
  virtual ReadStatus readCommandLine(Pid pid,
                                     const std::function<bool(std::string_view piece)>& take) = 0;
  // The target of /proc/PID/exe, same lifetime rule.
  virtual ReadStatus readExeLink(Pid pid, std::string_view& target) = 0;
  // The whole of /proc/stat, same lifetime rule.
  virtual ReadStatus readSystemStat(std::string_view& text) = 0;
};

// Reads the real /proc. Never fails to construct: if /proc cannot be opened every call fails.
std::unique_ptr<ProcFiles> makeLiveProcFiles();

}  // namespace procsampler::sampling::procfs
