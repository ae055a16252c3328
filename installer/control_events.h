// The console's control events (Ctrl+C, Ctrl+Break, a closed window,
// log-off, shutdown), and the steps of a run that they must not cut.

#ifndef HEBREW_OCR_PACK_INSTALLER_CONTROL_EVENTS_H_
#define HEBREW_OCR_PACK_INSTALLER_CONTROL_EVENTS_H_

// The exit status of a run that Ctrl+C, Ctrl+Break, a closed window,
// shutdown or a log-off of its own session ended before its outcome was
// settled: the status that Windows gives a console program ended by them
// (STATUS_CONTROL_C_EXIT).
constexpr unsigned long kExitInterrupted = 0xC000013AUL;

// Registers the run's one handler of control events, at the start of the
// run, before any file of the pack is opened. It is never removed or
// registered again: changing the handlers waits for the lock under which
// the system runs them, which a waiting handler holds. From then on:
// - in session 0 a log-off is ignored, so that an install run as SYSTEM by
//   a deployment tool goes on when a user logs off; in a user's session,
//   which the system ends at its log-off, a log-off counts as a close;
// - Ctrl+C, Ctrl+Break, a closed window or shutdown ends the run with
//   kExitInterrupted, at once, or at the end of a step that is under way
//   and must not be cut;
// - once the run's outcome is settled, Ctrl+C and Ctrl+Break are dropped,
//   since the run ends by itself in a moment, and a closed window,
//   shutdown or log-off ends it with the settled exit status.
// A failure to register leaves the system's default handling: the run goes
// on either way.
void HandleControlEvents();

// Begins a step that control events must not cut: the creation of a file
// together with its mark for removal, the whole of writing the pack and
// putting it back, or the printing of the run's line, which SettleRun then
// makes the run's outcome. An event meanwhile waits for AllowControlEvents
// or SettleRun. Steps do not nest. Nothing in a step may call a console
// function that changes or runs the handlers (SetConsoleCtrlHandler,
// AllocConsole, FreeConsole, AttachConsole, GenerateConsoleCtrlEvent): the
// system holds their lock while a handler waits for the step.
void HoldOffControlEvents();

// Ends the step; an event that has been waiting ends the run now.
void AllowControlEvents();

// Ends the step with the run's outcome reported, and returns `exitStatus`,
// the run's exit status, which an event that ends the run from now on
// keeps.
int SettleRun(int exitStatus);

#endif  // HEBREW_OCR_PACK_INSTALLER_CONTROL_EVENTS_H_
