// Overruns a stack buffer on purpose: 16 bytes into an 8-byte array. Built
// like the installer, with its start-up and stack protector, it is ended by
// the protector before the damaged frame returns. Without one, the overrun
// lands in the frame's padding and the program exits normally with 0.
//
// Run with the argument "guard", it prints the protector's guard value in
// hexadecimal instead and exits with 0.

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "installer/fixed_text.h"
#include "installer/main.h"

#if defined(_MSC_VER)
#define HEBREW_OCR_NOINLINE __declspec(noinline)
// The /GS cookie, defined by MSVC's runtime.
extern "C" std::uintptr_t __security_cookie;
#define HEBREW_OCR_STACK_GUARD __security_cookie
#else
#define HEBREW_OCR_NOINLINE __attribute__((noinline))
extern "C" void* __stack_chk_guard;
#define HEBREW_OCR_STACK_GUARD \
  reinterpret_cast<std::uintptr_t>(__stack_chk_guard)
#endif

namespace {

// Read at run time, so that the compiler cannot see the overrun coming.
volatile std::size_t g_length = 16;

HEBREW_OCR_NOINLINE int Fill(std::size_t length) {
  char buffer[8];
  volatile char* out = buffer;
  for (std::size_t i = 0; i < length; ++i)
    out[i] = 'x';
  return out[0];
}

// Ends the process with the code of the exception that nothing handled, as
// Windows does, but without starting a debugger: Wine starts one for every
// unhandled exception, whatever the error mode says.
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(),
                   exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Whether the command line's last word is "guard". The program is started
// without a runtime to split its command line.
bool AskedForGuard() {
  const wchar_t* line = GetCommandLineW();
  const std::size_t length = TextLength(line);
  const wchar_t word[] = L" guard";
  const std::size_t wordLength = TextLength(word);
  if (length < wordLength)
    return false;
  for (std::size_t i = 0; i < wordLength; ++i) {
    if (line[length - wordLength + i] != word[i])
      return false;
  }
  return true;
}

}  // namespace

int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
  if (AskedForGuard()) {
    char line[18];
    std::uint64_t guard = HEBREW_OCR_STACK_GUARD;
    for (int i = 15; i >= 0; --i, guard >>= 4)
      line[i] = "0123456789abcdef"[guard & 0xF];
    line[16] = '\r';
    line[17] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, sizeof(line), &written,
              nullptr);
    return 0;
  }
  SetUnhandledExceptionFilter(EndWithExceptionCode);
  return Fill(g_length) == 'x' ? 0 : 2;
}
