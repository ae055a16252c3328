// Helpers shared by the tests: scratch folders, file bytes, embedded
// resources and the host's registry settings.

#ifndef HEBREW_OCR_PACK_TESTS_TEST_SUPPORT_H_
#define HEBREW_OCR_PACK_TESTS_TEST_SUPPORT_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "installer/host_lookup.h"
#include "installer/pack_types.h"
#include "installer/payload_writer.h"
#include "installer/report.h"

// The installer's fixed-size text as a string.
template <std::size_t Capacity>
std::wstring Str(const FixedText<Capacity>& text) {
  return std::wstring(text.units, text.length);
}
// The installer's payload table as a list.
std::vector<PayloadEntry> PayloadTable();
// The installer's description of a Win32 error code.
std::wstring SystemError(DWORD code);
// The same for a code that says another program is using the file, with the
// installer's advice after it.
std::wstring InUseError(DWORD code);

// Creates an empty folder of its own under the temporary folder and returns
// its path with a trailing backslash.
std::wstring MakeScratchDirectory();
void RemoveTree(const std::wstring& path);

bool PathExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Creates `path` and any missing parents.
void MakeDirectories(const std::wstring& path);
// Sets the last-write time of `path` to a day in 2020 that no write made
// by a test can give it.
void SetOldWriteTime(const std::wstring& path);
// Each file in `folder` by name, with its size, last-write time and a hash
// of its bytes, to compare a folder before and after a run; a link (a
// reparse point) by its tag, without reading through it.
std::map<std::wstring, std::string> FolderState(const std::wstring& folder);

// The bytes of resource `id` of `type` in `module` (null: this program).
// Fails the test when the resource is missing.
std::string ResourceBytes(HMODULE module,
                          int id,
                          const wchar_t* type = RT_RCDATA);

std::string ToUtf8(const std::wstring& text);

// Whether this runs under Wine, as the export that Wine's ntdll adds says.
bool RunningUnderWine();
// The build number of the Windows this runs on, as ntdll reports it, or 0.
unsigned long WindowsBuild();

// The folder of this test program, with a trailing backslash.
std::wstring ThisProgramDirectory();

// The built installer, which the build puts beside the test programs.
std::wstring InstallerPath();
// Files the build copies beside the test programs, in the folder test-data:
// the six payload files and the manifest, as embedded in the installer.
std::wstring TestDataDirectory();

// What a child process printed, as bytes, and how it ended.
struct RunResult {
  DWORD exitCode = 0;
  // The program was ended by force, as asked, before it ended by itself.
  bool killed = false;
  std::string out;
  std::string err;
};
// Runs `program` with `arguments`, its standard input empty and its output
// captured, and waits for it to end; after two minutes the test fails and
// the program is ended. With `killAfterMilliseconds`, a program still
// running after that long is ended by force, as Task Manager would end it.
// `whileRunning`, when given, is called with the process once it has
// started, before the wait.
RunResult RunProgram(const std::wstring& program,
                     const std::wstring& arguments = L"",
                     DWORD killAfterMilliseconds = 0,
                     const std::function<void(HANDLE)>& whileRunning = {});

// Runs `program` as RunProgram does, except that its standard output is a
// pipe of one byte that is not read until `whileHeld` has returned: the
// program's first write there waits for this reader. `whileHeld` runs
// with the process once that write is seen waiting, its bytes in the pipe
// and the program still running; when the program writes nothing within
// 20 seconds, or ends first, the test fails instead.
RunResult RunWithOutputHeld(const std::wstring& program,
                            const std::function<void(HANDLE)>& whileHeld);

// Where the console host starts the thread that delivers a control event
// to a program: kernelbase's CtrlRoutine. Wine exports it. Windows does not:
// there it is the start address of the thread that runs this program's own
// handler for a Ctrl+Break sent to a console of its own. Null, with the
// reason in `why`, when it cannot be found.
LPTHREAD_START_ROUTINE ControlEventRoutine(std::string& why);
// How a control event's delivery went: the thread was started; it could
// not be, as when the process had ended; or the process never made it, so
// it was ended after ten seconds.
enum class ControlDelivery { kStarted, kRefused, kStalled };
// Delivers control `event` (CTRL_C_EVENT, CTRL_CLOSE_EVENT, ...) to
// `process` as the console host does: a thread in it at `routine`, with the
// event as its argument. With `handlerThread`, a started thread's handle is
// given back there, to see whether the handler still runs; the caller
// closes it.
//
// Under Wine a process makes such a thread inside a signal handler that
// interrupts whatever its one thread was doing. When that was the C
// library's memory allocator, the new thread's allocations corrupt its heap
// and the process stops answering: a fault of Wine's, seen with programs
// that run none of this project's code, and never of the program's own
// code, which only runs once the thread is made.
ControlDelivery SendControlEvent(HANDLE process,
                                 LPTHREAD_START_ROUTINE routine,
                                 DWORD event,
                                 HANDLE* handlerThread = nullptr);
// Opens every thread that `process` has now, to suspend and resume it;
// the caller closes the handles.
std::vector<HANDLE> OpenThreads(HANDLE process);
// Suspends each of `threads`, and returns once each has stopped; false
// when any could not be, as when the process has ended.
bool SuspendThreads(const std::vector<HANDLE>& threads);
void ResumeThreads(const std::vector<HANDLE>& threads);
// Opens the installer's file for reading its resources, without running any
// of its code. Fails the test when it cannot.
HMODULE OpenInstallerResources();

// A folder of its own on the small drive T: that the test run mounts where it
// can (a 5 MiB tmpfs, under Wine as root), on a drive emptied for the test;
// an empty string when there is no such drive. Tests skip then, with
// kNoSmallDrive.
std::wstring SmallDriveFolder();
extern const char kNoSmallDrive[];
// Writes a file in `folder` that leaves `leaveFree` bytes free on its drive.
void FillDrive(const std::wstring& folder, std::uint64_t leaveFree);
// The free space that the drive of `folder` offers this program.
std::uint64_t FreeBytes(const std::wstring& folder);

// Writes a value of the host's settings key, creating the key.
void SetSettingsValue(HKEY root,
                      REGSAM view,
                      const std::wstring& name,
                      DWORD type,
                      const void* data,
                      DWORD byteCount);
// Stores `text` as the "installpath" value of `type`, with its terminating
// zero.
void SetInstallPath(REGSAM view,
                    const std::wstring& text,
                    HKEY root = HKEY_LOCAL_MACHINE,
                    DWORD type = REG_SZ);

// Gives each test a host registry with no settings in either view, under
// HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER, and removes what the test wrote.
// Under Wine the registry is a throwaway prefix. On Windows the tests change
// HKEY_LOCAL_MACHINE only when HEBREW_OCR_TEST_WRITE_HKLM=1 is set, and skip
// when a host is already registered, so a real installation is never
// touched.
class HostRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  bool ownsRegistry_ = false;
};

// The built installer, run as a child process.

// Runs the installer with `arguments` and waits for it.
RunResult RunInstaller(const std::wstring& arguments = L"");
// The lines of `text`, each ended by CR LF.
std::vector<std::string> Lines(const std::string& text);
// Whether `run` installed the pack: its line, nothing on standard error,
// and status 0.
::testing::AssertionResult Completed(const RunResult& run);
// Whether `run` failed: its line and `status`, and, where given, exactly
// `errors` on standard error.
::testing::AssertionResult Failed(const RunResult& run, DWORD status);
::testing::AssertionResult Failed(const RunResult& run,
                                  DWORD status,
                                  const std::vector<std::string>& errors);

// Waits, for up to ten seconds, until a file named `path` is listed in its
// folder, pending removal or not. Returns whether it is.
bool WaitForName(const std::wstring& path);
// The size of the file at `path`, or -1 when there is none.
std::int64_t FileSize(const std::wstring& path);

// Polls until `ready` holds, or the installer running as `process` ends,
// and stops the installer there. While it is stopped, `atThisMoment` runs;
// it returns whether the moment was the one it needed. The installer then
// goes on. Returns what `atThisMoment` returned, or false when the
// installer had ended.
bool PauseWhen(HANDLE process,
               const std::function<bool()>& ready,
               const std::function<bool()>& atThisMoment);
// The sizes of the first and last files of the pack in `resources`, or -1
// where there is none, taken before the installer starts.
struct PackEnds {
  std::int64_t first;
  std::int64_t last;
};
PackEnds PackEndsBefore(const std::wstring& resources);
// Stops the installer once it has changed the pack's first file in
// `resources` from its size `before`. If the last file is still as it was,
// the pack is visibly part written: `whilePaused` runs there. Returns
// whether it did.
bool PauseInsideTheWriting(HANDLE process,
                           const std::wstring& resources,
                           const PackEnds& before,
                           const std::function<void()>& whilePaused);

// Waits, for up to twenty seconds, or until `process` ends, until a program
// holds the file at `path` without letting others write it, as the
// installer holds every file that it claims. Returns whether one does.
bool WaitUntilHeld(const std::wstring& path, HANDLE process);

// Opens `path` as another program would, for reading and for `moreAccess`,
// sharing it with readers, and with writers too when `shareWrite` is set.
HANDLE OpenAsAnotherProgram(const std::wstring& path,
                            bool shareWrite,
                            DWORD moreAccess = 0);

// A host registry of its own (HostRegistryTest), a scratch folder for host
// installations, and the installer's own resources to compare with.
class InstallerRunTest : public HostRegistryTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes a host installation under the scratch folder, with its OCR
  // resource folder unless told otherwise, and registers it in the 64-bit
  // view. Returns the OCR resource folder.
  std::wstring InstallHost(const std::wstring& name,
                           bool withResourceFolder = true);
  // Checks that `resources` holds exactly the six payload files, each equal
  // to the payload embedded in the installer and to the file it was built
  // from.
  void ExpectPackInstalled(const std::wstring& resources);
  // The lines expected on standard error when every file fails because
  // `resources` does not exist.
  std::vector<std::string> MissingFolderErrors(const std::wstring& resources);

  std::wstring scratch_;
  HMODULE installer_ = nullptr;
};

#endif  // HEBREW_OCR_PACK_TESTS_TEST_SUPPORT_H_
