// The space check: that the pack fits on the drive before any of its files
// is opened.

#ifndef HEBREW_OCR_PACK_INSTALLER_SPACE_CHECK_H_
#define HEBREW_OCR_PACK_INSTALLER_SPACE_CHECK_H_

#include <cstddef>
#include <cstdint>

#include "installer/pack_types.h"

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

#endif  // HEBREW_OCR_PACK_INSTALLER_SPACE_CHECK_H_
