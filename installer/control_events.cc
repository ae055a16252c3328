// The console's control events. An install ended between the first
// truncation and the end of writing or putting back would leave a mixed
// pack, and one ended between a file's creation and its mark for removal
// would leave an empty file behind. The main thread holds a lock across
// each such step; the handler, which the system runs on a thread of its
// own, takes that lock before it lets an event end the run, and never
// gives it back: the main thread cannot begin another step before the
// process has ended.

#include "installer/control_events.h"

#include <windows.h>

namespace {

// Held by the main thread across a step that must not be cut, and for
// good by a handler that ends the run.
SRWLOCK g_step = SRWLOCK_INIT;
// Whether the run's outcome has been reported, and the exit status that
// goes with it. Written and read under g_step.
bool g_settled = false;
int g_exitStatus = 0;

// Whether the run is in session 0, where services run and where deployment
// tools start programs as SYSTEM. No user logs on to it, so a log-off seen
// there is another session's. A session that cannot be read counts as a
// user's: ending the run at a log-off, once no step is under way, is safe
// anywhere, while ignoring one in a user's session lets the system cut it.
bool InSessionZero() {
  DWORD session = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

BOOL WINAPI OnControlEvent(DWORD event) {
  // Windows sends a log-off to every console program, whichever session
  // logs off. Programs of the session that logs off are ended by the system
  // once their handlers return or their time is up, so there a log-off is
  // taken as a close: it waits for a step under way and ends the run
  // itself. Programs of other sessions are only told, and a run in
  // session 0 goes on.
  if (event == CTRL_LOGOFF_EVENT && InSessionZero())
    return TRUE;
  AcquireSRWLockExclusive(&g_step);
  if (g_settled) {
    // The line has been printed and the run ends by itself with its status
    // in a moment.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
      ReleaseSRWLockExclusive(&g_step);
      return TRUE;
    }
    ExitProcess(static_cast<UINT>(g_exitStatus));
  }
  // No step is under way: the pack is as it was, and the files that the
  // claim created, marked for removal, go with the process.
  ExitProcess(static_cast<UINT>(kExitInterrupted));
}

}  // namespace

void HandleControlEvents() {
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

void HoldOffControlEvents() {
  AcquireSRWLockExclusive(&g_step);
}

void AllowControlEvents() {
  ReleaseSRWLockExclusive(&g_step);
}

int SettleRun(int exitStatus) {
  g_exitStatus = exitStatus;
  g_settled = true;
  ReleaseSRWLockExclusive(&g_step);
  return exitStatus;
}
