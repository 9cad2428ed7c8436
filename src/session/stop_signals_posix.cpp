// watchStopSignals on POSIX: SIGTERM, SIGINT and SIGHUP waited for by a thread of their own.
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <system_error>
#include <thread>

#include "session/stop_signals.h"

namespace procsampler::session {

namespace {

[[noreturn]] void endBy(int signal, std::timed_mutex& boundary) {
  // Never released: the line being written, if any, is now whole, and no other one begins. Not
  // taken in time, the writer is stuck in a write the host will not read, and the line is cut.
  (void)boundary.try_lock_for(STOP_LINE_WAIT);
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  // Not reached: the default action of these signals ends the process.
  std::_Exit(128 + signal);
}

}  // namespace

void watchStopSignals(std::timed_mutex& boundary) {
  sigset_t watched;
  sigemptyset(&watched);
  bool any = false;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction current = {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&watched, signal);
    any = true;
  }
  if (!any) return;
  ::pthread_sigmask(SIG_BLOCK, &watched, nullptr);
  try {
    std::thread([watched, &boundary] {
      int signal = 0;
      while (::sigwait(&watched, &signal) != 0) {
      }
      endBy(signal, boundary);
    }).detach();
  } catch (const std::system_error&) {
    ::pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
  }
}

}  // namespace procsampler::session
