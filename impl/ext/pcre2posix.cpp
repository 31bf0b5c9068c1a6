// The loader of PCRE2's POSIX-style interface, the engine of the regular
// expressions.
#include "ext/pcre2posix.h"

namespace zu {
namespace ext {

namespace {

Library<Pcre2Posix>* loadPcre2Posix() {
  Library<Pcre2Posix>* const library = new Library<Pcre2Posix>();
#if ZU_WITH_REGEX
  Resolver resolve(PCRE2POSIX_SONAME);
  Pcre2Posix& api = library->api;
  resolve(api.pcre2_regcomp, "pcre2_regcomp");
  resolve(api.pcre2_regexec, "pcre2_regexec");
  resolve(api.pcre2_regerror, "pcre2_regerror");
  resolve(api.pcre2_regfree, "pcre2_regfree");
  library->loaded = resolve.finish(library->failure);
#else
  library->failure = notBuiltIn(PCRE2POSIX_SONAME, "ZU_WITH_REGEX");
#endif
  return library;
}

}  // namespace

Library<Pcre2Posix> const& pcre2posix() {
  static Library<Pcre2Posix> const* const library = loadPcre2Posix();
  static std::atomic<bool> logged{false};
  if (!library->loaded) logOnce(logged, library->failure);
  return *library;
}

}  // namespace ext
}  // namespace zu
