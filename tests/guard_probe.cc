// Makes one call that control-flow guard must refuse: through the guard, to
// the return instruction that ends one of its own functions, which is code
// but not a function's start. Built like the installer, with its start-up
// and load configuration, it is ended there by Windows with a fail-fast
// (0xC0000409). Where the guard is not enforced (Wine), the return goes
// straight back and the probe exits with 0.
//
// Before the call it reads its own load configuration and checks what the
// refusal rests on; each failed check has an exit status of its own:
//   2  the guard flags do not say that the code is instrumented with a
//      function table;
//   3  the function's end is not a return instruction;
//   4  the guard table does not hold the function's start;
//   5  the guard table holds an address in the 16 bytes around the call's
//      target, which Windows marks valid or invalid as one;
//   6  where Windows left the program's own dispatch routine in place, the
//      call did not go through it: it was made without the guard.

#include <windows.h>

#include <cstdint>

namespace {

// Offsets in IMAGE_LOAD_CONFIG_DIRECTORY64, whose guard fields older
// headers do not declare, and the guard flags that the check needs.
constexpr std::uint32_t kDispatchPointer = 0x78;
constexpr std::uint32_t kFunctionTable = 0x80;
constexpr std::uint32_t kFunctionCount = 0x88;
constexpr std::uint32_t kGuardFlags = 0x90;
constexpr std::uint32_t kInstrumentedWithTable = 0x100 | 0x400;

template <typename T>
T Read(const unsigned char* at) {
  return *reinterpret_cast<const T*>(at);
}

// A valid call target: its address is taken. It calls out, so that it has
// unwind data, which say where it ends, and it ends with a return.
std::uint64_t Target(std::uint64_t value) {
  return GetTickCount64() + value;
}
std::uint64_t (*volatile g_target)(std::uint64_t) = Target;
void (*volatile g_invalidTarget)() = nullptr;

#if defined(__GNUC__)
// Counts the calls that go through the guard, then goes on as the default
// dispatch routine does: the target is in rax.
extern "C" volatile std::uint32_t g_dispatches;
volatile std::uint32_t g_dispatches = 0;
extern "C" __attribute__((naked)) void CountingDispatch() {
  __asm__("lock incl g_dispatches(%rip)\n\tjmp *%rax");
}

// Where Windows has not put its own dispatch routine in place of the
// program's (the routine is still inside this image), puts the counting
// one there. Returns whether it did.
bool CountDispatches(void** pointer,
                     const unsigned char* image,
                     std::uint32_t imageSize) {
  const auto* routine = static_cast<const unsigned char*>(*pointer);
  DWORD old = 0;
  if (routine < image || routine >= image + imageSize ||
      !VirtualProtect(pointer, sizeof(*pointer), PAGE_READWRITE, &old)) {
    return false;
  }
  *pointer = reinterpret_cast<void*>(&CountingDispatch);
  VirtualProtect(pointer, sizeof(*pointer), old, &old);
  return true;
}
#endif

}  // namespace

int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
  const auto* image =
      reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  const unsigned char* config = image + directory.VirtualAddress;
  if (directory.VirtualAddress == 0 ||
      Read<std::uint32_t>(config) < kGuardFlags + 4 ||
      (Read<std::uint32_t>(config + kGuardFlags) & kInstrumentedWithTable) !=
          kInstrumentedWithTable) {
    return 2;
  }
  const std::uint32_t flags = Read<std::uint32_t>(config + kGuardFlags);

  DWORD64 base = 0;
  const RUNTIME_FUNCTION* function = RtlLookupFunctionEntry(
      reinterpret_cast<DWORD64>(g_target), &base, nullptr);
  if (function == nullptr || image[function->EndAddress - 1] != 0xC3)
    return 3;
  const std::uint32_t target = function->EndAddress - 1;

  // Each entry is a relative address followed by as many bytes of extra
  // information as the flags' top four bits say.
  const auto* table = Read<const unsigned char*>(config + kFunctionTable);
  const std::uint64_t count = Read<std::uint64_t>(config + kFunctionCount);
  const std::uint32_t stride = 4 + (flags >> 28);
  bool startListed = false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint32_t entry = Read<std::uint32_t>(table + i * stride);
    if (entry == function->BeginAddress)
      startListed = true;
    if (entry >> 4 == target >> 4)
      return 5;
  }
  if (!startListed)
    return 4;

#if defined(__GNUC__)
  const bool counting =
      CountDispatches(Read<void**>(config + kDispatchPointer), image,
                      headers->OptionalHeader.SizeOfImage);
#endif
  g_invalidTarget =
      reinterpret_cast<void (*)()>(const_cast<unsigned char*>(image + target));
  g_invalidTarget();
#if defined(__GNUC__)
  if (counting && g_dispatches != 1)
    return 6;
#endif
  return 0;
}
