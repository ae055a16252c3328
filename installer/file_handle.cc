// The handle holder's definitions.

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
