// The files of the language pack and the writer that copies each one out of
// the executable's own resources into the host's OCR resource directory.

#include "installer/payload_writer.h"

#include <windows.h>

namespace {

// The order is the order of writing; it is not the order of the IDs.
constexpr PayloadEntry kPayloadTable[kPayloadCount] = {
    {110, L"hebrew.ilex"},       {114, L"heb.ilex"},       {111, L"eng.ilex"},
    {112, L"hebrew_engine.bin"}, {113, L"net_hebrew.bin"}, {115, L"hebrew.ocr"},
};

}  // namespace

const PayloadEntry* GetPayloadTable() {
  return kPayloadTable;
}

bool FindPayload(const PayloadEntry& entry,
                 const char*& data,
                 std::uint32_t& size,
                 FileFailure& failure) {
  data = nullptr;
  size = 0;
  HRSRC info =
      FindResourceW(nullptr, MAKEINTRESOURCEW(entry.resourceId), RT_RCDATA);
  if (info == nullptr) {
    failure = {FileStep::kPayloadMissing, 0, 0};
    return false;
  }
  size = SizeofResource(nullptr, info);
  HGLOBAL loaded = LoadResource(nullptr, info);
  data = static_cast<const char*>(loaded != nullptr ? LockResource(loaded)
                                                    : nullptr);
  if (data == nullptr) {
    failure = {FileStep::kPayloadUnloadable, GetLastError(), 0};
    return false;
  }
  return true;
}

bool WritePayloadFile(ClaimedFile& file) {
  file.failure = {};
  HANDLE handle = file.handle.get();

  // Truncate first, so that the old contents give their space back before
  // the payload takes its own, as the space check counts. The system refuses
  // to truncate a file that another program has mapped into memory; the file
  // then still holds its old bytes, and nothing may be written over them.
  const LARGE_INTEGER start = {};
  SetLastError(ERROR_SUCCESS);
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(handle)) {
    file.failure = {FileStep::kTruncate, GetLastError(), 0};
    return false;
  }
  file.changed = true;

  // The bytes go out unchanged.
  std::uint32_t written = 0;
  if (!WriteAll(handle, file.data, file.size, written)) {
    file.failure = {FileStep::kWrite, GetLastError(), written};
    return false;
  }
  return true;
}
