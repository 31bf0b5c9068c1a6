// String number conversions: the library's own 64-bit parsers against a
// plain reading of their rule, strtol-style conversions, and the number
// constructors read back. The first byte picks the base.
#include <cmath>

#include "fuzz_common.h"

namespace {

// Leading blanks, one sign (signed form only), digits below `base`,
// wrapping modulo 2^64.
std::uint64_t reference(std::string const& s, unsigned int base, bool isSigned) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\v' || s[i] == '\f' || s[i] == '\r'))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    if (!isSigned) return 0;
    negative = s[i] == '-';
    ++i;
  }
  std::uint64_t value = 0;
  for (; i < s.size(); ++i) {
    char const c = s[i];
    unsigned int digit = c >= '0' && c <= '9'   ? c - '0'
                         : c >= 'a' && c <= 'z' ? c - 'a' + 10
                         : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                                : 99;
    if (digit >= base) break;
    value = value * base + digit;
  }
  return negative ? 0 - value : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  unsigned int const base = data[0] % 35 + 2;
  zu::String const input = fuzz::text(data + 1, size - 1);
  std::string const plain = input.cstr();

  std::uint64_t const own = static_cast<std::uint64_t>(input.toInt64(base));
  std::uint64_t const ownUnsigned = input.toUnsigned64(base);
  (void)input.toInteger(base);
  (void)input.toUnsigned(base);
  (void)input.toInteger();
  (void)input.toReal();

  // The rule's blanks are those of isspace in the C locale; the reference
  // takes the same set, so a mismatch is the parser's.
  FUZZ_CHECK(own == reference(plain, base, true));
  FUZZ_CHECK(ownUnsigned == reference(plain, base, false));

  // Numbers written in a base read back in it.
  std::int64_t const value = static_cast<std::int64_t>(own);
  FUZZ_CHECK(zu::String(value, base).toInt64(base) == value);
  FUZZ_CHECK(zu::String(ownUnsigned, base).toUnsigned64(base) == ownUnsigned);
  double const real = input.toReal();
  if (std::isfinite(real)) (void)zu::String(real, static_cast<unsigned int>(data[0] % 20)).toReal();
  return 0;
}
