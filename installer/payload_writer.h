// The files of the language pack, where each one's bytes are found in this
// program, and the writer that puts them into a claimed file.

#ifndef HEBREW_OCR_PACK_INSTALLER_PAYLOAD_WRITER_H_
#define HEBREW_OCR_PACK_INSTALLER_PAYLOAD_WRITER_H_

#include <cstdint>

#include "installer/pack_types.h"

// Returns the kPayloadCount files of the language pack in the order they are
// written.
const PayloadEntry* GetPayloadTable();

// Finds the payload of `entry` among this program's resources: its bytes,
// which stay valid for the life of the process, and its size. Returns false,
// with the reason in `failure`, when there is none.
bool FindPayload(const PayloadEntry& entry,
                 const char*& data,
                 std::uint32_t& size,
                 FileFailure& failure);

// Rewrites a claimed file with its payload, in place: truncates it and
// writes every byte, and keeps it open so that it can still be put back.
// Returns true when the file was written in full; otherwise false, with the
// reason in `file.failure`. A file that cannot be truncated keeps its old
// bytes and is not marked changed.
bool WritePayloadFile(ClaimedFile& file);

#endif  // HEBREW_OCR_PACK_INSTALLER_PAYLOAD_WRITER_H_
