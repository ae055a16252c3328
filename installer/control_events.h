// The console's control events (Ctrl+C, Ctrl+Break, a closed window,
// log-off, shutdown), held off while the pack changes.

#ifndef HEBREW_OCR_PACK_INSTALLER_CONTROL_EVENTS_H_
#define HEBREW_OCR_PACK_INSTALLER_CONTROL_EVENTS_H_

// From now on Ctrl+C and Ctrl+Break do not end the program, and a closed
// window, log-off or shutdown waits, within the time Windows gives it,
// until AllowControlEvents is called.
void HoldOffControlEvents();

// The events end the program again, as they do by default; one that has
// been waiting ends it now.
void AllowControlEvents();

#endif  // HEBREW_OCR_PACK_INSTALLER_CONTROL_EVENTS_H_
