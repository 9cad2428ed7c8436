// The sidecar's entry point: standard input carries commands, standard output events, and
// standard error at most the one line that explains a failed session or refused arguments.
#include <cstdio>
#include <span>
#include <string>

#include "common/io_error.h"
#include "common/os_io.h"
#include "session/launch_options.h"
#include "session/run_session.h"

int main(int argc, char** argv) {
  procsampler::os::prepareStandardStreams();
  const auto options = procsampler::session::parseLaunchOptions(
      std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)));
  if (!options) {
    const std::string line = "Error: " + options.error() + "\n";
    std::fputs(line.c_str(), stderr);
    return 2;
  }
  const procsampler::IoStatus status = procsampler::session::runSession(*options);
  if (status.ok()) return 0;
  const std::string line = "Error: " + procsampler::renderIoErrorDebug(status.error()) + "\n";
  std::fputs(line.c_str(), stderr);
  return 1;
}
