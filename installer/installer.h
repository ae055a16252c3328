// Declarations shared by the installer's units: the host lookup, the payload
// table and writer, the checks made before writing, and the entry point that
// ties them together.

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

// Finds the payload of `entry` among this program's resources: its bytes,
// which stay valid for the life of the process, and its size. Returns false,
// with the reason, when there is none.
bool FindPayload(const PayloadEntry& entry,
                 const char*& data,
                 std::uint32_t& size,
                 std::wstring& failure);

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

// One file of the pack, opened for writing before any file of the pack is
// changed, and held until its payload is written.
struct ClaimedFile {
  std::wstring path;
  FileHandle handle;
  // The claim made the file: it is removed again when the install stops
  // before writing.
  bool created = false;
  const char* data = nullptr;
  std::uint32_t size = 0;
};

// A file that cannot be written, and why.
struct FileFailure {
  std::wstring path;
  std::wstring reason;
};

// Opens every file of `table` in `directory` for writing without changing
// any, so that nothing stops the pack half way: a payload missing from this
// program, a missing folder, a folder in a file's place, denied access or a
// file held by another program without write sharing are all found here.
// Files held by another program are tried again for about two seconds in
// all. Returns true with `claims` in table order; otherwise closes what it
// opened, removes the files it created, leaves `claims` empty and lists in
// `failures` every file that cannot be written, in table order.
bool ClaimTargets(const std::wstring& directory,
                  const std::vector<PayloadEntry>& table,
                  std::vector<ClaimedFile>& claims,
                  std::vector<FileFailure>& failures);

// Rewrites a claimed file with its payload, in place: truncates it, writes
// every byte and closes it. Returns true when the file was written in full;
// otherwise false, with the reason in `failure`. A file that cannot be
// truncated keeps its old bytes.
bool WritePayloadFile(ClaimedFile& file, std::wstring& failure);

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
// missing directory, say): the claims then report their own failures.
bool PackFits(const std::wstring& directory,
              const std::vector<PayloadEntry>& table,
              std::uint64_t& needed,
              std::uint64_t& available);

// Describes a Win32 error code in the system's words, with the code itself.
std::wstring DescribeSystemError(unsigned long code);

#endif  // HEBREW_OCR_PACK_INSTALLER_INSTALLER_H_
