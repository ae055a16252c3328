// Overruns a stack buffer on purpose: 16 bytes into an 8-byte array. Built
// with the project's compile options, its stack protector ends the program
// before the damaged frame returns. Without one, the overrun lands in the
// frame's padding and the program exits normally with 0.
//
// Run with the argument "guard", it prints the protector's guard value in
// hexadecimal instead and exits with 0.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 2 && std::strcmp(argv[1], "guard") == 0) {
    std::printf("%016llx\n",
                static_cast<unsigned long long>(HEBREW_OCR_STACK_GUARD));
    return 0;
  }
  SetUnhandledExceptionFilter(EndWithExceptionCode);
  return Fill(g_length) == 'x' ? 0 : 2;
}
