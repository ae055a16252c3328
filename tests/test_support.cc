#include "tests/test_support.h"

#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

constexpr REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

bool SettingsKeyExists(HKEY root, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, SettingsKeyPath, 0, KEY_READ | view, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

bool AnySettingsKeyExists() {
  for (REGSAM view : kViews) {
    if (SettingsKeyExists(HKEY_LOCAL_MACHINE, view) ||
        SettingsKeyExists(HKEY_CURRENT_USER, view)) {
      return true;
    }
  }
  return false;
}

// Deletes the settings key and then each parent that is left empty; a parent
// that holds anything else stays.
void RemoveSettings(HKEY root, REGSAM view) {
  HKEY parent = nullptr;
  if (RegOpenKeyExW(root, L"SOFTWARE\\Quarn\\Paginor\\CV", 0,
                    KEY_ALL_ACCESS | view, &parent) == ERROR_SUCCESS) {
    RegDeleteTreeW(parent, L"Settings");
    RegCloseKey(parent);
  }
  for (const wchar_t* path :
       {L"SOFTWARE\\Quarn\\Paginor\\CV", L"SOFTWARE\\Quarn\\Paginor",
        L"SOFTWARE\\Quarn"}) {
    RegDeleteKeyExW(root, path, view, 0);
  }
}

void RemoveAllSettings() {
  for (REGSAM view : kViews) {
    RemoveSettings(HKEY_LOCAL_MACHINE, view);
    RemoveSettings(HKEY_CURRENT_USER, view);
  }
}

// Reads what is waiting in `pipe` without blocking: a process that the child
// started may still hold the other end.
std::string ReadWaiting(HANDLE pipe) {
  std::string bytes;
  char buffer[4096];
  DWORD waiting = 0;
  DWORD read = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) &&
         waiting > 0 &&
         ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  return bytes;
}

}  // namespace

unsigned long WindowsBuild() {
  using GetVersion = LONG(NTAPI*)(OSVERSIONINFOW*);
  const auto get = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  return get != nullptr && get(&version) == 0 ? version.dwBuildNumber : 0;
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::vector<PayloadEntry> PayloadTable() {
  const PayloadEntry* table = GetPayloadTable();
  return std::vector<PayloadEntry>(table, table + kPayloadCount);
}

std::wstring SystemError(DWORD code) {
  ReasonText text;
  DescribeSystemError(code, text);
  return Str(text);
}

std::wstring InUseError(DWORD code) {
  return SystemError(code) +
         L". Close Quarn Paginor and any other program that uses the file, "
         L"then run the installer again";
}

std::wstring MakeScratchDirectory() {
  static std::atomic<int> counter{0};
  const std::filesystem::path base =
      std::filesystem::temp_directory_path() /
      (L"hebrew-ocr-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
       std::to_wstring(counter++));
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base);
  return base.wstring() + L"\\";
}

namespace {

// Removes `path` (in extended-length form) and everything under it, so that
// paths longer than 260 characters go too.
void RemoveExtended(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str()))
      RemoveDirectoryW(path.c_str());
    return;
  }
  const std::wstring folder = path.back() == L'\\' ? path : path + L"\\";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..")
        RemoveExtended(folder + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

}  // namespace

void RemoveTree(const std::wstring& path) {
  const bool driveLetter = path.size() > 2 && path[1] == L':';
  RemoveExtended(driveLetter ? L"\\\\?\\" + path : path);
  // Tests leave nothing behind on the machine that runs them.
  EXPECT_FALSE(PathExists(path))
      << "cannot remove " << ToUtf8(path) << ": error " << GetLastError();
}

bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  EXPECT_TRUE(in.is_open()) << "cannot read " << ToUtf8(path);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out) << "cannot write " << ToUtf8(path);
}

void MakeDirectories(const std::wstring& path) {
  std::filesystem::create_directories(path);
}

void SetOldWriteTime(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << ToUtf8(path);
  // 2020-01-01, in 100-nanosecond units since 1601.
  const std::uint64_t time = 132223104000000000ull;
  const FILETIME old = {static_cast<DWORD>(time),
                        static_cast<DWORD>(time >> 32)};
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &old)) << ToUtf8(path);
  CloseHandle(file);
}

std::map<std::wstring, std::string> FolderState(const std::wstring& folder) {
  std::map<std::wstring, std::string> state;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return state;
  do {
    // A link is recorded as one, by its reparse tag, and never read
    // through: a dangling one has nothing to read.
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      state[found.cFileName] =
          "link, reparse tag " + std::to_string(found.dwReserved0);
      continue;
    }
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      continue;
    const std::string bytes = ReadFileBytes(folder + found.cFileName);
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char byte : bytes)
      hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
    const std::uint64_t written =
        (std::uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) |
        found.ftLastWriteTime.dwLowDateTime;
    state[found.cFileName] = std::to_string(bytes.size()) + " bytes, hash " +
                             std::to_string(hash) + ", written " +
                             std::to_string(written);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return state;
}

const char kNoSmallDrive[] =
    "no small drive T: to fill up: the test run mounts a tmpfs there only "
    "when it runs as root under Wine (see the small_drive_mount test)";

std::wstring SmallDriveFolder() {
  const std::wstring root = L"T:\\";
  if (!PathExists(root + L"hebrew-ocr-small-drive"))
    return std::wstring();
  const std::wstring folder = root + L"work\\";
  RemoveTree(folder);
  MakeDirectories(folder);
  return folder;
}

std::uint64_t FreeBytes(const std::wstring& folder) {
  ULARGE_INTEGER free = {};
  EXPECT_TRUE(GetDiskFreeSpaceExW(folder.c_str(), &free, nullptr, nullptr))
      << ToUtf8(folder);
  return free.QuadPart;
}

void FillDrive(const std::wstring& folder, std::uint64_t leaveFree) {
  const std::uint64_t free = FreeBytes(folder);
  ASSERT_GE(free, leaveFree);
  WriteFileBytes(folder + L"filler", std::string(free - leaveFree, 'f'));
  ASSERT_EQ(FreeBytes(folder), leaveFree);
}

std::string ResourceBytes(HMODULE module, int id, const wchar_t* type) {
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  EXPECT_NE(info, nullptr) << "no resource " << id << " of type "
                           << LOWORD(type);
  if (info == nullptr)
    return std::string();
  const DWORD size = SizeofResource(module, info);
  const char* data =
      static_cast<const char*>(LockResource(LoadResource(module, info)));
  if (size == 0)
    return std::string();
  EXPECT_NE(data, nullptr) << "resource " << id << " cannot be loaded";
  return data != nullptr ? std::string(data, size) : std::string();
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty())
    return std::string();
  const int units = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr,
                                        0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &utf8[0], bytes, nullptr,
                      nullptr);
  return utf8;
}

std::wstring ThisProgramDirectory() {
  wchar_t buffer[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
  std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring InstallerPath() {
  return ThisProgramDirectory() + L"HebrewOcrPack.exe";
}

std::wstring TestDataDirectory() {
  return ThisProgramDirectory() + L"test-data\\";
}

namespace {

// How each program that the running test started ended, to show when the
// test fails: a program that printed nothing says nothing else. Tests start
// programs from several threads at once.
std::mutex g_runsLock;
std::vector<std::string>& RunsOfThisTest() {
  static std::vector<std::string> runs;
  return runs;
}

class ShowRunsOfAFailedTest : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    std::lock_guard<std::mutex> hold(g_runsLock);
    RunsOfThisTest().clear();
  }
  void OnTestEnd(const ::testing::TestInfo& test) override {
    std::lock_guard<std::mutex> hold(g_runsLock);
    if (!test.result()->Failed() || RunsOfThisTest().empty())
      return;
    std::cout << "how the programs that this test ran ended:\n";
    for (const std::string& run : RunsOfThisTest())
      std::cout << "  " << run << "\n";
  }
};

// Registered before main runs; GoogleTest owns it from then on.
const bool g_showRuns = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(
      new ShowRunsOfAFailedTest);
  return true;
}();

void RecordRun(const std::wstring& program,
               const RunResult& result,
               bool started,
               DWORD startError,
               ULONGLONG milliseconds) {
  std::ostringstream line;
  line << ToUtf8(program.substr(program.find_last_of(L'\\') + 1)) << ": ";
  if (!started) {
    line << "never started (error " << startError << ")";
  } else {
    line << (result.killed ? "ended by force, " : "") << "exit status 0x"
         << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
         << result.exitCode << std::dec << " after " << milliseconds << " ms, "
         << result.out.size() << " bytes out, " << result.err.size()
         << " bytes err";
  }
  std::lock_guard<std::mutex> hold(g_runsLock);
  RunsOfThisTest().push_back(line.str());
}

// A child started with its standard input empty and its output going to
// pipes, of which this keeps the reading ends.
struct Child {
  bool started = false;
  DWORD error = ERROR_SUCCESS;
  PROCESS_INFORMATION process = {};
  HANDLE out = nullptr;
  HANDLE err = nullptr;
};

Child StartChild(std::wstring commandLine, DWORD outBytes) {
  Child child;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE outWrite = nullptr;
  HANDLE errWrite = nullptr;
  EXPECT_TRUE(CreatePipe(&child.out, &outWrite, &inherit, outBytes));
  EXPECT_TRUE(CreatePipe(&child.err, &errWrite, &inherit, 1 << 16));
  SetHandleInformation(child.out, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(child.err, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  child.started =
      CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                     nullptr, nullptr, &startup, &child.process) != FALSE;
  child.error = child.started ? ERROR_SUCCESS : GetLastError();
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  CloseHandle(nul);
  return child;
}

// Starts `program` with `arguments`, its standard output going to a pipe
// of `outBytes`. Under Wine a new process now and then ends during Wine's
// own start-up, before any of the program's code runs, and the start fails
// with ERROR_INTERNAL_ERROR, with nothing printed. That failure alone is
// started again, twice at most, and said in the log: the program itself
// never ran.
Child StartProgram(const std::wstring& program,
                   const std::wstring& arguments,
                   DWORD outBytes,
                   ULONGLONG began) {
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!arguments.empty())
    commandLine += L" " + arguments;
  Child child;
  for (int attempt = 1;; ++attempt) {
    child = StartChild(commandLine, outBytes);
    if (child.started || !RunningUnderWine() ||
        child.error != ERROR_INTERNAL_ERROR || attempt == 3) {
      break;
    }
    // A start that printed anything ran the program: it is not repeated.
    const std::string printed = ReadWaiting(child.out) + ReadWaiting(child.err);
    if (!printed.empty()) {
      ADD_FAILURE() << "the start of " << ToUtf8(program)
                    << " failed with error 1359 after it printed \"" << printed
                    << "\": the program ran, so it is not started again";
      break;
    }
    std::cout << "Wine ended " << ToUtf8(program)
              << " during its own start-up (error 1359), before the program "
                 "ran, with nothing printed; starting it again, try "
              << attempt + 1 << " of 3\n";
    RecordRun(program, RunResult(), false, child.error,
              GetTickCount64() - began);
    CloseHandle(child.out);
    CloseHandle(child.err);
  }
  EXPECT_TRUE(child.started) << "cannot start " << ToUtf8(program) << ": "
                             << ToUtf8(SystemError(child.error));
  return child;
}

// Waits, two minutes at most, for `child` to end, and takes its status and
// what is waiting in its pipes into `result`.
void FinishProgram(const std::wstring& program,
                   Child& child,
                   ULONGLONG began,
                   RunResult& result) {
  if (child.started) {
    const HANDLE process = child.process.hProcess;
    if (WaitForSingleObject(process, 120000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << ToUtf8(program) << " did not end within two minutes";
      TerminateProcess(process, 1);
      WaitForSingleObject(process, INFINITE);
    }
    GetExitCodeProcess(process, &result.exitCode);
    CloseHandle(child.process.hThread);
    CloseHandle(process);
  }
  result.out += ReadWaiting(child.out);
  result.err += ReadWaiting(child.err);
  CloseHandle(child.out);
  CloseHandle(child.err);
  RecordRun(program, result, child.started, child.error,
            GetTickCount64() - began);
}

}  // namespace

RunResult RunProgram(const std::wstring& program,
                     const std::wstring& arguments,
                     DWORD killAfterMilliseconds,
                     const std::function<void(HANDLE)>& whileRunning) {
  RunResult result;
  const ULONGLONG began = GetTickCount64();
  // The pipes hold far more than the few lines the programs print, so the
  // child never waits for this reader.
  Child child = StartProgram(program, arguments, 1 << 16, began);
  if (child.started) {
    const HANDLE process = child.process.hProcess;
    if (whileRunning)
      whileRunning(process);
    if (killAfterMilliseconds != 0 &&
        WaitForSingleObject(process, killAfterMilliseconds) != WAIT_OBJECT_0) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, INFINITE);
      result.killed = true;
    }
  }
  FinishProgram(program, child, began, result);
  return result;
}

RunResult RunWithOutputHeld(const std::wstring& program,
                            const std::function<void(HANDLE)>& whileHeld) {
  RunResult result;
  const ULONGLONG began = GetTickCount64();
  // A pipe of one byte: a write of more waits until this end reads it.
  Child child = StartProgram(program, L"", 1, began);
  if (child.started) {
    const HANDLE process = child.process.hProcess;
    const ULONGLONG deadline = GetTickCount64() + 20000;
    DWORD waiting = 0;
    while (PeekNamedPipe(child.out, nullptr, 0, nullptr, &waiting, nullptr) &&
           waiting == 0 && WaitForSingleObject(process, 10) == WAIT_TIMEOUT &&
           GetTickCount64() < deadline) {
    }
    if (waiting > 0 && WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
      whileHeld(process);
    else
      ADD_FAILURE() << ToUtf8(program)
                    << " was never seen waiting to write its output";
    // Reads until the program's end of the pipe closes, when it ends or is
    // ended.
    std::thread reader([&] {
      char buffer[4096];
      DWORD read = 0;
      while (ReadFile(child.out, buffer, sizeof(buffer), &read, nullptr) &&
             read > 0) {
        result.out.append(buffer, read);
      }
    });
    if (WaitForSingleObject(process, 120000) != WAIT_OBJECT_0)
      TerminateProcess(process, 1);
    reader.join();
  }
  FinishProgram(program, child, began, result);
  return result;
}

namespace {

// The start address of the thread that ran ProbeControlEvent.
std::atomic<void*> g_controlRoutine{nullptr};

BOOL WINAPI ProbeControlEvent(DWORD /*event*/) {
  using QueryThread = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  const auto query =
      reinterpret_cast<QueryThread>(reinterpret_cast<void*>(GetProcAddress(
          GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  constexpr int kThreadQuerySetWin32StartAddress = 9;
  void* start = nullptr;
  if (query != nullptr &&
      query(GetCurrentThread(), kThreadQuerySetWin32StartAddress, &start,
            sizeof(start), nullptr) == 0) {
    g_controlRoutine = start;
  }
  return TRUE;
}

}  // namespace

LPTHREAD_START_ROUTINE ControlEventRoutine(std::string& why) {
  const auto exported =
      reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
  if (exported != nullptr)
    return exported;
  // A Ctrl+Break goes to every program on the console: this one takes a
  // console of its own for it, then goes back to its parent's. Its standard
  // handles are left as they are.
  if (g_controlRoutine == nullptr) {
    FreeConsole();
    if (!AllocConsole()) {
      why = "no console of its own: " + ToUtf8(SystemError(GetLastError()));
      AttachConsole(ATTACH_PARENT_PROCESS);
      return nullptr;
    }
    SetConsoleCtrlHandler(ProbeControlEvent, TRUE);
    if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) {
      for (int i = 0; i < 200 && g_controlRoutine == nullptr; ++i)
        Sleep(10);
    }
    SetConsoleCtrlHandler(ProbeControlEvent, FALSE);
    FreeConsole();
    AttachConsole(ATTACH_PARENT_PROCESS);
  }
  if (g_controlRoutine == nullptr)
    why = "the thread that runs a Ctrl+Break handler was not seen";
  return reinterpret_cast<LPTHREAD_START_ROUTINE>(g_controlRoutine.load());
}

namespace {

struct Delivery {
  HANDLE process;
  LPTHREAD_START_ROUTINE routine;
  DWORD event;
  HANDLE thread;
};

DWORD WINAPI Deliver(void* argument) {
  Delivery& delivery = *static_cast<Delivery*>(argument);
  delivery.thread = CreateRemoteThread(
      delivery.process, nullptr, 0, delivery.routine,
      reinterpret_cast<void*>(static_cast<ULONG_PTR>(delivery.event)), 0,
      nullptr);
  return 0;
}

}  // namespace

ControlDelivery SendControlEvent(HANDLE process,
                                 LPTHREAD_START_ROUTINE routine,
                                 DWORD event,
                                 HANDLE* handlerThread) {
  if (handlerThread != nullptr)
    *handlerThread = nullptr;
  // Starting a thread in a process waits for that process to make it, so
  // the start runs on a thread of its own and the wait is bounded. A
  // process that does not make it is ended. Wine then leaves the start
  // waiting for good, so a start that has not come back a few seconds later
  // is left behind, with the record it uses.
  auto* delivery = new Delivery{process, routine, event, nullptr};
  HANDLE sender = CreateThread(nullptr, 0, Deliver, delivery, 0, nullptr);
  if (sender == nullptr) {
    delete delivery;
    return ControlDelivery::kRefused;
  }
  ControlDelivery result = ControlDelivery::kStalled;
  if (WaitForSingleObject(sender, 10000) == WAIT_OBJECT_0) {
    result = delivery->thread != nullptr ? ControlDelivery::kStarted
                                         : ControlDelivery::kRefused;
    if (handlerThread != nullptr)
      *handlerThread = delivery->thread;
    else if (delivery->thread != nullptr)
      CloseHandle(delivery->thread);
  } else {
    TerminateProcess(process, 1);
    if (WaitForSingleObject(sender, 5000) != WAIT_OBJECT_0)
      delivery = nullptr;
  }
  CloseHandle(sender);
  delete delivery;
  return result;
}

std::vector<HANDLE> OpenThreads(HANDLE process) {
  std::vector<HANDLE> threads;
  const DWORD id = GetProcessId(process);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  EXPECT_NE(snapshot, INVALID_HANDLE_VALUE) << "cannot list threads";
  if (snapshot == INVALID_HANDLE_VALUE)
    return threads;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more;
       more = Thread32Next(snapshot, &entry)) {
    HANDLE thread = entry.th32OwnerProcessID != id
                        ? nullptr
                        : OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT,
                                     FALSE, entry.th32ThreadID);
    if (thread != nullptr)
      threads.push_back(thread);
  }
  CloseHandle(snapshot);
  return threads;
}

bool SuspendThreads(const std::vector<HANDLE>& threads) {
  bool all = !threads.empty();
  for (HANDLE thread : threads)
    all = SuspendThread(thread) != static_cast<DWORD>(-1) && all;
  // SuspendThread only asks: a thread in the middle of a system call (a
  // write, say) may finish it first. Reading a thread's context waits
  // until it has stopped.
  for (HANDLE thread : threads) {
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    all = GetThreadContext(thread, &context) && all;
  }
  return all;
}

void ResumeThreads(const std::vector<HANDLE>& threads) {
  for (HANDLE thread : threads)
    ResumeThread(thread);
}

HMODULE OpenInstallerResources() {
  HMODULE module =
      LoadLibraryExW(InstallerPath().c_str(), nullptr,
                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  EXPECT_NE(module, nullptr) << "cannot open " << ToUtf8(InstallerPath());
  return module;
}

void SetSettingsValue(HKEY root,
                      REGSAM view,
                      const std::wstring& name,
                      DWORD type,
                      const void* data,
                      DWORD byteCount) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, SettingsKeyPath, 0, nullptr, 0,
                            KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const LONG status = RegSetValueExW(key, name.c_str(), 0, type,
                                     static_cast<const BYTE*>(data), byteCount);
  RegCloseKey(key);
  ASSERT_EQ(status, ERROR_SUCCESS);
}

void SetInstallPath(REGSAM view,
                    const std::wstring& text,
                    HKEY root,
                    DWORD type) {
  SetSettingsValue(root, view, L"installpath", type, text.c_str(),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void HostRegistryTest::SetUp() {
  if (!RunningUnderWine()) {
    const char* optIn = std::getenv("HEBREW_OCR_TEST_WRITE_HKLM");
    if (optIn == nullptr || std::string(optIn) != "1") {
      GTEST_SKIP() << "writes HKEY_LOCAL_MACHINE; runs under Wine, or on "
                      "Windows with HEBREW_OCR_TEST_WRITE_HKLM=1";
    }
    if (AnySettingsKeyExists())
      GTEST_SKIP() << "a host is registered on this machine; left untouched";
  }
  ownsRegistry_ = true;
  RemoveAllSettings();
}

void HostRegistryTest::TearDown() {
  if (ownsRegistry_) {
    RemoveAllSettings();
    EXPECT_FALSE(AnySettingsKeyExists()) << "the host's key was not removed";
  }
}

RunResult RunInstaller(const std::wstring& arguments) {
  return RunProgram(InstallerPath(), arguments);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos)
      end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

::testing::AssertionResult Completed(const RunResult& run) {
  if (run.out == "installation has been completed\r\n" && run.err.empty() &&
      run.exitCode == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "the run did not complete: exit status " << run.exitCode
         << ", standard output \"" << run.out << "\", standard error \""
         << run.err << "\"";
}

::testing::AssertionResult Failed(const RunResult& run, DWORD status) {
  if (run.out == "installation has failed\r\n" && run.exitCode == status)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "the run did not fail with " << status << ": exit status "
         << run.exitCode << ", standard output \"" << run.out
         << "\", standard error \"" << run.err << "\"";
}

::testing::AssertionResult Failed(const RunResult& run,
                                  DWORD status,
                                  const std::vector<std::string>& errors) {
  ::testing::AssertionResult failed = Failed(run, status);
  if (!failed)
    return failed;
  if (Lines(run.err) == errors)
    return ::testing::AssertionSuccess();
  ::testing::AssertionResult result = ::testing::AssertionFailure();
  result << "standard error differs; expected:";
  for (const std::string& line : errors)
    result << "\n  " << line;
  return result << "\nactual:\n  " << run.err;
}

bool WaitForName(const std::wstring& path) {
  for (int i = 0; i < 1000; ++i) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      FindClose(search);
      return true;
    }
    Sleep(10);
  }
  return false;
}

std::int64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return -1;
  return (std::int64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool PauseWhen(HANDLE process,
               const std::function<bool()>& ready,
               const std::function<bool()>& atThisMoment) {
  const std::vector<HANDLE> threads = OpenThreads(process);
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (!ready() && WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
         GetTickCount64() < deadline) {
    // The installer needs a core of the two as much as this loop does.
    SwitchToThread();
  }
  const bool caught = SuspendThreads(threads) &&
                      WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                      atThisMoment();
  ResumeThreads(threads);
  for (HANDLE thread : threads)
    CloseHandle(thread);
  return caught;
}

PackEnds PackEndsBefore(const std::wstring& resources) {
  return {FileSize(resources + L"hebrew.ilex"),
          FileSize(resources + L"hebrew.ocr")};
}

bool PauseInsideTheWriting(HANDLE process,
                           const std::wstring& resources,
                           const PackEnds& before,
                           const std::function<void()>& whilePaused) {
  const std::wstring first = resources + L"hebrew.ilex";
  const std::wstring last = resources + L"hebrew.ocr";
  return PauseWhen(
      process, [&] { return FileSize(first) != before.first; },
      [&] {
        if (FileSize(first) == before.first || FileSize(last) != before.last)
          return false;
        whilePaused();
        return true;
      });
}

bool WaitUntilHeld(const std::wstring& path, HANDLE process) {
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (GetTickCount64() < deadline &&
         WaitForSingleObject(process, 10) == WAIT_TIMEOUT) {
    // A writer that shares everything is refused only by a holder that
    // does not share writing.
    HANDLE probe =
        CreateFileW(path.c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE)
      CloseHandle(probe);
    else if (GetLastError() == ERROR_SHARING_VIOLATION)
      return true;
  }
  return false;
}

HANDLE OpenAsAnotherProgram(const std::wstring& path,
                            bool shareWrite,
                            DWORD moreAccess) {
  const DWORD sharing = FILE_SHARE_READ | (shareWrite ? FILE_SHARE_WRITE : 0);
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_READ | moreAccess, sharing, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << ToUtf8(path);
  return handle;
}

void InstallerRunTest::SetUp() {
  HostRegistryTest::SetUp();
  if (IsSkipped())
    return;
  scratch_ = MakeScratchDirectory();
  installer_ = OpenInstallerResources();
  ASSERT_NE(installer_, nullptr);
}

void InstallerRunTest::TearDown() {
  if (installer_ != nullptr)
    FreeLibrary(installer_);
  if (!scratch_.empty())
    RemoveTree(scratch_);
  HostRegistryTest::TearDown();
}

std::wstring InstallerRunTest::InstallHost(const std::wstring& name,
                                           bool withResourceFolder) {
  const std::wstring host = scratch_ + name + L"\\";
  const std::wstring resources = host + L"IRIS_OCR\\resources\\";
  MakeDirectories(withResourceFolder ? resources : host);
  SetInstallPath(KEY_WOW64_64KEY, host);
  return resources;
}

void InstallerRunTest::ExpectPackInstalled(const std::wstring& resources) {
  for (const PayloadEntry& entry : PayloadTable()) {
    const std::string payload = ResourceBytes(installer_, entry.resourceId);
    const std::string installed = ReadFileBytes(resources + entry.fileName);
    EXPECT_FALSE(payload.empty()) << "payload " << int(entry.resourceId);
    EXPECT_TRUE(installed == payload) << ToUtf8(entry.fileName) << " differs";
    EXPECT_TRUE(installed ==
                ReadFileBytes(TestDataDirectory() + entry.fileName))
        << ToUtf8(entry.fileName) << " differs from its payload file";
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((resources + L"*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  int files = 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      ++files;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  EXPECT_EQ(files, 6);
}

std::vector<std::string> InstallerRunTest::MissingFolderErrors(
    const std::wstring& resources) {
  std::vector<std::string> lines;
  for (const PayloadEntry& entry : PayloadTable()) {
    lines.push_back(ToUtf8(L"error: cannot write " + resources +
                           entry.fileName + L": " +
                           SystemError(ERROR_PATH_NOT_FOUND)));
  }
  return lines;
}
