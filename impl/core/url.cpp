// zu::URL: parsing with relative resolution, path normalisation, the query
// parameters, and percent-encoded output.
#include <zu/url.h>

#include <cstring>
#include <memory>
#include <vector>

#include <boost/make_shared.hpp>

#include "core/startup.h"
#include "core/byte_buffer.h"
#include "core/text.h"
#include "platform/platform.h"

namespace zu {

namespace {

// The common texts that parsed URLs share. Copying one only raises a
// reference count, so a URL whose scheme is one of these costs no
// allocation for it. Each thread has its own set, so that threads parsing
// side by side do not contend for one reference count.
struct URLConstants {
  String http;
  String https;
  String file;
  String slash;
  URLConstants() : http("http"), https("https"), file("file"), slash("/") {}
};

URLConstants const& urlConstants() {
  ZU_THREAD_OBJECT(URLConstants, constants);
  return constants;
}

// Values that hold no representation at all, as a String or TArray is left
// after a move: empty for every operation, and copying or dropping one
// touches no reference count and allocates nothing. Missing parts of a URL
// are copies of these.
struct Empties {
  __::URLStub stub;
  StringPair pair;
};

template <class T>
void dropRepresentation(T& value) {
  T taken(std::move(value));
}

Empties makeEmpties() {
  Empties e;
  dropRepresentation(e.stub.scheme);
  dropRepresentation(e.stub.userInfo);
  dropRepresentation(e.stub.hostName);
  dropRepresentation(e.stub.path);
  dropRepresentation(e.stub.queries);
  dropRepresentation(e.stub.fragment);
  dropRepresentation(e.pair.name);
  dropRepresentation(e.pair.value);
  return e;
}

Empties const& empties() {
  static Empties const values = makeEmpties();
  return values;
}

inline __::URLStub const& emptyStub() { return empties().stub; }
inline String const& emptyText() { return empties().stub.path; }

// ---------------------------------------------------------------------------
// Byte classes

// Bits of the class table.
enum : unsigned char {
  CLASS_KEEP = 1,    // copied unchanged by encode
  CLASS_SCHEME = 2,  // allowed in a scheme
  CLASS_WHITE = 4,   // ASCII white space
  CLASS_PATH = 8,    // copied unchanged into a path: CLASS_KEEP and "/"
};

struct ClassTable {
  unsigned char bits[256];
  constexpr ClassTable() : bits() {
    for (int c = 0; c < 256; ++c) {
      bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      unsigned char b = 0;
      if (alnum) b |= CLASS_KEEP | CLASS_SCHEME;
      if (c == '+' || c == '-' || c == '.') b |= CLASS_SCHEME;
      if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') b |= CLASS_WHITE;
      bits[c] = b;
    }
    for (char const* k = "-_.!~*'():"; *k; ++k) bits[static_cast<unsigned char>(*k)] |= CLASS_KEEP;
    for (int c = 0; c < 256; ++c)
      if ((bits[c] & CLASS_KEEP) || c == '/') bits[c] |= CLASS_PATH;
  }
};
constexpr ClassTable classes;

inline bool hasClass(char c, unsigned char bit) { return (classes.bits[static_cast<unsigned char>(c)] & bit) != 0; }

using ::zu::__::hexValue;
using ::zu::__::lowerAscii;

bool isValidScheme(char const* p, std::size_t n) {
  if (n == 0) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (!hasClass(p[i], CLASS_SCHEME)) return false;
  return true;
}

// `b` is `m` bytes long.
bool equalsIgnoreCase(char const* a, std::size_t n, char const* b, std::size_t m) {
  if (m != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

// Position of the first `c` in [from, to), or `to`. Most ranges searched
// are a few bytes long, where a plain loop beats a call to memchr.
inline std::size_t findByte(char const* p, std::size_t from, std::size_t to, char c) {
  if (from >= to) return to;
  if (to - from > 16) {
    void const* hit = std::memchr(p + from, c, to - from);
    return hit ? static_cast<std::size_t>(static_cast<char const*>(hit) - p) : to;
  }
  while (from < to && p[from] != c) ++from;
  return from;
}

// ---------------------------------------------------------------------------
// A growable byte buffer that lives on the stack for ordinary URL sizes, so
// that building a part costs only the allocation of the resulting String.
typedef __::ByteBuffer<256> TextBuffer;

// The buffer's text, sharing the constant for the frequent empty and "/".
String textOf(TextBuffer const& buffer) {
  if (buffer.empty()) return emptyText();
  if (buffer.size() == 1 && buffer.back() == '/') return urlConstants().slash;
  return String(buffer.data(), static_cast<unsigned int>(buffer.size()));
}

// ---------------------------------------------------------------------------
// Percent-encoding

std::size_t encodedLength(char const* p, std::size_t n) {
  std::size_t length = n;
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && !hasClass(p[i], CLASS_KEEP)) length += 2;
  return length;
}

// Appends the encoding of [p, p+n).
void encodeInto(TextBuffer& out, char const* p, std::size_t n) {
  static char const digits[] = "0123456789abcdef";
  char* w = out.tail(n * 3);
  char* const begin = w;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (classes.bits[c] & CLASS_KEEP) {
      *w++ = static_cast<char>(c);
    } else if (c == ' ') {
      *w++ = '+';
    } else {
      *w++ = '%';
      *w++ = digits[c >> 4];
      *w++ = digits[c & 15];
    }
  }
  out.commit(static_cast<std::size_t>(w - begin));
}

// encodeInto for a whole NUL-terminated part, read in one pass without
// measuring it first (most parts are a few bytes long). With keepSlash, "/"
// stays as it is: the separators of a path.
void encodeText(TextBuffer& out, char const* p, bool keepSlash) {
  static char const digits[] = "0123456789abcdef";
  unsigned char const copied = keepSlash ? CLASS_PATH : CLASS_KEEP;
  std::size_t const chunk = 64;  // source bytes per check of the room left
  while (*p) {
    char* w = out.tail(chunk * 3);
    char* const begin = w;
    for (char const* const stop = p + chunk; p != stop; ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      if (classes.bits[c] & copied) {
        *w++ = static_cast<char>(c);
      } else if (c == ' ') {
        *w++ = '+';
      } else if (c == 0) {
        break;
      } else {
        *w++ = '%';
        *w++ = digits[c >> 4];
        *w++ = digits[c & 15];
      }
    }
    out.commit(static_cast<std::size_t>(w - begin));
  }
}

// The decoded text is never longer than the input. Every look-ahead is
// bounded by `n`: a "%" near the end is copied literally. "%00" is also kept
// literally: a String cannot hold a NUL, and cutting the text there would
// silently lose everything behind it (and let "a%00.b" pass for "a").
void decodeInto(TextBuffer& out, char const* p, std::size_t n) {
  char* w = out.tail(n);
  char* const begin = w;
  for (std::size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (c == '+') {
      *w++ = ' ';
    } else if (c == '%' && n - i > 2) {
      int hi = hexValue(p[i + 1]);
      int lo = hi < 0 ? -1 : hexValue(p[i + 2]);
      if (lo >= 0 && (hi | lo) != 0) {
        *w++ = static_cast<char>(hi * 16 + lo);
        i += 2;
      } else {
        *w++ = c;
      }
    } else {
      *w++ = c;
    }
  }
  out.commit(static_cast<std::size_t>(w - begin));
}

bool needsDecoding(char const* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] == '%' || p[i] == '+') return true;
  return false;
}

// Decodes straight into the String's own buffer, which getBuffer hands out
// zero-filled: a shorter decoded text is terminated where it ends.
String decodeRange(char const* p, std::size_t n) {
  if (n == 0) return emptyText();
  if (!needsDecoding(p, n)) return String(p, static_cast<unsigned int>(n));
  String text = emptyText();
  char* w = text.getBuffer(static_cast<unsigned int>(n));
  for (std::size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && n - i > 2) {
      int hi = hexValue(p[i + 1]);
      int lo = hi < 0 ? -1 : hexValue(p[i + 2]);
      if (lo >= 0 && (hi | lo) != 0) {
        c = static_cast<char>(hi * 16 + lo);
        i += 2;
      }
    }
    *w++ = c;
  }
  return text;
}

// ---------------------------------------------------------------------------
// Path normalisation

// True when normalising would change nothing: no backslash, no "//", and no
// segment that is "." or "..".
bool isNormalPath(char const* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (c == '\\') return false;
    if (c == '/') {
      if (i + 1 < n && p[i + 1] == '/') return false;
    } else if (c == '.' && (i == 0 || p[i - 1] == '/')) {
      std::size_t j = i + 1;
      if (j < n && p[j] == '.') ++j;
      if (j == n || p[j] == '/' || p[j] == '\\') return false;
    }
  }
  return true;
}

// Appends the normalised form of [p, p+n) to `out` (which must be empty).
//
// Backslashes become slashes, "//" and "/./" collapse to "/" (repeatedly),
// every ".." segment removes the segment before it, then a leading "./" is
// dropped when something follows and a trailing "/." loses its ".".
//
// A ".." only removes a preceding ordinary segment. With nothing to remove
// (at the start, as in "/../x" or "../x", after a kept "..", or after a
// leading ".") it is kept, so a run of ".." segments resolves as far as the
// text allows ("/a/../../x" gives "/../x", "x/../../y" gives "../y") and
// nothing before the start of the buffer is ever looked at. A ".." that
// removes the first segment of a relative path leaves the rest ("x/../y"
// gives "y"). The scan is a single pass: each byte is written once and
// removed at most once.
void normalizeInto(TextBuffer& out, char const* p, std::size_t n) {
  // First pass: separators unified, repeated separators and "/./" dropped
  // as they are met.
  TextBuffer flat;
  char* w = flat.tail(n);
  char* const begin = w;
  for (std::size_t i = 0; i < n; ++i) {
    char c = p[i] == '\\' ? '/' : p[i];
    bool afterSlash = w != begin && w[-1] == '/';
    if (c == '/' && afterSlash) continue;
    if (c == '.' && afterSlash && i + 1 < n && (p[i + 1] == '/' || p[i + 1] == '\\')) continue;
    *w++ = c;
  }
  flat.commit(static_cast<std::size_t>(w - begin));

  // ".." segments, with the output as a stack of segments, each followed by
  // its "/" (all but the last). `bottom` is where the first segment starts.
  char const* t = flat.data();
  std::size_t const length = flat.size();
  std::size_t const bottom = (length != 0 && t[0] == '/') ? 1 : 0;
  if (bottom) out.append('/');
  std::size_t i = bottom;
  while (i < length) {
    std::size_t j = findByte(t, i, length, '/');
    if (j - i == 2 && t[i] == '.' && t[i + 1] == '.' && out.size() > bottom) {
      // The output ends with "/" here; look at the segment before it.
      std::size_t const end = out.size() - 1;
      std::size_t segStart = end;
      while (segStart > bottom && out.data()[segStart - 1] != '/') --segStart;
      char const* seg = out.data() + segStart;
      std::size_t const segLength = end - segStart;
      bool const kept = (segLength == 1 && seg[0] == '.') || (segLength == 2 && seg[0] == '.' && seg[1] == '.');
      if (!kept) {
        out.truncate(segStart);
        i = j + 1;
        continue;
      }
    }
    out.append(t + i, j - i);
    if (j < length) out.append('/');
    i = j + 1;
  }

  if (out.size() > 2 && out.data()[0] == '.' && out.data()[1] == '/') out.erasePrefix(2);
  if (out.size() >= 2 && out.back() == '.' && out.data()[out.size() - 2] == '/') out.pop();
}

String normalizePath(String const& path) {
  char const* p = path.cstr();
  std::size_t n = path.length();
  if (isNormalPath(p, n)) return path;
  TextBuffer out;
  normalizeInto(out, p, n);
  return textOf(out);
}

// ---------------------------------------------------------------------------

// The query text (without "?") split at "&", each non-empty piece split at
// its first "=" into a decoded name and value.
void parseQueries(TArray<StringPair>& queries, char const* p, std::size_t n) {
  unsigned int count = 0;
  for (std::size_t i = 0; i < n;) {
    std::size_t end = findByte(p, i, n, '&');
    if (end > i) ++count;
    i = end + 1;
  }
  if (count == 0) return;
  // One growth of the array; the pairs are then filled in place.
  unsigned int slot = queries.size();
  queries.resize(slot + count, empties().pair);
  for (std::size_t i = 0; i < n;) {
    std::size_t end = findByte(p, i, n, '&');
    if (end > i) {
      std::size_t eq = findByte(p, i, end, '=');
      StringPair& pair = queries(slot++);
      pair.name = decodeRange(p + i, eq - i);
      if (eq < end) pair.value = decodeRange(p + eq + 1, end - eq - 1);
    }
    i = end + 1;
  }
}

// The scheme in lower case; the frequent ones shared.
String lowerScheme(char const* scheme, std::size_t length) {
  if (length == 0) return emptyText();
  if (equalsIgnoreCase(scheme, length, "http", 4)) return urlConstants().http;
  if (equalsIgnoreCase(scheme, length, "https", 5)) return urlConstants().https;
  if (equalsIgnoreCase(scheme, length, "file", 4)) return urlConstants().file;
  String lower(scheme, static_cast<unsigned int>(length));
  lower.makeLower();
  return lower;
}

// The path of a parsed URL from the path text [p, p+n) and the inherited
// path: an absolute text replaces it, a relative one replaces its last
// segment; no text but a query keeps the inherited path up to its last "/".
String mergePath(String const& inherited, char const* p, std::size_t n, bool queryGiven, bool hasAuthority) {
  if (n == 0) {
    char const* text = inherited.cstr();
    if (queryGiven) {
      char const* slash = std::strrchr(text, '/');
      if (!slash) return urlConstants().slash;
      if (slash[1] != '\0') return normalizePath(String(text, static_cast<unsigned int>(slash - text) + 1));
    }
    return *text ? normalizePath(inherited) : urlConstants().slash;
  }
  if (p[0] == '/' && !needsDecoding(p, n) && isNormalPath(p, n))
    return n == 1 ? urlConstants().slash : String(p, static_cast<unsigned int>(n));  // the usual case
  TextBuffer merged;
  if (p[0] != '/') {
    char const* text = inherited.cstr();
    char const* slash = std::strrchr(text, '/');
    if (slash)
      merged.append(text, static_cast<std::size_t>(slash - text) + 1);
    else if (hasAuthority)
      merged.append('/');
  }
  decodeInto(merged, p, n);
  TextBuffer normal;
  normalizeInto(normal, merged.data(), merged.size());
  return textOf(normal);
}

}  // namespace

void __::initializeURL() { empties(); }

// ---------------------------------------------------------------------------

URL::URL() {}

URL::URL(URL&& other) noexcept : stub_(std::move(other.stub_)) {}

URL& URL::operator=(URL&& other) noexcept {
  // Leaves `other` empty, as a moved-from String is.
  stub_ = std::move(other.stub_);
  return *this;
}

URL::URL(String const& text, URL const& base) {
  __::URLStub const& none = emptyStub();
  __::URLStub const& b = base.stub_ ? *base.stub_ : none;

  // First the positions of the parts in the text, then the parts themselves,
  // each String made once with its final value.
  char const* s = text.cstr();
  std::size_t n = text.length();
  while (n != 0 && hasClass(s[n - 1], CLASS_WHITE)) --n;
  while (n != 0 && hasClass(*s, CLASS_WHITE)) {
    ++s;
    --n;
  }
  std::size_t start = 0;
  std::size_t limit = n;
  if (n >= 4 && lowerAscii(s[0]) == 'u' && lowerAscii(s[1]) == 'r' && lowerAscii(s[2]) == 'l' && s[3] == ':')
    start = 4;

  // Scheme: the text before the first ":" met ahead of any "/".
  char const* scheme = nullptr;
  std::size_t schemeLength = 0;
  if (start < n && s[start] != '#') {
    for (std::size_t i = start; i < n && s[i] != '/'; ++i) {
      if (s[i] == ':') {
        if (isValidScheme(s + start, i - start)) {
          scheme = s + start;
          schemeLength = i - start;
          start = i + 1;
        }
        break;
      }
    }
  }

  // Inheritance from the base, whose parts are already decoded and are
  // never decoded again.
  bool relative = false;
  if (schemeLength == 0 || equalsIgnoreCase(scheme, schemeLength, b.scheme.cstr(), b.scheme.length())) {
    if (b.path.cstr()[0] == '/') schemeLength = 0;
    relative = schemeLength == 0;
  }
  __::URLStub const& inherited = relative ? b : none;

  std::size_t const hash = findByte(s, start, n, '#');
  if (hash < n) limit = hash;
  // Nothing but a fragment (or nothing at all): the base's parameters too.
  bool const bare = relative && start == limit;

  std::size_t const question = findByte(s, start, limit, '?');
  std::size_t const queryEnd = limit;
  bool const queryGiven = question < limit;
  if (queryGiven) limit = question;

  // Authority: "//" (but not "////") up to the next "/", else the next ";".
  bool authority = false;
  std::size_t from = 0, at = 0, end = 0;
  if (limit - start >= 2 && s[start] == '/' && s[start + 1] == '/' &&
      !(limit - start >= 4 && s[start + 2] == '/' && s[start + 3] == '/')) {
    from = start + 2;
    end = findByte(s, from, limit, '/');
    if (end == limit) end = findByte(s, from, limit, ';');
    at = findByte(s, from, end, '@');
    start = end;
    authority = true;
  }

  String schemeText = relative ? inherited.scheme : lowerScheme(scheme, schemeLength);
  // A new authority never keeps the base's user information.
  String userInfo = !authority ? inherited.userInfo : at < end ? decodeRange(s + from, at - from) : none.userInfo;
  String hostName = !authority ? inherited.hostName
                               : at < end ? decodeRange(s + at + 1, end - at - 1) : decodeRange(s + from, end - from);
  bool const hasAuthority = authority || !hostName.empty() || !userInfo.empty();
  String path = mergePath(authority ? none.path : inherited.path, s + start, limit - start, queryGiven, hasAuthority);
  TArray<StringPair> queries = bare ? b.queries : none.queries;
  if (queryGiven) parseQueries(queries, s + question + 1, queryEnd - question - 1);
  String fragment = hash + 1 < n ? decodeRange(s + hash + 1, n - hash - 1) : bare ? b.fragment : none.fragment;

  stub_ = boost::make_shared<__::URLStub>(__::URLStub{std::move(schemeText), std::move(userInfo), std::move(hostName),
                                                       std::move(path), std::move(queries), std::move(fragment)});
}

// ---------------------------------------------------------------------------

String URL::getScheme() const { return stub_ ? stub_->scheme : emptyText(); }
String URL::getUserInfo() const { return stub_ ? stub_->userInfo : emptyText(); }
String URL::getHostName() const { return stub_ ? stub_->hostName : emptyText(); }
String URL::getPath() const { return stub_ ? stub_->path : emptyText(); }
String URL::getFragment() const { return stub_ ? stub_->fragment : emptyText(); }
TArray<StringPair> URL::getQueries() const { return stub_ ? stub_->queries : emptyStub().queries; }

String URL::getQuery(String const& name, String const& defaultValue, bool ignoreCase) const {
  if (!stub_) return defaultValue;
  for (StringPair const& pair : stub_->queries)
    if (pair.name.compare(name, ignoreCase) == 0) return pair.value;
  return defaultValue;
}

void URL::detach() {
  if (!stub_)
    stub_ = boost::make_shared<__::URLStub>(emptyStub());
  else if (stub_.use_count() != 1)
    stub_ = boost::make_shared<__::URLStub>(*stub_);
}

void URL::setScheme(String const& scheme) {
  detach();
  stub_->scheme = scheme;
}

void URL::setUserInfo(String const& userInfo) {
  detach();
  stub_->userInfo = userInfo;
}

void URL::setHostName(String const& hostName) {
  detach();
  stub_->hostName = hostName;
}

void URL::setFragment(String const& fragment) {
  detach();
  stub_->fragment = fragment;
}

void URL::setPath(String const& path) {
  String normal = normalizePath(path);  // before detaching: path may be our own
  detach();
  stub_->path = normal;
}

void URL::setQueries(TArray<StringPair> const& queries) {
  TArray<StringPair> keep = queries;
  detach();
  stub_->queries = keep;
}

void URL::setQuery(String const& name, String const& value, bool ignoreCase) {
  // Copies first: the arguments may be parts of this URL's own parameters.
  StringPair added{name, value};
  eraseQuery(added.name, ignoreCase);
  stub_->queries.append(added);
}

void URL::eraseQuery(String const& name, bool ignoreCase) {
  String const key = name;
  detach();
  TArray<StringPair>& queries = stub_->queries;
  bool found = false;
  for (StringPair const& pair : queries)
    if (pair.name.compare(key, ignoreCase) == 0) {
      found = true;
      break;
    }
  if (!found) return;
  TArray<StringPair> kept;
  for (StringPair const& pair : queries)
    if (pair.name.compare(key, ignoreCase) != 0) kept.append(pair);
  queries = kept;
}

// ---------------------------------------------------------------------------

String URL::toString(bool pathOnly) const {
  if (!stub_) return emptyText();
  __::URLStub const& u = *stub_;
  TextBuffer out;

  if (!pathOnly) {
    char const* scheme = u.scheme.cstr();
    std::size_t schemeLength = std::strlen(scheme);
    if (isValidScheme(scheme, schemeLength)) {
      out.append(scheme, schemeLength);
      out.append("://", 3);
    }
    char const* userInfo = u.userInfo.cstr();
    if (*userInfo) {
      encodeText(out, userInfo, false);
      out.append('@');
    }
    encodeText(out, u.hostName.cstr(), false);
  }

  // Each segment is encoded by itself; the separators stay.
  char const* path = u.path.cstr();
  if (!out.empty() && out.back() != '/' && path[0] != '/') out.append('/');
  encodeText(out, path, true);

  if (!u.queries.empty()) {
    out.append('?');
    bool first = true;
    for (StringPair const& pair : u.queries) {
      char const* name = pair.name.cstr();
      if (!*name) continue;
      if (!first) out.append('&');
      first = false;
      encodeText(out, name, false);
      out.append('=');
      encodeText(out, pair.value.cstr(), false);
    }
  }

  char const* fragment = u.fragment.cstr();
  if (*fragment) {
    out.append('#');
    encodeText(out, fragment, false);
  }
  return textOf(out);
}

bool URL::empty() const {
  if (!stub_) return true;
  __::URLStub const& u = *stub_;
  return !isValidScheme(u.scheme.cstr(), u.scheme.length()) && u.userInfo.empty() && u.hostName.empty() &&
         u.path.empty() && u.queries.empty() && u.fragment.empty();
}

String URL::encode(String const& text) {
  char const* p = text.cstr();
  std::size_t n = text.length();
  if (encodedLength(p, n) == n && std::memchr(p, ' ', n) == nullptr) return text;
  TextBuffer out;
  encodeInto(out, p, n);
  return textOf(out);
}

String URL::decode(String const& text) {
  char const* p = text.cstr();
  std::size_t n = text.length();
  if (!needsDecoding(p, n)) return text;
  TextBuffer out;
  decodeInto(out, p, n);
  return textOf(out);
}

}  // namespace zu
