// Entry point: one run installs the Hebrew language pack into the host's OCR
// resource directory and reports the outcome in one line on standard output
// and in the exit status. Each file that could not be written gets its own
// line on standard error.

#include <windows.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "installer/installer.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitInstallFailed = 1;

// Writes one line to standard error. Paths may hold any characters (Hebrew
// folder names are common where this pack is wanted), so a console gets
// UTF-16 and a pipe or file gets UTF-8. A failed write is ignored: a report
// that cannot be shown must not stop the install or the following lines.
void PrintErrorLine(const std::wstring& line) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;

  const std::wstring text = line + L"\r\n";
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()),
                  &written, nullptr);
    return;
  }

  const int units = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr,
                                        0, nullptr, nullptr);
  if (bytes <= 0)
    return;
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &utf8[0], bytes, nullptr,
                      nullptr);
  WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written,
            nullptr);
}

}  // namespace

int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
  // Installers are often started, elevated, from a downloads folder where
  // anyone may have left a DLL: every DLL loaded from here on comes from
  // System32 alone. A failure only leaves the default search order, so it
  // changes nothing the run reports.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  std::wstring directory;
  {
    const std::wstring subPath = L"IRIS_OCR\\resources\\";
    directory = GetOcrResourceDirectory(subPath);
  }

  if (directory.empty()) {
    std::cout << "Quarn Paginor is not installed" << std::endl;
    return kExitSuccess;
  }

  // A pack that does not fit must not start: each file is truncated before
  // its payload is written, so running out of space part way would leave
  // the installed files destroyed and the new ones partial.
  const std::vector<PayloadEntry> table = GetPayloadTable();
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  if (!PackFits(directory, table, needed, available)) {
    PrintErrorLine(L"error: not enough space in " + directory + L": " +
                   std::to_wstring(needed) + L" bytes needed, " +
                   std::to_wstring(available) + L" bytes free");
    std::cout << "installation has failed" << std::endl;
    return kExitInstallFailed;
  }

  // Every file is opened for writing before any is changed, so that a file
  // that cannot be written now (the host's engine holding it, say) fails
  // the install with the installed pack as it was, rather than part new and
  // part old.
  std::vector<ClaimedFile> claims;
  std::vector<FileFailure> failures;
  if (!ClaimTargets(directory, table, claims, failures)) {
    for (const FileFailure& failure : failures)
      PrintErrorLine(L"error: cannot write " + failure.path + L": " +
                     failure.reason);
    std::cout << "installation has failed" << std::endl;
    return kExitInstallFailed;
  }

  // Once writing has begun, a file that fails (a disk error, say) does not
  // keep the others from being written, and every failure is reported.
  bool allWritten = true;
  for (ClaimedFile& claim : claims) {
    std::wstring failure;
    if (!WritePayloadFile(claim, failure)) {
      allWritten = false;
      PrintErrorLine(L"error: cannot write " + claim.path + L": " + failure);
    }
  }

  if (!allWritten) {
    std::cout << "installation has failed" << std::endl;
    return kExitInstallFailed;
  }
  std::cout << "installation has been completed" << std::endl;
  return kExitSuccess;
}
