#include "sampling/macos/proc_args.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace procsampler::sampling::macos {

// The area as the kernel copies it from the top of the process's stack:
//
//   | argc  | executable path \0 | \0 ... | argv[0] \0 | argv[1] \0 | ... | env[0] \0 | ...
//   | int32 | as given to exec   | to 8   | argc strings, one NUL each  | environment ...
//
// argc is in the machine's byte order. The NULs after the path pad it to the next 8-byte
// boundary, counted from where the path starts; a NUL beyond that is an empty argv[0]. Each
// argument ends in exactly one NUL, so an empty one still counts towards argc, and what follows
// the last is the environment, never read. Empty arguments are left out of the list.
std::optional<ArgumentArea> parseArgumentArea(std::span<const std::byte> area) {
  constexpr std::size_t PATH_ALIGNMENT = 8;
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
  const char* const path = position;
  parsed.executable_path = untilNul();
  const auto used = static_cast<std::size_t>(position - path);
  const std::size_t padded = (used + PATH_ALIGNMENT - 1) / PATH_ALIGNMENT * PATH_ALIGNMENT;
  const char* const boundary = path + std::min(padded, static_cast<std::size_t>(end - path));
  while (position < boundary && *position == '\0') ++position;
  for (std::int32_t taken = 0; taken < count && position != end; ++taken) {
    std::string argument = untilNul();
    if (!argument.empty()) parsed.arguments.push_back(std::move(argument));
  }
  return parsed;
}

}  // namespace procsampler::sampling::macos
