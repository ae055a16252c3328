// A holder for one open Windows handle, closed when the holder goes, a
// write that takes every byte or says why not, the mark that removes a file
// when its last handle closes, and the reason a call on one failed.

#ifndef HEBREW_OCR_PACK_INSTALLER_FILE_HANDLE_H_
#define HEBREW_OCR_PACK_INSTALLER_FILE_HANDLE_H_

#include <cstdint>

// Holds an open Windows file handle (a HANDLE; void* keeps this header free
// of Windows headers) and closes it when it goes.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(void* handle) : handle_(handle) {}
  FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }

  void* get() const { return handle_; }
  // Closes the handle now; returns false, with the thread's last error set,
  // when the system reports a failure. Closing nothing succeeds.
  bool Close();

 private:
  void* handle_ = nullptr;
};

// Writes `size` bytes of `bytes` to the file `handle` at its file pointer,
// setting `written` to how many went out. Returns false, with the thread's
// last error set (0 when the system gave no reason), when not all did.
bool WriteAll(void* handle,
              const char* bytes,
              std::uint32_t size,
              std::uint32_t& written);

// The thread's last error, or `fallback` when a failing call left none.
// Callers clear the last error before the call, so a code left behind by an
// earlier one is never taken for the reason.
std::uint32_t LastErrorOr(std::uint32_t fallback);

// Marks the file of `handle`, opened with delete access, to be removed by
// the system when its last handle closes, however the process ends; or,
// with `pending` false, clears the mark. Returns false, with the thread's
// last error set, when the system refuses.
bool SetPendingDeletion(void* handle, bool pending);

#endif  // HEBREW_OCR_PACK_INSTALLER_FILE_HANDLE_H_
