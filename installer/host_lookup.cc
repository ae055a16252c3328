// Finds the host's OCR resource directory from the installation path that the
// host's installer stored in the registry.

#include <windows.h>

#include <algorithm>

#include "installer/installer.h"

const wchar_t SettingsKeyPath[] = L"SOFTWARE\\Quarn\\Paginor\\CV\\Settings";

namespace {

constexpr wchar_t kInstallPathValue[] = L"installpath";

// The query buffer: 260 UTF-16 units, 520 bytes. Longer values fail with
// ERROR_MORE_DATA.
constexpr DWORD kValueBufferUnits = 260;

constexpr std::uint32_t kRead64BitView = KEY_READ | KEY_WOW64_64KEY;
constexpr std::uint32_t kRead32BitView = KEY_READ | KEY_WOW64_32KEY;

}  // namespace

long ReadSettingsString(const std::wstring& valueName,
                        std::uint32_t accessMask,
                        std::uint32_t valueType,
                        std::wstring& text,
                        bool useCurrentUser) {
  text.clear();

  HKEY root = useCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(root, SettingsKeyPath, 0, accessMask, &key);
  if (status != ERROR_SUCCESS)
    return status;

  wchar_t buffer[kValueBufferUnits] = {};
  DWORD byteCount = sizeof(buffer);
  DWORD type = valueType;
  status = RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(buffer), &byteCount);
  if (status == ERROR_SUCCESS) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      // A value stored without a terminating zero may fill the whole buffer,
      // so the text ends at the first zero unit or at the buffer's end.
      const wchar_t* end = std::find(buffer, buffer + kValueBufferUnits, L'\0');
      text.assign(buffer, static_cast<size_t>(end - buffer));
    } else {
      // A DWORD or binary value is no path; reading its bytes as text would
      // send the files somewhere arbitrary.
      status = ERROR_UNSUPPORTED_TYPE;
    }
  }

  RegCloseKey(key);
  return status;
}

std::wstring GetOcrResourceDirectory(const std::wstring& subPath) {
  std::wstring directory;
  const long status = ReadSettingsString(kInstallPathValue, kRead64BitView,
                                         REG_SZ, directory, false);
  // Only a failed read falls back to the 32-bit view; a value that exists in
  // the 64-bit view decides, even when it is empty.
  if (status != ERROR_SUCCESS) {
    ReadSettingsString(kInstallPathValue, kRead32BitView, REG_SZ, directory,
                       false);
  }

  // The stored path is used exactly as stored, as the prefix of the
  // sub-path.
  if (!directory.empty())
    directory += subPath;
  return directory;
}
