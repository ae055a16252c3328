// The payload writer, run in a program that carries its own small payloads
// (payload_writer_test.rc): 110 holds every byte value, 114 is empty, 113
// is missing and 115 is larger than a cluster.

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "installer/claim.h"
#include "installer/pack_types.h"
#include "installer/payload_writer.h"
#include "installer/report.h"
#include "installer/rollback.h"
#include "installer/space_check.h"
#include "installer/system_path.h"
#include "tests/test_support.h"

namespace {

const PayloadEntry kAllBytes = {110, L"hebrew.ilex"};
const PayloadEntry kEmpty = {114, L"heb.ilex"};
const PayloadEntry kMissing = {113, L"net_hebrew.bin"};
const PayloadEntry kLarge = {115, L"hebrew.ocr"};

// Claims the file of `entry` in `directory` and writes it, as the installer
// does for the whole table. Returns false with the reason when either fails.
bool ClaimAndWrite(const std::wstring& directory,
                   const PayloadEntry& entry,
                   std::wstring& failure) {
  PathText folder;
  EXPECT_TRUE(folder.Append(directory.c_str()));
  FileHandle held;
  ClaimedFile claim;
  const bool written = ClaimTargets(folder, &entry, 1, held, &claim) &&
                       WritePayloadFile(claim) && KeepCreatedFiles(&claim, 1);
  ReasonText reason;
  if (!written)
    DescribeFileFailure(entry, claim, claim.failure, reason);
  failure = Str(reason);
  return written;
}

class PayloadWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { directory_ = MakeScratchDirectory(); }
  void TearDown() override { RemoveTree(directory_); }

  std::wstring directory_;
};

TEST(PayloadTableTest, ListsTheSixFilesInWritingOrder) {
  const std::vector<PayloadEntry> table = PayloadTable();
  const std::vector<std::pair<int, std::wstring>> expected = {
      {110, L"hebrew.ilex"},    {114, L"heb.ilex"},
      {111, L"eng.ilex"},       {112, L"hebrew_engine.bin"},
      {113, L"net_hebrew.bin"}, {115, L"hebrew.ocr"},
  };
  ASSERT_EQ(table.size(), expected.size());
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].resourceId, expected[i].first) << "entry " << i;
    EXPECT_EQ(std::wstring(table[i].fileName), expected[i].second)
        << "entry " << i;
  }
}

TEST_F(PayloadWriterTest, CopiesBytesUnchangedAndTruncatesALargerFile) {
  std::string everyByte;
  for (int value = 0; value < 256; ++value)
    everyByte.push_back(static_cast<char>(value));
  ASSERT_EQ(ResourceBytes(nullptr, 110), everyByte);

  const std::wstring path = directory_ + kAllBytes.fileName;
  WriteFileBytes(path, std::string(4096, 'x'));

  std::wstring failure;
  ASSERT_TRUE(ClaimAndWrite(directory_, kAllBytes, failure)) << ToUtf8(failure);
  EXPECT_EQ(failure, L"");
  EXPECT_EQ(ReadFileBytes(path), everyByte);

  // Rewriting the same bytes leaves the same file.
  ASSERT_TRUE(ClaimAndWrite(directory_, kAllBytes, failure));
  EXPECT_EQ(ReadFileBytes(path), everyByte);
}

TEST_F(PayloadWriterTest, EmptyPayloadGivesAnEmptyFile) {
  const std::wstring path = directory_ + kEmpty.fileName;
  std::wstring failure;
  ASSERT_TRUE(ClaimAndWrite(directory_, kEmpty, failure)) << ToUtf8(failure);
  ASSERT_TRUE(PathExists(path));
  EXPECT_EQ(ReadFileBytes(path), "");

  WriteFileBytes(path, "old contents");
  ASSERT_TRUE(ClaimAndWrite(directory_, kEmpty, failure));
  EXPECT_EQ(ReadFileBytes(path), "");
}

TEST_F(PayloadWriterTest, MissingPayloadLeavesTheInstalledFileAlone) {
  const std::wstring path = directory_ + kMissing.fileName;
  const std::string installed = std::string("installed\0data\r\n", 16);
  WriteFileBytes(path, installed);

  std::wstring failure;
  EXPECT_FALSE(ClaimAndWrite(directory_, kMissing, failure));
  EXPECT_EQ(failure, L"payload resource 113 is missing from this program");
  EXPECT_EQ(ReadFileBytes(path), installed);

  // Nor does it create a file where there was none.
  RemoveTree(path);
  EXPECT_FALSE(ClaimAndWrite(directory_, kMissing, failure));
  EXPECT_FALSE(PathExists(path));
}

TEST_F(PayloadWriterTest, MissingDirectoryIsNotCreated) {
  const std::wstring absent = directory_ + L"IRIS_OCR\\resources\\";
  std::wstring failure;
  EXPECT_FALSE(ClaimAndWrite(absent, kAllBytes, failure));
  EXPECT_EQ(failure, SystemError(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(PathExists(directory_ + L"IRIS_OCR"));
}

TEST_F(PayloadWriterTest, AFileMappedByAnotherProgramKeepsItsBytes) {
  // The system refuses to truncate a mapped file; nothing may then be
  // written over its old bytes either.
  const std::wstring path = directory_ + kAllBytes.fileName;
  WriteFileBytes(path, "mapped by the engine");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE mapping =
      CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);

  std::wstring failure;
  EXPECT_FALSE(ClaimAndWrite(directory_, kAllBytes, failure));
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
  EXPECT_EQ(failure, InUseError(ERROR_USER_MAPPED_FILE));
  EXPECT_EQ(ReadFileBytes(path), "mapped by the engine");
}

TEST_F(PayloadWriterTest, ClaimFindsEveryFileThatCannotBeWrittenAndKeepsAll) {
  // Held for good without write sharing, a folder in a file's place, a
  // payload this program lacks; one file installed and two missing.
  const std::wstring heldPath = directory_ + L"hebrew.ilex";
  WriteFileBytes(heldPath, "held");
  WriteFileBytes(directory_ + L"eng.ilex", "installed");
  MakeDirectories(directory_ + L"hebrew_engine.bin\\");
  HANDLE held =
      CreateFileW(heldPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  PathText directory;
  ASSERT_TRUE(directory.Append(directory_.c_str()));
  FileHandle folder;
  ClaimedFile claims[kPayloadCount];
  EXPECT_FALSE(ClaimTargets(directory, GetPayloadTable(), kPayloadCount, folder,
                            claims));
  CloseHandle(held);
  EXPECT_EQ(folder.get(), nullptr) << "the folder is still held";

  std::vector<std::wstring> reported;
  for (size_t i = 0; i < kPayloadCount; ++i) {
    EXPECT_EQ(claims[i].handle.get(), nullptr) << "claim " << i << " kept";
    if (claims[i].failure.step == FileStep::kNone)
      continue;
    ReasonText reason;
    DescribeFileFailure(GetPayloadTable()[i], claims[i], claims[i].failure,
                        reason);
    reported.push_back(GetPayloadTable()[i].fileName + (L": " + Str(reason)));
  }
  EXPECT_EQ(reported,
            (std::vector<std::wstring>{
                L"hebrew.ilex: " + InUseError(ERROR_SHARING_VIOLATION),
                L"hebrew_engine.bin: a folder stands in its place; move or "
                L"remove the folder, then run the installer again",
                L"net_hebrew.bin: payload resource 113 is missing from this "
                L"program",
            }));
  EXPECT_EQ(ReadFileBytes(heldPath), "held");
  EXPECT_EQ(ReadFileBytes(directory_ + L"eng.ilex"), "installed");
  EXPECT_FALSE(PathExists(directory_ + L"heb.ilex"));
  EXPECT_FALSE(PathExists(directory_ + L"net_hebrew.bin"));
  EXPECT_FALSE(PathExists(directory_ + L"hebrew.ocr"));
  EXPECT_TRUE(GetFileAttributesW((directory_ + L"hebrew_engine.bin").c_str()) &
              FILE_ATTRIBUTE_DIRECTORY);

  // A folder whose path leaves no room for a file name, not even for the
  // shortest, heb.ilex, by one unit: every file is refused with that reason,
  // and no path is cut short to make it fit.
  PathText deep;
  ASSERT_TRUE(deep.Append(directory_.c_str()));
  ASSERT_TRUE(deep.Append(
      std::wstring(kPathUnits - 9 - deep.length, L'd').append(L"\\").c_str()));
  ASSERT_EQ(deep.length + std::wstring(L"heb.ilex").size(), kPathUnits);
  EXPECT_FALSE(
      ClaimTargets(deep, GetPayloadTable(), kPayloadCount, folder, claims));
  for (size_t i = 0; i < kPayloadCount; ++i) {
    ReasonText reason;
    DescribeFileFailure(GetPayloadTable()[i], claims[i], claims[i].failure,
                        reason);
    EXPECT_EQ(Str(reason), L"the path is longer than 511 characters");
  }
}

TEST_F(PayloadWriterTest, PutBackRestoresEveryFileItCanAndReportsTheRest) {
  // An install that failed after writing three files: eng.ilex was there
  // and gets its bytes and time back, heb.ilex was created and is removed,
  // and hebrew.ilex can no longer be written, so it is reported.
  const PayloadEntry table[] = {kAllBytes, kEmpty, {111, L"eng.ilex"}};
  for (const wchar_t* name : {L"hebrew.ilex", L"eng.ilex"}) {
    WriteFileBytes(directory_ + name, std::string(5000, 'i') + ToUtf8(name));
    SetOldWriteTime(directory_ + name);
  }
  std::map<std::wstring, std::string> before = FolderState(directory_);
  PathText folder;
  ASSERT_TRUE(folder.Append(directory_.c_str()));
  FileHandle held;
  ClaimedFile claims[3];
  KeptBytes kept;
  ASSERT_TRUE(ClaimTargets(folder, table, 3, held, claims));
  ASSERT_TRUE(KeepInstalledFiles(claims, 3, kept));
  for (ClaimedFile& claim : claims)
    ASSERT_TRUE(WritePayloadFile(claim));
  claims[0].handle = FileHandle(CreateFileW(
      (directory_ + L"hebrew.ilex").c_str(), GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(claims[0].handle.get(), INVALID_HANDLE_VALUE);

  PutBackInstalledFiles(claims, 3);
  ReasonText reason;
  DescribeFileFailure(table[0], claims[0], claims[0].putBackFailure, reason);
  // Windows refuses to write through a read-only handle as access denied;
  // Wine calls the handle invalid for it.
  const DWORD code = claims[0].putBackFailure.code;
  EXPECT_TRUE(code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_HANDLE)
      << code;
  EXPECT_EQ(Str(reason),
            SystemError(code) +
                L"; it now holds neither its old bytes nor the new ones");
  for (const ClaimedFile& claim : claims) {
    EXPECT_EQ(claim.handle.get(), nullptr);
    EXPECT_EQ(claim.failure.step, FileStep::kNone);
  }
  EXPECT_EQ(claims[2].putBackFailure.step, FileStep::kNone);
  std::map<std::wstring, std::string> after = FolderState(directory_);
  EXPECT_EQ(ReadFileBytes(directory_ + L"hebrew.ilex"),
            ResourceBytes(nullptr, 110));
  before.erase(L"hebrew.ilex");
  after.erase(L"hebrew.ilex");
  EXPECT_EQ(after, before);
}

TEST_F(PayloadWriterTest, KeepAndPutBackHandleWhatTheyCannotDoDirectly) {
  // An installed file of over 4 GiB (sparse, so cheap) cannot be kept in
  // memory: the install stops before anything changes.
  const std::wstring huge = directory_ + kAllBytes.fileName;
  {
    FileHandle file(CreateFileW(huge.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0,
                    &returned, nullptr);
    LARGE_INTEGER end = {};
    end.QuadPart = (1ll << 32) + 1;
    ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file.get()));
  }
  PathText folder;
  ASSERT_TRUE(folder.Append(directory_.c_str()));
  {
    FileHandle held;
    ClaimedFile claim;
    KeptBytes kept;
    ASSERT_TRUE(ClaimTargets(folder, &kAllBytes, 1, held, &claim));
    EXPECT_FALSE(KeepInstalledFiles(&claim, 1, kept));
    ReasonText reason;
    DescribeFileFailure(kAllBytes, claim, claim.failure, reason);
    EXPECT_EQ(Str(reason), L"its installed bytes cannot be kept to put back: " +
                               SystemError(ERROR_FILE_TOO_LARGE));
  }
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExW(huge.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeHigh, 1u);
  EXPECT_EQ(data.nFileSizeLow, 1u);
  ASSERT_TRUE(DeleteFileW(huge.c_str()));

  // Two new files written; the second's mark cannot be cleared, as through
  // a handle without delete access. The first is marked again, and the
  // second, which has no mark to remove it, is removed by its name: the
  // put-back leaves no new file.
  const PayloadEntry table[] = {kAllBytes, kEmpty};
  FileHandle held;
  ClaimedFile claims[2];
  ASSERT_TRUE(ClaimTargets(folder, table, 2, held, claims));
  for (ClaimedFile& claim : claims)
    ASSERT_TRUE(WritePayloadFile(claim));
  const std::wstring second = directory_ + kEmpty.fileName;
  claims[1].handle.Close();
  claims[1].handle =
      FileHandle(CreateFileW(second.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
  ASSERT_NE(claims[1].handle.get(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(KeepCreatedFiles(claims, 2));
  EXPECT_EQ(claims[1].failure.step, FileStep::kKeepCreated);
  EXPECT_EQ(claims[1].failure.code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  claims[1].removeByName = true;
  PutBackInstalledFiles(claims, 2);
  for (const ClaimedFile& claim : claims)
    EXPECT_EQ(claim.putBackFailure.step, FileStep::kNone);
  EXPECT_EQ(FolderState(directory_), (std::map<std::wstring, std::string>{}));
}

TEST(PayloadWriterFullDriveTest, AFullDriveIsReportedAsFull) {
  const std::wstring folder = SmallDriveFolder();
  if (folder.empty())
    GTEST_SKIP() << kNoSmallDrive;
  const std::wstring diskFull = SystemError(ERROR_DISK_FULL);
  const std::wstring handleDiskFull = SystemError(ERROR_HANDLE_DISK_FULL);

  // With nothing free the first byte is refused. With one cluster free the
  // write stops part way, which Wine reports as a success with fewer bytes.
  for (const std::uint64_t leaveFree : {0, 4096}) {
    FillDrive(folder, leaveFree);
    std::wstring failure;
    EXPECT_FALSE(ClaimAndWrite(folder, kLarge, failure));
    const bool saysDiskFull =
        failure.find(diskFull) != std::wstring::npos ||
        failure.find(handleDiskFull) != std::wstring::npos;
    EXPECT_TRUE(saysDiskFull)
        << leaveFree << " bytes free: " << ToUtf8(failure);
    RemoveTree(folder + L"filler");
    RemoveTree(folder + kLarge.fileName);
  }
}

TEST(SpaceNeededTest, CountsClustersStepByStepInTableOrder) {
  // The shipped payload sizes in table order, on a 5 MiB drive with 4 KiB
  // clusters that holds one old 3 MB file.
  const std::vector<std::uint64_t> payloads = {460665, 662432, 619914,
                                               1459,   735968, 1638022};
  const std::uint64_t oldFile = 3000000;
  const std::uint64_t freeBytes = 5 * 1024 * 1024 - 3002368;
  const auto sizes = [&](size_t oldIndex) {
    std::vector<SizeChange> changes;
    for (size_t i = 0; i < payloads.size(); ++i)
      changes.push_back({i == oldIndex ? oldFile : 0, payloads[i]});
    return changes;
  };
  const auto needed = [](const std::vector<SizeChange>& changes,
                         std::uint64_t cluster) {
    return SpaceNeeded(changes.data(), changes.size(), cluster);
  };

  // An old hebrew.ilex is written first, so its space comes back first: the
  // most taken is at the end, the whole pack (4128768 bytes in clusters)
  // less the old file.
  EXPECT_EQ(needed(sizes(0), 4096), 4128768u - 3002368u);
  EXPECT_LE(needed(sizes(0), 4096), freeBytes);
  // An old hebrew.ocr is written last: the five before it must fit first.
  EXPECT_EQ(needed(sizes(5), 4096), 2490368u);
  EXPECT_GT(needed(sizes(5), 4096), freeBytes);

  // No old files (missing ones count as 0): the whole pack.
  EXPECT_EQ(needed(sizes(payloads.size()), 4096), 4128768u);
  EXPECT_EQ(needed(sizes(payloads.size()), 1), 4118460u);
  EXPECT_EQ(needed(sizes(payloads.size()), 0), 4118460u);
  // Old files at least as large as their payloads: nothing more is taken.
  EXPECT_EQ(needed({{5000, 4097}, {4096, 1}}, 4096), 0u);
  EXPECT_EQ(needed({}, 4096), 0u);
}

TEST(SystemPathTest, FullExtendedLengthPathsAndDeviceFormsAsTheyAre) {
  const auto system = [](const std::wstring& path, bool fits = true) {
    PathText in;
    EXPECT_TRUE(in.Append(path.c_str()));
    PathText out;
    const FileFailure failure = MakeSystemPath(in, out);
    EXPECT_EQ(failure.step, fits ? FileStep::kNone : FileStep::kPathTooLong)
        << ToUtf8(path);
    return Str(out);
  };
  EXPECT_EQ(system(L"C:\\Programs\\Old\\..\\Host\\.\\IRIS_OCR\\resources\\"),
            L"\\\\?\\C:\\Programs\\Host\\IRIS_OCR\\resources\\");
  EXPECT_EQ(system(L"C:/Programs/Host/"), L"\\\\?\\C:\\Programs\\Host\\");
  EXPECT_EQ(system(L"\\\\server\\share\\Host\\"),
            L"\\\\?\\UNC\\server\\share\\Host\\");
  for (const wchar_t* device : {L"\\\\?\\C:\\Old\\..\\Host\\",
                                L"\\\\.\\C:\\Host\\", L"\\??\\C:\\Host\\"}) {
    EXPECT_EQ(system(device), device);
  }
  // A path that becomes one in device form when made full stays so.
  EXPECT_EQ(system(L"//./C:/Host/"), L"\\\\.\\C:\\Host\\");
  // A path that cannot be made full is refused with the system's reason,
  // not as too long.
  PathText empty;
  PathText out;
  const FileFailure failure = MakeSystemPath(empty, out);
  EXPECT_EQ(failure.step, FileStep::kOpen);
  EXPECT_NE(failure.code, 0u);
  EXPECT_EQ(Str(out), L"");
  // Past the old limit of 260 characters the path is whole; one that would
  // not fit with its prefix is refused, never cut short.
  const std::wstring longPath = L"C:\\" + std::wstring(300, L'h') + L"\\";
  EXPECT_EQ(system(longPath), L"\\\\?\\" + longPath);
  EXPECT_EQ(system(L"C:\\" + std::wstring(kPathUnits - 6, L'h'), false), L"");
}

TEST(AccessDeniedTest, SaysWhatToDoAsTheRunsElevationCalls) {
  ReasonText notElevated;
  ReasonText elevated;
  AppendAccessDeniedAdvice(false, notElevated);
  AppendAccessDeniedAdvice(true, elevated);
  EXPECT_NE(Str(notElevated)
                .find(L"Run the installer as an administrator: "
                      L"from an elevated console, or from a "
                      L"deployment tool that runs as an "
                      L"administrator or as SYSTEM"),
            std::wstring::npos);
  EXPECT_NE(Str(elevated).find(L"refuses writing even to administrators"),
            std::wstring::npos);
  // The choice follows the process token. (Wine 8's token reads as
  // elevated and Wine 10's does not; the Windows jobs run elevated.)
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenElevation, &elevation,
                                  sizeof(elevation), &size));
  CloseHandle(token);
  EXPECT_EQ(RunsElevated(), elevation.TokenIsElevated != 0);
  const std::wstring advice = Str(RunsElevated() ? elevated : notElevated);

  // Any step refused as access denied gets the system's words, then the
  // advice for this run.
  for (const FileStep step : {FileStep::kOpen, FileStep::kTruncate}) {
    ReasonText reason;
    DescribeFileFailure(kAllBytes, ClaimedFile(),
                        {step, ERROR_ACCESS_DENIED, 0}, reason);
    EXPECT_EQ(Str(reason), SystemError(ERROR_ACCESS_DENIED) + advice);
  }
}

TEST(SystemErrorTest, GivesTheSystemTextOnOneLineWithTheCode) {
  const std::wstring text = SystemError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"(error 5)"), std::wstring::npos);
  EXPECT_GT(text.size(), std::wstring(L" (error 5)").size());
}

}  // namespace
