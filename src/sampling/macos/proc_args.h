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

// The executable path of an area, as the process was started (not resolved), viewing the area;
// nullopt, with the list untouched, when the area is too short to hold its argument count.
// The arguments go into the list as CommandLineSplitter keeps them: argv[0] first, empty ones left
// out, no more than a command cut to `reportable` bytes can show. The environment that follows
// the arguments is never read.
std::optional<std::string_view> parseArgumentArea(std::span<const std::byte> area,
                                                  std::vector<std::string>& arguments,
                                                  std::size_t reportable);

}  // namespace procsampler::sampling::macos
