#include "sampling/command_line.h"

#include <algorithm>

namespace procsampler::sampling {

bool CommandLineSplitter::add(std::string_view piece) {
  if (!piece.empty()) started_ = true;
  std::size_t pos = 0;
  while (kept_ < limit_) {
    if (!inArgument_) {
      while (pos < piece.size() && piece[pos] == '\0') ++pos;
      if (pos == piece.size()) break;
      // The space that will join it to the one before, then the argument itself.
      if (count_ > 0 && ++kept_ == limit_) break;
      if (count_ < args_.size()) {
        args_[count_].clear();  // keeps the string's storage
      } else {
        args_.emplace_back();
      }
      ++count_;
      inArgument_ = true;
    }
    const std::size_t end = std::min(piece.find('\0', pos), piece.size());
    const std::size_t take = std::min(end - pos, limit_ - kept_);
    args_[count_ - 1].append(piece.substr(pos, take));
    kept_ += take;
    pos += take;
    if (pos == piece.size()) break;
    if (piece[pos] == '\0') inArgument_ = false;
  }
  return kept_ < limit_;
}

void CommandLineSplitter::finish() {
  if (started_) args_.resize(count_);
}

}  // namespace procsampler::sampling
