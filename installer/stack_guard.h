// The stack protector's guard, for the programs built with GCC or Clang.

#ifndef HEBREW_OCR_PACK_INSTALLER_STACK_GUARD_H_
#define HEBREW_OCR_PACK_INSTALLER_STACK_GUARD_H_

// Seeds the stack protector's guard from the system's random source. The
// start-up routine calls it before anything protected runs.
void SeedStackGuard();

#endif  // HEBREW_OCR_PACK_INSTALLER_STACK_GUARD_H_
