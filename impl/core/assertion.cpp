// The library's precondition check: a violated one is reported on standard
// error and ends the process in every build type.
#include "core/assertion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zu {
namespace __ {

void assertionFailed(char const* expression, char const* file, unsigned int line) {
  char const* base = file;
  for (char const* p = file; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  // One write so that lines from several threads do not interleave.
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %u\n", expression, base, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace __
}  // namespace zu
