// Declarations shared by the installer's units: the host lookup, the payload
// table and writer, and the entry point that ties them together.

#ifndef HEBREW_OCR_PACK_INSTALLER_INSTALLER_H_
#define HEBREW_OCR_PACK_INSTALLER_INSTALLER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One file of the language pack: the ID of the RT_RCDATA resource that holds
// its bytes and the name it gets in the OCR resource directory.
struct PayloadEntry {
  std::uint8_t resourceId;
  std::wstring fileName;
};

// The host's settings key, relative to HKEY_LOCAL_MACHINE (or
// HKEY_CURRENT_USER).
extern const wchar_t SettingsKeyPath[];

// Reads the string value `valueName` of the host's settings key into `text`.
// `accessMask` chooses the rights and the registry view; `valueType` seeds the
// type slot of the query. Returns the Win32 status: 0 on success. On any
// failure `text` is left empty. Values that are not REG_SZ or REG_EXPAND_SZ
// fail with ERROR_UNSUPPORTED_TYPE; REG_EXPAND_SZ is returned unexpanded.
long ReadSettingsString(const std::wstring& valueName,
                        std::uint32_t accessMask,
                        std::uint32_t valueType,
                        std::wstring& text,
                        bool useCurrentUser);

// Returns the host's installation path with `subPath` appended, looked up in
// the 64-bit registry view and then the 32-bit one, or an empty string when
// the host is not installed.
std::wstring GetOcrResourceDirectory(const std::wstring& subPath);

// Returns the files of the language pack in the order they are written.
std::vector<PayloadEntry> GetPayloadTable();

// Writes the payload of `entry` to `directory` + `entry.fileName`, replacing
// any existing file. Returns true when the file was written in full. On
// failure returns false and sets `failure` to the reason; a payload missing
// from the executable fails before the file is opened, so an existing file
// stays as it was.
bool WritePayloadFile(const std::wstring& directory,
                      const PayloadEntry& entry,
                      std::wstring& failure);

// The most space that writing the pack takes from a volume at any point, in
// bytes, when the files are written in table order. Each file first gives
// back its old contents (`first`, 0 when there is no file) as it is
// truncated, then takes its payload (`second`); both are counted in whole
// clusters. 0 when no step takes more than the earlier ones gave back.
std::uint64_t SpaceNeeded(
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& oldAndNewSizes,
    std::uint64_t clusterSize);

// Checks, before any file is opened, that the payloads of `table` fit in
// `directory`: sets `needed` to what writing them takes (SpaceNeeded, from
// the files there now and the payloads in this program) and `available` to
// the free space the volume offers the caller, and returns whether it is
// enough. Returns true, with both 0, when the free space cannot be read (a
// missing directory, say): the writes then report their own failures.
bool PackFits(const std::wstring& directory,
              const std::vector<PayloadEntry>& table,
              std::uint64_t& needed,
              std::uint64_t& available);

// Describes a Win32 error code in the system's words, with the code itself.
std::wstring DescribeSystemError(unsigned long code);

#endif  // HEBREW_OCR_PACK_INSTALLER_INSTALLER_H_
