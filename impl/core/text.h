// Character tests and conversions on single bytes of text, by the ASCII
// rules and never the process locale, so that parsing does not change with it.
#ifndef ZU_IMPL_CORE_TEXT_H
#define ZU_IMPL_CORE_TEXT_H

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

}  // namespace __
}  // namespace zu

#endif
