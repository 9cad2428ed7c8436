#include "sampling/process_sample.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "common/saturating.h"
#include "common/utf8.h"
#include "sampling/tree_selection.h"

namespace procsampler::sampling {
namespace {

// Indexed by ProcessStatusKind; the wire texts of every named state.
constexpr std::array<std::string_view, 13> STATUS_TEXTS = {
    "Idle",      "Run",      "Sleep",  "Stop",   "Zombie",      "Tracing",
    "Dead",      "Wakekill", "Waking", "Parked", "LockBlocked", "UninterruptibleDiskSleep",
    "Suspended",
};
static_assert(STATUS_TEXTS.size() == static_cast<std::size_t>(ProcessStatusKind::Unknown));

std::string lossyText(std::string_view bytes) {
  std::string text;
  text.reserve(utf8LossyLength(bytes));
  appendUtf8Lossy(text, bytes);
  return text;
}

// Each argument is repaired on its own so an invalid sequence never spans a separator. Only what
// the cut to MAX_COMMAND_BYTES can see is joined: no byte repairs to fewer than one, so one byte
// past the bound is enough to tell whether the cut falls inside a character. (An argument cut
// short inside a character repairs to U+FFFD where that character began, which the cut then drops
// as it would have dropped the character.) The length is known before anything is copied, so the
// command costs one allocation.
constexpr std::size_t VISIBLE_COMMAND_BYTES = MAX_COMMAND_BYTES + 1;

std::string joinArguments(const std::vector<std::string>& arguments) {
  // The arguments, and how much of the last, that the cut can see.
  std::size_t visible = 0;
  std::size_t length = 0;
  for (std::size_t raw = 0; visible < arguments.size() && raw < VISIBLE_COMMAND_BYTES; ++visible) {
    const auto piece = std::string_view(arguments[visible]).substr(0, VISIBLE_COMMAND_BYTES - raw);
    raw += piece.size() + 1;
    length += utf8LossyLength(piece) + (visible > 0 ? 1 : 0);
  }
  std::string command;
  command.reserve(length);
  for (std::size_t i = 0, raw = 0; i < visible; ++i) {
    if (i > 0) command.push_back(' ');
    const auto piece = std::string_view(arguments[i]).substr(0, VISIBLE_COMMAND_BYTES - raw);
    raw += piece.size() + 1;
    appendUtf8Lossy(command, piece);
  }
  return command;
}

std::vector<std::string> boundedArguments(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv;
  argv.reserve(arguments.size());
  std::size_t used = 0;
  for (const std::string& argument : arguments) {
    if (!argv.empty()) ++used;  // the separator command would have
    if (used >= MAX_COMMAND_BYTES) break;
    std::string text = lossyText(argument);
    if (text.size() > MAX_COMMAND_BYTES - used) {
      std::size_t cut = MAX_COMMAND_BYTES - used;
      while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
      text.resize(cut);
    }
    used += text.size();
    argv.push_back(std::move(text));
  }
  return argv;
}

}  // namespace

std::string processStatusText(const ProcessStatus& status) {
  const auto index = static_cast<std::size_t>(status.kind);
  if (status.kind != ProcessStatusKind::Unknown && index < STATUS_TEXTS.size()) {
    return std::string(STATUS_TEXTS[index]);
  }
  // "Unknown(" + at most 10 digits + ")"
  char buffer[20] = "Unknown(";
  char* end = std::to_chars(buffer + 8, buffer + sizeof buffer - 1, status.raw).ptr;
  *end++ = ')';
  return std::string(buffer, end);
}

ProcessSample buildProcessSample(const Process& entry, bool withArgv, bool exactStart) {
  ProcessSample sample;
  sample.pid = entry.pid;
  sample.ppid = entry.parent_pid.value_or(0);
  sample.startTimeMs = exactStart ? exactStartMillis(entry) : startMillis(entry);
  sample.runTimeMs = saturatingMul(entry.run_time_s, 1000);

  sample.name = lossyText(entry.name);
  // Without arguments the name stands for the command, taken whole before either is cut.
  sample.command = entry.arguments.empty() ? sample.name : joinArguments(entry.arguments);
  sample.status = processStatusText(entry.status);
  truncateUtf8(sample.name, MAX_NAME_BYTES);
  truncateUtf8(sample.command, MAX_COMMAND_BYTES);
  truncateUtf8(sample.status, MAX_STATUS_BYTES);

  sample.cpuPercent = entry.cpu_percent;
  sample.cpuTimeMs = entry.cpu_time_ms;
  sample.residentBytes = entry.resident_bytes;
  sample.virtualBytes = entry.virtual_bytes;
  sample.ioReadBytes = entry.disk_read_bytes;
  sample.ioWriteBytes = entry.disk_written_bytes;
  sample.ioCountsAllIo = entry.io_counts_all_io;
  sample.cpuMemoryRefused = entry.cpu_memory_refused;
  sample.ioRefused = entry.io_refused;
  sample.uid = entry.uid;
  sample.threads = entry.thread_count;
  sample.footprintBytes = entry.footprint_bytes;
  if (withArgv) sample.argv = boundedArguments(entry.arguments);
  return sample;
}

}  // namespace procsampler::sampling
