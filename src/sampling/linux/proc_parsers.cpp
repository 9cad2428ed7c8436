#include "sampling/linux/proc_parsers.h"

#include <algorithm>
#include <charconv>

#include "common/saturating.h"

namespace procsampler::sampling::procfs {
namespace {

template <class T>
bool parseWhole(std::string_view token, T& out) {
  if (token.empty()) return false;
  const char* end = token.data() + token.size();
  auto [ptr, ec] = std::from_chars(token.data(), end, out);
  return ec == std::errc() && ptr == end;
}

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t'; }

// Cuts the next whitespace-separated token off the front of text; empty at the end.
std::string_view nextToken(std::string_view& text) {
  std::size_t start = 0;
  while (start < text.size() && isSpace(text[start])) ++start;
  std::size_t end = start;
  while (end < text.size() && !isSpace(text[end])) ++end;
  std::string_view token = text.substr(start, end - start);
  text.remove_prefix(end);
  return token;
}

std::string_view nextLine(std::string_view& text) {
  std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

}  // namespace

std::optional<StatFields> parseStat(std::string_view text) {
  // The command name is printed raw between parentheses and may itself hold ")" and spaces, but
  // nothing after it can, so the last ")" ends it.
  std::size_t open = text.find('(');
  std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  StatFields fields;
  fields.comm = text.substr(open + 1, close - open - 1);
  std::string_view rest = text.substr(close + 1);

  // Indices counted from the state field (field 3 in proc(5)); rss is the last one needed.
  enum : std::size_t {
    STATE_AT = 0,
    PPID_AT = 1,
    UTIME_AT = 11,
    STIME_AT = 12,
    THREADS_AT = 17,
    START_AT = 19,
    VSIZE_AT,
    RSS_AT
  };
  std::string_view tokens[RSS_AT + 1];
  for (std::string_view& token : tokens) {
    token = nextToken(rest);
    if (token.empty()) return std::nullopt;
  }
  if (tokens[STATE_AT].size() != 1) return std::nullopt;
  fields.state = tokens[STATE_AT][0];
  if (!parseWhole(tokens[PPID_AT], fields.ppid) || !parseWhole(tokens[UTIME_AT], fields.utime) ||
      !parseWhole(tokens[STIME_AT], fields.stime) ||
      !parseWhole(tokens[THREADS_AT], fields.threads) ||
      !parseWhole(tokens[START_AT], fields.starttime) ||
      !parseWhole(tokens[VSIZE_AT], fields.vsize) || !parseWhole(tokens[RSS_AT], fields.rss)) {
    return std::nullopt;
  }
  return fields;
}

ProcessStatus statusFromStateLetter(char letter) {
  using K = ProcessStatusKind;
  switch (letter) {
    case 'R':
      return {K::Run, 0};
    case 'S':
      return {K::Sleep, 0};
    case 'D':
      return {K::UninterruptibleDiskSleep, 0};
    case 'Z':
      return {K::Zombie, 0};
    case 'T':
      return {K::Stop, 0};
    case 't':
      return {K::Tracing, 0};
    case 'X':
    case 'x':
      return {K::Dead, 0};
    case 'K':
      return {K::Wakekill, 0};
    case 'W':
      return {K::Waking, 0};
    case 'P':
      return {K::Parked, 0};
    case 'I':
      return {K::Idle, 0};
    default:
      return {K::Unknown, static_cast<unsigned char>(letter)};
  }
}

SystemStat parseSystemStat(std::string_view text) {
  SystemStat result;
  std::optional<std::uint64_t> aggregate;
  std::uint64_t aggregateIdle = 0;
  std::uint32_t cpuCount = 0;
  while (!text.empty()) {
    std::string_view line = nextLine(text);
    std::string_view key = nextToken(line);
    if (key == "cpu") {
      // user nice system idle iowait irq softirq steal; guest and guest_nice follow but are
      // already counted in user and nice.
      std::uint64_t total = 0;
      std::uint64_t idle = 0;
      int fieldsRead = 0;
      for (; fieldsRead < 8; ++fieldsRead) {
        std::string_view token = nextToken(line);
        std::uint64_t value = 0;
        if (token.empty()) break;
        if (!parseWhole(token, value)) {
          fieldsRead = 0;
          break;
        }
        total = saturatingAdd(total, value);
        // idle and iowait: a CPU waiting for I/O is idle, and may run anything else.
        if (fieldsRead == 3 || fieldsRead == 4) idle = saturatingAdd(idle, value);
      }
      // Every kernel prints at least user, nice, system and idle.
      if (fieldsRead >= 4) aggregate = total, aggregateIdle = idle;
    } else if (key.size() > 3 && key.substr(0, 3) == "cpu") {
      ++cpuCount;
    }
  }
  if (aggregate && cpuCount > 0) result.cpu = CpuTotals{*aggregate, aggregateIdle, cpuCount};
  return result;
}

MemInfo parseMemInfo(std::string_view text) {
  MemInfo result;
  while (!text.empty()) {
    std::string_view line = nextLine(text);
    const std::string_view key = nextToken(line);
    std::optional<std::uint64_t>* field = key == "MemTotal:"       ? &result.totalBytes
                                          : key == "MemAvailable:" ? &result.availableBytes
                                                                   : nullptr;
    std::uint64_t kib = 0;
    // Every figure of the file is in KiB, whatever its "kB" says.
    if (field != nullptr && parseWhole(nextToken(line), kib) && nextToken(line) == "kB") {
      *field = saturatingMul(kib, 1024);
    }
  }
  return result;
}

std::optional<std::uint64_t> parseSchedstat(std::string_view text) {
  std::uint64_t runtime = 0;
  if (!parseWhole(nextToken(text), runtime)) return std::nullopt;
  return runtime;
}

std::optional<std::uint64_t> parseStatmResident(std::string_view text) {
  std::uint64_t pages = 0;
  nextToken(text);
  if (!parseWhole(nextToken(text), pages)) return std::nullopt;
  return pages;
}

std::optional<std::uint32_t> parseStatusEffectiveUid(std::string_view text) {
  while (!text.empty()) {
    std::string_view line = nextLine(text);
    if (nextToken(line) != "Uid:") continue;
    std::uint32_t uid = 0;
    nextToken(line);
    if (!parseWhole(nextToken(line), uid)) return std::nullopt;
    return uid;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parseStatusFootprint(std::string_view text) {
  std::optional<std::uint64_t> anonymous;
  std::optional<std::uint64_t> swapped;
  while (!text.empty() && !(anonymous && swapped)) {
    std::string_view line = nextLine(text);
    const std::string_view key = nextToken(line);
    std::optional<std::uint64_t>* field = key == "RssAnon:"  ? &anonymous
                                          : key == "VmSwap:" ? &swapped
                                                             : nullptr;
    std::uint64_t kib = 0;
    if (field != nullptr && parseWhole(nextToken(line), kib) && nextToken(line) == "kB") {
      *field = saturatingMul(kib, 1024);
    }
  }
  if (!anonymous || !swapped) return std::nullopt;
  return saturatingAdd(*anonymous, *swapped);
}

std::optional<IoCounters> parseIo(std::string_view text) {
  std::optional<std::uint64_t> readBytes;
  std::optional<std::uint64_t> writeBytes;
  while (!text.empty()) {
    std::string_view line = nextLine(text);
    std::string_view key = nextToken(line);
    std::uint64_t value = 0;
    if (key == "read_bytes:") {
      if (parseWhole(nextToken(line), value)) readBytes = value;
    } else if (key == "write_bytes:") {
      if (parseWhole(nextToken(line), value)) writeBytes = value;
    }
  }
  if (!readBytes || !writeBytes) return std::nullopt;
  return IoCounters{*readBytes, *writeBytes};
}

std::string_view stripDeletedSuffix(std::string_view link) {
  constexpr std::string_view DELETED_SUFFIX = " (deleted)";
  if (link.size() >= DELETED_SUFFIX.size() &&
      link.substr(link.size() - DELETED_SUFFIX.size()) == DELETED_SUFFIX) {
    link.remove_suffix(DELETED_SUFFIX.size());
  }
  return link;
}

}  // namespace procsampler::sampling::procfs
