// Small readers for the sidecar's compact event lines, enough for tests to pick out the fields
// they check without a JSON library. They rely on the events' fixed key order and compact form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace procsampler::testing {

// Lines without their line feeds; a trailing partial line is kept.
inline std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

inline std::size_t countOf(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// The raw text of the first string value of `key` (escapes left as written), if any.
inline std::optional<std::string> stringField(std::string_view line, std::string_view key) {
  const std::string marker = "\"" + std::string(key) + "\":\"";
  const std::size_t at = line.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t end = at + marker.size();
  while (end < line.size() && line[end] != '"')
    end += line[end] == '\\' ? std::size_t{2} : std::size_t{1};
  return std::string(line.substr(at + marker.size(), end - at - marker.size()));
}

// Every unsigned value of `key` in the line, in order (a history chunk holds several snapshots).
inline std::vector<std::uint64_t> numberFields(std::string_view line, std::string_view key) {
  const std::string marker = "\"" + std::string(key) + "\":";
  std::vector<std::uint64_t> values;
  for (std::size_t at = line.find(marker); at != std::string_view::npos;
       at = line.find(marker, at + 1)) {
    std::size_t i = at + marker.size();
    if (i >= line.size() || line[i] < '0' || line[i] > '9') continue;
    std::uint64_t value = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
      value = value * 10 + static_cast<std::uint64_t>(line[i] - '0');
    }
    values.push_back(value);
  }
  return values;
}

inline std::optional<std::uint64_t> numberField(std::string_view line, std::string_view key) {
  const std::vector<std::uint64_t> values = numberFields(line, key);
  if (values.empty()) return std::nullopt;
  return values.front();
}

inline std::string eventType(std::string_view line) {
  return stringField(line, "type").value_or("");
}

}  // namespace procsampler::testing
