// The checks made before the first byte of the pack is written: that the
// pack fits on the drive, and that every one of its files can be written
// now. An install that cannot finish must not start, or it leaves the host
// with a mixed pack: some files new, others old, missing or cut short.

#include "installer/pre_write_checks.h"

#include <windows.h>

#include "installer/payload_writer.h"

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
std::uint64_t ExistingFileSize(const PathText& path) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(path.units, GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 0;
  }
  return (std::uint64_t{attributes.nFileSizeHigh} << 32) |
         attributes.nFileSizeLow;
}

// Opens `path` for reading and writing into `claim`, creating the file when
// it is missing but changing nothing in a file that is there. Other programs
// may go on reading the file, as the host's engine may; none may write it,
// delete it or rename it while the install holds it, so that the bytes kept
// for putting back stay the installed ones. Returns the Win32 error, or
// ERROR_SUCCESS.
DWORD OpenTarget(const PathText& path, ClaimedFile& claim) {
  SetLastError(ERROR_SUCCESS);
  HANDLE handle =
      CreateFileW(path.units, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD code = GetLastError();
  if (handle == INVALID_HANDLE_VALUE)
    return code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
  claim.handle = FileHandle(handle);
  claim.created = code != ERROR_ALREADY_EXISTS;
  return ERROR_SUCCESS;
}

}  // namespace

void ReleaseClaims(const PathText& directory,
                   const PayloadEntry* table,
                   std::size_t count,
                   ClaimedFile* claims) {
  for (std::size_t i = 0; i < count; ++i) {
    ClaimedFile& claim = claims[i];
    if (claim.handle.get() == nullptr)
      continue;
    claim.handle.Close();
    PathText path;
    if (claim.created && MakeTargetPath(directory, table[i], path) &&
        !DeleteFileW(path.units)) {
      claim.putBackFailure = {FileStep::kRemoveCreated, GetLastError(), 0};
    }
  }
}

bool MakeTargetPath(const PathText& directory,
                    const PayloadEntry& entry,
                    PathText& path) {
  path.Clear();
  if (path.Append(directory.units, directory.length) &&
      path.Append(entry.fileName)) {
    return true;
  }
  path.Clear();
  return false;
}

bool ClaimTargets(const PathText& directory,
                  const PayloadEntry* table,
                  std::size_t count,
                  ClaimedFile* claims) {
  for (std::size_t i = 0; i < count; ++i) {
    claims[i] = ClaimedFile();
    PathText path;
    if (!MakeTargetPath(directory, table[i], path))
      claims[i].failure = {FileStep::kPathTooLong, 0, 0};
    else
      FindPayload(table[i], claims[i].data, claims[i].size, claims[i].failure);
  }

  // The files are claimed one after another in table order, and a file
  // held by another program is tried again until it is free or the wait is
  // over. Every installer takes the pack in the same order, so two of them
  // never each hold a file that the other waits for. The wait is shared:
  // once it is over, held files fail at their first try, so several held
  // files take no longer than one, and every one is reported.
  const ULONGLONG deadline = GetTickCount64() + kHoldWaitMilliseconds;
  for (std::size_t i = 0; i < count; ++i) {
    ClaimedFile& claim = claims[i];
    if (claim.failure.step != FileStep::kNone)
      continue;
    PathText path;
    MakeTargetPath(directory, table[i], path);
    for (;;) {
      const DWORD code = OpenTarget(path, claim);
      if (code == ERROR_SUCCESS)
        break;
      if (!IsHeldByAnotherProgram(code) || GetTickCount64() >= deadline) {
        claim.failure = {FileStep::kOpen, code, 0};
        break;
      }
      Sleep(kHoldRetryMilliseconds);
    }
  }

  for (std::size_t i = 0; i < count; ++i) {
    if (claims[i].failure.step != FileStep::kNone) {
      ReleaseClaims(directory, table, count, claims);
      return false;
    }
  }
  return true;
}

std::uint64_t SpaceNeeded(const SizeChange* changes,
                          std::size_t count,
                          std::uint64_t clusterSize) {
  const std::uint64_t cluster = clusterSize != 0 ? clusterSize : 1;
  const auto clusters = [cluster](std::uint64_t bytes) {
    return (bytes / cluster + (bytes % cluster != 0 ? 1 : 0)) * cluster;
  };
  // `taken` may dip below zero while old files give back more than their
  // payloads take; only the highest point counts.
  std::int64_t taken = 0;
  std::int64_t peak = 0;
  for (std::size_t i = 0; i < count; ++i) {
    taken -= static_cast<std::int64_t>(clusters(changes[i].oldSize));
    taken += static_cast<std::int64_t>(clusters(changes[i].newSize));
    if (taken > peak)
      peak = taken;
  }
  return static_cast<std::uint64_t>(peak);
}

bool PackFits(const PathText& directory,
              const PayloadEntry* table,
              std::size_t count,
              std::uint64_t& needed,
              std::uint64_t& available) {
  needed = 0;
  available = 0;
  ULARGE_INTEGER freeToCaller;
  wchar_t volume[MAX_PATH + 1] = {};
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0,
        totalClusters = 0;
  if (!GetDiskFreeSpaceExW(directory.units, &freeToCaller, nullptr, nullptr) ||
      !GetVolumePathNameW(directory.units, volume, MAX_PATH + 1) ||
      !GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector,
                         &freeClusters, &totalClusters)) {
    return true;
  }

  // A payload missing from this program, or a path too long, stops the
  // install before any file is written; it takes nothing.
  SizeChange changes[kPayloadCount];
  std::size_t changed = 0;
  for (std::size_t i = 0; i < count && changed < kPayloadCount; ++i) {
    const char* data = nullptr;
    std::uint32_t size = 0;
    FileFailure ignored;
    PathText path;
    if (MakeTargetPath(directory, table[i], path) &&
        FindPayload(table[i], data, size, ignored)) {
      changes[changed++] = {ExistingFileSize(path), size};
    }
  }
  needed = SpaceNeeded(
      changes, changed,
      std::uint64_t{sectorsPerCluster} * std::uint64_t{bytesPerSector});
  available = freeToCaller.QuadPart;
  return needed <= available;
}
