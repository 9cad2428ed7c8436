#include "session/launch_options.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace procsampler::session {
namespace {

constexpr std::string_view PROTOCOL_FLAG = "--protocol";

// In LaunchError order; {} is where the argument goes.
constexpr std::array<std::string_view, 3> LAUNCH_ERROR_TEXTS = {
    "unknown argument `{}`; the only option is --protocol <version>",
    "{} needs a protocol version, such as --protocol 3",
    "protocol version must be a number of at least 2, not `{}`",
};

// Digits only; any count of them is a number, and one too large for 32 bits asks for the newest.
std::optional<std::uint32_t> protocolFromText(std::string_view text) {
  if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const std::string_view digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
  if (digits.size() > 9) return std::ranges::max(SUPPORTED_PROTOCOL_VERSIONS);
  std::uint32_t value = 0;
  for (const char c : digits) value = value * 10 + static_cast<std::uint32_t>(c - '0');
  if (value < SUPPORTED_PROTOCOL_VERSIONS[0]) return std::nullopt;
  std::uint32_t chosen = SUPPORTED_PROTOCOL_VERSIONS[0];
  for (const std::uint32_t version : SUPPORTED_PROTOCOL_VERSIONS) {
    if (version <= value) chosen = version;
  }
  return chosen;
}

}  // namespace

std::string launchErrorText(LaunchError error, std::string_view argument) {
  const std::string_view text = LAUNCH_ERROR_TEXTS[static_cast<std::size_t>(error)];
  const std::size_t hole = text.find("{}");
  std::string out(text.substr(0, hole));
  out += argument;
  out += text.substr(hole + 2);
  return out;
}

Expected<LaunchOptions, std::string> parseLaunchOptions(std::span<const char* const> arguments) {
  LaunchOptions options;
  for (std::size_t k = 0; k < arguments.size(); ++k) {
    const std::string_view argument = arguments[k];
    std::string_view value;
    if (argument == PROTOCOL_FLAG) {
      if (k + 1 == arguments.size()) {
        return Unexpected{launchErrorText(LaunchError::MissingProtocolValue, argument)};
      }
      value = arguments[++k];
    } else if (argument.starts_with(PROTOCOL_FLAG) && argument[PROTOCOL_FLAG.size()] == '=') {
      value = argument.substr(PROTOCOL_FLAG.size() + 1);
    } else {
      return Unexpected{launchErrorText(LaunchError::UnknownArgument, argument)};
    }
    const std::optional<std::uint32_t> version = protocolFromText(value);
    if (!version) return Unexpected{launchErrorText(LaunchError::BadProtocolValue, value)};
    options.protocolVersion = *version;
  }
  return options;
}

}  // namespace procsampler::session
