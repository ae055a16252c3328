// Overruns a stack buffer on purpose: 16 bytes into an 8-byte array. Built
// with the project's compile options, its stack protector ends the program
// before the damaged frame returns. Without one, the overrun lands in the
// frame's padding and the program exits normally with 0.

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

}  // namespace

int main() {
  return Fill(g_length) == 'x' ? 0 : 2;
}
