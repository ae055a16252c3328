// The checks made before the first byte of the pack is written: that the
// pack fits on the drive, and that every one of its files can be written
// now, which the claim holds on to until the install is over.

#ifndef HEBREW_OCR_PACK_INSTALLER_PRE_WRITE_CHECKS_H_
#define HEBREW_OCR_PACK_INSTALLER_PRE_WRITE_CHECKS_H_

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

// Sets `path` to `directory` followed by the file name of `entry`. Returns
// false, with `path` empty, when they do not fit.
bool MakeTargetPath(const PathText& directory,
                    const PayloadEntry& entry,
                    PathText& path);

// Sets `systemPath` to the form of `path` that Windows takes at any length:
// the full, normalised path in extended-length form (\\?\C:\..., or
// \\?\UNC\server\share\... for a share). A path already in extended or
// device form is taken as it is. Returns false, with `systemPath` empty,
// when it does not fit.
bool MakeSystemPath(const PathText& path, PathText& systemPath);

// Opens the `count` files of `table` in `directory` for reading and writing,
// into `claims` (one for each entry, in table order), without changing any,
// so that nothing stops the pack half way: a path that is too long, a
// payload missing from this program, a missing folder, a folder in a file's
// place, a name that is a link or a file with other names, denied access or
// a file that another program writes or holds without sharing are all found
// here. While the claims are held, other programs may read the files but not
// write them. The files are claimed in table order, each waited for while
// another program holds it, for about two seconds in all; two installers
// started together therefore never hold parts of the pack each, and one
// waits for the other. Returns true when
// every file is held; otherwise releases the claims and returns false, with
// the reason in the `failure` of every file that cannot be written.
bool ClaimTargets(const PathText& directory,
                  const PayloadEntry* table,
                  std::size_t count,
                  ClaimedFile* claims);

// Closes every claim. A file that a claim created is marked for removal
// until the pack is complete, so that closing it removes it: a target that
// was missing is missing again.
void ReleaseClaims(ClaimedFile* claims, std::size_t count);

#endif  // HEBREW_OCR_PACK_INSTALLER_PRE_WRITE_CHECKS_H_
