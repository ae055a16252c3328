// Declarations shared by the installer's units: the host lookup, the
// payload table and writer, the checks made before writing, and the
// start-up and entry point that tie them together.
//
// The shipped program links no C or C++ runtime, so nothing here needs one:
// no standard library strings, containers or streams, no exceptions and no
// static constructors. Text lives in fixed buffers whose lengths are checked.

#ifndef HEBREW_OCR_PACK_INSTALLER_INSTALLER_H_
#define HEBREW_OCR_PACK_INSTALLER_INSTALLER_H_

#include <cstddef>
#include <cstdint>

#include "installer/file_handle.h"
#include "installer/fixed_text.h"

// A path. The registry's installation path holds at most 260 units; the
// resources folder and the longest file name add 36 more, so every path the
// installer makes fits with room to spare.
constexpr std::size_t kPathUnits = 512;
using PathText = FixedText<kPathUnits>;
// The reason for a failure: the system's words, with the installer's around
// them.
using ReasonText = FixedText<512>;

// One file of the language pack: the ID of the RT_RCDATA resource that holds
// its bytes and the name it gets in the OCR resource directory.
struct PayloadEntry {
  std::uint8_t resourceId;
  const wchar_t* fileName;
};

// The number of files in the language pack.
constexpr std::size_t kPayloadCount = 6;

// The host's settings key, relative to HKEY_LOCAL_MACHINE (or
// HKEY_CURRENT_USER).
extern const wchar_t SettingsKeyPath[];

// Reads the string value `valueName` of the host's settings key into `text`.
// `accessMask` chooses the rights and the registry view; `valueType` seeds the
// type slot of the query. Returns the Win32 status: 0 on success. On any
// failure `text` is left empty. Values that are not REG_SZ or REG_EXPAND_SZ
// fail with ERROR_UNSUPPORTED_TYPE; REG_EXPAND_SZ is returned unexpanded.
long ReadSettingsString(const wchar_t* valueName,
                        std::uint32_t accessMask,
                        std::uint32_t valueType,
                        PathText& text,
                        bool useCurrentUser);

// Sets `directory` to the host's installation path with `subPath` appended,
// looked up in the 64-bit registry view and then the 32-bit one, or to an
// empty string when the host is not installed. Returns false, with
// `directory` empty, when the two together do not fit in a path.
bool GetOcrResourceDirectory(const wchar_t* subPath, PathText& directory);

// Returns the kPayloadCount files of the language pack in the order they are
// written.
const PayloadEntry* GetPayloadTable();

// What stops one file of the pack from being written.
enum class FileStep : std::uint8_t {
  kNone,               // nothing: the file can be, or was, written
  kPathTooLong,        // its path does not fit in a path buffer
  kPayloadMissing,     // its payload is not among this program's resources
  kPayloadUnloadable,  // its payload is there but cannot be loaded
  kOpen,               // it cannot be opened for writing
  kRemoveCreated,      // the empty file the claim made cannot be removed
  kTruncate,           // it cannot be cut back to nothing
  kWrite,              // writing its bytes failed
  kClose,              // closing it failed
};

// Why a file failed: the step, the system's error code (0 when the system
// gave none) and, for a failed write, how many bytes had been written.
struct FileFailure {
  FileStep step = FileStep::kNone;
  std::uint32_t code = 0;
  std::uint32_t written = 0;
};

// Finds the payload of `entry` among this program's resources: its bytes,
// which stay valid for the life of the process, and its size. Returns false,
// with the reason in `failure`, when there is none.
bool FindPayload(const PayloadEntry& entry,
                 const char*& data,
                 std::uint32_t& size,
                 FileFailure& failure);

// One file of the pack, opened for writing before any file of the pack is
// changed, and held until its payload is written.
struct ClaimedFile {
  FileHandle handle;
  // The claim made the file: it is removed again when the install stops
  // before writing.
  bool created = false;
  const char* data = nullptr;
  std::uint32_t size = 0;
  // Why the file cannot be, or could not be, written.
  FileFailure failure;
};

// Sets `path` to `directory` followed by the file name of `entry`. Returns
// false, with `path` empty, when they do not fit.
bool MakeTargetPath(const PathText& directory,
                    const PayloadEntry& entry,
                    PathText& path);

// Opens the `count` files of `table` in `directory` for writing, into
// `claims` (one for each entry, in table order), without changing any, so
// that nothing stops the pack half way: a path that is too long, a payload
// missing from this program, a missing folder, a folder in a file's place,
// denied access or a file held by another program without write sharing are
// all found here. Files held by another program are tried again for about
// two seconds in all. Returns true when every file is held; otherwise closes
// what it opened, removes the files it created and returns false, with the
// reason in the `failure` of every file that cannot be written.
bool ClaimTargets(const PathText& directory,
                  const PayloadEntry* table,
                  std::size_t count,
                  ClaimedFile* claims);

// Rewrites a claimed file with its payload, in place: truncates it, writes
// every byte and closes it. Returns true when the file was written in full;
// otherwise false, with the reason in `file.failure`. A file that cannot be
// truncated keeps its old bytes.
bool WritePayloadFile(ClaimedFile& file);

// Appends to `reason` why the file of `entry` failed, as `file.failure`
// says, in words for the error line.
void DescribeFileFailure(const PayloadEntry& entry,
                         const ClaimedFile& file,
                         ReasonText& reason);

// One file's size before and after the pack is written, in bytes; 0 before
// when there is no file.
struct SizeChange {
  std::uint64_t oldSize;
  std::uint64_t newSize;
};

// The most space that writing the pack takes from a volume at any point, in
// bytes, when the `count` files of `changes` are written in order. Each file
// first gives back its old contents as it is truncated, then takes its
// payload; both are counted in whole clusters. 0 when no step takes more
// than the earlier ones gave back.
std::uint64_t SpaceNeeded(const SizeChange* changes,
                          std::size_t count,
                          std::uint64_t clusterSize);

// Checks, before any file is opened, that the payloads of the `count`
// entries of `table` fit in `directory`: sets `needed` to what writing them
// takes (SpaceNeeded, from the files there now and the payloads in this
// program) and `available` to the free space the volume offers the caller,
// and returns whether it is enough. Returns true, with both 0, when the free
// space cannot be read (a missing directory, say): the claims then report
// their own failures.
bool PackFits(const PathText& directory,
              const PayloadEntry* table,
              std::size_t count,
              std::uint64_t& needed,
              std::uint64_t& available);

// Appends to `text` a Win32 error code described in the system's words, on
// one line, with the code itself.
void DescribeSystemError(unsigned long code, ReasonText& text);

// Seeds the stack protector's guard from the system's random source. The
// start-up routine calls it before anything protected runs.
void SeedStackGuard();

// The program's entry: one run of the installer. The arguments and the
// environment are not consulted.
int wmain(int argc, wchar_t* argv[], wchar_t* envp[]);

#endif  // HEBREW_OCR_PACK_INSTALLER_INSTALLER_H_
