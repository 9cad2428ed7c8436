#include "protocol/event_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "common/os_io.h"
#include "common/saturating.h"
#include "protocol/float_format.h"

namespace procsampler::protocol {

using sampling::ExternalProcess;
using sampling::ProcessSample;
using sampling::Snapshot;

IoStatus FdSink::writeAll(const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const Expected<std::size_t, IoError> written = os::writeSome(fd_, data + done, size - done);
    if (written) {
      done += *written;
      continue;
    }
    // A sidecar started without standard output runs on and discards its events.
    if (written.error().code == EBADF) return {};
    accepted_ = done;
    return written.error();
  }
  return {};
}

std::optional<std::uint64_t> FdSink::unreadBytes() const { return os::unreadBytes(fd_); }

namespace {

constexpr std::size_t U32_DIGITS = 10;
constexpr std::size_t U64_DIGITS = 20;
// The widest escape, \u00xx, for one byte of text.
constexpr std::size_t ESCAPED_BYTE_MAX = 6;
// Texts longer than this are escaped through the buffer in pieces.
constexpr std::size_t TEXT_PIECE_BYTES = EVENT_BUFFER_BYTES / ESCAPED_BYTE_MAX - 1;

// For each byte: 0 when it is copied as is, 'u' for \u00xx, otherwise the letter that follows
// the backslash.
constexpr std::array<char, 256> ESCAPES = [] {
  std::array<char, 256> table{};
  for (std::size_t c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

char* appendLiteral(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

char* appendU64(char* out, std::uint64_t value) {
  return std::to_chars(out, out + U64_DIGITS, value).ptr;
}

char* appendBool(char* out, bool value) {
  return value ? appendLiteral(out, "true") : appendLiteral(out, "false");
}

// Needs ESCAPED_BYTE_MAX bytes of room per byte of text.
char* appendEscaped(char* out, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    const char* const run = p;
    while (p != end && ESCAPES[static_cast<unsigned char>(*p)] == 0) ++p;
    const auto runSize = static_cast<std::size_t>(p - run);
    std::memcpy(out, run, runSize);
    out += runSize;
    if (p == end) return out;
    const auto byte = static_cast<unsigned char>(*p++);
    const char escape = ESCAPES[byte];
    *out++ = '\\';
    *out++ = escape;
    if (escape == 'u') {
      constexpr char HEX_DIGITS[] = "0123456789abcdef";
      *out++ = '0';
      *out++ = '0';
      *out++ = HEX_DIGITS[byte >> 4];
      *out++ = HEX_DIGITS[byte & 0xF];
    }
  }
}

char* appendQuoted(char* out, std::string_view text) {
  *out++ = '"';
  out = appendEscaped(out, text);
  *out++ = '"';
  return out;
}

std::size_t quotedBound(std::string_view text) { return 2 + ESCAPED_BYTE_MAX * text.size(); }

// The fixed fragments of a process record, in wire order; the values go between them.
constexpr std::string_view PID_KEY = R"({"pid":)";
constexpr std::string_view PPID_KEY = R"(,"ppid":)";
constexpr std::string_view START_TIME_KEY = R"(,"startTimeMs":)";
constexpr std::string_view RUN_TIME_KEY = R"(,"runTimeMs":)";
constexpr std::string_view NAME_KEY = R"(,"name":)";
constexpr std::string_view COMMAND_KEY = R"(,"command":)";
constexpr std::string_view STATUS_KEY = R"(,"status":)";
constexpr std::string_view CPU_PERCENT_KEY = R"(,"cpuPercent":)";
constexpr std::string_view CPU_TIME_KEY = R"(,"cpuTimeMs":)";
constexpr std::string_view RESIDENT_KEY = R"(,"residentBytes":)";
constexpr std::string_view VIRTUAL_KEY = R"(,"virtualBytes":)";
constexpr std::string_view IO_READ_KEY = R"(,"ioReadBytes":)";
constexpr std::string_view IO_WRITE_KEY = R"(,"ioWriteBytes":)";
constexpr std::string_view IO_SEMANTICS_KEY = R"(,"ioSemantics":)";
constexpr std::string_view STORAGE_TEXT = R"("storage")";
constexpr std::string_view ALL_IO_TEXT = R"("all-io")";

// Everything from the separating comma to "name": with the widest values.
constexpr std::size_t PROCESS_HEAD_BOUND = 1 + PID_KEY.size() + U32_DIGITS + PPID_KEY.size() +
                                           U32_DIGITS + START_TIME_KEY.size() + U64_DIGITS +
                                           RUN_TIME_KEY.size() + U64_DIGITS + NAME_KEY.size();
// Everything after the status text, with the widest values.
constexpr std::size_t PROCESS_TAIL_BOUND =
    CPU_PERCENT_KEY.size() + MAX_FLOAT_TEXT + CPU_TIME_KEY.size() + RESIDENT_KEY.size() +
    VIRTUAL_KEY.size() + IO_READ_KEY.size() + IO_WRITE_KEY.size() + 5 * U64_DIGITS +
    IO_SEMANTICS_KEY.size() + std::max(STORAGE_TEXT.size(), ALL_IO_TEXT.size()) + 1;
// The record without its three texts, but with their quotes.
constexpr std::size_t PROCESS_FIXED_BOUND =
    PROCESS_HEAD_BOUND + COMMAND_KEY.size() + STATUS_KEY.size() + PROCESS_TAIL_BOUND + 3 * 2;
static_assert(PROCESS_FIXED_BOUND < EVENT_BUFFER_BYTES / 4);

char* appendProcessHead(char* out, const ProcessSample& process, bool first) {
  if (!first) *out++ = ',';
  out = appendU64(appendLiteral(out, PID_KEY), process.pid);
  out = appendU64(appendLiteral(out, PPID_KEY), process.ppid);
  out = appendU64(appendLiteral(out, START_TIME_KEY), process.startTimeMs);
  out = appendU64(appendLiteral(out, RUN_TIME_KEY), process.runTimeMs);
  return appendLiteral(out, NAME_KEY);
}

// refusalsAsNull: version 3, where a figure the kernel refused is null rather than 0.
char* appendProcessTail(char* out, const ProcessSample& process, bool refusalsAsNull) {
  const bool noCpuMemory = refusalsAsNull && process.cpuMemoryRefused;
  const bool noIo = refusalsAsNull && process.ioRefused;
  const auto figure = [](char* at, std::uint64_t value, bool refused) {
    return refused ? appendLiteral(at, "null") : appendU64(at, value);
  };
  out = appendLiteral(out, CPU_PERCENT_KEY);
  // Not finite is what a broken CPU clock gives; JSON has no number for it.
  out = std::isfinite(process.cpuPercent) && !noCpuMemory ? formatFloat32(out, process.cpuPercent)
                                                          : appendLiteral(out, "null");
  out = figure(appendLiteral(out, CPU_TIME_KEY), process.cpuTimeMs, noCpuMemory);
  out = figure(appendLiteral(out, RESIDENT_KEY), process.residentBytes, noCpuMemory);
  out = figure(appendLiteral(out, VIRTUAL_KEY), process.virtualBytes, noCpuMemory);
  out = figure(appendLiteral(out, IO_READ_KEY), process.ioReadBytes, noIo);
  out = figure(appendLiteral(out, IO_WRITE_KEY), process.ioWriteBytes, noIo);
  out = appendLiteral(out, IO_SEMANTICS_KEY);
  return appendLiteral(out, process.ioCountsAllIo ? ALL_IO_TEXT : STORAGE_TEXT);
}

}  // namespace

EventWriter::EventWriter(OutputSink& sink, std::uint32_t version)
    : sink_(sink), version_(version) {}

IoStatus EventWriter::sendPending() {
  if (used_ == 0) return {};
  const IoStatus status = sink_.writeAll(buffer_, used_);
  // After a failure keep only what the sink has not taken, for the one last attempt of flush().
  const std::size_t accepted = status.ok() ? used_ : std::min(sink_.acceptedBeforeFailure(), used_);
  std::memmove(buffer_, buffer_ + accepted, used_ - accepted);
  used_ -= accepted;
  return status;
}

bool EventWriter::sendBuffer() {
  const IoStatus status = sendPending();
  if (status.ok()) return true;
  failed_ = true;
  failure_ = status.error();
  return false;
}

char* EventWriter::reserveSlow() {
  if (failed_ || !sendBuffer()) return nullptr;
  return buffer_;
}

IoStatus EventWriter::endEvent() {
  if (failed_ || !sendBuffer()) return failure_;
  return {};
}

bool EventWriter::putLiteral(std::string_view text) {
  while (!text.empty()) {
    const std::size_t piece = std::min(text.size(), EVENT_BUFFER_BYTES);
    char* out = reserve(piece);
    if (out == nullptr) return false;
    commit(appendLiteral(out, text.substr(0, piece)));
    text.remove_prefix(piece);
  }
  return true;
}

bool EventWriter::putNumber(std::string_view key, std::uint64_t value) {
  char* out = reserve(key.size() + U64_DIGITS);
  if (out == nullptr) return false;
  commit(appendU64(appendLiteral(out, key), value));
  return true;
}

bool EventWriter::putBool(std::string_view key, bool value) {
  char* out = reserve(key.size() + 5);  // "false"
  if (out == nullptr) return false;
  commit(appendBool(appendLiteral(out, key), value));
  return true;
}

bool EventWriter::putString(std::string_view text) {
  if (text.size() <= TEXT_PIECE_BYTES) {
    char* out = reserve(quotedBound(text));
    if (out == nullptr) return false;
    commit(appendQuoted(out, text));
    return true;
  }
  // Escaping works byte by byte, so the text may be cut anywhere.
  if (!putLiteral("\"")) return false;
  while (!text.empty()) {
    const std::size_t piece = std::min(text.size(), TEXT_PIECE_BYTES);
    char* out = reserve(ESCAPED_BYTE_MAX * piece);
    if (out == nullptr) return false;
    commit(appendEscaped(out, text.substr(0, piece)));
    text.remove_prefix(piece);
  }
  return putLiteral("\"");
}

bool EventWriter::putProcess(const ProcessSample& process, bool first) {
  const std::size_t textBytes =
      process.name.size() + process.command.size() + process.status.size();
  if (textBytes <= (EVENT_BUFFER_BYTES - PROCESS_FIXED_BOUND) / ESCAPED_BYTE_MAX) {
    // Every record of ordinary size: one check for room, then straight appends.
    char* out = reserve(PROCESS_FIXED_BOUND + ESCAPED_BYTE_MAX * textBytes);
    if (out == nullptr) return false;
    out = appendQuoted(appendProcessHead(out, process, first), process.name);
    out = appendQuoted(appendLiteral(out, COMMAND_KEY), process.command);
    out = appendQuoted(appendLiteral(out, STATUS_KEY), process.status);
    commit(appendProcessTail(out, process, version_ >= 3));
    return version_ >= 3 ? putLaterRecordMembers(process) : putLiteral("}");
  }
  // A long command line (or name) is escaped through the buffer in pieces.
  char* out = reserve(PROCESS_HEAD_BOUND);
  if (out == nullptr) return false;
  commit(appendProcessHead(out, process, first));
  if (!putString(process.name) || !putLiteral(COMMAND_KEY) || !putString(process.command) ||
      !putLiteral(STATUS_KEY) || !putString(process.status)) {
    return false;
  }
  out = reserve(PROCESS_TAIL_BOUND);
  if (out == nullptr) return false;
  commit(appendProcessTail(out, process, version_ >= 3));
  return version_ >= 3 ? putLaterRecordMembers(process) : putLiteral("}");
}

bool EventWriter::putLaterRecordMembers(const ProcessSample& process) {
  const auto optional = [this](std::string_view key, auto value) {
    return value ? putNumber(key, *value) : putLiteral(key) && putLiteral("null");
  };
  if (!optional(R"(,"uid":)", process.uid) || !optional(R"(,"threads":)", process.threads) ||
      !optional(R"(,"footprintBytes":)", process.footprintBytes) || !putLiteral(R"(,"argv":[)")) {
    return false;
  }
  for (std::size_t k = 0; k < process.argv.size(); ++k) {
    if ((k > 0 && !putLiteral(",")) || !putString(process.argv[k])) return false;
  }
  return putLiteral("]}");
}

bool EventWriter::putSnapshot(const Snapshot& snapshot, bool withRequestId, bool first,
                              std::optional<std::uint64_t> skipped) {
  if (!putNumber(first ? R"({"version":)" : R"(,{"version":)", version_) ||
      !putNumber(R"(,"type":"snapshot","sequence":)", snapshot.sequence) ||
      !putNumber(R"(,"sampledAtUnixMs":)", snapshot.sampledAtUnixMs) ||
      !putNumber(R"(,"collectionDurationMicros":)", snapshot.collectionDurationMicros) ||
      !putNumber(R"(,"scannedProcessCount":)", snapshot.scannedProcessCount) ||
      !putNumber(R"(,"retainedProcessCount":)", snapshot.retainedProcessCount) ||
      !putNumber(R"(,"inaccessibleProcessCount":)", snapshot.inaccessibleProcessCount)) {
    return false;
  }
  if (withRequestId && snapshot.requestId) {
    if (!putLiteral(R"(,"requestId":)") || !putString(*snapshot.requestId)) return false;
  }
  if (version_ >= 3 && skipped && !putNumber(R"(,"skippedSnapshots":)", *skipped)) return false;
  if (version_ >= 3 && !putMachine(snapshot.machine)) return false;
  if (!putLiteral(R"(,"externalProcesses":[)")) return false;
  bool firstEntry = true;
  for (const ExternalProcess& external : snapshot.externalProcesses) {
    if (!putNumber(firstEntry ? R"({"pid":)" : R"(,{"pid":)", external.pid) ||
        !(external.startTimeMs ? putNumber(R"(,"startTimeMs":)", *external.startTimeMs)
                               : putLiteral(R"(,"startTimeMs":null)")) ||
        !putLiteral("}")) {
      return false;
    }
    firstEntry = false;
  }
  if (!putLiteral(R"(],"processes":[)")) return false;
  firstEntry = true;
  for (const ProcessSample& process : snapshot.processes) {
    if (!putProcess(process, firstEntry)) return false;
    firstEntry = false;
  }
  return putLiteral("]}");
}

bool EventWriter::putOptionalNumber(std::string_view key, std::optional<std::uint64_t> value) {
  return value ? putNumber(key, *value) : putLiteral(key) && putLiteral("null");
}

bool EventWriter::putMachine(const sampling::MachineTotals& machine) {
  const auto count =
      machine.cpuCount ? std::optional<std::uint64_t>(*machine.cpuCount) : std::nullopt;
  return putOptionalNumber(R"(,"machine":{"cpuCount":)", count) &&
         putOptionalFloat(R"(,"cpuPercent":)", machine.cpuPercent) &&
         putOptionalNumber(R"(,"memoryTotalBytes":)", machine.memoryTotalBytes) &&
         putOptionalNumber(R"(,"memoryAvailableBytes":)", machine.memoryAvailableBytes) &&
         putOptionalNumber(R"(,"uptimeMs":)", machine.uptimeMs) && putLiteral("}");
}

IoStatus EventWriter::writeHello(const HelloInfo& hello) {
  if (failed_) return failure_;
  const Capabilities& caps = hello.capabilities;
  if (!putNumber(R"({"version":)", version_) || !putLiteral(R"(,"type":"hello")") ||
      (version_ >= 3 && !putLiteral(R"(,"protocolVersions":[2,3])")) ||
      !putLiteral(R"(,"sidecarVersion":)") || !putString(hello.sidecarVersion) ||
      !putNumber(R"(,"sidecarPid":)", hello.sidecarPid) || !putLiteral(R"(,"platform":)") ||
      !putString(hello.platform) || !putLiteral(R"(,"arch":)") || !putString(hello.arch) ||
      !putBool(R"(,"capabilities":{"cumulativeCpuTime":)", caps.cumulativeCpuTime) ||
      !putBool(R"(,"currentCpuPercent":)", caps.currentCpuPercent) ||
      !putBool(R"(,"residentMemory":)", caps.residentMemory) ||
      !putBool(R"(,"virtualMemory":)", caps.virtualMemory) ||
      !putBool(R"(,"ioBytes":)", caps.ioBytes) ||
      !putBool(R"(,"processStartTime":)", caps.processStartTime) ||
      !putBool(R"(,"processTree":)", caps.processTree) || !putLiteral("}}\n")) {
    return failure_;
  }
  return endEvent();
}

IoStatus EventWriter::writeError(std::string_view code, std::string_view message, bool recoverable,
                                 std::optional<std::string_view> requestId) {
  if (failed_) return failure_;
  if (!putNumber(R"({"version":)", version_) || !putLiteral(R"(,"type":"error","code":)") ||
      !putString(code) || !putLiteral(R"(,"message":)") || !putString(message) ||
      !putBool(R"(,"recoverable":)", recoverable)) {
    return failure_;
  }
  if (version_ >= 3 && requestId) {
    if (!putLiteral(R"(,"requestId":)") || !putString(*requestId)) return failure_;
  }
  if (!putLiteral("}\n")) return failure_;
  return endEvent();
}

IoStatus EventWriter::writeAck(std::string_view requestId) {
  if (failed_) return failure_;
  if (!putNumber(R"({"version":)", version_) || !putLiteral(R"(,"type":"ack","requestId":)") ||
      !putString(requestId) || !putLiteral("}\n")) {
    return failure_;
  }
  return endEvent();
}

IoStatus EventWriter::writeSnapshot(const Snapshot& snapshot,
                                    std::optional<std::uint64_t> skipped) {
  if (failed_) return failure_;
  if (!putSnapshot(snapshot, true, true, skipped) || !putLiteral("\n")) return failure_;
  return endEvent();
}

IoStatus EventWriter::writeHistoryChunk(std::string_view requestId, bool done,
                                        std::span<const Snapshot* const> snapshots) {
  if (failed_) return failure_;
  if (!putNumber(R"({"version":)", version_) ||
      !putLiteral(R"(,"type":"historyChunk","requestId":)") || !putString(requestId) ||
      !putBool(R"(,"done":)", done) || !putLiteral(R"(,"snapshots":[)")) {
    return failure_;
  }
  bool first = true;
  for (const Snapshot* snapshot : snapshots) {
    if (!putSnapshot(*snapshot, false, first)) return failure_;
    first = false;
  }
  if (!putLiteral("]}\n")) return failure_;
  return endEvent();
}

IoStatus EventWriter::writeProcessStarted(const ProcessSample& process) {
  if (failed_) return failure_;
  if (!putNumber(R"({"version":)", version_) ||
      !putNumber(R"(,"type":"processStarted","pid":)", process.pid) ||
      !putNumber(R"(,"ppid":)", process.ppid) ||
      !putNumber(R"(,"startTimeMs":)", process.startTimeMs) || !putLiteral(R"(,"process":)") ||
      !putProcess(process, true) || !putLiteral("}\n")) {
    return failure_;
  }
  return endEvent();
}

IoStatus EventWriter::writeProcessExited(const ProcessSample& process,
                                         std::uint64_t exitedAtUnixMs) {
  if (failed_) return failure_;
  if (!putNumber(R"({"version":)", version_) ||
      !putNumber(R"(,"type":"processExited","pid":)", process.pid) ||
      !putNumber(R"(,"startTimeMs":)", process.startTimeMs) ||
      !putNumber(R"(,"exitedAtUnixMs":)", exitedAtUnixMs) || !putLiteral(R"(,"process":)") ||
      !putProcess(process, true) || !putLiteral("}\n")) {
    return failure_;
  }
  return endEvent();
}

bool EventWriter::putOptionalFloat(std::string_view key, std::optional<float> value) {
  char* out = reserve(key.size() + MAX_FLOAT_TEXT);
  if (out == nullptr) return false;
  out = appendLiteral(out, key);
  commit(value && std::isfinite(*value) ? formatFloat32(out, *value) : appendLiteral(out, "null"));
  return true;
}

bool EventWriter::putStep(const sampling::HistoryStep& step, bool first) {
  if (!putNumber(first ? R"({"startUnixMs":)" : R"(,{"startUnixMs":)", step.startUnixMs) ||
      !putNumber(R"(,"snapshotCount":)", step.snapshotCount) ||
      !putOptionalFloat(R"(,"machine":{"cpuPercentMean":)", step.machine.cpuPercentMean) ||
      !putOptionalFloat(R"(,"cpuPercentMax":)", step.machine.cpuPercentMax) ||
      !putOptionalNumber(R"(,"memoryAvailableBytesMin":)", step.machine.memoryAvailableBytesMin) ||
      !putLiteral(R"(},"processes":[)")) {
    return false;
  }
  bool firstProcess = true;
  for (const sampling::ProcessSummary& p : step.processes) {
    if (!putNumber(firstProcess ? R"({"pid":)" : R"(,{"pid":)", p.pid) ||
        !putNumber(R"(,"startTimeMs":)", p.startTimeMs) ||
        !putNumber(R"(,"sampleCount":)", p.sampleCount) ||
        !putOptionalFloat(R"(,"cpuPercentMean":)", p.cpuPercentMean) ||
        !putOptionalFloat(R"(,"cpuPercentMax":)", p.cpuPercentMax) ||
        !putNumber(R"(,"residentBytesMax":)", p.residentBytesMax) ||
        !putOptionalNumber(R"(,"footprintBytesMax":)", p.footprintBytesMax) || !putLiteral("}")) {
      return false;
    }
    firstProcess = false;
  }
  return putLiteral("]}");
}

IoStatus EventWriter::writeHistorySteps(std::string_view requestId, bool done, std::uint64_t stepMs,
                                        std::span<const sampling::HistoryStep> steps) {
  if (failed_) return failure_;
  if (!putNumber(R"({"version":)", version_) ||
      !putLiteral(R"(,"type":"historyChunk","requestId":)") || !putString(requestId) ||
      !putBool(R"(,"done":)", done) || !putNumber(R"(,"stepMs":)", stepMs) ||
      !putLiteral(R"(,"steps":[)")) {
    return failure_;
  }
  bool first = true;
  for (const sampling::HistoryStep& step : steps) {
    if (!putStep(step, first)) return failure_;
    first = false;
  }
  if (!putLiteral("]}\n")) return failure_;
  return endEvent();
}

IoStatus EventWriter::flush() { return sendPending(); }

namespace {

// Writes items [0, total) as chunks, at least one: fit(offset) gives how many from offset go into
// the next chunk (at least one while any are left), write(offset, count, done) writes it.
template <typename Fit, typename Write>
IoStatus writeChunks(std::size_t total, const Fit& fit, const Write& write) {
  std::size_t offset = 0;
  do {
    const std::size_t count = fit(offset);
    const IoStatus status = write(offset, count, offset + count == total);
    if (!status.ok()) return status;
    offset += count;
  } while (offset < total);
  return {};
}

// More than a snapshot takes in a history chunk besides its texts: every record's fixed part,
// version 3's members included, and every external-process entry, with their widest values.
// Generous, since they only spare measuring chunks that cannot come near HISTORY_CHUNK_MAX_BYTES.
constexpr std::uint64_t SNAPSHOT_HEAD_BOUND = 1024;
constexpr std::uint64_t EXTERNAL_BOUND = 64;
constexpr std::uint64_t RECORD_FIXED_BOUND = 1024;
static_assert(PROCESS_FIXED_BOUND + 128 < RECORD_FIXED_BOUND);

std::uint64_t textBound(std::string_view text) {
  return saturatingMul(text.size(), ESCAPED_BYTE_MAX) + 3;  // quotes and a comma
}

std::uint64_t snapshotBound(const Snapshot& snapshot) {
  std::uint64_t bound =
      SNAPSHOT_HEAD_BOUND + saturatingMul(snapshot.externalProcesses.size(), EXTERNAL_BOUND);
  for (const ProcessSample& process : snapshot.processes) {
    bound = saturatingAdd(bound, RECORD_FIXED_BOUND + textBound(process.name) +
                                     textBound(process.command) + textBound(process.status));
    for (const std::string& argument : process.argv) {
      bound = saturatingAdd(bound, textBound(argument));
    }
  }
  return bound;
}

}  // namespace

IoStatus EventWriter::writeHistory(std::string_view requestId,
                                   std::span<const Snapshot* const> snapshots) {
  // The longer of the two envelopes, so the last chunk's is covered too.
  const std::uint64_t envelope = emptyHistoryChunkBytes(requestId, false);
  const auto fit = [&](std::size_t offset) {
    const std::size_t count = std::min(HISTORY_CHUNK_SIZE, snapshots.size() - offset);
    // Snapshots are measured only when a chunk might not fit.
    std::uint64_t bound = envelope;
    for (const Snapshot* snapshot : snapshots.subspan(offset, count)) {
      bound = saturatingAdd(bound, snapshotBound(*snapshot));
    }
    if (bound <= HISTORY_CHUNK_MAX_BYTES) return count;
    std::uint64_t line = envelope + chunkedSnapshotBytes(*snapshots[offset]);
    std::size_t fitting = 1;
    for (; fitting < count; ++fitting) {
      line += 1 + chunkedSnapshotBytes(*snapshots[offset + fitting]);  // and a comma
      if (line > HISTORY_CHUNK_MAX_BYTES) break;
    }
    return fitting;
  };
  return writeChunks(snapshots.size(), fit, [&](std::size_t offset, std::size_t count, bool done) {
    return writeHistoryChunk(requestId, done, snapshots.subspan(offset, count));
  });
}

IoStatus EventWriter::writeHistory(std::string_view requestId, std::uint64_t stepMs,
                                   std::span<const sampling::HistoryStep> steps) {
  const std::uint64_t envelope = emptyHistoryStepsBytes(requestId, stepMs);
  const auto fit = [&](std::size_t offset) {
    std::size_t count = 0;
    for (std::uint64_t line = envelope; offset + count < steps.size() && count < HISTORY_CHUNK_SIZE;
         ++count) {
      line += historyStepBytes(steps[offset + count]) + (count > 0 ? 1 : 0);
      if (count > 0 && line > HISTORY_CHUNK_MAX_BYTES) break;
    }
    return count;
  };
  return writeChunks(steps.size(), fit, [&](std::size_t offset, std::size_t count, bool done) {
    return writeHistorySteps(requestId, done, stepMs, steps.subspan(offset, count));
  });
}

namespace {

// Takes every byte and keeps only their number.
class ByteCounter final : public OutputSink {
 public:
  IoStatus writeAll(const char* /*data*/, std::size_t size) override {
    bytes += size;
    return {};
  }
  std::uint64_t bytes = 0;
};

}  // namespace

std::uint64_t EventWriter::chunkedSnapshotBytes(const Snapshot& snapshot) const {
  ByteCounter counter;
  EventWriter writer(counter, version_);
  static_cast<void>(writer.putSnapshot(snapshot, false, true));
  static_cast<void>(writer.flush());
  return counter.bytes;
}

std::uint64_t EventWriter::historyStepBytes(const sampling::HistoryStep& step) const {
  ByteCounter counter;
  EventWriter writer(counter, version_);
  static_cast<void>(writer.putStep(step, true));
  static_cast<void>(writer.flush());
  return counter.bytes;
}

std::uint64_t EventWriter::emptyHistoryStepsBytes(std::string_view requestId,
                                                  std::uint64_t stepMs) const {
  ByteCounter counter;
  // "false" is the longer of the two done values.
  static_cast<void>(EventWriter(counter, version_).writeHistorySteps(requestId, false, stepMs, {}));
  return counter.bytes;
}

std::uint64_t EventWriter::emptyHistoryChunkBytes(std::string_view requestId, bool done) const {
  ByteCounter counter;
  static_cast<void>(EventWriter(counter, version_).writeHistoryChunk(requestId, done, {}));
  return counter.bytes;
}

}  // namespace procsampler::protocol
