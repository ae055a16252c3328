// The built HebrewOcrPack.exe, run as a child process with its standard
// output and standard error captured as bytes.

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "installer/control_events.h"
#include "installer/pack_types.h"
#include "tests/test_support.h"

namespace {

// Runs the installer with `arguments` and waits for it.
RunResult RunInstaller(const std::wstring& arguments = L"") {
  return RunProgram(InstallerPath(), arguments);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos)
      end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Waits, for up to ten seconds, until a file named `path` is listed in its
// folder, pending removal or not. Returns whether it is.
bool WaitForName(const std::wstring& path) {
  for (int i = 0; i < 1000; ++i) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      FindClose(search);
      return true;
    }
    Sleep(10);
  }
  return false;
}

// Whether this program, and so the installer it starts, runs in session 0,
// where services run.
bool InSessionZero() {
  DWORD session = 1;
  return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

// The size of the file at `path`, or -1 when there is none.
std::int64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return -1;
  return (std::int64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// Polls until `ready` holds, or the installer running as `process` ends,
// and stops the installer there. While it is stopped, `atThisMoment` runs;
// it returns whether the moment was the one it needed. The installer then
// goes on. Returns what `atThisMoment` returned, or false when the
// installer had ended.
bool PauseWhen(HANDLE process,
               const std::function<bool()>& ready,
               const std::function<bool()>& atThisMoment) {
  const std::vector<HANDLE> threads = OpenThreads(process);
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (!ready() && WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
         GetTickCount64() < deadline) {
    // The installer needs a core of the two as much as this loop does.
    SwitchToThread();
  }
  const bool caught = SuspendThreads(threads) &&
                      WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                      atThisMoment();
  ResumeThreads(threads);
  for (HANDLE thread : threads)
    CloseHandle(thread);
  return caught;
}

// Stops the installer once it has changed the pack's first file in
// `resources`. If the last file is still as it was, the pack is visibly
// part written: `whilePaused` runs there. Returns whether it did.
bool PauseInsideTheWriting(HANDLE process,
                           const std::wstring& resources,
                           const std::function<void()>& whilePaused) {
  const std::wstring first = resources + L"hebrew.ilex";
  const std::wstring last = resources + L"hebrew.ocr";
  const std::int64_t firstSize = FileSize(first);
  const std::int64_t lastSize = FileSize(last);
  return PauseWhen(
      process, [&] { return FileSize(first) != firstSize; },
      [&] {
        if (FileSize(first) == firstSize || FileSize(last) != lastSize)
          return false;
        whilePaused();
        return true;
      });
}

// Where a control event sent to a stopped installer landed.
enum class Moment {
  kMissed,       // the installer was not caught at the moment wanted
  kUndelivered,  // Wine lost the event with the process (SendControlEvent)
  kHeldOff,      // the installer was still running 300 ms after it
  kNotHeldOff,   // it ended the installer, stopped where it was
};

// Sends `event` to the stopped installer, and gives the event 300 ms to end
// it.
Moment SendWhilePaused(HANDLE process,
                       LPTHREAD_START_ROUTINE routine,
                       DWORD event) {
  const ControlDelivery delivery = SendControlEvent(process, routine, event);
  EXPECT_NE(delivery, ControlDelivery::kRefused) << "event " << event;
  if (delivery == ControlDelivery::kStalled) {
    EXPECT_TRUE(RunningUnderWine()) << "event " << event << " not taken";
    return Moment::kUndelivered;
  }
  return WaitForSingleObject(process, 300) == WAIT_TIMEOUT
             ? Moment::kHeldOff
             : Moment::kNotHeldOff;
}

class InstallerRunTest : public HostRegistryTest {
 protected:
  void SetUp() override {
    HostRegistryTest::SetUp();
    if (IsSkipped())
      return;
    scratch_ = MakeScratchDirectory();
    installer_ = OpenInstallerResources();
    ASSERT_NE(installer_, nullptr);
  }

  void TearDown() override {
    if (installer_ != nullptr)
      FreeLibrary(installer_);
    if (!scratch_.empty())
      RemoveTree(scratch_);
    HostRegistryTest::TearDown();
  }

  // Makes a host installation under the scratch folder, with its OCR
  // resource folder unless told otherwise, and registers it in the 64-bit
  // view. Returns the OCR resource folder.
  std::wstring InstallHost(const std::wstring& name,
                           bool withResourceFolder = true) {
    const std::wstring host = scratch_ + name + L"\\";
    const std::wstring resources = host + L"IRIS_OCR\\resources\\";
    MakeDirectories(withResourceFolder ? resources : host);
    SetInstallPath(KEY_WOW64_64KEY, host);
    return resources;
  }

  // Checks that `resources` holds exactly the six payload files, each equal
  // to the payload embedded in the installer and to the file it was built
  // from.
  void ExpectPackInstalled(const std::wstring& resources) {
    for (const PayloadEntry& entry : PayloadTable()) {
      const std::string payload = ResourceBytes(installer_, entry.resourceId);
      const std::string installed = ReadFileBytes(resources + entry.fileName);
      EXPECT_FALSE(payload.empty()) << "payload " << int(entry.resourceId);
      EXPECT_TRUE(installed == payload) << ToUtf8(entry.fileName) << " differs";
      EXPECT_TRUE(installed ==
                  ReadFileBytes(TestDataDirectory() + entry.fileName))
          << ToUtf8(entry.fileName) << " differs from its payload file";
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((resources + L"*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    int files = 0;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        ++files;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_EQ(files, 6);
  }

  // The lines expected on standard error when every file fails because
  // `resources` does not exist.
  std::vector<std::string> MissingFolderErrors(const std::wstring& resources) {
    std::vector<std::string> lines;
    for (const PayloadEntry& entry : PayloadTable()) {
      lines.push_back(ToUtf8(L"error: cannot write " + resources +
                             entry.fileName + L": " +
                             SystemError(ERROR_PATH_NOT_FOUND)));
    }
    return lines;
  }

  std::wstring scratch_;
  HMODULE installer_ = nullptr;
};

TEST_F(InstallerRunTest, NotInstalledSaysSoAndTouchesNothing) {
  // A host folder that is not registered for the local machine, only for the
  // current user, which the installer never reads.
  const std::wstring resources = scratch_ + L"Host\\IRIS_OCR\\resources\\";
  MakeDirectories(resources);
  SetInstallPath(KEY_WOW64_64KEY, scratch_ + L"Host\\", HKEY_CURRENT_USER);

  for (const wchar_t* arguments : {L"", L"/S --force C:\\"}) {
    const RunResult run = RunInstaller(arguments);
    EXPECT_EQ(run.out, "Quarn Paginor is not installed\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0u);
  }
  EXPECT_TRUE(RemoveDirectoryW(resources.c_str()))
      << "the resource folder is no longer empty";
}

TEST_F(InstallerRunTest, InstallsTheSixPayloadsAndRerunsTheSame) {
  const std::wstring resources = InstallHost(L"Host");
  // An installed file longer than its payload is replaced, not kept.
  WriteFileBytes(resources + L"hebrew_engine.bin", std::string(8192, 'o'));

  RunResult run = RunInstaller();
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectPackInstalled(resources);

  // A second run, with arguments that mean nothing to it, does the same.
  run = RunInstaller(L"/uninstall --quiet");
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectPackInstalled(resources);
}

TEST_F(InstallerRunTest, MissingResourceFolderFailsEveryFileAndCreatesNothing) {
  const std::wstring resources = InstallHost(L"Host", false);

  const RunResult run = RunInstaller();
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Lines(run.err), MissingFolderErrors(resources));
  EXPECT_FALSE(PathExists(scratch_ + L"Host\\IRIS_OCR"));
}

// Opens `path` as another program would, for reading and for `moreAccess`,
// sharing it with readers, and with writers too when `shareWrite` is set.
HANDLE OpenAsAnotherProgram(const std::wstring& path,
                            bool shareWrite,
                            DWORD moreAccess = 0) {
  const DWORD sharing = FILE_SHARE_READ | (shareWrite ? FILE_SHARE_WRITE : 0);
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_READ | moreAccess, sharing, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << ToUtf8(path);
  return handle;
}

// Maps `path` into memory as the host's engine does, and closes the file:
// the mapping alone holds it then, and the system refuses to shrink it.
// Unmapped when it goes.
class MappedByTheEngine {
 public:
  explicit MappedByTheEngine(const std::wstring& path) {
    HANDLE file = OpenAsAnotherProgram(path, true);
    mapping_ = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(file);
    EXPECT_NE(view_, nullptr) << "cannot map " << ToUtf8(path);
  }
  ~MappedByTheEngine() {
    UnmapViewOfFile(view_);
    CloseHandle(mapping_);
  }
  MappedByTheEngine(const MappedByTheEngine&) = delete;
  MappedByTheEngine& operator=(const MappedByTheEngine&) = delete;

 private:
  HANDLE mapping_ = nullptr;
  void* view_ = nullptr;
};

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
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1618u);
  const std::wstring held = InUseError(ERROR_SHARING_VIOLATION);
  const std::vector<std::string> heldLines = {
      ToUtf8(L"error: cannot write " + resources + L"heb.ilex: " + held),
      ToUtf8(L"error: cannot write " + resources + L"hebrew.ocr: " + held),
  };
  EXPECT_EQ(Lines(run.err), heldLines);

  // With a folder where eng.ilex goes as well, a retry would not help: the
  // same lines and the folder's, and the status of any other failure.
  MakeDirectories(resources + L"eng.ilex\\");
  const RunResult mixed = RunInstaller();
  RemoveDirectoryW((resources + L"eng.ilex").c_str());
  CloseHandle(heldFirst);
  CloseHandle(heldLast);
  EXPECT_EQ(mixed.out, "installation has failed\r\n");
  EXPECT_EQ(mixed.exitCode, 1u);
  std::vector<std::string> mixedLines = heldLines;
  mixedLines.insert(mixedLines.begin() + 1,
                    ToUtf8(L"error: cannot write " + resources +
                           L"eng.ilex: a folder stands in its place; move or "
                           L"remove the folder, then run the installer again"));
  EXPECT_EQ(Lines(mixed.err), mixedLines);
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

  // An installed file whose bytes cannot be kept to put back (one of over
  // 4 GiB, sparse here) stops the install too, before anything changes.
  const std::wstring huge = resources + L"hebrew.ocr";
  {
    HANDLE file = CreateFileW(huge.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                    nullptr);
    LARGE_INTEGER end = {};
    end.QuadPart = (1ll << 32) + 1;
    EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
                SetEndOfFile(file));
    CloseHandle(file);
  }
  const RunResult tooLarge = RunInstaller();
  EXPECT_EQ(tooLarge.out, "installation has failed\r\n");
  EXPECT_EQ(tooLarge.exitCode, 1u);
  EXPECT_EQ(Lines(tooLarge.err),
            std::vector<std::string>{
                ToUtf8(L"error: cannot write " + huge +
                       L": its installed bytes cannot be kept to put back: " +
                       SystemError(ERROR_FILE_TOO_LARGE))});
  EXPECT_EQ(FileSize(huge), (1ll << 32) + 1);
  EXPECT_EQ(ReadFileBytes(resources + L"heb.ilex"), "older heb.ilex");
  EXPECT_FALSE(PathExists(resources + L"hebrew.ilex"));
  DeleteFileW(huge.c_str());
}

TEST_F(InstallerRunTest, BriefHoldsAreWaitedOutAndSharingReadersKeepReading) {
  const std::wstring resources = InstallHost(L"Host");
  // A scanner holds heb.ilex for half a second without write sharing; the
  // engine reads eng.ilex throughout and lets others write it.
  WriteFileBytes(resources + L"heb.ilex", "scanned");
  WriteFileBytes(resources + L"eng.ilex", "being read");
  HANDLE scanner = OpenAsAnotherProgram(resources + L"heb.ilex", false);
  HANDLE engine = OpenAsAnotherProgram(resources + L"eng.ilex", true);
  std::thread release([scanner] {
    Sleep(500);
    CloseHandle(scanner);
  });

  const RunResult run = RunInstaller();
  release.join();
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
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
    EXPECT_EQ(run.out, "installation has failed\r\n") << what;
    EXPECT_EQ(run.exitCode, 1618u) << what;
    EXPECT_EQ(Lines(run.err), std::vector<std::string>{ToUtf8(
                                  L"error: cannot write " + locked + L": " +
                                  InUseError(ERROR_LOCK_VIOLATION))})
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
        const ULONGLONG deadline = GetTickCount64() + 20000;
        bool holding = false;
        while (!holding && GetTickCount64() < deadline &&
               WaitForSingleObject(process, 10) == WAIT_TIMEOUT) {
          HANDLE probe = CreateFileW(
              last.c_str(), GENERIC_WRITE,
              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          holding = probe == INVALID_HANDLE_VALUE &&
                    GetLastError() == ERROR_SHARING_VIOLATION;
          if (probe != INVALID_HANDLE_VALUE)
            CloseHandle(probe);
        }
        EXPECT_TRUE(holding) << "the installer was never seen holding the pack";
        Sleep(500);
        EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_TIMEOUT)
            << "the installer did not wait for the lock";
        EXPECT_EQ(Stamps(resources), stamps)
            << "the pack changed while part of it was locked";
        CloseHandle(locker);
      });
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectPackInstalled(resources);
}

TEST_F(InstallerRunTest, AFileMappedPartWayPutsThePackBack) {
  const std::wstring resources = InstallHost(L"Host");
  // An older pack without heb.ilex and net_hebrew.bin. The engine has
  // mapped hebrew_engine.bin, fourth in the table, and closed its handle.
  // The file is longer than its payload, and the system refuses to shrink
  // a mapped file: the three files before it are written by then.
  for (const wchar_t* name :
       {L"hebrew.ilex", L"eng.ilex", L"hebrew_engine.bin", L"hebrew.ocr"}) {
    WriteFileBytes(resources + name, std::string(8192, 'o') + ToUtf8(name));
    SetOldWriteTime(resources + name);
  }
  const std::map<std::wstring, std::string> before = FolderState(resources);
  auto engine =
      std::make_unique<MappedByTheEngine>(resources + L"hebrew_engine.bin");
  RunResult run = RunInstaller();
  engine.reset();
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1618u);
  EXPECT_EQ(Lines(run.err),
            std::vector<std::string>{ToUtf8(
                L"error: cannot write " + resources + L"hebrew_engine.bin: " +
                InUseError(ERROR_USER_MAPPED_FILE))});
  // Every file has its old bytes and time again; the missing ones are
  // missing again, and nothing else is left behind.
  EXPECT_EQ(FolderState(resources), before);

  // Once the engine has let go, the same run installs the pack.
  run = RunInstaller();
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  ExpectPackInstalled(resources);
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
    std::thread release([scanner] {
      Sleep(300);
      if (scanner != nullptr)
        CloseHandle(scanner);
    });
    RunResult runs[2];
    std::thread other([&runs] { runs[1] = RunInstaller(); });
    runs[0] = RunInstaller();
    other.join();
    release.join();
    for (const RunResult& run : runs) {
      EXPECT_EQ(run.out, "installation has been completed\r\n")
          << "round " << round << ": " << run.err;
      EXPECT_EQ(run.exitCode, 0u);
    }
    ExpectPackInstalled(resources);
  }
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
      RunProgram(InstallerPath(), L"", 1000, [&](HANDLE process) {
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
        } else {
          std::cout << "redirection trust not read: this Windows has none ("
                    << ToUtf8(SystemError(GetLastError())) << ")\n";
        }
      });
  CloseHandle(held);
  EXPECT_TRUE(run.killed) << "the installer ended before it was killed";
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(FolderState(resources), before);
}

TEST_F(InstallerRunTest, ControlEventsNeverCutAStepNorHangTheRun) {
  std::string why;
  const LPTHREAD_START_ROUTINE routine = ControlEventRoutine(why);
  if (routine == nullptr)
    GTEST_SKIP() << "cannot deliver control events here: " << why;
  const std::wstring resources = InstallHost(L"Host");
  const auto writeOlderPack = [&resources] {
    for (const PayloadEntry& entry : PayloadTable()) {
      const std::wstring path = resources + entry.fileName;
      DeleteFileW(path.c_str());
      // Without eng.ilex and net_hebrew.bin, which the claim makes.
      if (entry.resourceId != 111 && entry.resourceId != 113) {
        WriteFileBytes(path, "older " + ToUtf8(entry.fileName));
        SetOldWriteTime(path);
      }
    }
  };

  // While the claim waits for a file held by another program, having made
  // the missing ones: Ctrl+C ends the run at once and leaves the pack as it
  // was (not after the wait, with 1618). So does a log-off in a user's
  // session, which the system ends anyway; under Wine every program runs in
  // session 1. Session 0 has a test of its own.
  const bool userSession = !InSessionZero();
  for (const DWORD event : {DWORD{CTRL_C_EVENT}, DWORD{CTRL_LOGOFF_EVENT}}) {
    if (event == CTRL_LOGOFF_EVENT && !userSession)
      continue;
    writeOlderPack();
    const std::map<std::wstring, std::string> before = FolderState(resources);
    HANDLE held = OpenAsAnotherProgram(resources + L"hebrew.ocr", false);
    const std::wstring made = resources + L"net_hebrew.bin";
    RunResult run = RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
      EXPECT_TRUE(WaitForName(made));
      EXPECT_EQ(SendControlEvent(process, routine, event),
                ControlDelivery::kStarted);
    });
    CloseHandle(held);
    EXPECT_EQ(run.exitCode, kExitInterrupted) << "event " << event;
    EXPECT_EQ(run.out, "") << "event " << event;
    EXPECT_EQ(FolderState(resources), before) << "event " << event;
  }

  // Events sent at chosen moments, the installer stopped there. While the
  // pack is visibly part written (the first file changed, the last not), a
  // close and a log-off in a user's session wait for the pack to be whole.
  // Once its last file is written, a Ctrl+C is dropped and a close keeps the
  // status that goes with the line, printed by then or not. Either way the
  // run ends with its line and status. A missed moment is tried again.
  const std::int64_t lastPayload = ResourceBytes(installer_, 115).size();
  const std::wstring last = resources + L"hebrew.ocr";
  struct Case {
    DWORD event;
    bool whileWriting;
  };
  for (const Case& sent :
       {Case{CTRL_CLOSE_EVENT, true}, Case{CTRL_LOGOFF_EVENT, true},
        Case{CTRL_C_EVENT, false}, Case{CTRL_CLOSE_EVENT, false}}) {
    if (sent.event == CTRL_LOGOFF_EVENT && !userSession)
      continue;
    const std::string what = "event " + std::to_string(sent.event) +
                             (sent.whileWriting ? " while it wrote the pack"
                                                : " once the pack was written");
    Moment moment = Moment::kMissed;
    for (int attempt = 0; attempt < 10 && (moment == Moment::kMissed ||
                                           moment == Moment::kUndelivered);
         ++attempt) {
      writeOlderPack();
      const RunResult run =
          RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
            moment = Moment::kMissed;
            const auto send = [&] {
              moment = SendWhilePaused(process, routine, sent.event);
            };
            if (sent.whileWriting) {
              PauseInsideTheWriting(process, resources, send);
              return;
            }
            PauseWhen(
                process, [&] { return FileSize(last) == lastPayload; },
                [&] {
                  if (FileSize(last) != lastPayload)
                    return false;
                  send();
                  return true;
                });
          });
      if (moment == Moment::kMissed || moment == Moment::kUndelivered)
        continue;
      if (sent.whileWriting)
        EXPECT_EQ(moment, Moment::kHeldOff) << what << " ended the run";
      EXPECT_EQ(run.out, "installation has been completed\r\n") << what;
      EXPECT_EQ(run.exitCode, 0u) << what;
      ExpectPackInstalled(resources);
    }
    EXPECT_TRUE(moment == Moment::kHeldOff || moment == Moment::kNotHeldOff)
        << what << ": never sent at that moment";
  }

  // A closed window at any moment of a first install or a reinstall: the
  // run ends, either with the pack as it was and no file left behind, or
  // with the pack installed and its line printed, never half way. A close
  // that comes before the program's own code runs meets the system's
  // default handler, which ends the program with STATUS_CONTROL_C_EXIT on
  // Windows and with 0 under Wine.
  ULONGLONG slowest = 0;
  for (int i = 0; i < 3; ++i) {
    const ULONGLONG began = GetTickCount64();
    RunInstaller();
    slowest = std::max(slowest, GetTickCount64() - began);
  }
  std::random_device seed;
  const unsigned seedValue = seed();
  std::mt19937 random(seedValue);
  std::uniform_int_distribution<DWORD> moment(
      0, static_cast<DWORD>(slowest + slowest / 4));
  int interrupted = 0;
  int completed = 0;
  int undelivered = 0;
  for (int round = 0; round < 40; ++round) {
    if (round % 2 == 0) {
      writeOlderPack();
    } else {
      RemoveTree(resources);
      MakeDirectories(resources);
    }
    const std::map<std::wstring, std::string> was = FolderState(resources);
    const DWORD delay = moment(random);
    ControlDelivery delivery = ControlDelivery::kStarted;
    const RunResult run =
        RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
          Sleep(delay);
          delivery = SendControlEvent(process, routine, CTRL_CLOSE_EVENT);
          // A run ends in well under a second; one that does not hangs.
          if (WaitForSingleObject(process, 20000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the run hangs after a close at " << delay
                          << " ms";
            TerminateProcess(process, 1);
          }
        });
    const std::string where = "round " + std::to_string(round) + ", " +
                              std::to_string(delay) + " ms, seed " +
                              std::to_string(seedValue);
    if (delivery == ControlDelivery::kStalled) {
      // Wine can corrupt a process while making the close's thread in it
      // (see SendControlEvent); the run was ended wherever it was, so its
      // folder says nothing and is emptied. On Windows it is a failure.
      EXPECT_TRUE(RunningUnderWine()) << where << ": the close was not taken";
      ++undelivered;
      RemoveTree(resources);
      MakeDirectories(resources);
      continue;
    }
    EXPECT_EQ(run.err, "") << where;
    if (!run.out.empty()) {
      ++completed;
      EXPECT_EQ(run.out, "installation has been completed\r\n") << where;
      EXPECT_EQ(run.exitCode, 0u) << where;
      ExpectPackInstalled(resources);
    } else {
      interrupted += run.exitCode == kExitInterrupted ? 1 : 0;
      EXPECT_TRUE(run.exitCode == kExitInterrupted ||
                  (RunningUnderWine() && run.exitCode == 0))
          << where << ": exit status " << run.exitCode;
      EXPECT_EQ(FolderState(resources), was) << where;
    }
  }
  // A rare stall leaves the rest of the closes to test; many would leave
  // too few.
  EXPECT_LE(undelivered, 4) << "seed " << seedValue;
  std::cout << "of 40 closes within " << slowest + slowest / 4
            << " ms of the start: " << interrupted
            << " ended the run part way, " << completed
            << " came once the pack was installed, " << undelivered
            << " were lost with a process that Wine corrupted, the rest "
               "came before the program's own code ran\n";
}

TEST_F(InstallerRunTest, APrintedLineIsTheRunsOutcomeWhateverEventFollows) {
  // Each run is caught with its line waiting in a full pipe: printed, but
  // the run not yet over. A Ctrl+C or a close sent then waits in its
  // handler until the line is out, and the run ends with the status that
  // goes with its line: a Ctrl+C is dropped, and a close keeps that status.
  std::string why;
  const LPTHREAD_START_ROUTINE routine = ControlEventRoutine(why);
  if (routine == nullptr)
    GTEST_SKIP() << "cannot deliver control events here: " << why;
  struct Case {
    const char* what;
    bool hostWithAHeldFile;
    DWORD event;
    const char* line;
    DWORD status;
  };
  const std::wstring resources = scratch_ + L"Host\\IRIS_OCR\\resources\\";
  for (const Case& sent : {
           Case{"no host", false, CTRL_C_EVENT,
                "Quarn Paginor is not installed\r\n", 0},
           Case{"no host", false, CTRL_CLOSE_EVENT,
                "Quarn Paginor is not installed\r\n", 0},
           Case{"a held file", true, CTRL_C_EVENT,
                "installation has failed\r\n", 1618},
           Case{"a held file", true, CTRL_CLOSE_EVENT,
                "installation has failed\r\n", 1618},
       }) {
    const std::string what =
        std::string(sent.what) + ", event " + std::to_string(sent.event);
    HANDLE held = INVALID_HANDLE_VALUE;
    if (sent.hostWithAHeldFile) {
      InstallHost(L"Host");
      WriteFileBytes(resources + L"hebrew.ocr", "older hebrew.ocr");
      held = OpenAsAnotherProgram(resources + L"hebrew.ocr", false);
    }
    const RunResult run =
        RunWithOutputHeld(InstallerPath(), [&](HANDLE process) {
          HANDLE handler = nullptr;
          ASSERT_EQ(SendControlEvent(process, routine, sent.event, &handler),
                    ControlDelivery::kStarted)
              << what;
          EXPECT_EQ(WaitForSingleObject(handler, 300), WAIT_TIMEOUT)
              << what << ": the handler did not wait for the line";
          CloseHandle(handler);
        });
    if (held != INVALID_HANDLE_VALUE)
      CloseHandle(held);
    EXPECT_EQ(run.out, sent.line) << what;
    EXPECT_EQ(run.exitCode, sent.status) << what;
  }
}

TEST_F(InstallerRunTest, ALogOffInSessionZeroLetsTheInstallGoOn) {
  // Deployment tools run the installer in session 0, where a log-off is
  // another session's: a log-off while the claim waits for a held file
  // does not stop the install.
  if (!InSessionZero()) {
    GTEST_SKIP() << (RunningUnderWine()
                         ? "under Wine every program runs in session 1"
                         : "this test program runs in a user's session");
  }
  std::string why;
  const LPTHREAD_START_ROUTINE routine = ControlEventRoutine(why);
  if (routine == nullptr)
    GTEST_SKIP() << "cannot deliver control events here: " << why;
  const std::wstring resources = InstallHost(L"Host");
  WriteFileBytes(resources + L"hebrew.ocr", "older hebrew.ocr");
  HANDLE held = OpenAsAnotherProgram(resources + L"hebrew.ocr", false);
  const RunResult run =
      RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
        EXPECT_TRUE(WaitForName(resources + L"net_hebrew.bin"));
        EXPECT_EQ(SendControlEvent(process, routine, CTRL_LOGOFF_EVENT),
                  ControlDelivery::kStarted);
        Sleep(200);
        CloseHandle(held);
      });
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.exitCode, 0u);
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
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1618u);
  EXPECT_EQ(Lines(run.err),
            std::vector<std::string>{
                ToUtf8(L"error: cannot write " + resources + L"hebrew.ocr: " +
                       InUseError(ERROR_SHARING_VIOLATION))});
  EXPECT_FALSE(opened) << "the scanner opened a file that the install made";
  EXPECT_FALSE(PathExists(created));
}

TEST_F(InstallerRunTest, HostPathsUpToTheLookupsLimitInstall) {
  // A host path of 250 characters and more: with the resources folder and
  // the file names the paths pass 260 characters, which Windows takes only
  // in extended-length form. The test makes and reads them in that form.
  // A path of 260 characters, stored with its terminating zero, does not
  // fit the lookup's buffer and reads as no host.
  std::wstring host = scratch_;
  while (host.size() + 51 <= 252)
    host += std::wstring(50, L'q') + L"\\";
  host += std::wstring(252 - host.size() - 1, L'p') + L"\\";
  ASSERT_GE(host.size(), 250u);
  const std::wstring resources = host + L"IRIS_OCR\\resources\\";
  const std::wstring extended = L"\\\\?\\" + resources;
  for (size_t end = extended.find(L'\\', 7); end != std::wstring::npos;
       end = extended.find(L'\\', end + 1)) {
    CreateDirectoryW(extended.substr(0, end).c_str(), nullptr);
  }
  ASSERT_TRUE(PathExists(extended));
  SetInstallPath(KEY_WOW64_64KEY, host);
  WriteFileBytes(extended + L"hebrew.ocr", std::string(8192, 'o'));

  RunResult run = RunInstaller();
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectPackInstalled(extended);

  SetInstallPath(KEY_WOW64_64KEY, host + std::wstring(260 - host.size(), L'x'));
  run = RunInstaller();
  EXPECT_EQ(run.out, "Quarn Paginor is not installed\r\n");
  EXPECT_EQ(run.exitCode, 0u);

  // The same 260 characters stored without their zero fill the buffer: too
  // long as well, so the 32-bit view's host is the one installed. The
  // registry adds a zero when the unit after the data is one, so the
  // source holds one more unit.
  const std::wstring unterminated =
      host + std::wstring(261 - host.size(), L'x');
  // InstallHost registers the new host in the 64-bit view; it moves.
  const std::wstring other = InstallHost(L"Host32");
  SetInstallPath(KEY_WOW64_32KEY, scratch_ + L"Host32\\");
  SetSettingsValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"installpath", REG_SZ,
                   unterminated.c_str(), 520);
  run = RunInstaller();
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectPackInstalled(other);
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
    DeleteFileW(linked.c_str());
    DeleteFileW(dangling.c_str());
    std::cout << "no symbolic link: this system does not make one\n";
  }
  const std::map<std::wstring, std::string> before = FolderState(resources);

  RunResult run = RunInstaller();
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Lines(run.err), expected);
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
    EXPECT_EQ(run.out, "installation has failed\r\n") << ToUtf8(target);
    EXPECT_EQ(run.exitCode, 1u) << ToUtf8(target);
    EXPECT_EQ(Lines(run.err),
              std::vector<std::string>{
                  ToUtf8(L"error: cannot write " + unixLinked + link.name) +
                  linkLine});
    EXPECT_EQ(FolderState(unixLinked), linkedBefore) << ToUtf8(target);
    EXPECT_EQ(ReadFileBytes(target), outside) << ToUtf8(target);
    EXPECT_EQ(outside, "outside the host\n");
  }
}

TEST_F(InstallerRunTest, HebrewFolderNamesInstallAndAreReportedInUtf8) {
  // "Quarn Paginor" written in Hebrew letters.
  const std::wstring hebrew =
      L"\u05E7\u05D5\u05D5\u05E8\u05DF \u05E4\u05D2\u05D9\u05E0\u05D5\u05E8";
  const std::wstring resources = InstallHost(hebrew);
  RunResult run = RunInstaller();
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectPackInstalled(resources);

  const std::wstring broken = InstallHost(hebrew + L" 2", false);
  run = RunInstaller();
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Lines(run.err), MissingFolderErrors(broken));
  EXPECT_NE(run.err.find("\xD7\xA7\xD7\x95"), std::string::npos)
      << "the Hebrew letters are not UTF-8";

  // A character outside the Basic Multilingual Plane, two UTF-16 units,
  // where the error text is cut into pieces of 256 units to be converted:
  // the pair stays whole.
  const std::wstring host =
      scratch_ + std::wstring(255 - scratch_.size(), L'q') + L"\U0001F600\\";
  SetInstallPath(KEY_WOW64_64KEY, host);
  const std::wstring split = host + L"IRIS_OCR\\resources\\";
  ASSERT_EQ(split.find(L"\U0001F600"), 255u);
  run = RunInstaller();
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Lines(run.err), MissingFolderErrors(split));
}

TEST_F(InstallerRunTest, SmallDriveInstallsOnlyWhatFits) {
  const std::wstring folder = SmallDriveFolder();
  if (folder.empty())
    GTEST_SKIP() << kNoSmallDrive;
  const std::wstring resources = folder + L"Host\\IRIS_OCR\\resources\\";
  MakeDirectories(resources);
  SetInstallPath(KEY_WOW64_64KEY, folder + L"Host\\");
  const std::vector<PayloadEntry> table = PayloadTable();

  // An installed pack whose hebrew.ocr, written last, holds 3 MB: the five
  // files before it would run out of space before it gives its space back.
  std::vector<std::string> installed;
  for (const PayloadEntry& entry : table) {
    installed.push_back(std::wstring(entry.fileName) == L"hebrew.ocr"
                            ? std::string(3000000, 'o')
                            : "installed " + ToUtf8(entry.fileName));
    WriteFileBytes(resources + entry.fileName, installed.back());
  }
  const std::uint64_t freeBytes = FreeBytes(resources);
  // Each small old file gives back one cluster; each payload takes its own.
  std::uint64_t needed = 0;
  for (size_t i = 0; i + 1 < table.size(); ++i) {
    const std::uint64_t size =
        ResourceBytes(installer_, table[i].resourceId).size();
    needed += (size + 4095) / 4096 * 4096 - 4096;
  }
  ASSERT_GT(needed, freeBytes);

  RunResult run = RunInstaller();
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Lines(run.err),
            std::vector<std::string>{
                ToUtf8(L"error: not enough space in " + resources + L": " +
                       std::to_wstring(needed) + L" bytes needed, " +
                       std::to_wstring(freeBytes) + L" bytes free")});
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_TRUE(ReadFileBytes(resources + table[i].fileName) == installed[i])
        << ToUtf8(table[i].fileName) << " changed";
  }

  // The same 3 MB in hebrew.ilex, written first, comes back first: the pack
  // fits, and files that are not there count for nothing.
  RemoveTree(resources);
  MakeDirectories(resources);
  WriteFileBytes(resources + L"hebrew.ilex", std::string(3000000, 'i'));
  run = RunInstaller();
  EXPECT_EQ(run.out, "installation has been completed\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectPackInstalled(resources);
}

TEST_F(InstallerRunTest, SmallDriveFilledWhileWritingPutsThePackBack) {
  // The host is on C:, but its resources folder is a link to a folder on
  // the small drive. Another program fills the drive while the claim waits
  // for a held hebrew.ocr, after the space check: the last file's write
  // stops part way. hebrew.ilex, first, was larger than its payload and
  // takes space again when it is put back: the files that give space back
  // must go first.
  const std::wstring folder = SmallDriveFolder();
  if (folder.empty())
    GTEST_SKIP() << kNoSmallDrive;
  const std::wstring host = L"C:\\hebrew-ocr-linked\\";
  const std::wstring resources = host + L"IRIS_OCR\\resources\\";
  ASSERT_TRUE(PathExists(resources));
  SetInstallPath(KEY_WOW64_64KEY, host);
  // An older pack without net_hebrew.bin, which the install creates and
  // writes before it fails.
  for (const PayloadEntry& entry : PayloadTable()) {
    const std::wstring name = entry.fileName;
    DeleteFileW((resources + name).c_str());
    if (name == L"net_hebrew.bin")
      continue;
    const size_t size = name == L"hebrew.ilex"         ? 2000000
                        : name == L"hebrew_engine.bin" ? 1000
                                                       : 100000;
    WriteFileBytes(resources + name, std::string(size, 'o') + ToUtf8(name));
    SetOldWriteTime(resources + name);
  }
  const std::map<std::wstring, std::string> before = FolderState(resources);

  HANDLE held = OpenAsAnotherProgram(resources + L"hebrew.ocr", false);
  const RunResult run = RunProgram(InstallerPath(), L"", 0, [&](HANDLE) {
    // net_hebrew.bin is made by the claim just before it waits.
    EXPECT_TRUE(WaitForName(resources + L"net_hebrew.bin"));
    FillDrive(folder, 1 << 20);
    CloseHandle(held);
  });
  RemoveTree(folder + L"filler");
  EXPECT_EQ(run.out, "installation has failed\r\n");
  EXPECT_EQ(run.exitCode, 1u);
  const std::string line = ToUtf8(L"error: cannot write " + resources +
                                  L"hebrew.ocr: writing failed after ");
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_EQ(lines[0].substr(0, line.size()), line);
  EXPECT_TRUE(lines[0].find(ToUtf8(SystemError(ERROR_DISK_FULL))) !=
                  std::string::npos ||
              lines[0].find(ToUtf8(SystemError(ERROR_HANDLE_DISK_FULL))) !=
                  std::string::npos)
      << lines[0];
  EXPECT_EQ(FolderState(resources), before);

  // hebrew.ocr, last, is mapped by the engine, so writing stops there, with
  // a file in use. Meanwhile, once hebrew.ilex (much larger before) has
  // shrunk, another program fills the drive, leaving room only for the
  // writes under way: hebrew.ilex cannot be put back. The pack is damaged
  // then, and a deployment tool's retry is not the answer: the status is 1,
  // not 1618.
  std::map<std::wstring, std::int64_t> olderSize;
  std::map<std::wstring, std::int64_t> payloadSize;
  for (const PayloadEntry& entry : PayloadTable()) {
    const std::wstring name = entry.fileName;
    payloadSize[name] = ResourceBytes(installer_, entry.resourceId).size();
    olderSize[name] =
        payloadSize[name] + (name == L"hebrew.ilex" ? 512 * 1024 : 4096);
  }
  const std::wstring last = resources + L"hebrew.ocr";
  WriteFileBytes(last, std::string(olderSize[L"hebrew.ocr"], 'o'));
  auto engine = std::make_unique<MappedByTheEngine>(last);
  bool caught = false;
  RunResult damaged;
  for (int attempt = 0; attempt < 10 && !caught; ++attempt) {
    for (const auto& [name, size] : olderSize) {
      if (resources + name != last)
        WriteFileBytes(resources + name, std::string(size, 'o'));
    }
    damaged = RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
      caught = PauseInsideTheWriting(process, resources, [&] {
        // Room for the rest of each file that the installer has begun.
        std::int64_t rest = 64 * 1024;
        for (const auto& [name, size] : olderSize) {
          const std::int64_t now = FileSize(resources + name);
          if (now != size && now < payloadSize[name])
            rest += (payloadSize[name] - now + 4095) / 4096 * 4096;
        }
        FillDrive(folder, rest);
      });
    });
    RemoveTree(folder + L"filler");
  }
  engine.reset();
  ASSERT_TRUE(caught) << "the installer was never caught while it wrote";
  EXPECT_EQ(damaged.out, "installation has failed\r\n");
  EXPECT_EQ(damaged.exitCode, 1u);
  const std::vector<std::string> damagedLines = Lines(damaged.err);
  const std::string putBack =
      ToUtf8(L"error: cannot put back " + resources + L"hebrew.ilex: ");
  ASSERT_GE(damagedLines.size(), 2u) << damaged.err;
  EXPECT_EQ(damagedLines.front().substr(0, putBack.size()), putBack);
  EXPECT_EQ(damagedLines.back(),
            ToUtf8(L"error: cannot write " + resources + L"hebrew.ocr: " +
                   InUseError(ERROR_USER_MAPPED_FILE)));

  // The linked folder stays for the next run, empty.
  for (const PayloadEntry& entry : PayloadTable())
    DeleteFileW((resources + entry.fileName).c_str());
}

}  // namespace
