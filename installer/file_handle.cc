// The handle holder's definitions, the write that takes every byte, and the
// mark for removal on close.

#include "installer/file_handle.h"

#include <windows.h>

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

bool WriteAll(void* handle,
              const char* bytes,
              std::uint32_t size,
              std::uint32_t& written) {
  // A write may stop short with no error from the system (Wine does when
  // the disk fills up); the rest is then written again from where it
  // stopped, so the system either takes it or says why not.
  written = 0;
  while (written < size) {
    DWORD chunk = 0;
    SetLastError(ERROR_SUCCESS);
    const BOOL wrote =
        WriteFile(handle, bytes + written, size - written, &chunk, nullptr);
    written += chunk;
    if (!wrote || chunk == 0)
      return false;
  }
  return true;
}

std::uint32_t LastErrorOr(std::uint32_t fallback) {
  const DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : fallback;
}

bool SetPendingDeletion(void* handle, bool pending) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = pending ? TRUE : FALSE;
  SetLastError(ERROR_SUCCESS);
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}
