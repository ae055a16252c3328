// Text in fixed buffers, for a program without a runtime: no allocation,
// every length checked, and text that does not fit refused whole rather
// than cut short.

#ifndef HEBREW_OCR_PACK_INSTALLER_FIXED_TEXT_H_
#define HEBREW_OCR_PACK_INSTALLER_FIXED_TEXT_H_

#include <cstddef>
#include <cstdint>

// The number of UTF-16 units before the first zero unit of `text`.
inline std::size_t TextLength(const wchar_t* text) {
  std::size_t length = 0;
  while (text[length] != L'\0')
    ++length;
  return length;
}

// Text in a fixed buffer of `Capacity` UTF-16 units that always ends with a
// zero unit. Text that does not fit is refused whole, never cut short.
template <std::size_t Capacity>
struct FixedText {
  static_assert(Capacity > 1, "room for text and its zero unit");
  wchar_t units[Capacity];
  std::size_t length;

  FixedText() : length(0) { units[0] = L'\0'; }

  bool empty() const { return length == 0; }
  void Clear() {
    length = 0;
    units[0] = L'\0';
  }
  // Appends `count` units of `more`. Returns false, and changes nothing, when
  // they do not fit.
  bool Append(const wchar_t* more, std::size_t count) {
    if (count >= Capacity - length)
      return false;
    for (std::size_t i = 0; i < count; ++i)
      units[length + i] = more[i];
    length += count;
    units[length] = L'\0';
    return true;
  }
  bool Append(const wchar_t* more) { return Append(more, TextLength(more)); }
  // Appends `value` in decimal.
  bool AppendNumber(std::uint64_t value) {
    wchar_t digits[20];
    std::size_t count = 0;
    do {
      digits[sizeof(digits) / sizeof(digits[0]) - ++count] =
          static_cast<wchar_t>(L'0' + value % 10);
      value /= 10;
    } while (value != 0);
    return Append(digits + sizeof(digits) / sizeof(digits[0]) - count, count);
  }
};

#endif  // HEBREW_OCR_PACK_INSTALLER_FIXED_TEXT_H_
