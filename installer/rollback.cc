// Keeping the installed pack and putting it back. Before the first byte of
// the pack is written, the bytes and last-write time of every file that it
// replaces are read into memory; when writing fails part way, every changed
// file gets them back and every file that the install created is removed.
// A failed install then leaves the pack as it was, never part new and part
// old, which the host's engine would load as one. The files that the install
// created are kept only once the whole pack is written.

#include "installer/rollback.h"

#include <windows.h>

#include "installer/claim.h"
#include "installer/system_path.h"

namespace {

// The claim's file size now, or 0 when it cannot be read.
std::uint64_t CurrentSize(const ClaimedFile& file) {
  LARGE_INTEGER size = {};
  return GetFileSizeEx(file.handle.get(), &size)
             ? static_cast<std::uint64_t>(size.QuadPart)
             : 0;
}

// Writes the kept bytes and last-write time of `file` back through its
// claim, in place, so that the file keeps its identity, links and sharing.
// The length is set first: a file that the payload made longer gives its
// space back before anything is written. Returns the Win32 error, or
// ERROR_SUCCESS.
DWORD PutBack(const ClaimedFile& file) {
  HANDLE handle = file.handle.get();
  LARGE_INTEGER end = {};
  end.QuadPart = file.keptSize;
  const LARGE_INTEGER start = {};
  SetLastError(ERROR_SUCCESS);
  if (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(handle) ||
      !SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    return LastErrorOr(ERROR_GEN_FAILURE);
  }
  std::uint32_t written = 0;
  if (!WriteAll(handle, file.keptData, file.keptSize, written))
    return LastErrorOr(ERROR_WRITE_FAULT);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(file.keptWriteTime);
  time.dwHighDateTime = static_cast<DWORD>(file.keptWriteTime >> 32);
  SetLastError(ERROR_SUCCESS);
  if (!SetFileTime(handle, nullptr, nullptr, &time))
    return LastErrorOr(ERROR_GEN_FAILURE);
  return ERROR_SUCCESS;
}

// Closes `file`, which is not marked for removal, and removes it by the
// path that its handle gives: the claim found it at its name in the folder,
// which the install holds in place. Returns the Win32 error, or
// ERROR_SUCCESS.
DWORD RemoveByName(FileHandle& file) {
  PathText path;
  const DWORD code = GetFinalPath(file.get(), VOLUME_NAME_DOS, path);
  file.Close();
  if (code != ERROR_SUCCESS)
    return code;
  SetLastError(ERROR_SUCCESS);
  return DeleteFileW(path.units) ? ERROR_SUCCESS
                                 : LastErrorOr(ERROR_GEN_FAILURE);
}

// Whether the claim holds a file that was there before the install.
bool HoldsInstalledFile(const ClaimedFile& claim) {
  return claim.handle.get() != nullptr && !claim.created;
}

}  // namespace

KeptBytes::~KeptBytes() {
  if (block != nullptr)
    VirtualFree(block, 0, MEM_RELEASE);
}

bool KeepInstalledFiles(ClaimedFile* claims,
                        std::size_t count,
                        KeptBytes& kept) {
  // The sizes first, so that one allocation holds every file.
  bool keptAll = true;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) {
    ClaimedFile& claim = claims[i];
    if (!HoldsInstalledFile(claim))
      continue;
    LARGE_INTEGER size = {};
    FILETIME time = {};
    SetLastError(ERROR_SUCCESS);
    if (!GetFileSizeEx(claim.handle.get(), &size) ||
        !GetFileTime(claim.handle.get(), nullptr, nullptr, &time)) {
      claim.failure = {FileStep::kKeep, LastErrorOr(ERROR_GEN_FAILURE), 0};
      keptAll = false;
      continue;
    }
    // A pack file is a few megabytes; one of 4 GiB is not the engine's, and
    // one read could not take it.
    if (size.QuadPart > 0xFFFFFFFFll) {
      claim.failure = {FileStep::kKeep, ERROR_FILE_TOO_LARGE, 0};
      keptAll = false;
      continue;
    }
    claim.keptSize = static_cast<std::uint32_t>(size.QuadPart);
    claim.keptWriteTime =
        (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    total += claim.keptSize;
  }
  if (!keptAll || total == 0)
    return keptAll;

  SetLastError(ERROR_SUCCESS);
  kept.block = VirtualAlloc(nullptr, static_cast<SIZE_T>(total),
                            MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  const DWORD allocationError = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
  char* next = static_cast<char*>(kept.block);
  for (std::size_t i = 0; i < count; ++i) {
    ClaimedFile& claim = claims[i];
    if (!HoldsInstalledFile(claim))
      continue;
    if (next == nullptr) {
      claim.failure = {FileStep::kKeep, allocationError, 0};
      keptAll = false;
      continue;
    }
    // Nothing else can write the file while the claim holds it, so it
    // still has the size just read; a shorter read means a failing disk.
    std::uint32_t read = 0;
    while (read < claim.keptSize) {
      DWORD chunk = 0;
      SetLastError(ERROR_SUCCESS);
      const BOOL ok = ReadFile(claim.handle.get(), next + read,
                               claim.keptSize - read, &chunk, nullptr);
      read += chunk;
      if (!ok || chunk == 0) {
        claim.failure = {FileStep::kKeep, LastErrorOr(ERROR_HANDLE_EOF), 0};
        keptAll = false;
        break;
      }
    }
    claim.keptData = next;
    next += claim.keptSize;
  }
  return keptAll;
}

bool KeepCreatedFiles(ClaimedFile* claims, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!claims[i].created || SetPendingDeletion(claims[i].handle.get(), false))
      continue;
    claims[i].failure = {FileStep::kKeepCreated, LastErrorOr(ERROR_GEN_FAILURE),
                         0};
    // The files kept so far are marked again, so that the put-back removes
    // them with the rest; one that cannot be is removed by its name.
    for (std::size_t j = 0; j < i; ++j) {
      if (claims[j].created &&
          !SetPendingDeletion(claims[j].handle.get(), true)) {
        claims[j].removeByName = true;
      }
    }
    return false;
  }
  return true;
}

void PutBackInstalledFiles(ClaimedFile* claims, std::size_t count) {
  // On a drive that filled up, the space to put files back comes from what
  // others give back: the files that the install created are removed first
  // (closing them removes them, as they are marked), then the files that go
  // back to a shorter length are put back before those that grow again.
  for (std::size_t i = 0; i < count; ++i) {
    ClaimedFile& claim = claims[i];
    if (!claim.created)
      continue;
    if (!claim.removeByName) {
      CloseClaim(claim);
      continue;
    }
    const DWORD code = RemoveByName(claim.handle);
    if (code != ERROR_SUCCESS)
      claim.putBackFailure = {FileStep::kRemoveCreated, code, 0};
    claim.removeByName = false;
  }
  for (int pass = 0; pass < 2; ++pass) {
    const bool shrinking = pass == 0;
    for (std::size_t i = 0; i < count; ++i) {
      ClaimedFile& claim = claims[i];
      if (!HoldsInstalledFile(claim) || !claim.changed ||
          (claim.keptSize <= CurrentSize(claim)) != shrinking) {
        continue;
      }
      const DWORD code = PutBack(claim);
      if (code != ERROR_SUCCESS)
        claim.putBackFailure = {FileStep::kPutBack, code, 0};
      claim.changed = false;
    }
  }
  ReleaseClaims(claims, count);
}
