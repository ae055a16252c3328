// The built installer run as a child process: what a run prints and exits
// with, and where the host lookup sends the pack.
#include <windows.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

TEST_F(InstallerRunTest, NotInstalledSaysSoAndTouchesNothing) {
  // A host folder that is not registered for the local machine, only for the
  // current user, which the installer never reads.
  const std::wstring resources = scratch_ + L"Host\\IRIS_OCR\\resources\\";
  MakeDirectories(resources);
  SetInstallPath(KEY_WOW64_64KEY, scratch_ + L"Host\\", HKEY_CURRENT_USER);

  for (const wchar_t* arguments : {L"", L"/S --force C:\\"}) {
    const RunResult run = RunInstaller(arguments);
    EXPECT_EQ(run.out, "Quarn Paginor is not installed\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0u);
  }
  EXPECT_TRUE(RemoveDirectoryW(resources.c_str()))
      << "the resource folder is no longer empty";
}

TEST_F(InstallerRunTest, InstallsTheSixPayloadsAndRerunsTheSame) {
  const std::wstring resources = InstallHost(L"Host");
  // An installed file longer than its payload is replaced, not kept.
  WriteFileBytes(resources + L"hebrew_engine.bin", std::string(8192, 'o'));

  RunResult run = RunInstaller();
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(resources);

  // A second run, with arguments that mean nothing to it, does the same.
  run = RunInstaller(L"/uninstall --quiet");
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(resources);
}

TEST_F(InstallerRunTest, MissingResourceFolderFailsEveryFileAndCreatesNothing) {
  const std::wstring resources = InstallHost(L"Host", false);

  const RunResult run = RunInstaller();
  EXPECT_TRUE(Failed(run, 1u, MissingFolderErrors(resources)));
  EXPECT_FALSE(PathExists(scratch_ + L"Host\\IRIS_OCR"));
}

TEST_F(InstallerRunTest, HostPathsUpToTheLookupsLimitInstall) {
  // A host path of 250 characters and more: with the resources folder and
  // the file names the paths pass 260 characters, which Windows takes only
  // in extended-length form. The test makes and reads them in that form.
  // A path of 260 characters, stored with its terminating zero, does not
  // fit the lookup's buffer and reads as no host.
  std::wstring host = scratch_;
  while (host.size() + 51 <= 252)
    host += std::wstring(50, L'q') + L"\\";
  host += std::wstring(252 - host.size() - 1, L'p') + L"\\";
  ASSERT_GE(host.size(), 250u);
  const std::wstring resources = host + L"IRIS_OCR\\resources\\";
  const std::wstring extended = L"\\\\?\\" + resources;
  for (size_t end = extended.find(L'\\', 7); end != std::wstring::npos;
       end = extended.find(L'\\', end + 1)) {
    CreateDirectoryW(extended.substr(0, end).c_str(), nullptr);
  }
  ASSERT_TRUE(PathExists(extended));
  SetInstallPath(KEY_WOW64_64KEY, host);
  WriteFileBytes(extended + L"hebrew.ocr", std::string(8192, 'o'));

  RunResult run = RunInstaller();
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(extended);

  SetInstallPath(KEY_WOW64_64KEY, host + std::wstring(260 - host.size(), L'x'));
  run = RunInstaller();
  EXPECT_EQ(run.out, "Quarn Paginor is not installed\r\n");
  EXPECT_EQ(run.exitCode, 0u);

  // The same 260 characters stored without their zero fill the buffer: too
  // long as well, so the 32-bit view's host is the one installed. The
  // registry adds a zero when the unit after the data is one, so the
  // source holds one more unit.
  const std::wstring unterminated =
      host + std::wstring(261 - host.size(), L'x');
  // InstallHost registers the new host in the 64-bit view; it moves.
  const std::wstring other = InstallHost(L"Host32");
  SetInstallPath(KEY_WOW64_32KEY, scratch_ + L"Host32\\");
  SetSettingsValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"installpath", REG_SZ,
                   unterminated.c_str(), 520);
  run = RunInstaller();
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(other);
}

TEST_F(InstallerRunTest, HebrewFolderNamesInstallAndAreReportedInUtf8) {
  // "Quarn Paginor" written in Hebrew letters.
  const std::wstring hebrew =
      L"\u05E7\u05D5\u05D5\u05E8\u05DF \u05E4\u05D2\u05D9\u05E0\u05D5\u05E8";
  const std::wstring resources = InstallHost(hebrew);
  RunResult run = RunInstaller();
  EXPECT_TRUE(Completed(run));
  ExpectPackInstalled(resources);

  const std::wstring broken = InstallHost(hebrew + L" 2", false);
  run = RunInstaller();
  EXPECT_TRUE(Failed(run, 1u, MissingFolderErrors(broken)));
  EXPECT_NE(run.err.find("\xD7\xA7\xD7\x95"), std::string::npos)
      << "the Hebrew letters are not UTF-8";

  // A character outside the Basic Multilingual Plane, two UTF-16 units,
  // where the error text is cut into pieces of 256 units to be converted:
  // the pair stays whole.
  const std::wstring host =
      scratch_ + std::wstring(255 - scratch_.size(), L'q') + L"\U0001F600\\";
  SetInstallPath(KEY_WOW64_64KEY, host);
  const std::wstring split = host + L"IRIS_OCR\\resources\\";
  ASSERT_EQ(split.find(L"\U0001F600"), 255u);
  run = RunInstaller();
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Lines(run.err), MissingFolderErrors(split));
}

}  // namespace
