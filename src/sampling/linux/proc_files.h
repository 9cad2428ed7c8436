// The kernel seam of the /proc table: everything it needs from /proc and from pidfds, as text and
// status values. The live layer (proc_files_live.cpp) makes the system calls; tests script an
// in-memory fake and inject failures. An object belongs to the thread that owns its table.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "sampling/process_table.h"

namespace procsampler::sampling::procfs {

enum class PidFile : std::uint8_t { Stat, Statm, Io, Schedstat, Status };

enum class ReadStatus : std::uint8_t {
  Ok,
  Gone,          // ENOENT or ESRCH: the process (or the file) does not exist
  Unreadable,    // any other failure, such as EACCES for another user's process
  NoDescriptor,  // EMFILE or ENFILE: the process, or the system, has no descriptor to spare
};

// A descriptor the table keeps between refreshes, or NO_HANDLE. One opened on a process's file
// stays bound to that process: once it is gone, a read through it is Gone, even when another
// process holds the pid by then. Only the table closes it, with closeHandle.
using Handle = int;
inline constexpr Handle NO_HANDLE = -1;

class ProcFiles {
 public:
  virtual ~ProcFiles() = default;

  // Replaces out with the pids of /proc (thread-group leaders), ascending. False when /proc
  // cannot be listed.
  virtual bool listPids(std::vector<Pid>& out) = 0;

  // The per-process reads. Through `handle` when it holds one; otherwise the file of whoever
  // holds pid now is opened, and left open in `handle` when `keep` is set and the read is Ok.
  // On Ok, text holds the whole file; the view stays valid until the next call on this object.
  virtual ReadStatus readPidFile(Pid pid, PidFile file, Handle& handle, bool keep,
                                 std::string_view& text) = 0;
  // Reads at most `limit` bytes of /proc/PID/cmdline from its start, piece by piece through one
  // buffer of fixed size, handing each piece to `take` until take returns false, the limit is
  // reached or the file ends; a piece is valid only during its call. A file read so far is Ok,
  // an empty one included. Handles as readPidFile.
  virtual ReadStatus readCommandLine(Pid pid, Handle& handle, bool keep, std::size_t limit,
                                     const std::function<bool(std::string_view piece)>& take) = 0;
  // The target of /proc/PID/exe, same lifetime rule as readPidFile's text.
  virtual ReadStatus readExeLink(Pid pid, std::string_view& target) = 0;
  // The whole of /proc/stat, same lifetime rule.
  virtual ReadStatus readSystemStat(std::string_view& text) = 0;
  // The whole of /proc/meminfo, same lifetime rule.
  virtual ReadStatus readMemInfo(std::string_view& text) = 0;
  // The boot clock (CLOCK_BOOTTIME): the time since boot, suspend included, which start ticks
  // count on and no setting of the wall clock moves.
  virtual std::chrono::nanoseconds readBootClock() = 0;
  virtual void closeHandle(Handle handle) = 0;

  // Opens a pidfd on whoever holds pid now and watches it for the process's exit, which
  // takeExits then reports once; the handle, closed by closeHandle, ends the watch. Gone when no
  // process holds the pid, NoDescriptor when descriptors (or watches) have run out, Unreadable when
  // the kernel offers no pidfds (ENOSYS; EPERM under a sandbox's filter).
  virtual ReadStatus watchExit(Pid pid, Handle& handle) = 0;
  // Appends the pids of the watched processes that have exited (zombies included) since the last
  // call, without waiting and without being woken by them in between.
  virtual void takeExits(std::vector<Pid>& out) = 0;
  // Readable while takeExits has something to report (ProcessTable::exitSignal).
  virtual std::optional<int> exitSignal() const { return std::nullopt; }
};

// Reads the real /proc. Never fails to construct: if /proc cannot be opened every call fails.
std::unique_ptr<ProcFiles> makeLiveProcFiles();

// Raises the soft limit on open descriptors to the hard one and returns how many the table may
// hold: what the limit leaves beside the descriptors open now and a reserve for the rest of the
// sidecar and for the table's passing reads. Call once, at start.
std::size_t raiseDescriptorLimit();

}  // namespace procsampler::sampling::procfs
