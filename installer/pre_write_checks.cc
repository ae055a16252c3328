// The checks made before the first byte of the pack is written: that the
// pack fits on the drive, and that every one of its files can be written
// now. An install that cannot finish must not start, or it leaves the host
// with a mixed pack: some files new, others old, missing or cut short.

#include <windows.h>

#include <algorithm>

#include "installer/installer.h"

namespace {

// How long files held by another program are waited for, in all, and how
// often they are tried in that time. Virus scanners and search indexers
// open files for a moment; a program that keeps a file open is not waited
// for longer than this.
constexpr ULONGLONG kHoldWaitMilliseconds = 2000;
constexpr DWORD kHoldRetryMilliseconds = 50;

bool IsHeldByAnotherProgram(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

// The size of the file at `path`, or 0 when there is none.
std::uint64_t ExistingFileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 0;
  }
  return (std::uint64_t{attributes.nFileSizeHigh} << 32) |
         attributes.nFileSizeLow;
}

// Opens `claim.path` for writing, creating it when it is missing but
// changing nothing in a file that is there. Readers and writers may go on
// sharing the file, as the host's engine may be reading it; only deleting
// or renaming it is refused while the install holds it. Returns the Win32
// error, or ERROR_SUCCESS.
DWORD OpenTarget(ClaimedFile& claim) {
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateFileW(claim.path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD code = GetLastError();
  if (handle == INVALID_HANDLE_VALUE)
    return code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
  claim.handle = FileHandle(handle);
  claim.created = code != ERROR_ALREADY_EXISTS;
  return ERROR_SUCCESS;
}

// Closes every claim and removes the files that the claims created, so that
// a target that was missing is missing again. A file that cannot be removed
// is reported, as it is left behind empty.
void ReleaseClaims(std::vector<ClaimedFile>& claims,
                   std::vector<FileFailure>& failures) {
  for (ClaimedFile& claim : claims) {
    if (claim.handle.get() == nullptr)
      continue;
    claim.handle.Close();
    if (claim.created && !DeleteFileW(claim.path.c_str())) {
      failures.push_back({claim.path,
                          L"the empty file that this install created cannot be "
                          L"removed: " +
                              DescribeSystemError(GetLastError())});
    }
  }
  claims.clear();
}

}  // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool FileHandle::Close() {
  if (handle_ == nullptr)
    return true;
  const BOOL closed = CloseHandle(handle_);
  handle_ = nullptr;
  return closed != FALSE;
}

bool ClaimTargets(const std::wstring& directory,
                  const std::vector<PayloadEntry>& table,
                  std::vector<ClaimedFile>& claims,
                  std::vector<FileFailure>& failures) {
  failures.clear();
  claims.clear();
  claims.resize(table.size());
  // One reason per file that cannot be written, empty for the others.
  std::vector<std::wstring> reasons(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    claims[i].path = directory + table[i].fileName;
    FindPayload(table[i], claims[i].data, claims[i].size, reasons[i]);
  }

  // Every file is tried in each round; the ones held by another program
  // are tried again until they are free or the wait is over. The wait is
  // shared, so several held files take no longer than one.
  const ULONGLONG deadline = GetTickCount64() + kHoldWaitMilliseconds;
  for (;;) {
    bool waiting = false;
    for (size_t i = 0; i < claims.size(); ++i) {
      if (claims[i].handle.get() != nullptr || !reasons[i].empty())
        continue;
      const DWORD code = OpenTarget(claims[i]);
      if (code == ERROR_SUCCESS)
        continue;
      if (IsHeldByAnotherProgram(code) && GetTickCount64() < deadline)
        waiting = true;
      else
        reasons[i] = DescribeSystemError(code);
    }
    if (!waiting)
      break;
    Sleep(kHoldRetryMilliseconds);
  }

  for (size_t i = 0; i < claims.size(); ++i) {
    if (!reasons[i].empty())
      failures.push_back({claims[i].path, reasons[i]});
  }
  if (failures.empty())
    return true;
  ReleaseClaims(claims, failures);
  return false;
}

std::uint64_t SpaceNeeded(
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& oldAndNewSizes,
    std::uint64_t clusterSize) {
  const std::uint64_t cluster = clusterSize != 0 ? clusterSize : 1;
  const auto clusters = [cluster](std::uint64_t bytes) {
    return (bytes / cluster + (bytes % cluster != 0 ? 1 : 0)) * cluster;
  };
  // `taken` may dip below zero while old files give back more than their
  // payloads take; only the highest point counts.
  std::int64_t taken = 0;
  std::int64_t peak = 0;
  for (const auto& [oldSize, newSize] : oldAndNewSizes) {
    taken -= static_cast<std::int64_t>(clusters(oldSize));
    taken += static_cast<std::int64_t>(clusters(newSize));
    peak = std::max(peak, taken);
  }
  return static_cast<std::uint64_t>(peak);
}

bool PackFits(const std::wstring& directory,
              const std::vector<PayloadEntry>& table,
              std::uint64_t& needed,
              std::uint64_t& available) {
  needed = 0;
  available = 0;
  ULARGE_INTEGER freeToCaller;
  wchar_t volume[MAX_PATH + 1] = {};
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0,
        totalClusters = 0;
  if (!GetDiskFreeSpaceExW(directory.c_str(), &freeToCaller, nullptr,
                           nullptr) ||
      !GetVolumePathNameW(directory.c_str(), volume, MAX_PATH + 1) ||
      !GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector,
                         &freeClusters, &totalClusters)) {
    return true;
  }

  // A payload missing from this program stops the install before any file
  // is written; it takes nothing.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sizes;
  for (const PayloadEntry& entry : table) {
    const char* data = nullptr;
    std::uint32_t size = 0;
    std::wstring ignored;
    if (FindPayload(entry, data, size, ignored))
      sizes.emplace_back(ExistingFileSize(directory + entry.fileName), size);
  }
  needed = SpaceNeeded(
      sizes, std::uint64_t{sectorsPerCluster} * std::uint64_t{bytesPerSector});
  available = freeToCaller.QuadPart;
  return needed <= available;
}
