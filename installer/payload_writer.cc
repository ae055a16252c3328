// The files of the language pack and the writer that copies each one out of
// the executable's own resources into the host's OCR resource directory.

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#if defined(_MSC_VER)
#include <share.h>
#endif

#include "installer/installer.h"

namespace {

// Describes a failure in the operating system's words, given the thread's
// last error read right after the failing call. Callers clear it before the
// call, so a code left behind by an earlier one (an open that succeeded over
// an existing file leaves ERROR_ALREADY_EXISTS) is never taken for the reason.
std::wstring DescribeFailure(DWORD code) {
  if (code != ERROR_SUCCESS)
    return DescribeSystemError(code);
  return L"the system gave no reason";
}

// The payload of `entry` in this program's resources: its bytes and size.
// Returns false, with the reason, when there is none.
bool FindPayload(const PayloadEntry& entry,
                 const char*& data,
                 DWORD& size,
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

  // Find the payload before touching the file: an installed file must not be
  // truncated when there is nothing to replace it with.
  const char* data = nullptr;
  DWORD size = 0;
  if (!FindPayload(entry, data, size, failure))
    return false;

  // Binary output without append: a missing file is created and an existing
  // one truncated. Other processes may keep the file open while it is
  // rewritten; MSVC's stream needs that asked for, MinGW's runtime always
  // opens files that way.
  SetLastError(ERROR_SUCCESS);
  errno = 0;
#if defined(_MSC_VER)
  std::ofstream out(path.c_str(), std::ios::out | std::ios::binary, _SH_DENYNO);
#else
  std::ofstream out(path.c_str(), std::ios::out | std::ios::binary);
#endif
  if (!out.is_open()) {
    // The runtime may refuse on its own account (too many open files), with
    // no code from the system.
    const DWORD code = GetLastError();
    const int runtimeCode = errno;
    if (code == ERROR_SUCCESS && runtimeCode != 0) {
      const char* text = std::strerror(runtimeCode);
      failure.assign(text, text + std::strlen(text));
    } else {
      failure = DescribeFailure(code);
    }
    return false;
  }

  // The bytes go out unchanged, in one write. A write may stop short with no
  // error from the system (Wine does when the disk fills up); the rest is
  // then written again from where the file ends, so the system either takes
  // it or says why not.
  std::uint64_t written = 0;
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    out.write(data + written, static_cast<std::streamsize>(size - written));
    out.flush();
    if (out)
      break;
    const DWORD code = GetLastError();
    const std::uint64_t reached = ExistingFileSize(path);
    if (code != ERROR_SUCCESS || reached <= written || reached >= size) {
      failure = L"writing failed after " + std::to_wstring(reached) + L" of " +
                std::to_wstring(size) + L" bytes: " + DescribeFailure(code);
      return false;
    }
    written = reached;
    out.clear();
    out.seekp(static_cast<std::streamoff>(written));
  }

  SetLastError(ERROR_SUCCESS);
  out.close();
  if (!out) {
    failure = L"closing failed: " + DescribeFailure(GetLastError());
    return false;
  }
  return true;
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

  // A payload missing from this program leaves its file as it is.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sizes;
  for (const PayloadEntry& entry : table) {
    const char* data = nullptr;
    DWORD size = 0;
    std::wstring ignored;
    if (FindPayload(entry, data, size, ignored))
      sizes.emplace_back(ExistingFileSize(directory + entry.fileName), size);
  }
  needed = SpaceNeeded(
      sizes, std::uint64_t{sectorsPerCluster} * std::uint64_t{bytesPerSector});
  available = freeToCaller.QuadPart;
  return needed <= available;
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
