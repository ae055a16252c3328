// The stack protector's guard and its failure path, for programs built with
// GCC or Clang (-fstack-protector-strong). The compiler puts a copy of
// __stack_chk_guard in the frame of every function with a local array and
// calls __stack_chk_fail when the copy has changed by the time the function
// returns.
//
// The guard is seeded from the system's random source, and a smashed frame
// fails fast, in the kernel, as MSVC's /GS does: no code runs on the damaged
// stack.
//
// This unit is built without the protector itself: seeding changes the guard
// that a protected frame of its own would be checked against.

#include <windows.h>

#include <ntsecapi.h>

#include <cstdint>

#include "installer/stack_guard.h"

namespace {

// __fastfail's code for a failed stack cookie check, and the status the
// process then ends with.
constexpr unsigned kFastFailStackCookieCheckFailure = 2;
constexpr UINT kStatusStackBufferOverrun = 0xC0000409;

// A guard that differs from run to run even when the random source fails:
// the clock, the performance counter, the process and thread ids and a stack
// address (randomised by the loader) mixed together.
std::uint64_t FallbackGuard() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const int local = 0;
  std::uint64_t mix =
      (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  mix ^= static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull;
  mix ^= std::uint64_t{GetCurrentProcessId()} << 32;
  mix ^= GetCurrentThreadId();
  mix ^= GetTickCount64() << 16;
  mix ^= reinterpret_cast<std::uintptr_t>(&local);
  return mix;
}

}  // namespace

extern "C" {

// Zero until SeedStackGuard runs; functions that run before it and return
// before it still match their own copies.
void* __stack_chk_guard;

__attribute__((noreturn)) void __stack_chk_fail(void) {
  // Interrupt 0x29 is __fastfail: the kernel ends the process at once with
  // STATUS_STACK_BUFFER_OVERRUN, consulting no handler or debugger. It never
  // returns on Windows 8 or later; the call below is for a system that lacks
  // it.
  __asm__ __volatile__("int $0x29" : : "c"(kFastFailStackCookieCheckFailure));
  TerminateProcess(GetCurrentProcess(), kStatusStackBufferOverrun);
  __builtin_unreachable();
}

}  // extern "C"

void SeedStackGuard() {
  std::uint64_t guard = 0;
  if (!RtlGenRandom(&guard, sizeof(guard)))
    guard = 0;
  if (guard == 0)
    guard = FallbackGuard();
  // A zero guard would match a zeroed frame.
  if (guard == 0)
    guard = 0x2B992DDFA232ull;
  __stack_chk_guard =
      reinterpret_cast<void*>(static_cast<std::uintptr_t>(guard));
}
