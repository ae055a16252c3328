// Finds the host's OCR resource directory from the installation path that the
// host's installer stored in the registry.

#include "installer/host_lookup.h"

#include <windows.h>

const wchar_t SettingsKeyPath[] = L"SOFTWARE\\Quarn\\Paginor\\CV\\Settings";

namespace {

constexpr wchar_t kInstallPathValue[] = L"installpath";

// The query buffer: 260 UTF-16 units, 520 bytes. Longer values fail with
// ERROR_MORE_DATA, and so does one that fills it without a zero.
constexpr DWORD kValueBufferUnits = 260;
static_assert(kValueBufferUnits < kPathUnits,
              "a path holds the whole value and its zero unit");

constexpr std::uint32_t kRead64BitView = KEY_READ | KEY_WOW64_64KEY;
constexpr std::uint32_t kRead32BitView = KEY_READ | KEY_WOW64_32KEY;

}  // namespace

long ReadSettingsString(const wchar_t* valueName,
                        std::uint32_t accessMask,
                        std::uint32_t valueType,
                        PathText& text,
                        bool useCurrentUser) {
  text.Clear();

  HKEY root = useCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(root, SettingsKeyPath, 0, accessMask, &key);
  if (status != ERROR_SUCCESS)
    return status;

  // The value is read straight into the text's buffer, zeroed first.
  for (DWORD i = 0; i < kValueBufferUnits; ++i)
    text.units[i] = L'\0';
  DWORD byteCount = kValueBufferUnits * sizeof(wchar_t);
  DWORD type = valueType;
  status = RegQueryValueExW(key, valueName, nullptr, &type,
                            reinterpret_cast<BYTE*>(text.units), &byteCount);
  if (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) {
    // A DWORD or binary value is no path; reading its bytes as text would
    // send the files somewhere arbitrary.
    status = ERROR_UNSUPPORTED_TYPE;
  }
  std::size_t length = 0;
  if (status == ERROR_SUCCESS) {
    // The text ends at the first zero unit. A value stored without its
    // terminating zero that fills the whole buffer has no end inside it:
    // it is taken as too long, as the same value stored with its zero is,
    // so that the longest path read is 259 characters either way.
    while (length < kValueBufferUnits && text.units[length] != L'\0')
      ++length;
    if (length == kValueBufferUnits)
      status = ERROR_MORE_DATA;
  }
  if (status == ERROR_SUCCESS) {
    text.length = length;
    text.units[length] = L'\0';
  } else {
    // A failed query may leave anything in the buffer.
    text.Clear();
  }

  RegCloseKey(key);
  return status;
}

bool GetOcrResourceDirectory(const wchar_t* subPath, PathText& directory) {
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
  if (!directory.empty() && !directory.Append(subPath)) {
    directory.Clear();
    return false;
  }
  return true;
}
