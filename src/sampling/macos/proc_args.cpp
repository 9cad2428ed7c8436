#include "sampling/macos/proc_args.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sampling/command_line.h"

namespace procsampler::sampling::macos {

// The area as the kernel copies it from the top of the process's stack:
//
//   | argc  | executable path \0 | \0 ... | argv[0] \0 | argv[1] \0 | ... | env[0] \0 | ...
//   | int32 | as given to exec   | to 8   | argc strings, one NUL each  | environment ...
//
// argc is in the machine's byte order. The NULs after the path pad it to the next 8-byte
// boundary, counted from where the path starts; a NUL beyond that is an empty argv[0]. Each
// argument ends in exactly one NUL, so an empty one still counts towards argc, and what follows
// the last is the environment, never read.
std::optional<std::string_view> parseArgumentArea(std::span<const std::byte> area,
                                                  std::vector<std::string>& arguments,
                                                  std::size_t reportable) {
  constexpr std::size_t PATH_ALIGNMENT = 8;
  std::int32_t count = 0;
  if (area.size() < sizeof count) return std::nullopt;
  std::memcpy(&count, area.data(), sizeof count);

  const char* const end = reinterpret_cast<const char*>(area.data()) + area.size();
  const char* const path = reinterpret_cast<const char*>(area.data()) + sizeof count;
  const char* position = std::find(path, end, '\0');
  const std::string_view executablePath(path, static_cast<std::size_t>(position - path));
  if (position != end) ++position;
  const auto used = static_cast<std::size_t>(position - path);
  const std::size_t padded = (used + PATH_ALIGNMENT - 1) / PATH_ALIGNMENT * PATH_ALIGNMENT;
  const char* const boundary = path + std::min(padded, static_cast<std::size_t>(end - path));
  while (position < boundary && *position == '\0') ++position;

  // The argument strings end after argc NULs, empty arguments counted.
  const char* const strings = position;
  for (std::int32_t taken = 0; taken < count && position != end; ++taken) {
    position = std::find(position, end, '\0');
    if (position != end) ++position;
  }
  const std::string_view argv(strings, static_cast<std::size_t>(position - strings));
  if (argv.empty()) {
    arguments.clear();  // the splitter leaves the list as it was when no bytes come
  } else {
    CommandLineSplitter splitter(arguments, reportable);
    splitter.add(argv);
    splitter.finish();
  }
  return executablePath;
}

}  // namespace procsampler::sampling::macos
