// The paths of the pack's files: a file's path in the OCR resource folder,
// and the form of a path that Windows takes at any length.

#ifndef HEBREW_OCR_PACK_INSTALLER_SYSTEM_PATH_H_
#define HEBREW_OCR_PACK_INSTALLER_SYSTEM_PATH_H_

#include <cstdint>

#include "installer/pack_types.h"

// Sets `path` to `directory` followed by the file name of `entry`. Returns
// false, with `path` empty, when they do not fit.
bool MakeTargetPath(const PathText& directory,
                    const PayloadEntry& entry,
                    PathText& path);

// Sets `systemPath` to the form of `path` that Windows takes at any length:
// the full, normalised path in extended-length form (\\?\C:\..., or
// \\?\UNC\server\share\... for a share). A path in device form, given or
// made full (\\?\, \\.\ or the kernel's \??\), is taken as it is. Returns
// no failure on success; kPathTooLong when the result does not fit; kOpen
// with the system's error when the path cannot be made full. `systemPath`
// is empty on failure.
FileFailure MakeSystemPath(const PathText& path, PathText& systemPath);

// Sets `path` to the final path of the open file or folder `handle` (a
// HANDLE), where it really is whatever links led to it, with its volume
// named as `volumeName` (VOLUME_NAME_DOS or VOLUME_NAME_NT) says. Returns the
// Win32 error, or 0; a path that does not fit is refused with
// ERROR_FILENAME_EXCED_RANGE, never cut short.
std::uint32_t GetFinalPath(void* handle,
                           std::uint32_t volumeName,
                           PathText& path);

#endif  // HEBREW_OCR_PACK_INSTALLER_SYSTEM_PATH_H_
