// Entry point: one run installs the Hebrew language pack into the host's OCR
// resource directory and reports the outcome in one line on standard output
// and in the exit status. Each file that could not be written gets its own
// line on standard error.

#include <windows.h>

#include "installer/installer.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitInstallFailed = 1;

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

// Writes `count` units of `text` to standard error. Paths may hold any
// characters (Hebrew folder names are common where this pack is wanted), so
// a console gets UTF-16 and a pipe or file gets UTF-8, converted a piece at
// a time so that no buffer limits the length.
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

// Reports every file's failures and the failed install.
int Fail(const PathText& directory,
         const PayloadEntry* table,
         const ClaimedFile* claims) {
  for (std::size_t i = 0; i < kPayloadCount; ++i)
    PrintFileErrors(directory, table[i], claims[i]);
  PrintLine("installation has failed\r\n");
  return kExitInstallFailed;
}

}  // namespace

int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
  // Installers are often started, elevated, from a downloads folder where
  // anyone may have left a DLL: every DLL loaded from here on comes from
  // System32 alone. A failure only leaves the default search order, so it
  // changes nothing the run reports.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  PathText directory;
  const wchar_t kSubPath[] = L"IRIS_OCR\\resources\\";
  if (!GetOcrResourceDirectory(kSubPath, directory)) {
    // The registry's value is at most 260 characters, so with this sub-path
    // the folder always fits; were it ever not to, the install stops rather
    // than work on a path cut short.
    FixedText<24> limit;
    limit.AppendNumber(kPathUnits - 1);
    const wchar_t* const pieces[] = {
        L"error: the host's installation path with ", kSubPath,
        L" is longer than ", limit.units, L" characters"};
    PrintErrorLine(pieces, sizeof(pieces) / sizeof(pieces[0]));
    PrintLine("installation has failed\r\n");
    return kExitInstallFailed;
  }

  if (directory.empty()) {
    PrintLine("Quarn Paginor is not installed\r\n");
    return kExitSuccess;
  }

  // A pack that does not fit must not start: each file is truncated before
  // its payload is written, so running out of space part way would leave
  // the installed files destroyed and the new ones partial.
  const PayloadEntry* table = GetPayloadTable();
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  if (!PackFits(directory, table, kPayloadCount, needed, available)) {
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
    PrintLine("installation has failed\r\n");
    return kExitInstallFailed;
  }

  // Every file is opened, and the bytes of those it replaces are kept in
  // memory, before any is changed, so that a file that cannot be written
  // now (the host's engine holding it, say) fails the install with the
  // installed pack as it was.
  ClaimedFile claims[kPayloadCount];
  KeptBytes kept;
  if (!ClaimTargets(directory, table, kPayloadCount, claims) ||
      !KeepInstalledFiles(claims, kPayloadCount, kept)) {
    ReleaseClaims(directory, table, kPayloadCount, claims);
    return Fail(directory, table, claims);
  }

  // What cannot be seen beforehand (a file mapped by another program, a
  // disk that fills up or fails) stops the install at the first failure,
  // and the pack is put back as it was: the engine must never load new
  // files with old ones.
  for (std::size_t i = 0; i < kPayloadCount; ++i) {
    if (!WritePayloadFile(claims[i])) {
      PutBackInstalledFiles(directory, table, kPayloadCount, claims);
      return Fail(directory, table, claims);
    }
  }

  // Every file now holds its payload in full. A handle that fails to close
  // is reported; its bytes have all been written, and with the handle gone
  // nothing could be put back through it.
  bool closedAll = true;
  for (std::size_t i = 0; i < kPayloadCount; ++i) {
    SetLastError(ERROR_SUCCESS);
    if (!claims[i].handle.Close()) {
      claims[i].failure = {FileStep::kClose, GetLastError(), 0};
      closedAll = false;
    }
  }
  if (!closedAll)
    return Fail(directory, table, claims);
  PrintLine("installation has been completed\r\n");
  return kExitSuccess;
}
