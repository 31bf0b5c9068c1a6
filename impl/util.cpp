#include <zu/util.h>

#include "assertion.h"

namespace zu {
namespace util {

bool IBufferedReader::extractLine(void const* buffer, unsigned int size, unsigned int& lineLength,
                                  unsigned int& consumed) {
  ZU_ASSERT(buffer, "buffer");
  lineLength = 0;
  consumed = 0;
  unsigned char const* p = static_cast<unsigned char const*>(buffer);
  for (unsigned int i = 0; i < size; ++i) {
    if (p[i] == '\n') {
      lineLength = i;
      consumed = i + 1;
      return true;
    }
    if (p[i] != '\r') continue;
    if (i + 1 < size && p[i + 1] == '\n') {
      lineLength = i;
      consumed = i + 2;
      return true;
    }
    if (i + 2 < size && p[i + 1] == '\r' && p[i + 2] == '\n') {
      lineLength = i;
      consumed = i + 3;
      return true;
    }
  }
  return false;
}

}  // namespace util
}  // namespace zu
