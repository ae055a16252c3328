// The report: how the install ended, on standard output, and why each file
// failed, on standard error. Paths may hold any characters (Hebrew folder
// names are common where this pack is wanted), so error lines go to a
// console as UTF-16 and to a pipe or file as UTF-8.

#include "installer/report.h"

#include <windows.h>

namespace {

// Room kept at the end of a reason for " (error 4294967295)".
constexpr std::size_t kErrorCodeUnits = 20;

// Writes one line to standard output: plain ASCII, ending in CR LF.
void PrintLine(const char* line) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;
  DWORD length = 0;
  while (line[length] != '\0')
    ++length;
  DWORD written = 0;
  WriteFile(handle, line, length, &written, nullptr);
}

void PrintFailed() {
  PrintLine("installation has failed\r\n");
}

// Writes `count` units of `text` to standard error: UTF-16 to a console,
// UTF-8 to a pipe or file, converted a piece at a time so that no buffer
// limits the length.
void WriteErrorText(HANDLE handle,
                    bool console,
                    const wchar_t* text,
                    std::size_t count) {
  constexpr std::size_t kPieceUnits = 256;
  while (count > 0) {
    std::size_t units = count < kPieceUnits ? count : kPieceUnits;
    // A surrogate pair is never split between two pieces.
    if (units < count && text[units - 1] >= 0xD800 && text[units - 1] < 0xDC00)
      --units;
    DWORD written = 0;
    if (console) {
      WriteConsoleW(handle, text, static_cast<DWORD>(units), &written, nullptr);
    } else {
      char utf8[kPieceUnits * 3];
      const int bytes =
          WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), utf8,
                              sizeof(utf8), nullptr, nullptr);
      if (bytes > 0)
        WriteFile(handle, utf8, static_cast<DWORD>(bytes), &written, nullptr);
    }
    text += units;
    count -= units;
  }
}

// Writes one line to standard error, made of `count` pieces. A failed write
// is ignored: a report that cannot be shown must not stop the install or the
// following lines.
void PrintErrorLine(const wchar_t* const* pieces, std::size_t count) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;
  DWORD mode = 0;
  const bool console = GetConsoleMode(handle, &mode) != FALSE;
  for (std::size_t i = 0; i < count; ++i)
    WriteErrorText(handle, console, pieces[i], TextLength(pieces[i]));
  WriteErrorText(handle, console, L"\r\n", 2);
}

// "error: cannot write <path>: <reason>" for a file of the pack that failed,
// and "error: cannot put back <path>: <reason>" for one that could not be
// put back as it was.
void PrintFileErrors(const PathText& directory,
                     const PayloadEntry& entry,
                     const ClaimedFile& file) {
  const FileFailure* failures[] = {&file.failure, &file.putBackFailure};
  const wchar_t* prefixes[] = {L"error: cannot write ",
                               L"error: cannot put back "};
  for (std::size_t i = 0; i < 2; ++i) {
    if (failures[i]->step == FileStep::kNone)
      continue;
    ReasonText reason;
    DescribeFileFailure(entry, file, *failures[i], reason);
    const wchar_t* const pieces[] = {prefixes[i], directory.units,
                                     entry.fileName, L": ", reason.units};
    PrintErrorLine(pieces, sizeof(pieces) / sizeof(pieces[0]));
  }
}

// Appends the system's description of `code`, or says that the system gave
// none. Callers clear the thread's last error before the failing call, so a
// code left behind by an earlier one is never taken for the reason.
void DescribeCode(std::uint32_t code, ReasonText& reason) {
  if (code != ERROR_SUCCESS)
    DescribeSystemError(code, reason);
  else
    reason.Append(L"the system gave no reason");
}

}  // namespace

void ReportNotInstalled() {
  PrintLine("Quarn Paginor is not installed\r\n");
}

void ReportCompleted() {
  PrintLine("installation has been completed\r\n");
}

void ReportPathTooLong(const wchar_t* subPath) {
  FixedText<24> limit;
  limit.AppendNumber(kPathUnits - 1);
  const wchar_t* const pieces[] = {L"error: the host's installation path with ",
                                   subPath, L" is longer than ", limit.units,
                                   L" characters"};
  PrintErrorLine(pieces, sizeof(pieces) / sizeof(pieces[0]));
  PrintFailed();
}

void ReportNotEnoughSpace(const PathText& directory,
                          std::uint64_t needed,
                          std::uint64_t available) {
  FixedText<24> neededText;
  FixedText<24> availableText;
  neededText.AppendNumber(needed);
  availableText.AppendNumber(available);
  const wchar_t* const pieces[] = {L"error: not enough space in ",
                                   directory.units,
                                   L": ",
                                   neededText.units,
                                   L" bytes needed, ",
                                   availableText.units,
                                   L" bytes free"};
  PrintErrorLine(pieces, sizeof(pieces) / sizeof(pieces[0]));
  PrintFailed();
}

int ReportFailedFiles(const PathText& directory,
                      const PayloadEntry* table,
                      const ClaimedFile* claims,
                      std::size_t count) {
  // A run stopped only by files in use changed nothing, or put all of it
  // back: it can simply be run again once those programs let go. A file
  // that could not be put back, or any other failure, needs a person.
  bool inUse = false;
  bool other = false;
  for (std::size_t i = 0; i < count; ++i) {
    PrintFileErrors(directory, table[i], claims[i]);
    const FileFailure& failure = claims[i].failure;
    if (failure.step != FileStep::kNone) {
      if (IsInUseByAnotherProgram(failure.code))
        inUse = true;
      else
        other = true;
    }
    if (claims[i].putBackFailure.step != FileStep::kNone)
      other = true;
  }
  PrintFailed();
  return inUse && !other ? kExitFilesInUse : kExitInstallFailed;
}

bool IsInUseByAnotherProgram(std::uint32_t code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_USER_MAPPED_FILE || code == ERROR_DELETE_PENDING;
}

void DescribeFileFailure(const PayloadEntry& entry,
                         const ClaimedFile& file,
                         const FileFailure& failure,
                         ReasonText& reason) {
  switch (failure.step) {
    case FileStep::kNone:
      reason.Append(L"no failure");
      return;
    case FileStep::kPathTooLong:
      reason.Append(L"the path is longer than ");
      reason.AppendNumber(kPathUnits - 1);
      reason.Append(L" characters");
      return;
    case FileStep::kPayloadMissing:
      reason.Append(L"payload resource ");
      reason.AppendNumber(entry.resourceId);
      reason.Append(L" is missing from this program");
      return;
    case FileStep::kPayloadUnloadable:
      reason.Append(L"payload resource ");
      reason.AppendNumber(entry.resourceId);
      reason.Append(L" cannot be loaded: ");
      break;
    case FileStep::kFolderInPlace:
      reason.Append(
          L"a folder stands in its place; move or remove the folder, then "
          L"run the installer again");
      return;
    case FileStep::kLinked:
      reason.Append(
          L"it is a symbolic link or mount point, and the installer does not "
          L"write through links; remove the link, then run the installer "
          L"again");
      return;
    case FileStep::kHardLinked:
      reason.Append(
          L"the file has other names (hard links), and the installer does not "
          L"write through them; remove the file, then run the installer "
          L"again");
      return;
    case FileStep::kOpen:
    case FileStep::kLock:
    case FileStep::kTruncate:
    case FileStep::kPutBack:
      break;
    case FileStep::kKeep:
      reason.Append(L"its installed bytes cannot be kept to put back: ");
      break;
    case FileStep::kRemoveCreated:
      reason.Append(L"the file that this install created cannot be removed: ");
      break;
    case FileStep::kWrite:
      reason.Append(L"writing failed after ");
      reason.AppendNumber(failure.written);
      reason.Append(L" of ");
      reason.AppendNumber(file.size);
      reason.Append(L" bytes: ");
      break;
    case FileStep::kKeepCreated:
      reason.Append(L"the new file cannot be kept: ");
      break;
    case FileStep::kClose:
      reason.Append(L"closing failed: ");
      break;
  }
  DescribeCode(failure.code, reason);
  if (failure.step == FileStep::kPutBack)
    reason.Append(L"; it now holds neither its old bytes nor the new ones");
  // The system's words for these say nothing about what to do.
  if (IsInUseByAnotherProgram(failure.code)) {
    reason.Append(
        L". Close Quarn Paginor and any other program that uses the file, "
        L"then run the installer again");
  }
  if (failure.code == ERROR_ACCESS_DENIED)
    AppendAccessDeniedAdvice(RunsElevated(), reason);
}

bool RunsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return false;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const BOOL read = GetTokenInformation(token, TokenElevation, &elevation,
                                        sizeof(elevation), &size);
  CloseHandle(token);
  return read != FALSE && elevation.TokenIsElevated != 0;
}

void AppendAccessDeniedAdvice(bool elevated, ReasonText& reason) {
  // The program never asks for elevation, so a double-click into a
  // protected folder is refused; an elevated run that is refused meets a
  // file or folder that bars administrators too.
  if (!elevated) {
    reason.Append(
        L". Run the installer as an administrator: from an elevated console, "
        L"or from a deployment tool that runs as an administrator or as "
        L"SYSTEM");
  } else {
    reason.Append(
        L". The file or its folder refuses writing even to administrators: "
        L"the file may be read-only, the folder's permissions may deny it, or "
        L"a security program may block it");
  }
}

void DescribeSystemError(unsigned long code, ReasonText& text) {
  // The system's message goes straight into the text's buffer, with room
  // kept for the code after it. A message that does not fit is not taken.
  const std::size_t free =
      sizeof(text.units) / sizeof(text.units[0]) - text.length;
  const std::size_t start = text.length;
  DWORD length = 0;
  if (free > kErrorCodeUnits + 1) {
    const std::size_t room = free - kErrorCodeUnits;
    length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, text.units + start, static_cast<DWORD>(room), nullptr);
  }
  // System messages end with a line break, which would split the report.
  while (length > 0 && (text.units[start + length - 1] == L'\r' ||
                        text.units[start + length - 1] == L'\n' ||
                        text.units[start + length - 1] == L' ')) {
    --length;
  }
  text.length = start + length;
  text.units[text.length] = L'\0';
  if (length == 0)
    text.Append(L"unknown error");
  text.Append(L" (error ");
  text.AppendNumber(code);
  text.Append(L")");
}
