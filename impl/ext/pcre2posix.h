// The loader of PCRE2's POSIX-style interface, the engine of the regular
// expressions.
#ifndef ZU_IMPL_EXT_PCRE2POSIX_H
#define ZU_IMPL_EXT_PCRE2POSIX_H

#include "ext/loader.h"

#if ZU_WITH_REGEX
#include <pcre2posix.h>
#endif

namespace zu {
namespace ext {

char const* const PCRE2POSIX_SONAME = "libpcre2-posix.so.3";

#if ZU_WITH_REGEX
// Every function of the library that zu calls, by its C name.
struct Pcre2Posix {
  decltype(&::pcre2_regcomp) pcre2_regcomp;
  decltype(&::pcre2_regexec) pcre2_regexec;
  decltype(&::pcre2_regerror) pcre2_regerror;
  decltype(&::pcre2_regfree) pcre2_regfree;
};
#else
struct Pcre2Posix {};
#endif

// The library, opened on the first call from any thread.
Library<Pcre2Posix> const& pcre2posix();

}  // namespace ext
}  // namespace zu

#endif
