// Regular expressions over PCRE2's POSIX-style interface, reached through
// its loader: the library is opened by the first compilation.
#include <zu/em.h>
#include <zu/util.h>

#include <boost/make_shared.hpp>
#include <vector>

// The loader's header brings PCRE2's POSIX-style declarations (regex_t
// and friends); the C library's <regex.h> must not be included as well,
// as its regex_t is laid out differently.
#include "ext/libraries.h"

namespace zu {
namespace util {
namespace impl {

#if ZU_WITH_REGEX

namespace {

// PCRE's text for `code`, at most 256 bytes with the terminator.
String errorText(ext::Pcre2Posix const& pcre, int code, regex_t const* compiled) {
  char text[256];
  pcre.pcre2_regerror(code, compiled, text, sizeof text);
  return String(text);
}

}  // namespace

class RegEx : public IRegEx {
 public:
  // Takes over a successfully compiled expression.
  RegEx(ext::Pcre2Posix const& pcre, regex_t const& compiled) : pcre_(pcre), compiled_(compiled) {}
  RegEx(RegEx const&) = delete;
  RegEx& operator=(RegEx const&) = delete;
  ~RegEx() override { pcre_.pcre2_regfree(&compiled_); }

  bool match(String const& text, TArray<RegExMatch>& matches, unsigned int flags) override {
    unsigned int const n = matches.size();
    regmatch_t one;
    std::vector<regmatch_t> many;
    regmatch_t* slots = &one;
    if (n >= 2) {
      many.resize(n);
      slots = many.data();
    }
    int const result = pcre_.pcre2_regexec(&compiled_, text.cstr(), n ? n : 1, slots, static_cast<int>(flags));
    if (result != 0) {
      if (em::catching(this)) em::report(this, static_cast<unsigned int>(result), errorText(pcre_, result, &compiled_));
      return false;
    }
    for (unsigned int i = 0; i < n; ++i) {
      RegExMatch& m = matches(i);
      m.start = static_cast<std::int32_t>(slots[i].rm_so);
      m.end = static_cast<std::int32_t>(slots[i].rm_eo);
    }
    return true;
  }

  bool match(String const& text, unsigned int flags) override {
    TArray<RegExMatch> none;
    return match(text, none, flags);
  }

 private:
  ext::Pcre2Posix const& pcre_;
  regex_t compiled_;
};

#endif  // ZU_WITH_REGEX

}  // namespace impl

boost::shared_ptr<IRegEx> IRegEx::compile(String const& pattern, unsigned int flags) {
  void const* const owner = reinterpret_cast<void const*>(&IRegEx::compile);
  ext::Library<ext::Pcre2Posix> const& library = ext::pcre2posix();
  if (!library.loaded) {
    ext::unavailable(owner, library.failure);
    return boost::shared_ptr<IRegEx>();
  }
#if ZU_WITH_REGEX
  ext::Pcre2Posix const& pcre = library.api;
  // Zeroed, so that freeing what a failed compilation left behind touches
  // no stray pointer.
  regex_t compiled = regex_t();
  int const result = pcre.pcre2_regcomp(&compiled, pattern.cstr(), static_cast<int>(flags));
  if (result == 0) return boost::make_shared<impl::RegEx>(pcre, compiled);
  if (em::catching(owner)) {
    em::report(owner, static_cast<unsigned int>(result), impl::errorText(pcre, result, &compiled));
  }
  pcre.pcre2_regfree(&compiled);
#else
  static_cast<void>(pattern);
  static_cast<void>(flags);
#endif
  return boost::shared_ptr<IRegEx>();
}

}  // namespace util
}  // namespace zu
