// The sidecar's entry point: standard input carries commands, standard output events, and
// standard error at most the one line that explains a failed session.
#include <csignal>
#include <cstdio>
#include <string>

#include "common/io_error.h"
#include "session/run_session.h"

int main() {
  // A host that stops reading must surface as a write error (EPIPE), not kill us silently.
  std::signal(SIGPIPE, SIG_IGN);
  const procsampler::IoStatus status = procsampler::session::runSession();
  if (status.ok()) return 0;
  const std::string line = "Error: " + procsampler::renderIoErrorDebug(status.error()) + "\n";
  std::fputs(line.c_str(), stderr);
  return 1;
}
