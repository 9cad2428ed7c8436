// Decodes one input line into a Command, or into the exact error text the host will see after
// "invalid command: ". Stateless; called on the command reader thread.
#pragma once

#include <string>
#include <string_view>

#include "common/expected.h"
#include "protocol/command.h"

namespace procsampler::protocol {

// line: one line of UTF-8, terminator removed, not trimmed, not blank.
Expected<Command, std::string> decodeCommand(std::string_view line);

}  // namespace procsampler::protocol
