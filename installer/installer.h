// Declarations shared by the installer's units: the host lookup, the
// payload table and writer, the checks made before writing, keeping and
// putting back the installed files, and the start-up and entry point that
// tie them together.
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

// What stops one file of the pack from being written, or from being put
// back as it was.
enum class FileStep : std::uint8_t {
  kNone,               // nothing: the file can be, or was, written
  kPathTooLong,        // its path does not fit in a path buffer
  kPayloadMissing,     // its payload is not among this program's resources
  kPayloadUnloadable,  // its payload is there but cannot be loaded
  kOpen,               // it cannot be opened for reading and writing
  kKeep,               // its installed bytes cannot be read into memory
  kRemoveCreated,      // a file that the install created cannot be removed
  kTruncate,           // it cannot be cut back to nothing
  kWrite,              // writing its bytes failed
  kClose,              // closing it failed
  kPutBack,            // its installed bytes cannot be written back
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

// One file of the pack, opened before any file of the pack is changed, and
// held until the install is over.
struct ClaimedFile {
  FileHandle handle;
  // The claim made the file: it is removed again when the install fails.
  bool created = false;
  // Writing has cut the file short or written into it: when the install
  // fails, its kept bytes are written back.
  bool changed = false;
  // The payload.
  const char* data = nullptr;
  std::uint32_t size = 0;
  // The installed file's bytes and last-write time (a FILETIME), kept in
  // memory before the pack is written.
  const char* keptData = nullptr;
  std::uint32_t keptSize = 0;
  std::uint64_t keptWriteTime = 0;
  // Why the file cannot be, or could not be, written.
  FileFailure failure;
  // Why the file could not be put back as it was when the install failed.
  FileFailure putBackFailure;
};

// Memory that holds the kept bytes of the installed files, freed when it
// goes.
struct KeptBytes {
  KeptBytes() = default;
  KeptBytes(const KeptBytes&) = delete;
  KeptBytes& operator=(const KeptBytes&) = delete;
  ~KeptBytes();
  void* block = nullptr;
};

// Sets `path` to `directory` followed by the file name of `entry`. Returns
// false, with `path` empty, when they do not fit.
bool MakeTargetPath(const PathText& directory,
                    const PayloadEntry& entry,
                    PathText& path);

// Opens the `count` files of `table` in `directory` for reading and writing,
// into `claims` (one for each entry, in table order), without changing any,
// so that nothing stops the pack half way: a path that is too long, a
// payload missing from this program, a missing folder, a folder in a file's
// place, denied access or a file that another program writes or holds
// without sharing are all found here. While the claims are held, other
// programs may read the files but not write them. The files are claimed in
// table order, each waited for while another program holds it, for about
// two seconds in all; two installers started together therefore never hold
// parts of the pack each, and one waits for the other. Returns true when
// every file is held; otherwise releases the claims and returns false, with
// the reason in the `failure` of every file that cannot be written.
bool ClaimTargets(const PathText& directory,
                  const PayloadEntry* table,
                  std::size_t count,
                  ClaimedFile* claims);

// Closes every claim and removes the files that the claims created, so that
// a target that was missing is missing again. A file that cannot be removed
// gets the reason in its `putBackFailure`.
void ReleaseClaims(const PathText& directory,
                   const PayloadEntry* table,
                   std::size_t count,
                   ClaimedFile* claims);

// Reads the bytes and the last-write time of every claimed file that the
// claim did not create into `kept`, one allocation for them all, through
// the claims' handles. Returns false, with the reason in the `failure` of
// every file whose bytes cannot be read or held, when any cannot.
bool KeepInstalledFiles(ClaimedFile* claims,
                        std::size_t count,
                        KeptBytes& kept);

// Undoes a failed install: every changed file gets its kept bytes and
// last-write time back, in place through its claim, and every file that
// the claims created is removed; then every claim is released. A file that
// cannot be put back gets the reason in its `putBackFailure`; the others are
// put back all the same.
void PutBackInstalledFiles(const PathText& directory,
                           const PayloadEntry* table,
                           std::size_t count,
                           ClaimedFile* claims);

// Rewrites a claimed file with its payload, in place: truncates it and
// writes every byte, and keeps it open so that it can still be put back.
// Returns true when the file was written in full; otherwise false, with the
// reason in `file.failure`. A file that cannot be truncated keeps its old
// bytes and is not marked changed.
bool WritePayloadFile(ClaimedFile& file);

// Appends to `reason` why the file of `entry` failed, as `failure` says, in
// words for the error line. When the code says that another program is
// using the file, the words say what to close before trying again.
void DescribeFileFailure(const PayloadEntry& entry,
                         const ClaimedFile& file,
                         const FileFailure& failure,
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
