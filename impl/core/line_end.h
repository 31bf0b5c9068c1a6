// The library's one line-end rule, shared by String::lines(), the buffered
// line reader and the HTTP connection's request reader.
#ifndef ZU_CORE_LINE_END_H
#define ZU_CORE_LINE_END_H

#include <cstring>

namespace zu {
namespace __ {

// Finds the first line end in `size` bytes at `p`: LF, CR LF or CR CR LF.
// Every line end holds a line feed, so the first line feed ends the first
// line; the one or two carriage returns right before it belong to the line
// end. Any other CR is part of the line, even at the very end of the bytes
// (a CR LF split between two reads is found once the LF has arrived).
// `lineLength` gets the bytes before the line end and `consumed` those
// including it; both are 0 and the result false when there is none.
inline bool findLineEnd(void const* p, unsigned int size, unsigned int& lineLength, unsigned int& consumed) {
  unsigned char const* bytes = static_cast<unsigned char const*>(p);
  lineLength = 0;
  consumed = 0;
  unsigned char const* feed = size ? static_cast<unsigned char const*>(std::memchr(bytes, '\n', size)) : nullptr;
  if (!feed) return false;
  unsigned int const i = static_cast<unsigned int>(feed - bytes);
  unsigned int start = i;
  if (start > 0 && bytes[start - 1] == '\r') {
    --start;
    if (start > 0 && bytes[start - 1] == '\r') --start;
  }
  lineLength = start;
  consumed = i + 1;
  return true;
}

}  // namespace __
}  // namespace zu

#endif
