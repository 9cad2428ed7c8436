// watchStopSignals on Windows. A host's kill ("SIGTERM" in Node) is TerminateProcess there, which
// no program can delay, so a line it cuts stays cut. What can be waited for are console control
// events (Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown): the system runs the handler
// on a thread of its own, which ends the process between two lines, as the POSIX watcher does,
// with the exit status the default handler gives (STATUS_CONTROL_C_EXIT).
#include <windows.h>

#include "session/stop_signals.h"

namespace procsampler::session {
namespace {

std::timed_mutex* watchedBoundary = nullptr;

BOOL WINAPI onControlEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  // Never released: the line being written, if any, is now whole, and no other one begins. Not
  // taken in time, the writer is stuck in a write the host will not read, and the line is cut.
  // (Windows ends a process whose CTRL_CLOSE_EVENT handler runs longer than about 5 s anyway.)
  (void)watchedBoundary->try_lock_for(STOP_LINE_WAIT);
  ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

}  // namespace

void watchStopSignals(std::timed_mutex& boundary) {
  watchedBoundary = &boundary;
  // Fails only without room for another handler; the events then keep their default effect.
  (void)::SetConsoleCtrlHandler(onControlEvent, TRUE);
}

}  // namespace procsampler::session
