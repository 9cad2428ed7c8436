// Keeping a process's arguments within what a reported command can show, whatever the process put
// there: a pure splitter over the kernel's bytes, used by the Linux and macOS tables. Any thread;
// a splitter lives for one reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace procsampler::sampling {

// Splits arguments as the kernel keeps them, each ending in a NUL (/proc/PID/cmdline, the argument
// strings of a macOS argument area), handed over in pieces, into the arguments of a list, reusing
// its strings' storage. Runs of NULs count as one separator and leading or trailing NULs give
// nothing, so no argument is empty. It keeps only what a command cut to `reportable` bytes can
// show: once the kept arguments and the single spaces that will join them reach one byte past that
// (which tells whether the cut falls inside a character), add() refuses more.
// The list must outlive the splitter; it is left as it was until a non-empty piece arrives.
class CommandLineSplitter {
 public:
  CommandLineSplitter(std::vector<std::string>& args, std::size_t reportable)
      : args_(args), limit_(reportable + 1) {}
  // False once enough is kept: no later piece would change the arguments.
  bool add(std::string_view piece);
  // Drops what the list held beyond the arguments just split, if any piece came.
  void finish();

 private:
  std::vector<std::string>& args_;
  std::size_t limit_;
  std::size_t kept_ = 0;  // argument bytes and separators
  std::size_t count_ = 0;
  bool started_ = false;
  bool inArgument_ = false;
};

}  // namespace procsampler::sampling
