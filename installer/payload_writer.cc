// The files of the language pack and the writer that copies each one out of
// the executable's own resources into the host's OCR resource directory.

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#if defined(_MSC_VER)
#include <share.h>
#endif

#include "installer/installer.h"

namespace {

// Describes the last failure of the C runtime's file functions. The runtime
// keeps the operating system's code in _doserrno, which gives the system's
// own text; errno alone only gives the runtime's shorter one.
std::wstring DescribeLastFileError() {
  const unsigned long systemCode = _doserrno;
  if (systemCode != 0)
    return DescribeSystemError(systemCode);
  const int runtimeCode = errno;
  if (runtimeCode != 0) {
    const char* text = std::strerror(runtimeCode);
    return std::wstring(text, text + std::strlen(text));
  }
  return L"unknown error";
}

void ClearLastFileError() {
  _doserrno = 0;
  errno = 0;
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

bool WritePayloadFile(const std::wstring& directory,
                      const PayloadEntry& entry,
                      std::wstring& failure) {
  failure.clear();
  const std::wstring path = directory + entry.fileName;
  const std::wstring resource = std::to_wstring(entry.resourceId);

  // Find the payload before touching the file: an installed file must not be
  // truncated when there is nothing to replace it with.
  HRSRC info =
      FindResourceW(nullptr, MAKEINTRESOURCEW(entry.resourceId), RT_RCDATA);
  if (info == nullptr) {
    failure =
        L"payload resource " + resource + L" is missing from this program";
    return false;
  }
  const DWORD size = SizeofResource(nullptr, info);
  HGLOBAL loaded = LoadResource(nullptr, info);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) {
    failure = L"payload resource " + resource + L" cannot be loaded: " +
              DescribeSystemError(GetLastError());
    return false;
  }

  // Binary output without append: a missing file is created and an existing
  // one truncated. Other processes may keep the file open while it is
  // rewritten; MSVC's stream needs that asked for, MinGW's runtime always
  // opens files that way.
  ClearLastFileError();
#if defined(_MSC_VER)
  std::ofstream out(path.c_str(), std::ios::out | std::ios::binary, _SH_DENYNO);
#else
  std::ofstream out(path.c_str(), std::ios::out | std::ios::binary);
#endif
  if (!out.is_open()) {
    failure = DescribeLastFileError();
    return false;
  }

  // The bytes go out unchanged, in one write.
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.flush();
  if (!out) {
    failure = L"writing failed: " + DescribeLastFileError();
    return false;
  }

  out.close();
  if (!out) {
    failure = L"closing failed: " + DescribeLastFileError();
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
