// Pure parsers over the text of /proc files: no system calls, no allocation except where a caller's
// container grows. Views returned point into the caller's text and live as long as it does.
// Every parser accepts any bytes; garbled input gives an empty result, never a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sampling/process_table.h"

namespace procsampler::sampling::procfs {

// The fields of /proc/PID/stat the table uses. Counters are in clock ticks, vsize in bytes,
// rss in pages, as the kernel prints them.
struct StatFields {
  std::string_view comm;  // between the first '(' and the last ')': may hold spaces and ')'
  char state = '?';
  Pid ppid = 0;
  std::uint64_t utime = 0;
  std::uint64_t stime = 0;
  std::uint64_t threads = 0;
  std::uint64_t starttime = 0;  // ticks after boot
  std::uint64_t vsize = 0;
  std::uint64_t rss = 0;  // approximate on Linux 6.2 and later: see parseStatmResident
};

// Empty when the line is cut short or a needed field is not a number.
std::optional<StatFields> parseStat(std::string_view text);

// The state letter of stat as a status; any letter not listed by proc(5) is Unknown with the byte.
ProcessStatus statusFromStateLetter(char letter);

// The parts of /proc/stat the table uses.
struct CpuTotals {
  std::uint64_t elapsedTicks = 0;  // sum of the aggregate line's time fields, guest time excluded
  std::uint64_t idleTicks = 0;     // of those, idle and iowait
  std::uint32_t cpuCount = 0;      // number of per-CPU lines
};
struct SystemStat {
  std::optional<CpuTotals> cpu;  // empty without an aggregate line or any per-CPU line
};
SystemStat parseSystemStat(std::string_view text);

// MemTotal and MemAvailable of /proc/meminfo, in bytes; each empty when its line is missing or
// garbled (MemAvailable came with Linux 3.14).
struct MemInfo {
  std::optional<std::uint64_t> totalBytes;
  std::optional<std::uint64_t> availableBytes;
};
MemInfo parseMemInfo(std::string_view text);

// The first field of /proc/PID/schedstat: nanoseconds the task (the thread-group leader, for
// /proc/PID) has run, kept by the scheduler whatever the kernel's statistics options. Empty when
// garbled.
std::optional<std::uint64_t> parseSchedstat(std::string_view text);

// The second field of /proc/PID/statm: the resident pages. Empty when garbled.
std::optional<std::uint64_t> parseStatmResident(std::string_view text);

// The effective user id on the Uid line of /proc/PID/status (real, effective, saved, file system):
// the one the kernel checks access against. Empty without that line. The Name line before it
// escapes a newline in the name, so no name can forge one.
std::optional<std::uint32_t> parseStatusEffectiveUid(std::string_view text);

// RssAnon + VmSwap of /proc/PID/status, in bytes: the process's private memory wherever it is,
// which swapping out does not change. Empty without both lines (kernel threads; Linux before
// 4.5) or when one is garbled.
std::optional<std::uint64_t> parseStatusFootprint(std::string_view text);

// read_bytes and write_bytes of /proc/PID/io (storage I/O); empty unless both are present.
struct IoCounters {
  std::uint64_t readBytes = 0;
  std::uint64_t writeBytes = 0;
};
std::optional<IoCounters> parseIo(std::string_view text);

// The target of /proc/PID/exe without the " (deleted)" the kernel appends once the file is gone;
// finalComponent (table_core.h) then names the process.
std::string_view stripDeletedSuffix(std::string_view link);

}  // namespace procsampler::sampling::procfs
