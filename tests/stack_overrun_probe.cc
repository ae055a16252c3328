// Overruns a stack buffer on purpose: 16 bytes into an 8-byte array. Built
// with the project's compile options, its stack protector ends the program
// before the damaged frame returns. Without one, the overrun lands in the
// frame's padding and the program exits normally with 0.

#include <windows.h>

#include <cstddef>

#if defined(_MSC_VER)
#define HEBREW_OCR_NOINLINE __declspec(noinline)
#else
#define HEBREW_OCR_NOINLINE __attribute__((noinline))
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

int main() {
  SetUnhandledExceptionFilter(EndWithExceptionCode);
  return Fill(g_length) == 'x' ? 0 : 2;
}
