// The program's own start-up, in place of the C runtime's: the entry point
// that the loader calls, and the two memory routines that the compiler may
// call for copies and clears. The program links no runtime, so that every
// byte of its code is compiled here, with the control-flow guard's
// instrumentation and its table complete.

#include <windows.h>

#include <cstddef>

#include "installer/main.h"
#include "installer/stack_guard.h"

namespace {

// wmain ignores its arguments and environment; both are empty lists.
wchar_t* g_noArguments[1];

}  // namespace

// The loader calls this with nothing. The stack guard is seeded before any
// protected function runs; this function has no local array, so it is not
// protected itself. The process ends with wmain's result, as the runtime's
// exit would end it.
extern "C" void ProgramStart() {
  SeedStackGuard();
  ExitProcess(static_cast<UINT>(wmain(0, g_noArguments, g_noArguments)));
}

// The compiler calls these for block copies and clears; the string
// instructions do the work, so that the optimiser cannot turn the routines
// into calls to themselves.
extern "C" void* memcpy(void* to, const void* from, std::size_t count) {
  void* const result = to;
  __asm__ __volatile__("rep movsb"
                       : "+D"(to), "+S"(from), "+c"(count)
                       :
                       : "memory");
  return result;
}

extern "C" void* memset(void* to, int value, std::size_t count) {
  void* const result = to;
  __asm__ __volatile__("rep stosb"
                       : "+D"(to), "+c"(count)
                       : "a"(value)
                       : "memory");
  return result;
}
