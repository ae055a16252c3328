// Holding off the console's control events while the pack changes. Ending
// the program between the first truncation and the end of writing, or of
// putting the pack back, would leave a mixed pack; before and after, the
// events end it as usual, since nothing is changed then and the files that
// the install created go with the process.

#include "installer/control_events.h"

#include <windows.h>

namespace {

// Set when the pack is whole again, written or put back. A manual-reset
// event, made when the events are held off; the system runs each handler
// on a thread of its own, and a handler that waits for this lets the
// process end once it is set.
HANDLE g_packWhole = nullptr;

BOOL WINAPI OnControlEvent(DWORD event) {
  // Ctrl+C and Ctrl+Break are dropped: the user sees the install finish,
  // or be put back, within moments.
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
    return TRUE;
  // A closed window, log-off or shutdown ends the process once its handlers
  // return, or when the system's time for them is up. Waiting here holds it
  // until the pack is whole; then the next handler ends the process.
  if (g_packWhole != nullptr)
    WaitForSingleObject(g_packWhole, INFINITE);
  return FALSE;
}

}  // namespace

void HoldOffControlEvents() {
  if (g_packWhole == nullptr)
    g_packWhole = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Without the handler the events end the program as before; the install
  // goes on either way.
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

void AllowControlEvents() {
  SetConsoleCtrlHandler(OnControlEvent, FALSE);
  if (g_packWhole != nullptr)
    SetEvent(g_packWhole);
}
