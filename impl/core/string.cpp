// zu::String: the text operations. The stubs and blocks that hold the texts
// are string_storage's.
#include <zu/string.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <new>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <boost/make_shared.hpp>
#include <zu/array.h>

#include "core/assertion.h"
#include "core/line_end.h"
#include "core/string_storage.h"
#include "core/text.h"

namespace zu {

namespace {

using namespace ::zu::__::storage;

unsigned int const npos = 0xFFFFFFFF;

// Case tables of the "C" locale: only ASCII letters change case. Constant
// tables keep the byte loops free of calls into the locale machinery.
struct CaseTables {
  unsigned char upper[256];
  unsigned char lower[256];
  constexpr CaseTables() : upper(), lower() {
    for (int i = 0; i < 256; ++i) {
      upper[i] = static_cast<unsigned char>(i >= 'a' && i <= 'z' ? i - 32 : i);
      lower[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
    }
  }
};
constexpr CaseTables caseTables;

inline unsigned char up(char c) { return caseTables.upper[static_cast<unsigned char>(c)]; }
inline unsigned char low(char c) { return caseTables.lower[static_cast<unsigned char>(c)]; }

using ::zu::__::isBlank;

// Byte comparison of at most n bytes, stopping at a NUL, as strncmp; the
// case-blind form folds to lower case first, like strncasecmp.
int compareBytes(char const* a, char const* b, std::size_t n, bool ignoreCase) {
  if (!ignoreCase) return std::strncmp(a, b, n);
  for (std::size_t i = 0; i < n; ++i) {
    int d = int(low(a[i])) - int(low(b[i]));
    if (d != 0 || a[i] == 0) return d;
  }
  return 0;
}

int compareTexts(char const* a, char const* b, bool ignoreCase) {
  if (!ignoreCase) return std::strcmp(a, b);
  for (;; ++a, ++b) {
    int d = int(low(*a)) - int(low(*b));
    if (d != 0 || *a == 0) return d;
  }
}

// Whether byte `c` is in the set; a 256-bit membership table built once per
// call keeps set searches linear.
struct ByteSet {
  unsigned char member[256];
  bool empty;
  ByteSet(char const* chars, bool ignoreCase) : member(), empty(*chars == 0) {
    for (; *chars; ++chars) {
      unsigned char c = static_cast<unsigned char>(*chars);
      member[c] = 1;
      if (ignoreCase) {
        member[caseTables.upper[c]] = 1;
        member[caseTables.lower[c]] = 1;
      }
    }
  }
  bool has(char c) const { return member[static_cast<unsigned char>(c)] != 0; }
};

// Substring search over text[0..L). The window's sum of upper-cased bytes
// is a cheap filter: only windows whose sum equals the needle's are compared
// in full. The sum is case-blind in both modes, so it never rejects a match.
//
// With SSE2 the sums of 16 consecutive windows are formed at once: the
// per-step changes (entering byte minus leaving byte) are prefix-summed in
// 16-bit lanes. Comparing modulo 2^16 only admits more candidates, which the
// full comparison then rejects.
unsigned int searchForward(char const* text, std::size_t L, char const* needle, std::size_t n,
                           std::size_t from, bool ignoreCase) {
  if (n == 0) return 0;
  if (from + n > L) return npos;
  unsigned char const* s = reinterpret_cast<unsigned char const*>(text);
  unsigned char const* u = caseTables.upper;
  unsigned int want = 0, sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    want += u[static_cast<unsigned char>(needle[i])];
    sum += u[s[from + i]];
  }
  unsigned char const first = u[static_cast<unsigned char>(needle[0])];
  auto matchesAt = [&](std::size_t i) {
    return u[s[i]] == first && compareBytes(text + i, needle, n, ignoreCase) == 0;
  };
  std::size_t const last = L - n;
  std::size_t i = from;
  if (sum == want && matchesAt(i)) return static_cast<unsigned int>(i);
  for (;;) {
#ifdef __SSE2__
    __m128i const zero = _mm_setzero_si128();
    // x + 0x1F lands in 0x80..0x99, the lowest signed bytes, exactly for
    // x in 'a'..'z': one add and one signed compare find the lower case.
    __m128i const bias = _mm_set1_epi8(0x80 - 'a'), limit = _mm_set1_epi8(static_cast<char>(0x80 + 26));
    __m128i const caseBit = _mm_set1_epi8(0x20);
    __m128i const firstByte = _mm_set1_epi8(static_cast<char>(first));
    auto upper = [&](__m128i x) {
      __m128i isLower = _mm_cmplt_epi8(_mm_add_epi8(x, bias), limit);
      return _mm_sub_epi8(x, _mm_and_si128(isLower, caseBit));
    };
    auto prefix = [](__m128i v) {
      v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
      v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
      return _mm_add_epi16(v, _mm_slli_si128(v, 8));
    };
    // Windows i+1 .. i+16 need bytes i .. i+15 leaving and i+n .. i+n+15
    // entering; the last of those is inside the text while i+16 <= last.
    // `target` is want - sum of window i, kept in the vector so that the
    // blocks do not wait on each other through a scalar.
    if (i + 16 <= last) {
      __m128i target = _mm_set1_epi16(static_cast<short>(want - sum));
      do {
        __m128i leaving = upper(_mm_loadu_si128(reinterpret_cast<__m128i const*>(s + i)));
        __m128i entering = upper(_mm_loadu_si128(reinterpret_cast<__m128i const*>(s + i + n)));
        __m128i lo = prefix(_mm_sub_epi16(_mm_unpacklo_epi8(entering, zero), _mm_unpacklo_epi8(leaving, zero)));
        __m128i hi = prefix(_mm_sub_epi16(_mm_unpackhi_epi8(entering, zero), _mm_unpackhi_epi8(leaving, zero)));
        hi = _mm_add_epi16(hi, _mm_shuffle_epi32(_mm_shufflehi_epi16(lo, 0xFF), 0xFF));
        // The first byte must match too: bytes i+1 .. i+16 start the windows.
        __m128i starts =
            _mm_cmpeq_epi8(upper(_mm_loadu_si128(reinterpret_cast<__m128i const*>(s + i + 1))), firstByte);
        int hits = _mm_movemask_epi8(
            _mm_and_si128(starts, _mm_packs_epi16(_mm_cmpeq_epi16(lo, target), _mm_cmpeq_epi16(hi, target))));
        while (hits) {
          std::size_t const at = i + 1 + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned int>(hits)));
          if (matchesAt(at)) return static_cast<unsigned int>(at);
          hits &= hits - 1;
        }
        target = _mm_sub_epi16(target, _mm_shuffle_epi32(_mm_shufflehi_epi16(hi, 0xFF), 0xFF));
        i += 16;
      } while (i + 16 <= last);
      sum = 0;
      for (std::size_t k = 0; k < n; ++k) sum += u[s[i + k]];
    }
#endif
    if (i == last) return npos;
    sum += u[s[i + n]];
    sum -= u[s[i]];
    ++i;
    if (sum == want && matchesAt(i)) return static_cast<unsigned int>(i);
  }
}

unsigned int searchBackward(char const* text, std::size_t L, char const* needle, std::size_t n,
                            std::size_t from, bool ignoreCase) {
  if (n == 0) return static_cast<unsigned int>(from < L ? from : L);
  if (n > L) return npos;
  std::size_t start = from < L - n ? from : L - n;
  unsigned char const* s = reinterpret_cast<unsigned char const*>(text);
  unsigned char const* u = caseTables.upper;
  unsigned int want = 0, sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    want += u[static_cast<unsigned char>(needle[i])];
    sum += u[s[start + i]];
  }
  for (std::size_t i = start;; --i) {
    if (sum == want && compareBytes(text + i, needle, n, ignoreCase) == 0)
      return static_cast<unsigned int>(i);
    if (i == 0) return npos;
    sum += u[s[i - 1]];
    sum -= u[s[i - 1 + n]];
  }
}

// Digits of `magnitude` in `base`, most significant first, after an
// optional '-'.
boost::shared_ptr<__::StringStub> formatNumber(std::uint64_t magnitude, bool negative, unsigned int base) {
  ZU_ASSERT(base >= 2 && base <= 36, "base >= 2 && base <= 36");
  static char const digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  char scratch[66];
  char* end = scratch + sizeof scratch;
  char* p = end;
  do {
    *--p = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  if (negative) *--p = '-';
  return makeCopy(p, static_cast<std::size_t>(end - p));
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return 99;
}

// The 64-bit parser: blanks, an optional sign (signed form only), digits
// below base, accumulated modulo 2^64.
std::uint64_t parse64(char const* s, unsigned int base, bool allowSign) {
  while (isBlank(*s)) ++s;
  bool negative = false;
  if (*s == '-' || *s == '+') {
    if (!allowSign) return 0;
    negative = *s == '-';
    ++s;
  }
  std::uint64_t value = 0;
  for (;; ++s) {
    int d = digitValue(*s);
    if (d >= static_cast<int>(base)) break;
    value = value * base + static_cast<unsigned int>(d);
  }
  return negative ? 0 - value : value;
}

// The length of the UTF-8 form of one wide unit. Units beyond the Unicode
// range have no encoding; they become U+FFFD.
inline unsigned int encodedLength(std::uint32_t u) {
  if (u < 0x80) return 1;
  if (u < 0x800) return 2;
  if (u < 0x10000) return 3;
  if (u <= 0x10FFFF) return 4;
  return 3;
}

char* encodeUnit(char* p, std::uint32_t u) {
  if (u < 0x80) {
    *p++ = static_cast<char>(u);
  } else if (u < 0x800) {
    *p++ = static_cast<char>(0xC0 | (u >> 6));
    *p++ = static_cast<char>(0x80 | (u & 0x3F));
  } else if (u < 0x10000 || u > 0x10FFFF) {
    if (u > 0x10FFFF) u = 0xFFFD;
    *p++ = static_cast<char>(0xE0 | (u >> 12));
    *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (u & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (u >> 18));
    *p++ = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (u & 0x3F));
  }
  return p;
}

// Wide text is UTF-16 where wchar_t has 16 bits (Windows), UTF-32 where it
// has 32.
bool const wideIsUtf16 = sizeof(wchar_t) == 2;

// The code point at text[i] of `units`, and how many units it takes: a
// high surrogate followed by a low one is one code point in UTF-16; any
// other unit stands for itself.
inline std::uint32_t wideCodePoint(wchar_t const* text, unsigned int i, unsigned int units, unsigned int& taken) {
  std::uint32_t const u = static_cast<std::uint32_t>(text[i]) & (wideIsUtf16 ? 0xFFFFu : 0xFFFFFFFFu);
  taken = 1;
  if (wideIsUtf16 && u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
    std::uint32_t const low = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFFu;
    if (low >= 0xDC00 && low < 0xE000) {
      taken = 2;
      return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  return u;
}

// A stub holding the UTF-8 form of the wide text.
boost::shared_ptr<__::StringStub> encodeWide(wchar_t const* text, unsigned int length) {
  if (!text) return boost::shared_ptr<__::StringStub>();
  std::uint64_t bytes = 0;
  unsigned int units = 0;
  while (units < length && text[units] != 0) ++units;
  unsigned int taken = 1;
  for (unsigned int i = 0; i < units; i += taken) bytes += encodedLength(wideCodePoint(text, i, units, taken));
  if (bytes == 0) return boost::shared_ptr<__::StringStub>();
  char* out = allocate(textBytes(0, bytes));
  char* p = out;
  for (unsigned int i = 0; i < units; i += taken) p = encodeUnit(p, wideCodePoint(text, i, units, taken));
  *p = 0;
  return makeStub(out, static_cast<std::size_t>(bytes), static_cast<std::size_t>(bytes) + 1);
}

// A stub holding the text `fmt` and `args` make: in the stub's room when it
// fits, else in a malloc'ed buffer grown until it does. A conversion error
// gives the empty text (no buffer size cures it, so growing would never end).
boost::shared_ptr<__::StringStub> formatStub(char const* fmt, va_list args) {
  boost::shared_ptr<__::StringStub> stub = makeStub();
  OwnedStub& o = owned(*stub);
  va_list copy;
  va_copy(copy, args);
  int result = std::vsnprintf(o.room, roomSize, fmt, copy);
  va_end(copy);
  if (result <= 0) return stub;
  if (static_cast<std::size_t>(result) < roomSize) {
    o.text = o.room;
    o.capacity = roomSize;
    o.size = static_cast<unsigned int>(result);
    return stub;
  }
  for (;;) {
    std::size_t const size = static_cast<std::size_t>(result) + 1;
    char* grown = static_cast<char*>(std::realloc(o.text, size));
    if (!grown) throw std::bad_alloc();  // the stub still owns the old block
    o.text = grown;
    o.capacity = static_cast<unsigned int>(size);
    va_copy(copy, args);
    result = std::vsnprintf(o.text, size, fmt, copy);
    va_end(copy);
    if (result < 0) {
      std::free(o.text);
      o.text = nullptr;
      o.capacity = 0;
      return stub;
    }
    if (static_cast<std::size_t>(result) < size) {
      o.size = static_cast<unsigned int>(result);
      return stub;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

// The empty text, default-made or moved from, has no stub at all: every
// operation reads a missing stub as the empty text and makes one when it
// first writes. Empty strings are common (fields of requests and records)
// and cost nothing this way.
String::String() {}

String::String(char const* text, unsigned int length)
    : stub_(makeCopy(text, text ? __::boundedLength(text, length) : 0)) {}

String::String(wchar_t const* text, unsigned int length) : stub_(encodeWide(text, length)) {}

String::String(boost::shared_array<wchar_t> text, unsigned int length)
    : stub_(encodeWide(text.get(), length)) {}

String::String(int value, unsigned int base)
    : stub_(formatNumber(value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value),
                               value < 0, base)) {}

String::String(unsigned int value, unsigned int base) : stub_(formatNumber(value, false, base)) {}

String::String(std::int64_t value, unsigned int base)
    : stub_(formatNumber(value < 0 ? 0u - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value),
                               value < 0, base)) {}

String::String(std::uint64_t value, unsigned int base) : stub_(formatNumber(value, false, base)) {}

String::String(double value, unsigned int precision)
    : String(precision == npos ? printf("%f", value) : printf("%0.*f", static_cast<int>(precision), value)) {}

String::String(String&& other) noexcept : stub_(std::move(other.stub_)) {}

String& String::operator=(String&& other) noexcept {
  // Leaves `other` empty (no stub), which every operation accepts.
  stub_ = std::move(other.stub_);
  return *this;
}

String& String::operator=(char const* text) {
  String fresh(text);  // built before the old text goes: `text` may point into it
  stub_.swap(fresh.stub_);
  return *this;
}

// ---------------------------------------------------------------------------
// Queries


bool String::empty() const {
  char const* t = stub_ ? stub_->text : nullptr;
  return !t || !*t;
}

char const* String::cstr() const {
  char const* t = stub_ ? stub_->text : nullptr;
  return t ? t : "";
}

bool String::unique() const { return !stub_ || stub_.use_count() == 1; }

boost::shared_array<wchar_t> String::toUTF16() const {
  unsigned char const* s = reinterpret_cast<unsigned char const*>(cstr());
  std::size_t const L = lengthOf(stub_.get());
  boost::shared_array<wchar_t> out(new wchar_t[L + 1]());
  wchar_t* o = out.get();
  std::size_t i = 0;
  while (i < L) {
    unsigned int b = s[i];
    if (b < 0x80) {
      *o++ = static_cast<wchar_t>(b);
      i += 1;
    } else if ((b & 0xE0) == 0xC0) {
      if (i + 1 < L) *o++ = static_cast<wchar_t>(((b & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else if ((b & 0xF0) == 0xE0) {
      if (i + 2 < L)
        *o++ = static_cast<wchar_t>(((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
      i += 3;
    } else {
      std::size_t skip = (b & 0xF8) == 0xF0 ? 4 : (b & 0xFC) == 0xF8 ? 5 : 6;
      if (i + skip > L) break;
      if (skip == 4) {
        std::uint32_t const point = ((b & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                                    (s[i + 3] & 0x3F);
        if (wideIsUtf16 && point >= 0x10000 && point <= 0x10FFFF) {
          // A surrogate pair: two units for four bytes, so the buffer of
          // L + 1 units still holds the text.
          *o++ = static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
          *o++ = static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
          // A 32-bit unit holds any code point.
          *o++ = static_cast<wchar_t>(point);
        }
      } else
        *o++ = static_cast<wchar_t>(0xFFFF);
      i += skip;
    }
  }
  *o = 0;
  return out;
}

int String::toInteger(unsigned int base) const {
  ZU_ASSERT(base >= 2 && base <= 36, "base >= 2 && base <= 36");
  if (empty()) return 0;
  // long is 64 bits here; saturate to the range of int as a 32-bit strtol
  // would, instead of wrapping.
  long v = std::strtol(cstr(), nullptr, static_cast<int>(base));
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

unsigned int String::toUnsigned(unsigned int base) const {
  ZU_ASSERT(base >= 2 && base <= 36, "base >= 2 && base <= 36");
  if (empty()) return 0;
  // Mirror a 32-bit strtoul: a magnitude beyond 32 bits saturates to the
  // maximum, and a negated magnitude wraps within 32 bits.
  char const* s = cstr();
  while (isBlank(*s)) ++s;
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  if (*s == '-' || *s == '+' || isBlank(*s)) return 0;  // one sign, digits right behind it
  errno = 0;
  unsigned long long magnitude = std::strtoull(s, nullptr, static_cast<int>(base));
  if (errno == ERANGE || magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  unsigned int v = static_cast<unsigned int>(magnitude);
  return negative ? 0u - v : v;
}

std::int64_t String::toInt64(unsigned int base) const {
  ZU_ASSERT(base >= 2 && base <= 36, "base >= 2 && base <= 36");
  return static_cast<std::int64_t>(parse64(cstr(), base, true));
}

std::uint64_t String::toUnsigned64(unsigned int base) const {
  ZU_ASSERT(base >= 2 && base <= 36, "base >= 2 && base <= 36");
  return parse64(cstr(), base, false);
}

double String::toReal() const {
  if (empty()) return 0.0;
  return std::strtod(cstr(), nullptr);
}

// ---------------------------------------------------------------------------
// Searches

unsigned int String::find(char const* needle, unsigned int from, bool ignoreCase) const {
  ZU_ASSERT(needle, "cstr");
  char const* t = cstr();
  return searchForward(t, lengthOf(stub_.get()), needle, std::strlen(needle), from, ignoreCase);
}

unsigned int String::find(char c, unsigned int from, bool ignoreCase) const {
  char const* t = cstr();
  std::size_t const L = lengthOf(stub_.get());
  if (from >= L) return npos;
  if (!ignoreCase) {
    void const* hit = std::memchr(t + from, c, L - from);
    return hit ? static_cast<unsigned int>(static_cast<char const*>(hit) - t) : npos;
  }
  unsigned char const want = up(c);
  for (std::size_t i = from; i < L; ++i)
    if (up(t[i]) == want) return static_cast<unsigned int>(i);
  return npos;
}

unsigned int String::find(String const& needle, unsigned int from, bool ignoreCase) const {
  return find(needle.cstr(), from, ignoreCase);
}

unsigned int String::findLast(char const* needle, unsigned int from, bool ignoreCase) const {
  ZU_ASSERT(needle, "cstr");
  char const* t = cstr();
  return searchBackward(t, lengthOf(stub_.get()), needle, std::strlen(needle), from, ignoreCase);
}

unsigned int String::findLast(char c, unsigned int from, bool ignoreCase) const {
  char const* t = cstr();
  std::size_t const L = lengthOf(stub_.get());
  if (L == 0) return npos;
  std::size_t start = from < L - 1 ? from : L - 1;
  if (!ignoreCase) {
    char const* hit = __::findLastByte(t, c, start + 1);
    return hit ? static_cast<unsigned int>(hit - t) : npos;
  }
  unsigned char const want = up(c);
  for (std::size_t i = start + 1; i-- > 0;)
    if (up(t[i]) == want) return static_cast<unsigned int>(i);
  return npos;
}

unsigned int String::findLast(String const& needle, unsigned int from, bool ignoreCase) const {
  return findLast(needle.cstr(), from, ignoreCase);
}

unsigned int String::findOneOf(char const* chars, unsigned int from, bool ignoreCase) const {
  ZU_ASSERT(chars, "chars");
  if (!*chars) return npos;
  char const* t = cstr();
  std::size_t const L = lengthOf(stub_.get());
  if (from >= L) return npos;
  ByteSet set(chars, ignoreCase);
  for (std::size_t i = from; i < L; ++i)
    if (set.has(t[i])) return static_cast<unsigned int>(i);
  return npos;
}

unsigned int String::findOneOf(String const& chars, unsigned int from, bool ignoreCase) const {
  return findOneOf(chars.cstr(), from, ignoreCase);
}

bool String::startsWith(char const* prefix, bool ignoreCase) const {
  ZU_ASSERT(prefix, "cstr");
  std::size_t const n = std::strlen(prefix);
  if (n == 0) return true;
  char const* t = cstr();
  // compareBytes stops at this text's NUL, so a longer prefix never matches.
  return compareBytes(t, prefix, n, ignoreCase) == 0;
}

bool String::startsWith(String const& prefix, bool ignoreCase) const {
  return startsWith(prefix.cstr(), ignoreCase);
}

bool String::endsWith(char const* suffix, bool ignoreCase) const {
  ZU_ASSERT(suffix, "cstr");
  std::size_t const n = std::strlen(suffix);
  if (n == 0) return true;
  char const* t = cstr();
  std::size_t const L = lengthOf(stub_.get());
  if (L == 0 || n > L) return false;
  return compareTexts(t + L - n, suffix, ignoreCase) == 0;
}

bool String::endsWith(String const& suffix, bool ignoreCase) const {
  return endsWith(suffix.cstr(), ignoreCase);
}

int String::compare(char const* other, bool ignoreCase) const {
  ZU_ASSERT(other, "other");
  return compareTexts(cstr(), other, ignoreCase);
}

int String::compare(String const& other, bool ignoreCase) const {
  if (stub_ == other.stub_) return 0;
  return compareTexts(cstr(), other.cstr(), ignoreCase);
}

// ---------------------------------------------------------------------------
// Copies

String String::mid(unsigned int pos, unsigned int count) const {
  char const* t = cstr();
  std::size_t const L = lengthOf(stub_.get());
  String result;
  if (count == 0 || pos >= L) return result;
  std::size_t n = L - pos;
  if (count < n) n = count;
  result.stub_ = makeCopy(t + pos, n);
  return result;
}

String String::left(unsigned int count) const { return mid(0, count); }

String String::right(unsigned int count) const {
  unsigned int const L = length();
  if (L > count) return mid(L - count);
  return *this;
}

String String::toLeftTrimed() const { return String(*this).leftTrim(); }
String String::toRightTrimed() const { return String(*this).rightTrim(); }
String String::toTrimed() const { return String(*this).trim(); }
String String::toUpper() const { return String(*this).makeUpper(); }
String String::toLower() const { return String(*this).makeLower(); }

TArray<String> String::lines() const {
  TArray<String> result;
  char const* t = cstr();
  unsigned int rest = static_cast<unsigned int>(lengthOf(stub_.get()));
  while (rest > 0) {
    unsigned int lineLength = 0, consumed = 0;
    if (!__::findLineEnd(t, rest, lineLength, consumed)) {
      result.append(String(t, rest));
      break;
    }
    result.append(String(t, lineLength));
    t += consumed;
    rest -= consumed;
  }
  return result;
}

TArray<String> String::tokenise(char const* separators, bool keepEmpty, bool ignoreCase) const {
  ZU_ASSERT(separators, "separators");
  TArray<String> result;
  char const* t = cstr();
  std::size_t const L = lengthOf(stub_.get());
  if (!*separators || L == 0) return result;
  ByteSet set(separators, ignoreCase);
  std::size_t s = 0;
  for (std::size_t i = 0; i < L; ++i) {
    if (!set.has(t[i])) continue;
    if (i > s || keepEmpty) result.append(String(t + s, static_cast<unsigned int>(i - s)));
    s = i + 1;
  }
  if (s < L || keepEmpty) result.append(String(t + s, static_cast<unsigned int>(L - s)));
  return result;
}

TArray<String> String::tokenise(char separator, bool keepEmpty, bool ignoreCase) const {
  char const set[2] = {separator, 0};
  return tokenise(set, keepEmpty, ignoreCase);
}

TArray<String> String::tokenise(String const& separators, bool keepEmpty, bool ignoreCase) const {
  return tokenise(separators.cstr(), keepEmpty, ignoreCase);
}

// ---------------------------------------------------------------------------
// Mutators
//
// Each one changes the buffer in place only when this string is its sole
// owner and the argument does not point into it; otherwise the new text is
// built in a fresh buffer (reading the argument from the old one, which
// stays alive until the stub is swapped) and the other sharers keep theirs.

namespace {

// Whether p points anywhere into the block that holds the stub's text,
// including spare room behind the NUL.
bool pointsInto(char const* p, __::StringStub const* stub) {
  char const* text = stub ? stub->text : nullptr;
  if (!text || !p || p < text) return false;
  return p < text + owned(*stub).capacity;
}

}  // namespace

void String::appendBytes(char const* text, std::size_t n) {
  if (n == 0) return;
  std::size_t const L = lengthOf(stub_.get());
  std::size_t const bytes = textBytes(L, n);
  if (soleOwner(stub_) && !pointsInto(text, stub_.get())) {
    char* own = reserveText(*stub_, bytes);
    std::memcpy(own + L, text, n);
    own[L + n] = 0;
    setLength(*stub_, L + n);
    return;
  }
  boost::shared_ptr<__::StringStub> stub = makeStub();
  char* fresh = resizeText(*stub, bytes);
  if (L) std::memcpy(fresh, stub_->text, L);
  std::memcpy(fresh + L, text, n);
  fresh[L + n] = 0;
  setLength(*stub, L + n);
  stub_.swap(stub);
}

String& String::append(char const* text) {
  if (text) appendBytes(text, std::strlen(text));
  return *this;
}

String& String::appendSlow(char c) {
  if (c == 0) return *this;
  char const text[2] = {c, 0};
  appendBytes(text, 1);
  return *this;
}

String& String::append(String const& text) {
  appendBytes(text.cstr(), lengthOf(text.stub_.get()));
  return *this;
}

String& String::append(String&& text) {
  if (empty()) {
    // Nothing to keep: the text's buffer becomes this string's.
    boost::shared_ptr<__::StringStub> taken(std::move(text.stub_));
    if (taken) stub_.swap(taken);
    return *this;
  }
  return append(static_cast<String const&>(text));
}

String& String::splice(char const* text, unsigned int pos, unsigned int count) {
  ZU_ASSERT(text, "cstr");
  std::size_t const L = lengthOf(stub_.get());
  if (pos >= L) return append(text);
  char* own = stub_->text;
  std::size_t const n = std::strlen(text);
  if (n == 0 && count == 0) return *this;
  std::size_t const cut = count < L - pos ? count : L - pos;
  std::size_t const newLength = textBytes(L - cut, n) - 1;
  if (soleOwner(stub_) && !pointsInto(text, stub_.get())) {
    if (newLength > L) {
      own = reserveText(*stub_, newLength + 1);
    }
    std::memmove(own + pos + n, own + pos + cut, L - pos - cut);
    std::memcpy(own + pos, text, n);
    own[newLength] = 0;
    setLength(*stub_, newLength);
    return *this;
  }
  char* fresh = nullptr;
  if (newLength) {
    fresh = allocate(newLength + 1);
    std::memcpy(fresh, own, pos);
    std::memcpy(fresh + pos, text, n);
    std::memcpy(fresh + pos + n, own + pos + cut, L - pos - cut);
    fresh[newLength] = 0;
  }
  stub_ = makeStub(fresh, newLength, fresh ? newLength + 1 : 0);
  return *this;
}

String& String::splice(char c, unsigned int pos, unsigned int count) {
  char const text[2] = {c, 0};
  return splice(text, pos, count);
}

String& String::splice(String const& text, unsigned int pos, unsigned int count) {
  return splice(text.cstr(), pos, count);
}

String& String::erase(unsigned int pos, unsigned int count) { return splice("", pos, count); }

bool String::replace(char const* target, char const* subs, bool all, unsigned int from, bool ignoreCase) {
  ZU_ASSERT(target, "target");
  ZU_ASSERT(subs, "subs");
  // An empty target is found everywhere; replacing it would never end.
  if (!*target) return false;
  char* own = stub_ ? stub_->text : nullptr;
  std::size_t const L = lengthOf(stub_.get());
  std::size_t const t = std::strlen(target);
  std::size_t const n = std::strlen(subs);
  // The text behind an inserted replacement is the original text, so
  // resuming the search behind it is resuming it behind the match in the
  // original: all matches can be found first and spliced in one pass.
  std::vector<std::size_t> hits;
  for (std::size_t p = from; p < L;) {
    unsigned int hit = searchForward(own, L, target, t, p, ignoreCase);
    if (hit == npos) break;
    hits.push_back(hit);
    if (!all) break;
    p = hit + t;
  }
  if (hits.empty()) return false;
  std::size_t const newLength = textBytes(L - hits.size() * t, std::uint64_t(hits.size()) * n) - 1;
  bool const aliased = pointsInto(target, stub_.get()) || pointsInto(subs, stub_.get());
  if (soleOwner(stub_) && !aliased) {
    if (n <= t) {
      // Shrinking or equal: compact from the left.
      char* w = own + hits[0];
      std::size_t r = hits[0];
      for (std::size_t k = 0; k < hits.size(); ++k) {
        std::size_t const keep = hits[k] - r;
        std::memmove(w, own + r, keep);
        w += keep;
        std::memcpy(w, subs, n);
        w += n;
        r = hits[k] + t;
      }
      std::memmove(w, own + r, L - r);
      own[newLength] = 0;
    } else {
      // Growing: widen the block and fill from the right.
      own = reserveText(*stub_, newLength + 1);
      std::size_t w = newLength;
      std::size_t end = L;
      own[newLength] = 0;
      for (std::size_t k = hits.size(); k-- > 0;) {
        std::size_t const tail = end - (hits[k] + t);
        w -= tail;
        std::memmove(own + w, own + hits[k] + t, tail);
        w -= n;
        std::memcpy(own + w, subs, n);
        end = hits[k];
      }
    }
    setLength(*stub_, newLength);
    return true;
  }
  char* fresh = nullptr;
  if (newLength) {
    fresh = allocate(newLength + 1);
    char* w = fresh;
    std::size_t r = 0;
    for (std::size_t k = 0; k < hits.size(); ++k) {
      std::memcpy(w, own + r, hits[k] - r);
      w += hits[k] - r;
      std::memcpy(w, subs, n);
      w += n;
      r = hits[k] + t;
    }
    std::memcpy(w, own + r, L - r);
    fresh[newLength] = 0;
  }
  stub_ = makeStub(fresh, newLength, fresh ? newLength + 1 : 0);
  return true;
}

bool String::replace(String const& target, String const& subs, bool all, unsigned int from, bool ignoreCase) {
  return replace(target.cstr(), subs.cstr(), all, from, ignoreCase);
}

String& String::leftTrim() {
  char* own = stub_ ? stub_->text : nullptr;
  if (!own) return *this;
  std::size_t k = 0;
  while (isBlank(own[k])) ++k;
  if (k == 0) return *this;
  std::size_t const rest = lengthOf(stub_.get()) - k;
  if (soleOwner(stub_)) {
    std::memmove(own, own + k, rest + 1);
    setLength(*stub_, rest);
    return *this;
  }
  stub_ = makeCopy(own + k, rest);
  return *this;
}

String& String::rightTrim() {
  char* own = stub_ ? stub_->text : nullptr;
  if (!own) return *this;
  std::size_t const L = lengthOf(stub_.get());
  std::size_t keep = L;
  while (keep > 0 && isBlank(own[keep - 1])) --keep;
  if (keep == L) return *this;
  if (soleOwner(stub_)) {
    own[keep] = 0;
    setLength(*stub_, keep);
    return *this;
  }
  stub_ = makeCopy(own, keep);
  return *this;
}

String& String::trim() {
  leftTrim();
  return rightTrim();
}

namespace {

void mapBytes(boost::shared_ptr<__::StringStub>& stub, bool sole, unsigned char const* table) {
  char* own = stub ? stub->text : nullptr;
  if (!own || !*own) return;
  std::size_t const L = lengthOf(stub.get());
  char* target = sole ? own : allocate(L + 1);
  for (std::size_t i = 0; i <= L; ++i) target[i] = static_cast<char>(table[static_cast<unsigned char>(own[i])]);
  if (sole)
    setLength(*stub, L);
  else
    stub = makeStub(target, L, L + 1);
}

}  // namespace

String& String::makeUpper() {
  mapBytes(stub_, soleOwner(stub_), caseTables.upper);
  return *this;
}

String& String::makeLower() {
  mapBytes(stub_, soleOwner(stub_), caseTables.lower);
  return *this;
}

// The caller may write into the block until the next mutator, so the length
// is marked unknown and measured until then.
char* String::getBuffer(unsigned int size) {
  ZU_ASSERT(size <= maxTextLength, "length <= 0xFFFFFFFE");
  std::size_t const L = lengthOf(stub_.get());
  if (soleOwner(stub_)) {
    char* own = stub_->text;
    if (L < size || L == 0) {
      if (std::size_t(size) + 1 > owned(*stub_).capacity) own = resizeText(*stub_, std::size_t(size) + 1);
      std::memset(own + L, 0, std::size_t(size) + 1 - L);
    }
    setLength(*stub_, unknownLength);
    return own;
  }
  std::size_t const bytes = (L > size ? L : size) + std::size_t(1);
  boost::shared_ptr<__::StringStub> stub = makeStub();
  char* fresh = resizeText(*stub, bytes);
  if (L) std::memcpy(fresh, stub_->text, L);
  std::memset(fresh + L, 0, bytes - L);
  setLength(*stub, unknownLength);
  stub_.swap(stub);
  return fresh;
}

String& String::makeCompact() {
  std::size_t const L = lengthOf(stub_.get());
  if (soleOwner(stub_) && L != 0) {
    OwnedStub& o = owned(*stub_);
    o.size = static_cast<unsigned int>(L);
    if (inRoom(o)) return *this;
    char* own = o.text;
    if (L < roomSize) {
      std::memcpy(o.room, own, L + 1);
      o.text = o.room;
      o.capacity = roomSize;
      std::free(own);
      return *this;
    }
    char* p = static_cast<char*>(std::realloc(own, L + 1));
    if (p) {  // a failed shrink leaves the old block in place
      o.text = p;
      o.capacity = static_cast<unsigned int>(L + 1);
    }
    return *this;
  }
  stub_ = makeCopy(cstr(), L);
  return *this;
}

// ---------------------------------------------------------------------------
// Formatting and operators

namespace {

// Ends an argument list on every way out of the function that started it.
struct EndArguments {
  va_list& args;
  ~EndArguments() { va_end(args); }
};

}  // namespace

String String::printf(char const* fmt, ...) {
  ZU_ASSERT(fmt, "fmt");
  va_list args;
  va_start(args, fmt);
  EndArguments end{args};
  String result;
  result.stub_ = formatStub(fmt, args);
  return result;
}

String String::printfUnchecked(char const* fmt, ...) {
  ZU_ASSERT(fmt, "fmt");
  va_list args;
  va_start(args, fmt);
  EndArguments end{args};
  String result;
  result.stub_ = formatStub(fmt, args);
  return result;
}

String operator+(String const& a, String const& b) {
  String result(a);
  result.append(b);
  return result;
}

String operator+(String const& a, char const* b) {
  String result(a);
  result.append(b);
  return result;
}

String operator+(char const* a, String const& b) {
  String result(a);
  result.append(b);
  return result;
}

String operator+(String const& a, char b) {
  String result(a);
  result.append(b);
  return result;
}

}  // namespace zu
