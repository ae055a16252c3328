// The paths of the pack's files. The registry's installation path may be
// relative, hold . and .. or forward slashes, or pass Windows' old limit of
// 260 characters once the resources folder and a file name are added; every
// file is reached through its full path in extended-length form, which
// Windows takes as it stands, at any length.

#include "installer/system_path.h"

#include <windows.h>

namespace {

// Whether `units` starts in device form: \\?\ and \\.\, and the kernel's
// \??\, which the system takes as they are.
bool IsDeviceForm(const wchar_t* units, std::size_t length) {
  return length >= 4 && units[0] == L'\\' && units[3] == L'\\' &&
         ((units[1] == L'\\' && (units[2] == L'?' || units[2] == L'.')) ||
          (units[1] == L'?' && units[2] == L'?'));
}

}  // namespace

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

FileFailure MakeSystemPath(const PathText& path, PathText& systemPath) {
  systemPath.Clear();
  if (IsDeviceForm(path.units, path.length)) {
    if (systemPath.Append(path.units, path.length))
      return {};
    return {FileStep::kPathTooLong, 0, 0};
  }
  // The full path is written after room for the longest prefix, \\?\UNC,
  // and the prefix then put in front of it.
  constexpr std::size_t kRoom = 8;
  wchar_t* const full = systemPath.units + kRoom;
  const DWORD room = static_cast<DWORD>(kPathUnits - kRoom);
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetFullPathNameW(path.units, room, full, nullptr);
  if (length == 0) {
    systemPath.Clear();
    return {FileStep::kOpen, LastErrorOr(ERROR_INVALID_NAME), 0};
  }
  if (length >= room) {
    systemPath.Clear();
    return {FileStep::kPathTooLong, 0, 0};
  }
  // A path such as //./C:/Host/ comes back in device form: it stays so,
  // made again at the start of the buffer.
  if (IsDeviceForm(full, length)) {
    const DWORD again =
        GetFullPathNameW(path.units, kPathUnits, systemPath.units, nullptr);
    if (again != length) {
      systemPath.Clear();
      return {FileStep::kOpen, LastErrorOr(ERROR_INVALID_NAME), 0};
    }
    systemPath.length = length;
    return {};
  }
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
  return {};
}

std::uint32_t GetFinalPath(void* handle,
                           std::uint32_t volumeName,
                           PathText& path) {
  path.Clear();
  constexpr DWORD kRoom = sizeof(path.units) / sizeof(path.units[0]);
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetFinalPathNameByHandleW(
      handle, path.units, kRoom, FILE_NAME_NORMALIZED | volumeName);
  if (length == 0)
    return LastErrorOr(ERROR_GEN_FAILURE);
  if (length >= kRoom) {
    path.Clear();
    return ERROR_FILENAME_EXCED_RANGE;
  }
  path.length = length;
  return ERROR_SUCCESS;
}
