// The host lookup against a real registry, in both views.

#include <string>

#include "installer/host_lookup.h"
#include "tests/test_support.h"

namespace {

const std::wstring kSubPath = L"IRIS_OCR\\resources\\";
constexpr std::uint32_t kRead64 = KEY_READ | KEY_WOW64_64KEY;

using HostLookupTest = HostRegistryTest;

// The lookup's result for the OCR sub-path.
std::wstring Lookup() {
  PathText directory;
  EXPECT_TRUE(GetOcrResourceDirectory(kSubPath.c_str(), directory));
  return Str(directory);
}

// Text that a read must replace.
PathText LeftOver() {
  PathText text;
  text.Append(L"left over");
  return text;
}

TEST_F(HostLookupTest, NotFoundWhenAbsentFromBothViews) {
  EXPECT_EQ(Lookup(), L"");

  PathText text = LeftOver();
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, false),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Str(text), L"");

  // The key exists, the value does not.
  SetSettingsValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"other", REG_SZ, L"x",
                   4);
  text = LeftOver();
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, false),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Str(text), L"");
  EXPECT_EQ(Lookup(), L"");
}

TEST_F(HostLookupTest, StoredPathIsUsedExactlyAsPrefix) {
  SetInstallPath(KEY_WOW64_64KEY, L"C:\\Programs\\Host\\");
  EXPECT_EQ(Lookup(), L"C:\\Programs\\Host\\IRIS_OCR\\resources\\");

  // No separator is added when the stored path lacks one.
  SetInstallPath(KEY_WOW64_64KEY, L"C:\\Host");
  EXPECT_EQ(Lookup(), L"C:\\HostIRIS_OCR\\resources\\");
}

TEST_F(HostLookupTest, FallsBackToThe32BitViewOnlyWhenThe64BitReadFails) {
  // Only the 32-bit view has the value.
  SetInstallPath(KEY_WOW64_32KEY, L"C:\\Programs (x86)\\Host\\");
  EXPECT_EQ(Lookup(), L"C:\\Programs (x86)\\Host\\IRIS_OCR\\resources\\");

  // The 64-bit key exists but without the value: still a failed read.
  SetSettingsValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"other", REG_SZ, L"x",
                   4);
  EXPECT_EQ(Lookup(), L"C:\\Programs (x86)\\Host\\IRIS_OCR\\resources\\");

  // A 64-bit value wins over the 32-bit one.
  SetInstallPath(KEY_WOW64_64KEY, L"D:\\Host64\\");
  EXPECT_EQ(Lookup(), L"D:\\Host64\\IRIS_OCR\\resources\\");

  // An empty 64-bit value ends the search: the host is not found.
  SetInstallPath(KEY_WOW64_64KEY, L"");
  EXPECT_EQ(Lookup(), L"");
}

TEST_F(HostLookupTest, ValueLengthIsBoundedByTheBuffer) {
  PathText text;

  // 259 characters and the terminating zero fill the 520-byte buffer.
  const std::wstring longest(259, L'a');
  SetInstallPath(KEY_WOW64_64KEY, longest);
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, false),
            ERROR_SUCCESS);
  EXPECT_EQ(Str(text), longest);
  EXPECT_EQ(Lookup(), longest + kSubPath);

  // One more character does not fit.
  SetInstallPath(KEY_WOW64_64KEY, std::wstring(260, L'b'));
  text = LeftOver();
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, false),
            ERROR_MORE_DATA);
  EXPECT_EQ(Str(text), L"");

  // 520 bytes with no terminating zero have no end inside the buffer: too
  // long, as with a zero, so the 32-bit view is read. The registry adds a
  // terminator when the unit after the data is zero, so the source holds
  // one unit more than is stored.
  const std::wstring source(261, L'c');
  SetSettingsValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"installpath", REG_SZ,
                   source.data(), 520);
  text = LeftOver();
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, false),
            ERROR_MORE_DATA);
  EXPECT_EQ(Str(text), L"");
  SetInstallPath(KEY_WOW64_32KEY, L"C:\\Host32\\");
  EXPECT_EQ(Lookup(), L"C:\\Host32\\IRIS_OCR\\resources\\");
  // 518 bytes without a zero end in the zeroed buffer's last unit.
  SetSettingsValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"installpath", REG_SZ,
                   source.data(), 518);
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, false),
            ERROR_SUCCESS);
  EXPECT_EQ(Str(text), std::wstring(259, L'c'));

  // A path that the sub-path would take past the end of its buffer is
  // refused whole, never cut short.
  const std::wstring tooLong(kPathUnits - 259, L'd');
  PathText directory = LeftOver();
  EXPECT_FALSE(GetOcrResourceDirectory(tooLong.c_str(), directory));
  EXPECT_EQ(Str(directory), L"");
  EXPECT_TRUE(GetOcrResourceDirectory(tooLong.c_str() + 1, directory));
  EXPECT_EQ(Str(directory), std::wstring(259, L'c') + tooLong.substr(1));
}

TEST_F(HostLookupTest, OnlyStringValuesAreTakenAsPaths) {
  PathText text = LeftOver();

  // A DWORD is not a path: the read fails and the 32-bit view is tried.
  const DWORD number = 0x003A0043;  // "C:" if read as UTF-16
  SetSettingsValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"installpath",
                   REG_DWORD, &number, sizeof(number));
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, false),
            ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(Str(text), L"");
  EXPECT_EQ(Lookup(), L"");
  SetInstallPath(KEY_WOW64_32KEY, L"C:\\Host32\\");
  EXPECT_EQ(Lookup(), L"C:\\Host32\\IRIS_OCR\\resources\\");

  // Binary data that happens to look like UTF-16 text is no path either.
  SetInstallPath(KEY_WOW64_64KEY, L"C:\\Binary\\", HKEY_LOCAL_MACHINE,
                 REG_BINARY);
  EXPECT_EQ(Lookup(), L"C:\\Host32\\IRIS_OCR\\resources\\");

  // REG_EXPAND_SZ is text, used as stored, without expansion.
  const std::wstring unexpanded = L"%ProgramFiles%\\Host\\";
  SetInstallPath(KEY_WOW64_64KEY, unexpanded, HKEY_LOCAL_MACHINE,
                 REG_EXPAND_SZ);
  EXPECT_EQ(Lookup(), unexpanded + kSubPath);
}

TEST_F(HostLookupTest, CurrentUserSettingsAreNeverUsed) {
  SetInstallPath(KEY_WOW64_64KEY, L"C:\\UserHost\\", HKEY_CURRENT_USER);

  // The reader can see it when asked for the current user...
  PathText text;
  EXPECT_EQ(ReadSettingsString(L"installpath", kRead64, REG_SZ, text, true),
            ERROR_SUCCESS);
  EXPECT_EQ(Str(text), L"C:\\UserHost\\");

  // ...but the lookup only asks the local machine.
  EXPECT_EQ(Lookup(), L"");
}

}  // namespace
