// The load configuration that carries the control-flow guard, for programs
// linked without a C runtime by a linker that builds the guard's tables
// (lld, given --guard-cf).
//
// The compiler (-mguard=cf) sends every indirect call through the dispatch
// pointer below, and lists every function whose address the code takes. The
// linker gathers those into the guard function table and defines the
// __guard_* symbols that describe it; this load configuration points Windows
// at them. Windows then replaces the two pointers with its own routines,
// which end the process when a call goes to an address outside the table.
// Where the guard is not enforced (older Windows, Wine), the default
// routines here let every call through.

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

// IMAGE_LOAD_CONFIG_DIRECTORY64 as Windows 10 and later read it. Older
// MinGW-w64 headers declare it without the guard's fields, so it is laid out
// here, with the fields the linker fills in as addresses.
struct LoadConfiguration {
  std::uint32_t Size;
  std::uint32_t TimeDateStamp;
  std::uint16_t MajorVersion;
  std::uint16_t MinorVersion;
  std::uint32_t GlobalFlagsClear;
  std::uint32_t GlobalFlagsSet;
  std::uint32_t CriticalSectionDefaultTimeout;
  std::uint64_t DeCommitFreeBlockThreshold;
  std::uint64_t DeCommitTotalFreeThreshold;
  std::uint64_t LockPrefixTable;
  std::uint64_t MaximumAllocationSize;
  std::uint64_t VirtualMemoryThreshold;
  std::uint64_t ProcessAffinityMask;
  std::uint32_t ProcessHeapFlags;
  std::uint16_t CSDVersion;
  std::uint16_t DependentLoadFlags;
  std::uint64_t EditList;
  std::uint64_t SecurityCookie;
  std::uint64_t SEHandlerTable;
  std::uint64_t SEHandlerCount;
  const void* GuardCFCheckFunctionPointer;
  const void* GuardCFDispatchFunctionPointer;
  const void* GuardCFFunctionTable;
  const void* GuardCFFunctionCount;
  // GuardFlags (32 bits), then CodeIntegrity's Flags and Catalog (16 bits
  // each, always 0). The linker gives the flags only as a symbol's address,
  // which fills the low half of this 64-bit field.
  const void* GuardFlags;
  std::uint32_t CodeIntegrityCatalogOffset;
  std::uint32_t CodeIntegrityReserved;
  const void* GuardAddressTakenIatEntryTable;
  const void* GuardAddressTakenIatEntryCount;
  const void* GuardLongJumpTargetTable;
  const void* GuardLongJumpTargetCount;
  std::uint64_t DynamicValueRelocTable;
  std::uint64_t CHPEMetadataPointer;
  std::uint64_t GuardRFFailureRoutine;
  std::uint64_t GuardRFFailureRoutineFunctionPointer;
  std::uint32_t DynamicValueRelocTableOffset;
  std::uint16_t DynamicValueRelocTableSection;
  std::uint16_t Reserved2;
  std::uint64_t GuardRFVerifyStackPointerFunctionPointer;
  std::uint32_t HotPatchTableOffset;
  std::uint32_t Reserved3;
  std::uint64_t EnclaveConfigurationPointer;
  std::uint64_t VolatileMetadataPointer;
  const void* GuardEHContinuationTable;
  const void* GuardEHContinuationCount;
};
static_assert(offsetof(LoadConfiguration, GuardCFCheckFunctionPointer) == 0x70,
              "layout of IMAGE_LOAD_CONFIG_DIRECTORY64");
static_assert(offsetof(LoadConfiguration, GuardFlags) == 0x90,
              "layout of IMAGE_LOAD_CONFIG_DIRECTORY64");
static_assert(offsetof(LoadConfiguration, GuardLongJumpTargetCount) == 0xB8,
              "layout of IMAGE_LOAD_CONFIG_DIRECTORY64");
static_assert(sizeof(LoadConfiguration) == 0x118,
              "layout of IMAGE_LOAD_CONFIG_DIRECTORY64");

}  // namespace

extern "C" {

// Defined by the linker: the guard's tables, and as their addresses, the
// number of entries in each and the guard's flags.
extern const char __guard_fids_table;
extern const char __guard_fids_count;
extern const char __guard_flags;
extern const char __guard_iat_table;
extern const char __guard_iat_count;
extern const char __guard_longjmp_table;
extern const char __guard_longjmp_count;
extern const char __guard_eh_cont_table;
extern const char __guard_eh_cont_count;

// The default routines, for where Windows does not install its own. A check
// takes the target in rcx and accepts it; a dispatch takes it in rax and
// goes there.
__attribute__((naked)) void GuardCheckAnyCall() {
  __asm__("ret");
}
__attribute__((naked)) void GuardDispatchAnyCall() {
  __asm__("jmp *%rax");
}

// The pointers that instrumented code calls through. Windows overwrites them
// as it loads the program; they live in a read-only section, which Windows
// reopens for that alone, so nothing else can redirect them.
__attribute__((section(".00cfg"))) extern void* const __guard_check_icall_fptr;
__attribute__((section(".00cfg"))) void* const __guard_check_icall_fptr =
    reinterpret_cast<void*>(&GuardCheckAnyCall);
__attribute__((
    section(".00cfg"))) extern void* const __guard_dispatch_icall_fptr;
__attribute__((section(".00cfg"))) void* const __guard_dispatch_icall_fptr =
    reinterpret_cast<void*>(&GuardDispatchAnyCall);

// The linker finds the load configuration by this name.
extern const LoadConfiguration _load_config_used;
// clang-format off
const LoadConfiguration _load_config_used = {
    sizeof(LoadConfiguration),
    // TimeDateStamp to CSDVersion: none.
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // The program's own imports come from System32 only, never from the
    // folder it was started in (LOAD_LIBRARY_SEARCH_SYSTEM32).
    0x800,
    // EditList, SecurityCookie (the stack guard is seeded by the start-up),
    // SEHandlerTable and SEHandlerCount (32-bit programs only): none.
    0, 0, 0, 0,
    &__guard_check_icall_fptr,
    &__guard_dispatch_icall_fptr,
    &__guard_fids_table,
    &__guard_fids_count,
    &__guard_flags,
    0, 0,
    &__guard_iat_table,
    &__guard_iat_count,
    &__guard_longjmp_table,
    &__guard_longjmp_count,
    // DynamicValueRelocTable to VolatileMetadataPointer: none.
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    &__guard_eh_cont_table,
    &__guard_eh_cont_count,
};
// clang-format on

}  // extern "C"
