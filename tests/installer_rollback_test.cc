// The built installer run as a child process: the installed pack kept
// before it changes, the writing, the put-back when writing fails part way,
// and a drive that is or becomes full.
#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

TEST_F(InstallerRunTest, AFileTooLargeToKeepStopsTheInstallBeforeAnyChange) {
  const std::wstring resources = InstallHost(L"Host");
  WriteFileBytes(resources + L"heb.ilex", "older heb.ilex");
  // An installed file whose bytes cannot be kept to put back (one of over
  // 4 GiB, sparse here) stops the install before anything changes.
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
  EXPECT_TRUE(Failed(tooLarge, 1u,
                     std::vector<std::string>{ToUtf8(
                         L"error: cannot write " + huge +
                         L": its installed bytes cannot be kept to put back: " +
                         SystemError(ERROR_FILE_TOO_LARGE))}));
  EXPECT_EQ(FileSize(huge), (1ll << 32) + 1);
  EXPECT_EQ(ReadFileBytes(resources + L"heb.ilex"), "older heb.ilex");
  EXPECT_FALSE(PathExists(resources + L"hebrew.ilex"));
  DeleteFileW(huge.c_str());
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
  EXPECT_TRUE(Failed(
      run, 1618u,
      std::vector<std::string>{ToUtf8(L"error: cannot write " + resources +
                                      L"hebrew_engine.bin: " +
                                      InUseError(ERROR_USER_MAPPED_FILE))}));
  // Every file has its old bytes and time again; the missing ones are
  // missing again, and nothing else is left behind.
  EXPECT_EQ(FolderState(resources), before);

  // Once the engine has let go, the same run installs the pack.
  run = RunInstaller();
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(resources);
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
  EXPECT_TRUE(Failed(run, 1u,
                     std::vector<std::string>{ToUtf8(
                         L"error: not enough space in " + resources + L": " +
                         std::to_wstring(needed) + L" bytes needed, " +
                         std::to_wstring(freeBytes) + L" bytes free")}));
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
  EXPECT_TRUE(Completed(run));
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
  EXPECT_TRUE(Failed(run, 1));
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
    const PackEnds ends = PackEndsBefore(resources);
    damaged = RunProgram(InstallerPath(), L"", 0, [&](HANDLE process) {
      caught = PauseInsideTheWriting(process, resources, ends, [&] {
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
  EXPECT_TRUE(Failed(damaged, 1));
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
