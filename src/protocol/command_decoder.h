// Decodes one input line into a Command, or into the exact error text the host will see after
// "invalid command: ". Stateless; called on the command reader thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "protocol/command.h"

namespace procsampler::protocol {

// line: one line of UTF-8, terminator removed, not trimmed, not blank.
Expected<Command, std::string> decodeCommand(std::string_view line);

// For a line decodeCommand refused: the first string member "requestId" of a line that is one
// JSON object, so that the refusal can name the request; nothing for any other line.
std::optional<std::string> requestIdOfObject(std::string_view line);

}  // namespace procsampler::protocol
