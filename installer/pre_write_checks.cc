// The checks made before the first byte of the pack is written: that the
// pack fits on the drive, and that every one of its files can be written
// now. An install that cannot finish must not start, or it leaves the host
// with a mixed pack: some files new, others old, missing or cut short.

#include "installer/pre_write_checks.h"

#include <windows.h>

#include <utility>

#include "installer/payload_writer.h"

// The NT status behind the thread's last error, which tells a file that is
// being removed from one that access is denied to.
extern "C" LONG NTAPI RtlGetLastNtStatus();

namespace {

// The status of a file whose removal is pending: another installer's new
// file that it will either keep or let go.
constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);

// How long files held by another program are waited for, in all, and how
// often they are tried in that time. Virus scanners and search indexers
// open files for a moment; a program that keeps a file open is not waited
// for longer than this.
constexpr ULONGLONG kHoldWaitMilliseconds = 2000;
constexpr DWORD kHoldRetryMilliseconds = 50;

bool IsHeldByAnotherProgram(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_DELETE_PENDING;
}

// The thread's last error after a failed open. Windows reports a file that
// is pending removal as access denied; it is told apart, since it is held by
// another program only until that program keeps it or lets it go.
DWORD OpenError() {
  const DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
  if (code == ERROR_ACCESS_DENIED &&
      RtlGetLastNtStatus() == kStatusDeletePending) {
    return ERROR_DELETE_PENDING;
  }
  return code;
}

// The size of the file at `systemPath`, or 0 when there is none.
std::uint64_t ExistingFileSize(const PathText& systemPath) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(systemPath.units, GetFileExInfoStandard,
                            &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 0;
  }
  return (std::uint64_t{attributes.nFileSizeHigh} << 32) |
         attributes.nFileSizeLow;
}

// Opens `systemPath` for reading and writing as the name stands, not
// followed, so that what the name is can be seen: a symbolic link or mount
// point (a name-surrogate reparse tag), a folder, or a file with other names
// (a hard link) is refused. The installer runs elevated, often in a folder
// that every user may write, and must write only the file that it names, not
// one of another user's choosing. Other reparse points (deduplicated or cloud
// files) are ordinary data and are opened again normally, so that their
// owners serve the bytes. Returns ERROR_FILE_NOT_FOUND as a kOpen failure
// when there is no file.
FileFailure OpenExistingTarget(const PathText& systemPath, FileHandle& file) {
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateFileW(
      systemPath.units, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = OpenError();
    // A folder, or a link to one, cannot be opened as a file.
    const DWORD attributes = code == ERROR_ACCESS_DENIED
                                 ? GetFileAttributesW(systemPath.units)
                                 : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      return {link ? FileStep::kLinked : FileStep::kFolderInPlace, 0, 0};
    }
    return {FileStep::kOpen, code, 0};
  }
  file = FileHandle(handle);
  BY_HANDLE_FILE_INFORMATION seen = {};
  SetLastError(ERROR_SUCCESS);
  if (!GetFileInformationByHandle(handle, &seen))
    return {FileStep::kOpen, LastErrorOr(ERROR_GEN_FAILURE), 0};
  if ((seen.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    SetLastError(ERROR_SUCCESS);
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag,
                                      sizeof(tag))) {
      return {FileStep::kOpen, LastErrorOr(ERROR_GEN_FAILURE), 0};
    }
    if (IsReparseTagNameSurrogate(tag.ReparseTag))
      return {FileStep::kLinked, 0, 0};
    file.Close();
    SetLastError(ERROR_SUCCESS);
    handle = CreateFileW(systemPath.units, access, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
      return {FileStep::kOpen, OpenError(), 0};
    file = FileHandle(handle);
    // The name was free for a moment: it must still be the same file, or
    // it is looked at again on the next try.
    BY_HANDLE_FILE_INFORMATION again = {};
    if (!GetFileInformationByHandle(handle, &again) ||
        again.dwVolumeSerialNumber != seen.dwVolumeSerialNumber ||
        again.nFileIndexHigh != seen.nFileIndexHigh ||
        again.nFileIndexLow != seen.nFileIndexLow) {
      file.Close();
      return {FileStep::kOpen, ERROR_FILE_EXISTS, 0};
    }
  }
  if (seen.nNumberOfLinks > 1)
    return {FileStep::kHardLinked, 0, 0};
  return {};
}

// Opens the file at `systemPath` for reading and writing into `claim`,
// creating it when it is missing but changing nothing in a file that is
// there. Other programs may go on reading the file, as the host's engine
// may; none may write it, delete it or rename it while the install holds
// it, so that the bytes kept for putting back stay the installed ones.
FileFailure OpenTarget(const PathText& systemPath, ClaimedFile& claim) {
  FileHandle file;
  FileFailure failure = OpenExistingTarget(systemPath, file);
  if (failure.step == FileStep::kNone) {
    claim.handle = std::move(file);
    claim.created = false;
    return failure;
  }
  if (failure.code != ERROR_FILE_NOT_FOUND)
    return failure;
  // A missing file is made new. CREATE_NEW fails rather than open whatever
  // another program has put at the name since it was looked at, which is
  // then looked at on the next try. The new file is marked for removal at
  // once, through the handle that made it: until the pack is complete the
  // system removes it when the handle closes, however the install ends,
  // killed or not, and no other program can open it in the meantime.
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateFileW(
      systemPath.units, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return {FileStep::kOpen, OpenError(), 0};
  claim.handle = FileHandle(handle);
  claim.created = true;
  if (!SetPendingDeletion(handle, true)) {
    // Without the mark nothing would remove the file if the install ended
    // now, so it goes at once, by its name.
    failure = {FileStep::kOpen, LastErrorOr(ERROR_GEN_FAILURE), 0};
    claim.handle.Close();
    SetLastError(ERROR_SUCCESS);
    if (!DeleteFileW(systemPath.units))
      claim.putBackFailure = {FileStep::kRemoveCreated,
                              LastErrorOr(ERROR_GEN_FAILURE), 0};
    return failure;
  }
  return {};
}

// Whether `failure` may pass once another program lets go: a file that it
// holds, or a name that changed between the look and the open.
bool MayPass(const FileFailure& failure) {
  return failure.step == FileStep::kOpen &&
         (IsHeldByAnotherProgram(failure.code) ||
          failure.code == ERROR_FILE_EXISTS);
}

}  // namespace

void ReleaseClaims(ClaimedFile* claims, std::size_t count) {
  // A file that the claim created is still marked for removal, so closing
  // its handle removes it.
  for (std::size_t i = 0; i < count; ++i)
    claims[i].handle.Close();
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

bool MakeSystemPath(const PathText& path, PathText& systemPath) {
  systemPath.Clear();
  const wchar_t* units = path.units;
  // \\?\ and \\.\ (and the kernel's \??\) go to the system as they are.
  if (path.length >= 4 && units[0] == L'\\' && units[3] == L'\\' &&
      ((units[1] == L'\\' && (units[2] == L'?' || units[2] == L'.')) ||
       (units[1] == L'?' && units[2] == L'?'))) {
    return systemPath.Append(units, path.length);
  }
  // The full path is written after room for the longest prefix, \\?\UNC,
  // and the prefix then put in front of it.
  constexpr std::size_t kRoom = 8;
  wchar_t* const full = systemPath.units + kRoom;
  const DWORD room = static_cast<DWORD>(kPathUnits - kRoom);
  const DWORD length = GetFullPathNameW(units, room, full, nullptr);
  if (length == 0 || length >= room)
    return false;
  const bool unc = length > 2 && full[0] == L'\\' && full[1] == L'\\';
  // \\server\share becomes \\?\UNC\server\share; C:\ becomes \\?\C:\.
  const wchar_t* const prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
  const std::size_t skipped = unc ? 1 : 0;
  const std::size_t prefixLength = TextLength(prefix);
  std::size_t out = 0;
  for (std::size_t i = 0; i < prefixLength; ++i)
    systemPath.units[out++] = prefix[i];
  for (std::size_t i = skipped; i < length; ++i)
    systemPath.units[out++] = full[i];
  systemPath.length = out;
  systemPath.units[out] = L'\0';
  return true;
}

bool ClaimTargets(const PathText& directory,
                  const PayloadEntry* table,
                  std::size_t count,
                  ClaimedFile* claims) {
  // Every file is reached through its full path in extended-length form,
  // which Windows takes at any length; error lines show the path as the
  // user knows it.
  PathText systemDirectory;
  const bool reachable = MakeSystemPath(directory, systemDirectory);
  for (std::size_t i = 0; i < count; ++i) {
    claims[i] = ClaimedFile();
    PathText path;
    if (!reachable || !MakeTargetPath(directory, table[i], path) ||
        !MakeTargetPath(systemDirectory, table[i], path))
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
    MakeTargetPath(systemDirectory, table[i], path);
    for (;;) {
      const FileFailure failure = OpenTarget(path, claim);
      if (failure.step == FileStep::kNone)
        break;
      if (!MayPass(failure) || GetTickCount64() >= deadline) {
        claim.failure = failure;
        break;
      }
      Sleep(kHoldRetryMilliseconds);
    }
  }

  for (std::size_t i = 0; i < count; ++i) {
    if (claims[i].failure.step != FileStep::kNone) {
      ReleaseClaims(claims, count);
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
  PathText systemDirectory;
  if (!MakeSystemPath(directory, systemDirectory) ||
      !GetDiskFreeSpaceExW(systemDirectory.units, &freeToCaller, nullptr,
                           nullptr) ||
      !GetVolumePathNameW(systemDirectory.units, volume, MAX_PATH + 1) ||
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
    if (MakeTargetPath(systemDirectory, table[i], path) &&
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
