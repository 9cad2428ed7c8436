// The sidecar's command-line arguments: only `--protocol N`, the highest protocol version the
// host speaks. Parsed once by main before anything else runs.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/expected.h"

namespace procsampler::session {

// The protocol versions this sidecar speaks, oldest first.
inline constexpr std::uint32_t SUPPORTED_PROTOCOL_VERSIONS[] = {2, 3};

struct LaunchOptions {
  std::uint32_t protocolVersion = 2;  // without --protocol: version 2, byte for byte
};

enum class LaunchError : std::uint8_t { UnknownArgument, MissingProtocolValue, BadProtocolValue };

// The text main writes after "Error: " before exiting with status 2; `argument` is the offending
// argument as given.
std::string launchErrorText(LaunchError error, std::string_view argument);

// arguments: argv without the program name. `--protocol N` and `--protocol=N` pick the highest
// supported version at most N; N must be a decimal number of at least 2 (larger than any version
// known here is fine: a newer host falls back). A later --protocol replaces an earlier one.
Expected<LaunchOptions, std::string> parseLaunchOptions(std::span<const char* const> arguments);

}  // namespace procsampler::session
