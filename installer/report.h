// The report: the one line on standard output that says how the install
// ended, and the error lines on standard error that say why a file failed,
// in the system's words.

#ifndef HEBREW_OCR_PACK_INSTALLER_REPORT_H_
#define HEBREW_OCR_PACK_INSTALLER_REPORT_H_

#include <cstddef>
#include <cstdint>

#include "installer/pack_types.h"

// How a run ends, in its exit status: installed or no host to install into;
// failed; or failed only because other programs hold files of the pack.
// Windows Installer gives 1618 when another installation is in progress, and
// deployment tools retry an install that ends with it by themselves.
constexpr int kExitSuccess = 0;
constexpr int kExitInstallFailed = 1;
constexpr int kExitFilesInUse = 1618;

// "Quarn Paginor is not installed".
void ReportNotInstalled();
// "installation has been completed".
void ReportCompleted();

// The host's installation path with `subPath` does not fit in a path: its
// error line, then "installation has failed".
void ReportPathTooLong(const wchar_t* subPath);
// The pack does not fit in `directory`: its error line with the bytes
// needed and free, then "installation has failed".
void ReportNotEnoughSpace(const PathText& directory,
                          std::uint64_t needed,
                          std::uint64_t available);
// One error line for each failure of the `count` files of `table` in
// `claims` (that it could not be written, that it could not be put back),
// then "installation has failed". Returns the exit status for them:
// kExitFilesInUse when every file that failed is in use by another program
// and every changed file was put back; otherwise kExitInstallFailed.
int ReportFailedFiles(const PathText& directory,
                      const PayloadEntry* table,
                      const ClaimedFile* claims,
                      std::size_t count);

// Whether the Win32 error `code` says that another program is using the
// file: it holds the file without sharing writing, has locked part of it,
// has mapped it into memory, or is removing it. Such a file can be written
// once that program lets go.
bool IsInUseByAnotherProgram(std::uint32_t code);

// Appends to `reason` why the file of `entry` failed, as `failure` says, in
// words for the error line. When the code says that another program is
// using the file, the words say what to close before trying again; when it
// says that access is denied, they say what to do about it.
void DescribeFileFailure(const PayloadEntry& entry,
                         const ClaimedFile& file,
                         const FileFailure& failure,
                         ReasonText& reason);

// Whether this process runs elevated, as its token says; false when the
// token cannot be read.
bool RunsElevated();

// Appends to `reason`, after the system's words for access denied, what to
// do: run as an administrator when the run is not `elevated`; otherwise,
// that the file or folder bars administrators too.
void AppendAccessDeniedAdvice(bool elevated, ReasonText& reason);

// Appends to `text` a Win32 error code described in the system's words, on
// one line, with the code itself.
void DescribeSystemError(unsigned long code, ReasonText& text);

#endif  // HEBREW_OCR_PACK_INSTALLER_REPORT_H_
