// Character tests and conversions on single bytes of text, by the ASCII
// rules and never the process locale, so that parsing does not change with it.
#ifndef ZU_IMPL_CORE_TEXT_H
#define ZU_IMPL_CORE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zu {
namespace __ {

// The value of a hexadecimal digit of either case; -1 for any other byte.
inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// ASCII letters folded to lower or upper case; every other byte unchanged.
inline char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The C locale's white space: space, tab, line feed, vertical tab, form
// feed and carriage return.
inline bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The bytes of `text` before its first NUL, at most `limit` (strnlen,
// which the C++ library lacks).
inline std::size_t boundedLength(char const* text, std::size_t limit) {
  // No object is larger than PTRDIFF_MAX bytes: past that the bound is no
  // bound, and the NUL is what ends the text.
  if (limit > static_cast<std::size_t>(PTRDIFF_MAX)) return std::strlen(text);
  void const* end = std::memchr(text, 0, limit);
  return end ? static_cast<std::size_t>(static_cast<char const*>(end) - text) : limit;
}

// The last of the first `size` bytes of `data` equal to `c`; null when none
// is (memrchr, which only some C libraries have).
inline char const* findLastByte(char const* data, char c, std::size_t size) {
#if defined(__GLIBC__)
  return static_cast<char const*>(::memrchr(data, c, size));
#else
  for (std::size_t i = size; i-- > 0;)
    if (data[i] == c) return data + i;
  return nullptr;
#endif
}

// Whether the first `size` bytes of `a` and `b` are equal when ASCII
// letters are folded to one case (strncasecmp in the C locale, without its
// stop at a NUL).
inline bool equalIgnoringAsciiCase(char const* a, char const* b, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

}  // namespace __
}  // namespace zu

#endif
