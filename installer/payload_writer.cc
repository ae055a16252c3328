// The files of the language pack and the writer that copies each one out of
// the executable's own resources into the host's OCR resource directory.

#include <windows.h>

#include "installer/installer.h"

namespace {

// The order is the order of writing; it is not the order of the IDs.
constexpr PayloadEntry kPayloadTable[kPayloadCount] = {
    {110, L"hebrew.ilex"},       {114, L"heb.ilex"},       {111, L"eng.ilex"},
    {112, L"hebrew_engine.bin"}, {113, L"net_hebrew.bin"}, {115, L"hebrew.ocr"},
};

// Room kept at the end of a reason for " (error 4294967295)".
constexpr std::size_t kErrorCodeUnits = 20;

// Appends the system's description of `code`, or says that the system gave
// none. Callers clear the thread's last error before the failing call, so a
// code left behind by an earlier one is never taken for the reason.
void DescribeCode(std::uint32_t code, ReasonText& reason) {
  if (code != ERROR_SUCCESS)
    DescribeSystemError(code, reason);
  else
    reason.Append(L"the system gave no reason");
}

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

void DescribeFileFailure(const PayloadEntry& entry,
                         const ClaimedFile& file,
                         const FileFailure& failure,
                         ReasonText& reason) {
  switch (failure.step) {
    case FileStep::kNone:
      reason.Append(L"no failure");
      return;
    case FileStep::kPathTooLong:
      reason.Append(L"the path is longer than ");
      reason.AppendNumber(kPathUnits - 1);
      reason.Append(L" characters");
      return;
    case FileStep::kPayloadMissing:
      reason.Append(L"payload resource ");
      reason.AppendNumber(entry.resourceId);
      reason.Append(L" is missing from this program");
      return;
    case FileStep::kPayloadUnloadable:
      reason.Append(L"payload resource ");
      reason.AppendNumber(entry.resourceId);
      reason.Append(L" cannot be loaded: ");
      break;
    case FileStep::kOpen:
    case FileStep::kTruncate:
    case FileStep::kPutBack:
      break;
    case FileStep::kKeep:
      reason.Append(L"its installed bytes cannot be kept to put back: ");
      break;
    case FileStep::kRemoveCreated:
      reason.Append(L"the file that this install created cannot be removed: ");
      break;
    case FileStep::kWrite:
      reason.Append(L"writing failed after ");
      reason.AppendNumber(failure.written);
      reason.Append(L" of ");
      reason.AppendNumber(file.size);
      reason.Append(L" bytes: ");
      break;
    case FileStep::kClose:
      reason.Append(L"closing failed: ");
      break;
  }
  DescribeCode(failure.code, reason);
  if (failure.step == FileStep::kPutBack)
    reason.Append(L"; it now holds neither its old bytes nor the new ones");
  // The system's words for these say nothing about what to do.
  if (failure.code == ERROR_SHARING_VIOLATION ||
      failure.code == ERROR_LOCK_VIOLATION ||
      failure.code == ERROR_USER_MAPPED_FILE) {
    reason.Append(
        L". Close Quarn Paginor and any other program that uses the file, "
        L"then run the installer again");
  }
}

void DescribeSystemError(unsigned long code, ReasonText& text) {
  // The system's message goes straight into the text's buffer, with room
  // kept for the code after it. A message that does not fit is not taken.
  const std::size_t free =
      sizeof(text.units) / sizeof(text.units[0]) - text.length;
  const std::size_t start = text.length;
  DWORD length = 0;
  if (free > kErrorCodeUnits + 1) {
    const std::size_t room = free - kErrorCodeUnits;
    length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, text.units + start, static_cast<DWORD>(room), nullptr);
  }
  // System messages end with a line break, which would split the report.
  while (length > 0 && (text.units[start + length - 1] == L'\r' ||
                        text.units[start + length - 1] == L'\n' ||
                        text.units[start + length - 1] == L' ')) {
    --length;
  }
  text.length = start + length;
  text.units[text.length] = L'\0';
  if (length == 0)
    text.Append(L"unknown error");
  text.Append(L" (error ");
  text.AppendNumber(code);
  text.Append(L")");
}
