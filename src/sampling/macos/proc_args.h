// Reading the kernel's KERN_PROCARGS2 area. A pure function over bytes, so it is tested on every
// platform; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace procsampler::sampling::macos {

struct ArgumentArea {
  std::string executable_path;         // as the process was started, not resolved
  std::vector<std::string> arguments;  // argv[0] first, empty arguments left out
};

// The executable path and the arguments of an area; nullopt when it is too short to hold its
// argument count.
// The environment that follows the arguments is never read.
std::optional<ArgumentArea> parseArgumentArea(std::span<const std::byte> area);

}  // namespace procsampler::sampling::macos
