// The types that the installer's units hand to one another: text for paths
// and reasons, one file of the language pack, why a file failed, and a file
// of the pack claimed for the install.
//
// The shipped program links no C or C++ runtime, so nothing here needs one:
// no standard library strings, containers or streams, no exceptions and no
// static constructors. Text lives in fixed buffers whose lengths are checked.

#ifndef HEBREW_OCR_PACK_INSTALLER_PACK_TYPES_H_
#define HEBREW_OCR_PACK_INSTALLER_PACK_TYPES_H_

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

// What stops one file of the pack from being written, or from being put
// back as it was.
enum class FileStep : std::uint8_t {
  kNone,               // nothing: the file can be, or was, written
  kPathTooLong,        // its path does not fit in a path buffer
  kPayloadMissing,     // its payload is not among this program's resources
  kPayloadUnloadable,  // its payload is there but cannot be loaded
  kOpen,               // it cannot be opened for reading and writing
  kFolderInPlace,      // a folder stands where the file goes
  kLinked,             // its name is a symbolic link or mount point
  kHardLinked,         // the file has other names (hard links)
  kLock,               // it cannot be locked against other programs
  kKeep,               // its installed bytes cannot be read into memory
  kRemoveCreated,      // a file that the install created cannot be removed
  kTruncate,           // it cannot be cut back to nothing
  kWrite,              // writing its bytes failed
  kKeepCreated,        // a file that the install created cannot be kept
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

// One file of the pack, opened before any file of the pack is changed, and
// held until the install is over.
struct ClaimedFile {
  FileHandle handle;
  // The claim made the file, and marked it to be removed when its handle
  // closes until the pack is complete: it goes again when the install fails
  // or is ended.
  bool created = false;
  // A file that the claim made, whose mark was cleared and could not be set
  // again: it is removed by its name once its handle is closed.
  bool removeByName = false;
  // The whole file is locked through the claim's handle, so that no other
  // program reads or locks a part of it while the pack changes; the lock
  // goes before the handle closes.
  bool locked = false;
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

#endif  // HEBREW_OCR_PACK_INSTALLER_PACK_TYPES_H_
