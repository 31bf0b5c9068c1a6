#include <zu/em.h>
#include <zu/util.h>

#include <boost/make_shared.hpp>
#include <vector>

// PCRE2's POSIX-style interface. Its header maps regcomp and friends onto
// pcre2_regcomp and friends; the C library's <regex.h> must not be
// included as well, as its regex_t is laid out differently.
#include <pcre2posix.h>

namespace zu {
namespace util {
namespace impl {

namespace {

// PCRE's text for `code`, at most 256 bytes with the terminator.
String errorText(int code, regex_t const* compiled) {
  char text[256];
  regerror(code, compiled, text, sizeof text);
  return String(text);
}

}  // namespace

class RegEx : public IRegEx {
 public:
  // Takes over a successfully compiled expression.
  explicit RegEx(regex_t const& compiled) : compiled_(compiled) {}
  RegEx(RegEx const&) = delete;
  RegEx& operator=(RegEx const&) = delete;
  ~RegEx() override { regfree(&compiled_); }

  bool match(String const& text, TArray<RegExMatch>& matches, unsigned int flags) override {
    unsigned int const n = matches.size();
    regmatch_t one;
    std::vector<regmatch_t> many;
    regmatch_t* slots = &one;
    if (n >= 2) {
      many.resize(n);
      slots = many.data();
    }
    int const result = regexec(&compiled_, text.cstr(), n ? n : 1, slots, static_cast<int>(flags));
    if (result != 0) {
      if (em::catching(this)) em::report(this, static_cast<unsigned int>(result), errorText(result, &compiled_));
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
  regex_t compiled_;
};

}  // namespace impl

boost::shared_ptr<IRegEx> IRegEx::compile(String const& pattern, unsigned int flags) {
  // Zeroed, so that freeing what a failed compilation left behind touches
  // no stray pointer.
  regex_t compiled = regex_t();
  int const result = regcomp(&compiled, pattern.cstr(), static_cast<int>(flags));
  if (result == 0) return boost::make_shared<impl::RegEx>(compiled);
  void const* const owner = reinterpret_cast<void const*>(&IRegEx::compile);
  if (em::catching(owner)) em::report(owner, static_cast<unsigned int>(result), impl::errorText(result, &compiled));
  regfree(&compiled);
  return boost::shared_ptr<IRegEx>();
}

}  // namespace util
}  // namespace zu
