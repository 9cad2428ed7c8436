#include "sampling/macos/proc_args.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace procsampler::sampling::macos {

// The area as the kernel copies it from the top of the process's stack:
//
//   | argc  | executable path \0 | \0 \0 ... | argv[0] \0 | argv[1] \0 | ... | env[0] \0 | ...
//   | int32 | as given to exec   | alignment | argc strings, one NUL each  | environment ...
//
// argc is in the machine's byte order. The padding is a run of NULs; an empty argv[0] would
// vanish into it, which is why empty arguments are left out everywhere. Each argument ends in
// exactly one NUL, so an empty argument further on still counts towards argc: skipping runs of
// NULs there would take the first environment string for the last argument.
std::optional<ArgumentArea> parseArgumentArea(std::span<const std::byte> area) {
  std::int32_t count = 0;
  if (area.size() < sizeof count) return std::nullopt;
  std::memcpy(&count, area.data(), sizeof count);

  const char* const begin = reinterpret_cast<const char*>(area.data());
  const char* const end = begin + area.size();
  const char* position = begin + sizeof count;
  auto untilNul = [&]() {
    const char* const stop = std::find(position, end, '\0');
    std::string text(position, stop);
    position = stop == end ? end : stop + 1;
    return text;
  };

  ArgumentArea parsed;
  parsed.executable_path = untilNul();
  while (position != end && *position == '\0') ++position;
  for (std::int32_t taken = 0; taken < count && position != end; ++taken) {
    std::string argument = untilNul();
    if (!argument.empty()) parsed.arguments.push_back(std::move(argument));
  }
  return parsed;
}

}  // namespace procsampler::sampling::macos
