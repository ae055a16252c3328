// The claim: every file of the pack opened, and held, before any of them is
// changed, so that a pack that cannot be written whole is not started.

#ifndef HEBREW_OCR_PACK_INSTALLER_CLAIM_H_
#define HEBREW_OCR_PACK_INSTALLER_CLAIM_H_

#include <cstddef>

#include "installer/file_handle.h"
#include "installer/pack_types.h"

// Opens `directory` into `folder`, then the `count` files of `table` in it
// for reading and writing, into `claims` (one for each entry, in table
// order), without changing any, so that nothing stops the pack half way: a
// path that is too long, a payload missing from this program, a missing
// folder, a folder in a file's place, a name that is a link or leads out of
// the folder, a file with other names, denied access or a file that another
// program writes, holds without sharing or has locked part of are all found
// here.
//
// While the claims are held, other programs may read the files but not
// write them, and the folder cannot be renamed or removed. Once every file
// is open, each installed file is locked whole, until its claim is closed:
// no other program can then read or lock a part of it, and one that has
// locked a part is waited for as a held file is. The files are
// claimed in table order, each waited for while another program holds it,
// for about two seconds in all; two installers started together therefore
// never hold parts of the pack each, and one waits for the other. A file
// that the claim creates is marked for removal when its handle closes,
// within a step that control events do not cut, until the pack is complete.
//
// Returns true when every file is held; otherwise releases the claims and
// returns false, with the reason in the `failure` of every file that cannot
// be written. `folder` is held until it goes, or is closed, either way.
bool ClaimTargets(const PathText& directory,
                  const PayloadEntry* table,
                  std::size_t count,
                  FileHandle& folder,
                  ClaimedFile* claims);

// Unlocks the file of `claim` and closes it. Returns false, with the
// thread's last error set, when closing fails.
bool CloseClaim(ClaimedFile& claim);

// Closes every claim. A file that a claim created is marked for removal
// until the pack is complete, so that closing it removes it: a target that
// was missing is missing again.
void ReleaseClaims(ClaimedFile* claims, std::size_t count);

#endif  // HEBREW_OCR_PACK_INSTALLER_CLAIM_H_
