// The built installer run as a child process: the claim of every file
// before any changes, waits for files held or locked by other programs,
// locks, and links and folders in the pack's place.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/test_support.h"

namespace {

TEST_F(InstallerRunTest, BriefHoldsAreWaitedOutAndSharingReadersKeepReading) {
  const std::wstring resources = InstallHost(L"Host");
  // A scanner holds heb.ilex for half a second without write sharing; the
  // engine reads eng.ilex throughout and lets others write it.
  WriteFileBytes(resources + L"heb.ilex", "scanned");
  WriteFileBytes(resources + L"eng.ilex", "being read");
  // The hold's time counts from the moment the installer is seen at it: it
  // makes hebrew.ilex, then meets heb.ilex.
  HANDLE scanner = OpenAsAnotherProgram(resources + L"heb.ilex", false);
  HANDLE engine = OpenAsAnotherProgram(resources + L"eng.ilex", true);
  const RunResult run =
      RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
        EXPECT_TRUE(WaitForName(resources + L"hebrew.ilex"));
        Sleep(500);
        EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_TIMEOUT)
            << "the installer did not wait for the held file";
        CloseHandle(scanner);
      });
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(resources);

  // The engine's handle still reads the file, now the new one.
  const std::string payload = ResourceBytes(installer_, 111);
  std::string read(payload.size(), '\0');
  DWORD count = 0;
  EXPECT_EQ(SetFilePointer(engine, 0, nullptr, FILE_BEGIN), 0u);
  EXPECT_TRUE(ReadFile(engine, &read[0], static_cast<DWORD>(read.size()),
                       &count, nullptr));
  CloseHandle(engine);
  EXPECT_EQ(count, payload.size());
  EXPECT_TRUE(read == payload) << "the reader does not see the new eng.ilex";
}

// Locks bytes 1000 to 1999 of `path` as another program does: shared, so
// that every program may read them and none write them, or exclusive, so
// that none may do either. The lock goes with the handle.
HANDLE LockPartAsAnotherProgram(const std::wstring& path, bool exclusive) {
  HANDLE handle = OpenAsAnotherProgram(path, true);
  OVERLAPPED from = {};
  from.Offset = 1000;
  EXPECT_TRUE(LockFileEx(handle, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0,
                         1000, 0, &from))
      << ToUtf8(path);
  return handle;
}

// Each file in `folder` by name, with its size and last-write time, read
// without reading the file: the installer's locks refuse reads.
std::map<std::wstring, std::pair<std::int64_t, std::uint64_t>> Stamps(
    const std::wstring& folder) {
  std::map<std::wstring, std::pair<std::int64_t, std::uint64_t>> stamps;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  EXPECT_NE(search, INVALID_HANDLE_VALUE) << ToUtf8(folder);
  if (search == INVALID_HANDLE_VALUE)
    return stamps;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      continue;
    stamps[found.cFileName] = {
        (std::int64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
        (std::uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) |
            found.ftLastWriteTime.dwLowDateTime};
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return stamps;
}

TEST_F(InstallerRunTest, APartLockedByAnotherProgramIsWaitedForLikeAHeldFile) {
  // A whole older pack; another program locks part of heb.ilex. Sharing
  // lets the installer open the file, and a lock that refuses writing
  // would stop the writing, or the put-back, half way: the installer locks
  // each installed file whole before it changes any, and a part locked
  // elsewhere stops it there, after the wait for held files, with 1618.
  const std::wstring resources = InstallHost(L"Host");
  for (const PayloadEntry& entry : PayloadTable()) {
    WriteFileBytes(resources + entry.fileName,
                   std::string(4096, 'o') + ToUtf8(entry.fileName));
    SetOldWriteTime(resources + entry.fileName);
  }
  const std::map<std::wstring, std::string> before = FolderState(resources);
  const std::wstring locked = resources + L"heb.ilex";
  for (const bool exclusive : {false, true}) {
    const std::string what = exclusive ? "exclusive lock" : "shared lock";
    HANDLE locker = LockPartAsAnotherProgram(locked, exclusive);
    const ULONGLONG start = GetTickCount64();
    const RunResult run = RunInstaller();
    const ULONGLONG elapsed = GetTickCount64() - start;
    CloseHandle(locker);
    EXPECT_TRUE(Failed(run, 1618,
                       {ToUtf8(L"error: cannot write " + locked + L": " +
                               InUseError(ERROR_LOCK_VIOLATION))}))
        << what;
    EXPECT_EQ(FolderState(resources), before) << what;
    EXPECT_GE(elapsed, 2000u) << what << " not waited for";
  }

  // A lock let go within the wait: the installer, seen holding every file
  // (the last one refuses a writer), is still waiting half a second later
  // with nothing changed, and installs the pack once the lock goes.
  HANDLE locker = LockPartAsAnotherProgram(locked, true);
  const std::wstring last = resources + L"hebrew.ocr";
  const auto stamps = Stamps(resources);
  const RunResult run =
      RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
        EXPECT_TRUE(WaitUntilHeld(last, process))
            << "the installer was never seen holding the pack";
        Sleep(500);
        EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_TIMEOUT)
            << "the installer did not wait for the lock";
        EXPECT_EQ(Stamps(resources), stamps)
            << "the pack changed while part of it was locked";
        CloseHandle(locker);
      });
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(resources);
}

TEST_F(InstallerRunTest, AScannerCannotKeepAFileThatAFailedInstallMade) {
  // hebrew.ocr is held for good, so the claim fails after its wait. A
  // scanner opens each new file that it sees, without sharing deletion, and
  // keeps it open until the installer has ended, as scanners open new files
  // when they are closed. The file that the claim made goes all the same,
  // and nothing is left to report.
  const std::wstring resources = InstallHost(L"Host");
  WriteFileBytes(resources + L"hebrew.ocr", "older hebrew.ocr");
  HANDLE held = OpenAsAnotherProgram(resources + L"hebrew.ocr", false);
  const std::wstring created = resources + L"hebrew.ilex";
  std::atomic<bool> ended{false};
  HANDLE scanned = INVALID_HANDLE_VALUE;
  std::thread scanner([&] {
    while (!ended && scanned == INVALID_HANDLE_VALUE) {
      scanned = CreateFileW(created.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      Sleep(1);
    }
  });

  const RunResult run = RunInstaller();
  ended = true;
  scanner.join();
  const bool opened = scanned != INVALID_HANDLE_VALUE;
  if (opened)
    CloseHandle(scanned);
  CloseHandle(held);
  EXPECT_TRUE(Failed(run, 1618u,
                     std::vector<std::string>{ToUtf8(
                         L"error: cannot write " + resources + L"hebrew.ocr: " +
                         InUseError(ERROR_SHARING_VIOLATION))}));
  EXPECT_FALSE(opened) << "the scanner opened a file that the install made";
  EXPECT_FALSE(PathExists(created));
}

TEST_F(InstallerRunTest, AnInstallKilledWhileWaitingLeavesNoTrace) {
  // An older pack without hebrew.ilex and eng.ilex, and another program
  // holding hebrew.ocr: the claim makes the two missing files, then waits.
  // The installer is ended by force a second in, as a closed console or
  // Task Manager ends it. The files it made go with it.
  const std::wstring resources = InstallHost(L"Host");
  for (const wchar_t* name :
       {L"heb.ilex", L"hebrew_engine.bin", L"net_hebrew.bin", L"hebrew.ocr"}) {
    WriteFileBytes(resources + name, "older " + ToUtf8(name));
    SetOldWriteTime(resources + name);
  }
  const std::map<std::wstring, std::string> before = FolderState(resources);
  HANDLE held = OpenAsAnotherProgram(resources + L"hebrew.ocr", false);

  // Meanwhile the resources folder cannot be renamed, and the installer
  // runs with redirection trust where Windows has it.
  const std::wstring folder = resources.substr(0, resources.size() - 1);
  const std::wstring moved = folder + L"-moved";
  const RunResult run =
      RunProgram(InstallerPath(), L"", 100, [&](HANDLE process) {
        EXPECT_TRUE(WaitForName(resources + L"hebrew.ilex"));
        EXPECT_FALSE(MoveFileExW(folder.c_str(), moved.c_str(), 0))
            << "the resources folder was renamed while the claim held it";
        MoveFileExW(moved.c_str(), folder.c_str(), 0);
        PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY trust = {};
        if (RunningUnderWine()) {
          std::cout << "redirection trust not read: Wine keeps no "
                       "mitigation policies\n";
        } else if (GetProcessMitigationPolicy(process,
                                              ProcessRedirectionTrustPolicy,
                                              &trust, sizeof(trust))) {
          EXPECT_EQ(trust.EnforceRedirectionTrust, 1u);
        } else if (GetLastError() == ERROR_INVALID_PARAMETER) {
          // A Windows that does not know the policy refuses the class.
          std::cout << "redirection trust not read: Windows build "
                    << WindowsBuild() << " has no such policy\n";
        } else {
          ADD_FAILURE() << "redirection trust not read: "
                        << ToUtf8(SystemError(GetLastError()));
        }
      });
  CloseHandle(held);
  EXPECT_TRUE(run.killed) << "the installer ended before it was killed";
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(FolderState(resources), before);
}

TEST_F(InstallerRunTest, LinksAndFoldersInThePackAreRefusedAndNothingChanges) {
  // Another user's file outside the host's folder, planted as hebrew.ocr
  // through a hard link; a folder where heb.ilex goes; an older eng.ilex.
  // An elevated install must write none of them.
  const std::wstring resources = InstallHost(L"Host");
  const std::wstring secret = scratch_ + L"Secret\\config.txt";
  MakeDirectories(scratch_ + L"Secret\\");
  WriteFileBytes(secret, "another user's settings");
  ASSERT_TRUE(CreateHardLinkW((resources + L"hebrew.ocr").c_str(),
                              secret.c_str(), nullptr));
  MakeDirectories(resources + L"heb.ilex\\");
  WriteFileBytes(resources + L"eng.ilex", "older eng.ilex");
  SetOldWriteTime(resources + L"eng.ilex");
  std::vector<std::string> expected = {
      ToUtf8(L"error: cannot write " + resources +
             L"heb.ilex: a folder stands in its place; move or remove the "
             L"folder, then run the installer again"),
      ToUtf8(L"error: cannot write " + resources +
             L"hebrew.ocr: the file has other names (hard links), and the "
             L"installer does not write through them; remove the file, then "
             L"run the installer again")};
  // A symbolic link as net_hebrew.bin where the system makes one (Windows
  // does for an elevated process; Wine says it did and makes nothing).
  const std::wstring linked = resources + L"net_hebrew.bin";
  const std::string linkLine =
      ": it is a symbolic link or mount point, and the installer does not "
      "write through links; remove the link, then run the installer again";
  CreateSymbolicLinkW(linked.c_str(), secret.c_str(), 0);
  // And a dangling one as hebrew_engine.bin, which creating the missing
  // file must not follow to make its target.
  const std::wstring dangling = resources + L"hebrew_engine.bin";
  const std::wstring planted = scratch_ + L"Secret\\planted.txt";
  CreateSymbolicLinkW(dangling.c_str(), planted.c_str(), 0);
  const DWORD attributes = GetFileAttributesW(linked.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    expected.insert(expected.begin() + 1,
                    ToUtf8(L"error: cannot write " + linked) + linkLine);
    expected.insert(expected.begin() + 1,
                    ToUtf8(L"error: cannot write " + dangling) + linkLine);
  } else {
    // Windows makes symbolic links for an elevated process, as the hosted
    // jobs are; Wine says it did and makes none.
    EXPECT_FALSE(!RunningUnderWine() && RunsElevated())
        << "an elevated test made no symbolic link";
    DeleteFileW(linked.c_str());
    DeleteFileW(dangling.c_str());
    std::cout << "no symbolic link: this system does not make one\n";
  }
  const std::map<std::wstring, std::string> before = FolderState(resources);

  RunResult run = RunInstaller();
  EXPECT_TRUE(Failed(run, 1u, expected));
  EXPECT_EQ(FolderState(resources), before);
  EXPECT_EQ(ReadFileBytes(secret), "another user's settings");
  EXPECT_FALSE(PathExists(planted)) << "a dangling link was followed";
  if (!RunningUnderWine())
    return;

  // Under Wine, hosts with a file of the pack that is a Unix link, which the
  // test run makes (unix_link_make) and Wine shows as a plain file with one
  // name: only where the name leads tells it apart, in full.
  struct UnixLink {
    const wchar_t* host;
    const wchar_t* name;
    const wchar_t* target;  // under the host
  };
  const UnixLink links[] = {
      {L"C:\\hebrew-ocr-unix-link\\", L"net_hebrew.bin", L"outside.txt"},
      // A sibling whose name is as long as the pack's.
      {L"C:\\hebrew-ocr-unix-link-sibling\\", L"heb.ilex",
       L"IRIS_OCR\\resources\\eng.ilex"},
      // A longer name that starts with the pack's.
      {L"C:\\hebrew-ocr-unix-link-longer\\", L"heb.ilex",
       L"IRIS_OCR\\resources\\heb.ilex.bak"},
  };
  for (const UnixLink& link : links) {
    const std::wstring unixLinked =
        std::wstring(link.host) + L"IRIS_OCR\\resources\\";
    const std::wstring target = link.host + std::wstring(link.target);
    ASSERT_TRUE(PathExists(unixLinked + link.name))
        << "no Unix link: the test run makes it (unix_link_make)";
    SetInstallPath(KEY_WOW64_64KEY, link.host);
    const std::map<std::wstring, std::string> linkedBefore =
        FolderState(unixLinked);
    const std::string outside = ReadFileBytes(target);
    run = RunInstaller();
    EXPECT_TRUE(Failed(
        run, 1,
        {ToUtf8(L"error: cannot write " + unixLinked + link.name) + linkLine}))
        << ToUtf8(target);
    EXPECT_EQ(FolderState(unixLinked), linkedBefore) << ToUtf8(target);
    EXPECT_EQ(ReadFileBytes(target), outside) << ToUtf8(target);
    EXPECT_EQ(outside, "outside the host\n");
  }
}

}  // namespace
