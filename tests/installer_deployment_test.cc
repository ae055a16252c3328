// The built installer run as a child process: the outcomes that deployment
// tools act on, 1618 for files in use alone, and installers that meet.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace {

TEST_F(InstallerRunTest, FilesHeldForGoodFailTheInstallAndNothingChanges) {
  const std::wstring resources = InstallHost(L"Host");
  // Three files of an older pack are installed, two of them held for the
  // whole run: one without write sharing, one by a writer that shares
  // reading and writing. The other three files are missing.
  const std::vector<std::wstring> installed = {L"heb.ilex", L"net_hebrew.bin",
                                               L"hebrew.ocr"};
  for (const std::wstring& name : installed)
    WriteFileBytes(resources + name, "older " + ToUtf8(name));
  HANDLE heldFirst = OpenAsAnotherProgram(resources + L"heb.ilex", false);
  HANDLE heldLast =
      OpenAsAnotherProgram(resources + L"hebrew.ocr", true, GENERIC_WRITE);

  const ULONGLONG start = GetTickCount64();
  const RunResult run = RunInstaller();
  const ULONGLONG elapsed = GetTickCount64() - start;

  // Only files in use stop it: deployment tools retry on 1618.
  const std::wstring held = InUseError(ERROR_SHARING_VIOLATION);
  const std::vector<std::string> heldLines = {
      ToUtf8(L"error: cannot write " + resources + L"heb.ilex: " + held),
      ToUtf8(L"error: cannot write " + resources + L"hebrew.ocr: " + held),
  };
  EXPECT_TRUE(Failed(run, 1618, heldLines));

  // With a folder where eng.ilex goes as well, a retry would not help: the
  // same lines and the folder's, and the status of any other failure.
  MakeDirectories(resources + L"eng.ilex\\");
  const RunResult mixed = RunInstaller();
  RemoveDirectoryW((resources + L"eng.ilex").c_str());
  CloseHandle(heldFirst);
  CloseHandle(heldLast);
  std::vector<std::string> mixedLines = heldLines;
  mixedLines.insert(mixedLines.begin() + 1,
                    ToUtf8(L"error: cannot write " + resources +
                           L"eng.ilex: a folder stands in its place; move or "
                           L"remove the folder, then run the installer again"));
  EXPECT_TRUE(Failed(mixed, 1, mixedLines));
  for (const PayloadEntry& entry : PayloadTable()) {
    const std::wstring path = resources + entry.fileName;
    if (std::find(installed.begin(), installed.end(),
                  std::wstring(entry.fileName)) != installed.end()) {
      EXPECT_EQ(ReadFileBytes(path), "older " + ToUtf8(entry.fileName));
    } else {
      EXPECT_FALSE(PathExists(path)) << ToUtf8(entry.fileName) << " created";
    }
  }
  // Held files are waited for, about two seconds in all, however many there
  // are.
  EXPECT_GE(elapsed, 2000u);
  EXPECT_LT(elapsed, 4000u);
}

TEST_F(InstallerRunTest, TwoInstallersStartedTogetherBothComplete) {
  // Each takes the pack whole, in the same order, so one waits for the
  // other rather than both failing with part of the pack each. Over an
  // older pack, a scanner holds the last file while both start, so that
  // both are claiming at once. On a first install, the files that one has
  // just made are pending removal until its pack is whole, and the other
  // waits for them as for a held file.
  const std::wstring resources = InstallHost(L"Host");
  for (int round = 0; round < 8; ++round) {
    const bool firstInstall = round % 2 == 1;
    HANDLE scanner = nullptr;
    for (const PayloadEntry& entry : PayloadTable()) {
      if (firstInstall)
        DeleteFileW((resources + entry.fileName).c_str());
      else
        WriteFileBytes(resources + entry.fileName, "older pack");
    }
    if (!firstInstall)
      scanner = OpenAsAnotherProgram(resources + L"hebrew.ocr", false);
    // Over an older pack the scanner lets go 300 ms after an installer is
    // seen holding the pack's first file, and neither may have ended by
    // then: the one cannot finish before hebrew.ocr is free, the other not
    // before the first.
    RunResult runs[2];
    std::atomic<int> ended{0};
    std::thread other([&] {
      runs[1] = RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
        if (scanner == nullptr)
          return;
        EXPECT_TRUE(WaitUntilHeld(resources + L"hebrew.ilex", process))
            << "round " << round << ": no installer was seen holding the pack";
        Sleep(300);
        EXPECT_EQ(ended, 0)
            << "round " << round << ": an installer ended before the hold did";
        CloseHandle(scanner);
      });
      ++ended;
    });
    runs[0] = RunInstaller();
    ++ended;
    other.join();
    for (const RunResult& run : runs) {
      EXPECT_TRUE(Completed(run)) << "round " << round;
    }
    ExpectPackInstalled(resources);
  }
}

}  // namespace
