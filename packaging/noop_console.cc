// A console program that only starts and exits, built like the installer
// and entered the same way; the benchmark compares the installer's run time
// with it.

#include "installer/main.h"

int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
  return 0;
}
