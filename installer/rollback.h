// Keeping the installed pack in memory before it is replaced, and putting
// it back when writing fails part way.

#ifndef HEBREW_OCR_PACK_INSTALLER_ROLLBACK_H_
#define HEBREW_OCR_PACK_INSTALLER_ROLLBACK_H_

#include <cstddef>

#include "installer/pack_types.h"

// Memory that holds the kept bytes of the installed files, freed when it
// goes.
struct KeptBytes {
  KeptBytes() = default;
  KeptBytes(const KeptBytes&) = delete;
  KeptBytes& operator=(const KeptBytes&) = delete;
  ~KeptBytes();
  void* block = nullptr;
};

// Reads the bytes and the last-write time of every claimed file that the
// claim did not create into `kept`, one allocation for them all, through
// the claims' handles. Returns false, with the reason in the `failure` of
// every file whose bytes cannot be read or held, when any cannot.
bool KeepInstalledFiles(ClaimedFile* claims,
                        std::size_t count,
                        KeptBytes& kept);

// Keeps the files that the claims created, now that the pack is complete:
// clears the marks that would remove them when their handles close. Returns
// false, with the reason in that file's `failure`, when a mark cannot be
// cleared; the files kept before it are then marked again, or, when that
// fails, left for the put-back to remove by name, so that the put-back
// removes every one.
bool KeepCreatedFiles(ClaimedFile* claims, std::size_t count);

// Undoes a failed install: every file that the claims created is removed,
// then every changed file gets its kept bytes and last-write time back, in
// place through its claim, those that shrink before those that grow; then
// every claim is released. A file that cannot be put back, or removed, gets
// the reason in its `putBackFailure`; the others are put back all the same.
void PutBackInstalledFiles(ClaimedFile* claims, std::size_t count);

#endif  // HEBREW_OCR_PACK_INSTALLER_ROLLBACK_H_
