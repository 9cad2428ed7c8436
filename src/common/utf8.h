// UTF-8 checks and repairs shared by the command reader (which refuses invalid input) and the
// sample records (which repair operating-system byte strings). Pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace procsampler {

bool isValidUtf8(std::string_view bytes);

// Appends bytes to out, replacing each maximal invalid subpart with U+FFFD (EF BF BD).
void appendUtf8Lossy(std::string& out, std::string_view bytes);

// The length in bytes that replacing invalid subparts would give, without building the text.
std::size_t utf8LossyLength(std::string_view bytes);

// Cuts valid UTF-8 text to the longest prefix of at most maxBytes that ends on a character
// boundary.
void truncateUtf8(std::string& text, std::size_t maxBytes);

// True when the whole text is Unicode White_Space (an empty text included). Expects valid UTF-8.
bool isUnicodeBlank(std::string_view text);

}  // namespace procsampler
