// The program's entry, which the start-up (or MSVC's runtime) calls.

#ifndef HEBREW_OCR_PACK_INSTALLER_MAIN_H_
#define HEBREW_OCR_PACK_INSTALLER_MAIN_H_

// One run of the installer; returns the exit status. The arguments and the
// environment are not consulted.
int wmain(int argc, wchar_t* argv[], wchar_t* envp[]);

#endif  // HEBREW_OCR_PACK_INSTALLER_MAIN_H_
