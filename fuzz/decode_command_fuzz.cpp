// Feeds arbitrary lines to decodeCommand. Beyond the sanitizers' checks it aborts when a refusal is
// worded in any way the host was not promised, and when a decoded command does not decode again
// to itself from its plain object form.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "protocol/command_decoder.h"
#include "protocol/decode_errors.h"

namespace {

using namespace procsampler::protocol;

// A tiny left-to-right matcher over one message.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool lit(std::string_view s) {
    if (!text_.starts_with(s)) return false;
    text_.remove_prefix(s.size());
    return true;
  }
  bool anyOf(std::initializer_list<std::string_view> options) {
    for (std::string_view s : options) {
      if (lit(s)) return true;
    }
    return false;
  }
  bool digits() {
    std::size_t n = 0;
    while (n < text_.size() && text_[n] >= '0' && text_[n] <= '9') ++n;
    text_.remove_prefix(n);
    return n > 0;
  }
  bool integer() {
    lit("-");
    return digits();
  }
  // formatFloat64's layout: digits, an optional fraction, an optional signed exponent.
  bool floating() {
    if (!integer()) return false;
    if (lit(".") && !digits()) return false;
    if (lit("e")) return anyOf({"+", "-"}) && digits();
    return true;
  }
  // The body of `string "..."` up to and including its closing quote: every control character
  // escaped, the quote and backslash escaped, nothing else.
  bool quoted() {
    while (!text_.empty()) {
      const auto c = static_cast<unsigned char>(text_[0]);
      if (c == '"') {
        text_.remove_prefix(1);
        return true;
      }
      if (c < 0x20 || c == 0x7f) return false;
      if (c == 0xc2 && text_.size() > 1 && static_cast<unsigned char>(text_[1]) >= 0x80 &&
          static_cast<unsigned char>(text_[1]) <= 0x9f) {
        return false;
      }
      if (c != '\\') {
        text_.remove_prefix(1);
        continue;
      }
      text_.remove_prefix(1);
      if (anyOf({"\"", "\\", "t", "r", "n", "0"})) continue;
      if (!lit("u{")) return false;
      std::size_t n = 0;
      while (n < text_.size() &&
             std::string_view("0123456789abcdef").find(text_[n]) != std::string_view::npos)
        ++n;
      if (n == 0 || n > 2) return false;  // only codes below 0xa0 are escaped this way
      text_.remove_prefix(n);
      if (!lit("}")) return false;
    }
    return false;
  }
  bool found() {
    if (anyOf({"null", "boolean `true`", "boolean `false`", "sequence", "map"})) return true;
    if (lit("integer `")) return integer() && lit("`");
    if (lit("floating point `")) return floating() && lit("`");
    return lit("string \"") && quoted();
  }
  bool done() const { return text_.empty(); }
  std::string_view rest() const { return text_; }

 private:
  std::string_view text_;
};

constexpr std::string_view VARIANT_LIST =
    "`, expected one of `configure`, `setExternalProcesses`, `setSampleInterval`, "
    "`setStreaming`, `sampleNow`, `readHistory`, `shutdown`";

bool isPositionedForm(std::string_view body) {
  // The texts themselves are pinned byte for byte by the decoder's unit tests.
  for (std::uint8_t e = 0; e <= static_cast<std::uint8_t>(SyntaxError::RecursionLimitExceeded);
       ++e) {
    const std::string_view s = syntaxErrorText(static_cast<SyntaxError>(e));
    if (body == s) return true;
  }
  if (body == "duplicate field `type`" || body == "missing field `type`") return true;
  if (body.starts_with("unknown variant `") && body.ends_with(VARIANT_LIST)) return true;
  Cursor c(body);
  return c.lit("invalid type: ") && c.found() && c.lit(", expected ") &&
         c.anyOf({"variant identifier", "internally tagged enum Command"}) && c.done();
}

bool isFieldForm(std::string_view message) {
  Cursor c(message);
  if (c.lit("missing field `")) {
    return c.anyOf({"version`", "rootPid`", "sampleIntervalMs`", "processes`", "enabled`",
                    "requestId`", "windowMs`", "pid`"}) &&
           c.done();
  }
  if (c.lit("duplicate field `")) {
    return c.anyOf({"version`", "rootPid`", "sampleIntervalMs`", "externalProcesses`", "processes`",
                    "enabled`", "requestId`", "windowMs`", "pid`", "startTimeMs`", "latest`",
                    "stepMs`"}) &&
           c.done();
  }
  if (c.lit("invalid type: ")) {
    return c.found() && c.lit(", expected ") &&
           c.anyOf(
               {"u32", "u64", "a boolean", "a string", "a sequence", "struct ExternalProcess"}) &&
           c.done();
  }
  if (c.lit("invalid value: integer `")) {
    return c.integer() && c.lit("`, expected ") && c.anyOf({"u32", "u64"}) && c.done();
  }
  if (c.lit("invalid length ")) {
    if (!c.digits() || !c.lit(", expected ")) return false;
    if (c.lit("struct variant Command::")) {
      return c.anyOf({"Configure with 4 elements", "SetExternalProcesses with 2 elements",
                      "SetSampleInterval with 2 elements", "SetStreaming with 2 elements",
                      "SampleNow with 2 elements", "ReadHistory with 3 elements",
                      "Shutdown with 1 element"}) &&
             c.done();
    }
    if (c.lit("struct ExternalProcess with 2 elements")) return c.done();
    return c.anyOf({"1 element in sequence", "2 elements in sequence", "3 elements in sequence",
                    "4 elements in sequence"}) &&
           c.done();
  }
  return false;
}

bool isAllowedMessage(std::string_view message, std::size_t lineLength) {
  constexpr std::string_view POSITION = " at line 1 column ";
  const std::size_t at = message.rfind(POSITION);
  if (at != std::string_view::npos) {
    Cursor column(message.substr(at + POSITION.size()));
    const std::string_view digits = column.rest();
    if (column.digits() && column.done()) {
      if (std::stoull(std::string(digits)) > lineLength) return false;
      if (isPositionedForm(message.substr(0, at))) return true;
    }
  }
  return isFieldForm(message);
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  out += '"';
}

std::string processesJson(const std::vector<ExternalProcess>& processes) {
  std::string out = "[";
  for (const ExternalProcess& p : processes) {
    if (out.size() > 1) out += ',';
    out += "{\"pid\":" + std::to_string(p.pid);
    if (p.startTimeMs) out += ",\"startTimeMs\":" + std::to_string(*p.startTimeMs);
    out += '}';
  }
  return out + "]";
}

// The plain object form of a command, from which it must decode back to itself.
std::string objectForm(const Command& command) {
  return std::visit(
      [](const auto& c) {
        using T = std::decay_t<decltype(c)>;
        std::string out = "{\"version\":" + std::to_string(c.version) + ",\"type\":";
        if constexpr (std::is_same_v<T, Configure>) {
          out += "\"configure\",\"rootPid\":" + std::to_string(c.rootPid) +
                 ",\"sampleIntervalMs\":" + std::to_string(c.sampleIntervalMs) +
                 ",\"externalProcesses\":" + processesJson(c.externalProcesses);
        } else if constexpr (std::is_same_v<T, SetExternalProcesses>) {
          out += "\"setExternalProcesses\",\"processes\":" + processesJson(c.processes);
        } else if constexpr (std::is_same_v<T, SetSampleInterval>) {
          out += "\"setSampleInterval\",\"sampleIntervalMs\":" + std::to_string(c.sampleIntervalMs);
        } else if constexpr (std::is_same_v<T, SetStreaming>) {
          out += std::string("\"setStreaming\",\"enabled\":") + (c.enabled ? "true" : "false");
          if (c.latest) out += ",\"latest\":true";
        } else if constexpr (std::is_same_v<T, SampleNow>) {
          out += "\"sampleNow\",\"requestId\":";
          appendJsonString(out, c.requestId);
        } else if constexpr (std::is_same_v<T, ReadHistory>) {
          out += "\"readHistory\",\"requestId\":";
          appendJsonString(out, c.requestId);
          out += ",\"windowMs\":" + std::to_string(c.windowMs);
          if (c.stepMs != 0) out += ",\"stepMs\":" + std::to_string(c.stepMs);
        } else {
          out += "\"shutdown\"";
        }
        if constexpr (requires { c.optionalRequestId; }) {
          if (c.optionalRequestId) {
            out += ",\"requestId\":";
            appendJsonString(out, *c.optionalRequestId);
          }
        }
        return out + "}";
      },
      command);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  auto result = decodeCommand(line);
  if (!result) {
    if (!isAllowedMessage(result.error(), size)) {
      std::fprintf(stderr, "unexpected refusal text: %s\n", result.error().c_str());
      std::abort();
    }
    return 0;
  }
  const std::string again = objectForm(*result);
  auto reread = decodeCommand(again);
  if (!reread || !(*reread == *result)) {
    std::fprintf(stderr, "decoded command does not survive its object form: %s\n", again.c_str());
    std::abort();
  }
  return 0;
}
