// The host lookup: where the host is installed, from the value that its
// installer stored in the registry, and so where its OCR engine's resource
// directory is.

#ifndef HEBREW_OCR_PACK_INSTALLER_HOST_LOOKUP_H_
#define HEBREW_OCR_PACK_INSTALLER_HOST_LOOKUP_H_

#include <cstdint>

#include "installer/pack_types.h"

// The host's settings key, relative to HKEY_LOCAL_MACHINE (or
// HKEY_CURRENT_USER).
extern const wchar_t SettingsKeyPath[];

// Reads the string value `valueName` of the host's settings key into `text`.
// `accessMask` chooses the rights and the registry view; `valueType` seeds the
// type slot of the query. Returns the Win32 status: 0 on success. On any
// failure `text` is left empty. Values that are not REG_SZ or REG_EXPAND_SZ
// fail with ERROR_UNSUPPORTED_TYPE; REG_EXPAND_SZ is returned unexpanded.
// The text ends at the value's first zero unit; a value with none in the
// 260-unit buffer fails with ERROR_MORE_DATA, as a longer value does.
long ReadSettingsString(const wchar_t* valueName,
                        std::uint32_t accessMask,
                        std::uint32_t valueType,
                        PathText& text,
                        bool useCurrentUser);

// Sets `directory` to the host's installation path with `subPath` appended,
// looked up in the 64-bit registry view and, only when that read fails, in
// the 32-bit one, or to an empty string when the host is not installed. A
// value longer than 259 units fails to read, and so counts as no host.
// Returns false, with `directory` empty, when the two together do not fit
// in a path.
bool GetOcrResourceDirectory(const wchar_t* subPath, PathText& directory);

#endif  // HEBREW_OCR_PACK_INSTALLER_HOST_LOOKUP_H_
