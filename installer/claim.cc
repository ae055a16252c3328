// The claim: every file of the pack opened before any is changed. An
// install that cannot finish must not start, or it leaves the host with a
// mixed pack: some files new, others old, missing or cut short.
//
// The installer runs elevated, often in a folder that every user may write,
// and must write only the files it names there. So the folder is held open
// until the install ends, and every file opened or created is checked for
// where it really is: its final path must be the folder's followed by its
// name. A link of any kind at a name (a symbolic link, a mount point, a
// Unix link that Wine shows as a plain file, an object-manager link reached
// through a mount point) leads elsewhere and is refused.

#include "installer/claim.h"

#include <windows.h>

#include <utility>

#include "installer/control_events.h"
#include "installer/payload_writer.h"
#include "installer/system_path.h"

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

// Where the folder of the pack is, and how its final path was asked for, so
// that each of its files is asked for its own the same way: by drive letter
// (\\?\C:\...), or by the volume's device (\Device\HarddiskVolume3\...)
// for a volume without a letter. An empty path: the folder's volume gives
// none, and its files keep the checks of each name alone.
struct FolderPlace {
  PathText path;
  std::uint32_t volumeName = VOLUME_NAME_DOS;
};

// Whether a failed request for a final path says that the volume gives
// none: some third-party file systems answer so. Wine gives none past 260
// characters (ERROR_MORE_DATA), where Windows gives any length.
bool GivesNoFinalPath(DWORD code) {
  return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ||
         code == ERROR_INVALID_PARAMETER || code == ERROR_MORE_DATA;
}

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

// Sets `info` to the `kind` of information about the file of `handle`, one
// of the classes of GetFileInformationByHandleEx. Returns the Win32 error,
// or ERROR_SUCCESS.
template <typename Info>
DWORD QueryFile(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, Info& info) {
  SetLastError(ERROR_SUCCESS);
  return GetFileInformationByHandleEx(handle, kind, &info, sizeof(info))
             ? ERROR_SUCCESS
             : LastErrorOr(ERROR_GEN_FAILURE);
}

// Checks that the file of `handle` is the file `name` in the folder at
// `folder`, compared without regard to case as the file system names files.
// A folder whose volume gives no final paths checks nothing.
FileFailure CheckPlace(HANDLE handle,
                       const FolderPlace& folder,
                       const wchar_t* name) {
  const PathText& folderPath = folder.path;
  if (folderPath.empty())
    return {};
  PathText actual;
  const DWORD code = GetFinalPath(handle, folder.volumeName, actual);
  if (code == ERROR_MORE_DATA)
    return {};
  // A file on a volume without a drive letter, where the folder has one,
  // is somewhere else.
  if (code == ERROR_PATH_NOT_FOUND && folder.volumeName == VOLUME_NAME_DOS)
    return {FileStep::kLinked, 0, 0};
  if (code != ERROR_SUCCESS)
    return {FileStep::kOpen, code, 0};
  // The folder's path, a backslash unless it ends with one (a volume's
  // root), and the name.
  const std::size_t length = folderPath.length;
  const std::size_t slash = folderPath.units[length - 1] == L'\\' ? 0 : 1;
  const std::size_t nameLength = TextLength(name);
  const bool same =
      actual.length == length + slash + nameLength &&
      (slash == 0 || actual.units[length] == L'\\') &&
      CompareStringOrdinal(actual.units, static_cast<int>(length),
                           folderPath.units, static_cast<int>(length),
                           TRUE) == CSTR_EQUAL &&
      CompareStringOrdinal(actual.units + length + slash,
                           static_cast<int>(nameLength), name,
                           static_cast<int>(nameLength), TRUE) == CSTR_EQUAL;
  return same ? FileFailure{} : FileFailure{FileStep::kLinked, 0, 0};
}

// Which file an open handle holds: its volume and its ID there.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t high = 0;
  std::uint64_t low = 0;
};

// Sets `identity` for the file of `handle`: the volume's 128-bit file ID
// where it has one, the 64-bit index otherwise. Returns the Win32 error, or
// ERROR_SUCCESS.
DWORD GetIdentity(HANDLE handle, FileIdentity& identity) {
  FILE_ID_INFO id = {};
  const DWORD code = QueryFile(handle, FileIdInfo, id);
  if (code == ERROR_SUCCESS) {
    identity.volume = id.VolumeSerialNumber;
    for (int i = 0; i < 8; ++i) {
      identity.low |= std::uint64_t{id.FileId.Identifier[i]} << (8 * i);
      identity.high |= std::uint64_t{id.FileId.Identifier[8 + i]} << (8 * i);
    }
    return ERROR_SUCCESS;
  }
  // Volumes without 128-bit IDs, and Windows before 8, refuse the class.
  if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED &&
      code != ERROR_INVALID_FUNCTION) {
    return code;
  }
  BY_HANDLE_FILE_INFORMATION index = {};
  SetLastError(ERROR_SUCCESS);
  if (!GetFileInformationByHandle(handle, &index))
    return LastErrorOr(ERROR_GEN_FAILURE);
  identity.volume = index.dwVolumeSerialNumber;
  identity.low =
      (std::uint64_t{index.nFileIndexHigh} << 32) | index.nFileIndexLow;
  return ERROR_SUCCESS;
}

// Opens `systemPath` for reading and writing as the name stands, not
// followed, so that what the name is can be seen: a symbolic link or mount
// point (a name-surrogate reparse tag) or a file with other names (a hard
// link) is refused. Other reparse points (deduplicated or cloud files) are
// ordinary data and are opened again normally, so that their owners serve
// the bytes. Returns ERROR_FILE_NOT_FOUND as a kOpen failure when there is
// no file.
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
  // The cheap classes: neither asks the volume anything.
  FILE_BASIC_INFO basic = {};
  DWORD code = QueryFile(handle, FileBasicInfo, basic);
  if (code != ERROR_SUCCESS)
    return {FileStep::kOpen, code, 0};
  if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    code = QueryFile(handle, FileAttributeTagInfo, tag);
    if (code != ERROR_SUCCESS)
      return {FileStep::kOpen, code, 0};
    if (IsReparseTagNameSurrogate(tag.ReparseTag))
      return {FileStep::kLinked, 0, 0};
    FileIdentity seen;
    code = GetIdentity(handle, seen);
    if (code != ERROR_SUCCESS)
      return {FileStep::kOpen, code, 0};
    file.Close();
    SetLastError(ERROR_SUCCESS);
    handle = CreateFileW(systemPath.units, access, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
      return {FileStep::kOpen, OpenError(), 0};
    file = FileHandle(handle);
    // The name was free for a moment: it must still be the same file, or
    // it is looked at again on the next try.
    FileIdentity again;
    code = GetIdentity(handle, again);
    if (code != ERROR_SUCCESS)
      return {FileStep::kOpen, code, 0};
    if (again.volume != seen.volume || again.high != seen.high ||
        again.low != seen.low) {
      file.Close();
      return {FileStep::kOpen, ERROR_FILE_EXISTS, 0};
    }
  }
  FILE_STANDARD_INFO standard = {};
  code = QueryFile(handle, FileStandardInfo, standard);
  if (code != ERROR_SUCCESS)
    return {FileStep::kOpen, code, 0};
  if (standard.NumberOfLinks > 1)
    return {FileStep::kHardLinked, 0, 0};
  return {};
}

// Opens the file `name` of the folder at `folder`, at `systemPath`, for
// reading and writing into `claim`, creating it when it is missing but
// changing nothing in a file that is there. Other programs may go on reading
// the file, as the host's engine may; none may write it, delete it or rename
// it while the install holds it, so that the bytes kept for putting back
// stay the installed ones.
FileFailure OpenTarget(const PathText& systemPath,
                       const FolderPlace& folder,
                       const wchar_t* name,
                       ClaimedFile& claim) {
  FileHandle file;
  FileFailure failure = OpenExistingTarget(systemPath, file);
  if (failure.step == FileStep::kNone ||
      failure.step == FileStep::kHardLinked) {
    // A name that leads out of the folder is a link, whatever it leads to.
    const FileFailure place = CheckPlace(file.get(), folder, name);
    if (place.step != FileStep::kNone)
      return place;
    if (failure.step == FileStep::kNone) {
      claim.handle = std::move(file);
      claim.created = false;
    }
    return failure;
  }
  if (failure.code != ERROR_FILE_NOT_FOUND)
    return failure;

  // A missing file is made new. CREATE_NEW fails rather than open whatever
  // another program has put at the name since it was looked at, a link
  // included, which is then looked at on the next try. The new file is
  // marked for removal at once, through the handle that made it: until the
  // pack is complete the system removes it when the handle closes, however
  // the install ends, and no other program can open it in the meantime.
  // Control events wait while the file exists without its mark.
  HoldOffControlEvents();
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateFileW(
      systemPath.units, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    failure = {FileStep::kOpen, OpenError(), 0};
    AllowControlEvents();
    return failure;
  }
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
    AllowControlEvents();
    return failure;
  }
  AllowControlEvents();
  // Made where the name leads now: a folder above this one swapped since
  // it was opened would put it elsewhere. Closing it then removes it.
  failure = CheckPlace(handle, folder, name);
  if (failure.step != FileStep::kNone)
    claim.handle.Close();
  return failure;
}

// Whether `failure` may pass once another program lets go: a file that it
// holds or has locked part of, or a name that changed between the look and
// the open.
bool MayPass(const FileFailure& failure) {
  return (failure.step == FileStep::kOpen || failure.step == FileStep::kLock) &&
         (IsHeldByAnotherProgram(failure.code) ||
          failure.code == ERROR_FILE_EXISTS);
}

// Tries `attempt` (a FileFailure()) again every few milliseconds while it
// fails in a way that may pass once another program lets go, until
// `deadline`. Returns its last result.
template <typename Attempt>
FileFailure TryUntil(ULONGLONG deadline, const Attempt& attempt) {
  for (;;) {
    const FileFailure failure = attempt();
    if (failure.step == FileStep::kNone || !MayPass(failure) ||
        GetTickCount64() >= deadline) {
      return failure;
    }
    Sleep(kHoldRetryMilliseconds);
  }
}

// Locks the whole of the installed file of `claim`, and past its end, for
// this handle alone, failing at once with ERROR_LOCK_VIOLATION while another
// program has locked any part of it. The claim's sharing keeps others from
// writing the file, but not from locking a part of it: a part that another
// program locks against writing would stop the pack, and its put-back, in
// the middle. A file system that keeps no locks says so
// (ERROR_NOT_SUPPORTED or ERROR_INVALID_FUNCTION), and its file is written
// without one.
FileFailure LockWhole(ClaimedFile& claim) {
  OVERLAPPED from = {};
  SetLastError(ERROR_SUCCESS);
  if (LockFileEx(claim.handle.get(),
                 LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                 MAXDWORD, MAXDWORD, &from)) {
    claim.locked = true;
    return {};
  }
  const DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
  if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION)
    return {};
  return {FileStep::kLock, code, 0};
}

// Opens the folder at `systemDirectory` into `folder` for as long as the
// install runs: others may go on reading and writing in it, but not rename,
// move or remove it. (Listing access makes the sharing count.) Waits until
// `deadline` while another program holds it. Sets `place` to where it is.
FileFailure OpenFolder(const PathText& systemDirectory,
                       ULONGLONG deadline,
                       FileHandle& folder,
                       FolderPlace& place) {
  // The folder's own name, without the backslash that ends the path.
  PathText name;
  const std::size_t length = systemDirectory.length;
  const bool slash = length > 0 && systemDirectory.units[length - 1] == L'\\';
  name.Append(systemDirectory.units, slash ? length - 1 : length);
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    handle = CreateFileW(name.units, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
      break;
    DWORD code = OpenError();
    if (!IsHeldByAnotherProgram(code) || GetTickCount64() >= deadline) {
      // The files of a missing folder are not found by their paths, as
      // opening each of them says.
      if (code == ERROR_FILE_NOT_FOUND)
        code = ERROR_PATH_NOT_FOUND;
      return {FileStep::kOpen, code, 0};
    }
    Sleep(kHoldRetryMilliseconds);
  }
  folder = FileHandle(handle);
  FILE_BASIC_INFO basic = {};
  DWORD code = QueryFile(handle, FileBasicInfo, basic);
  if (code != ERROR_SUCCESS)
    return {FileStep::kOpen, code, 0};
  // A file where the folder should be holds no files.
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return {FileStep::kOpen, ERROR_PATH_NOT_FOUND, 0};
  place.volumeName = VOLUME_NAME_DOS;
  code = GetFinalPath(handle, place.volumeName, place.path);
  if (code == ERROR_PATH_NOT_FOUND) {
    // A volume without a drive letter.
    place.volumeName = VOLUME_NAME_NT;
    code = GetFinalPath(handle, place.volumeName, place.path);
  }
  if (GivesNoFinalPath(code)) {
    place.path.Clear();
    return {};
  }
  if (code != ERROR_SUCCESS)
    return {FileStep::kOpen, code, 0};
  return {};
}

}  // namespace

bool CloseClaim(ClaimedFile& claim) {
  // The system may release the locks of a closed handle some time after it
  // closes, so they go first.
  if (claim.locked) {
    OVERLAPPED from = {};
    UnlockFileEx(claim.handle.get(), 0, MAXDWORD, MAXDWORD, &from);
    claim.locked = false;
  }
  SetLastError(ERROR_SUCCESS);
  return claim.handle.Close();
}

void ReleaseClaims(ClaimedFile* claims, std::size_t count) {
  // A file that the claim created is still marked for removal, so closing
  // its handle removes it.
  for (std::size_t i = 0; i < count; ++i)
    CloseClaim(claims[i]);
}

bool ClaimTargets(const PathText& directory,
                  const PayloadEntry* table,
                  std::size_t count,
                  FileHandle& folder,
                  ClaimedFile* claims) {
  // Every file is reached through its full path in extended-length form,
  // which Windows takes at any length; error lines show the path as the
  // user knows it.
  PathText systemDirectory;
  const FileFailure reached = MakeSystemPath(directory, systemDirectory);
  for (std::size_t i = 0; i < count; ++i) {
    ClaimedFile& claim = claims[i];
    claim = ClaimedFile();
    // Both the path shown and the one opened must fit.
    const std::size_t name = TextLength(table[i].fileName);
    if (reached.step != FileStep::kNone)
      claim.failure = reached;
    else if (directory.length + name >= kPathUnits ||
             systemDirectory.length + name >= kPathUnits)
      claim.failure = {FileStep::kPathTooLong, 0, 0};
    else
      FindPayload(table[i], claim.data, claim.size, claim.failure);
  }

  // The folder first, so that it stays where it is while the files are
  // opened in it and the pack changes. The files are then claimed one
  // after another in table order, and a file held by another program is
  // tried again until it is free or the wait is over. Every installer takes
  // the pack in the same order, so two of them never each hold a file that
  // the other waits for. The wait is shared: once it is over, held files
  // fail at their first try, so several held files take no longer than
  // one, and every one is reported.
  const ULONGLONG deadline = GetTickCount64() + kHoldWaitMilliseconds;
  FolderPlace place;
  if (reached.step == FileStep::kNone) {
    const FileFailure opened =
        OpenFolder(systemDirectory, deadline, folder, place);
    for (std::size_t i = 0; i < count && opened.step != FileStep::kNone; ++i) {
      if (claims[i].failure.step == FileStep::kNone)
        claims[i].failure = opened;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    ClaimedFile& claim = claims[i];
    if (claim.failure.step != FileStep::kNone)
      continue;
    PathText path;
    MakeTargetPath(systemDirectory, table[i], path);
    claim.failure = TryUntil(deadline, [&] {
      return OpenTarget(path, place, table[i].fileName, claim);
    });
  }

  bool claimedAll = true;
  for (std::size_t i = 0; i < count; ++i)
    claimedAll = claimedAll && claims[i].failure.step == FileStep::kNone;

  // Once every file is held, the installed ones are locked whole, so that
  // the locks last only while the pack changes: other programs' reads of a
  // locked file fail meanwhile. A part locked by another program is waited
  // for as a held file is, within the same wait.
  for (std::size_t i = 0; i < count && claimedAll; ++i) {
    ClaimedFile& claim = claims[i];
    if (!claim.created)
      claim.failure = TryUntil(deadline, [&] { return LockWhole(claim); });
  }

  for (std::size_t i = 0; i < count; ++i) {
    if (claims[i].failure.step != FileStep::kNone) {
      ReleaseClaims(claims, count);
      folder.Close();
      return false;
    }
  }
  return true;
}
