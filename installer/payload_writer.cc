// The files of the language pack and the writer that copies each one out of
// the executable's own resources into the host's OCR resource directory.

#include <windows.h>

#include "installer/installer.h"

namespace {

// Describes a failure in the operating system's words, given the thread's
// last error read right after the failing call. Callers clear it before the
// call, so a code left behind by an earlier one is never taken for the
// reason.
std::wstring DescribeFailure(DWORD code) {
  if (code != ERROR_SUCCESS)
    return DescribeSystemError(code);
  return L"the system gave no reason";
}

}  // namespace

std::vector<PayloadEntry> GetPayloadTable() {
  // The order is the order of writing; it is not the order of the IDs.
  return {
      {110, L"hebrew.ilex"},    {114, L"heb.ilex"},
      {111, L"eng.ilex"},       {112, L"hebrew_engine.bin"},
      {113, L"net_hebrew.bin"}, {115, L"hebrew.ocr"},
  };
}

bool FindPayload(const PayloadEntry& entry,
                 const char*& data,
                 std::uint32_t& size,
                 std::wstring& failure) {
  const std::wstring resource = std::to_wstring(entry.resourceId);
  HRSRC info =
      FindResourceW(nullptr, MAKEINTRESOURCEW(entry.resourceId), RT_RCDATA);
  if (info == nullptr) {
    failure =
        L"payload resource " + resource + L" is missing from this program";
    return false;
  }
  size = SizeofResource(nullptr, info);
  HGLOBAL loaded = LoadResource(nullptr, info);
  data = static_cast<const char*>(loaded != nullptr ? LockResource(loaded)
                                                    : nullptr);
  if (data == nullptr) {
    failure = L"payload resource " + resource + L" cannot be loaded: " +
              DescribeSystemError(GetLastError());
    return false;
  }
  return true;
}

bool WritePayloadFile(ClaimedFile& file, std::wstring& failure) {
  failure.clear();
  HANDLE handle = file.handle.get();

  // Truncate first, so that the old contents give their space back before
  // the payload takes its own, as the space check counts. The system refuses
  // to truncate a file that another program has mapped into memory; the file
  // then still holds its old bytes, and nothing may be written over them.
  const LARGE_INTEGER start = {};
  SetLastError(ERROR_SUCCESS);
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(handle)) {
    failure = DescribeFailure(GetLastError());
    return false;
  }

  // The bytes go out unchanged. A write may stop short with no error from
  // the system (Wine does when the disk fills up); the rest is then written
  // again from where it stopped, so the system either takes it or says why
  // not.
  std::uint32_t written = 0;
  while (written < file.size) {
    DWORD chunk = 0;
    SetLastError(ERROR_SUCCESS);
    const BOOL wrote = WriteFile(handle, file.data + written,
                                 file.size - written, &chunk, nullptr);
    written += chunk;
    if (!wrote || chunk == 0) {
      failure = L"writing failed after " + std::to_wstring(written) + L" of " +
                std::to_wstring(file.size) + L" bytes: " +
                DescribeFailure(GetLastError());
      return false;
    }
  }

  SetLastError(ERROR_SUCCESS);
  if (!file.handle.Close()) {
    failure = L"closing failed: " + DescribeFailure(GetLastError());
    return false;
  }
  return true;
}

std::wstring DescribeSystemError(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (length != 0 && buffer != nullptr)
    text.assign(buffer, length);
  LocalFree(buffer);

  // System messages end with a line break, which would split the report.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' ||
                           text.back() == L' ')) {
    text.pop_back();
  }
  if (text.empty())
    text = L"unknown error";
  return text + L" (error " + std::to_wstring(code) + L")";
}
