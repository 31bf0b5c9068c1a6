#include <zu/url.h>

#include <cstring>
#include <memory>
#include <vector>

#include <boost/make_shared.hpp>

namespace zu {

namespace {

// Values that parsed URLs share: the empty parts and the most common texts.
// Copying one only raises a reference count, so a URL that lacks a part,
// or whose scheme is one of these, costs no allocation for it. Each thread
// has its own set, so that threads parsing side by side do not contend for
// one reference count.
struct URLConstants {
  __::URLStub empty;  // every part empty
  StringPair emptyPair;
  String http;
  String https;
  String file;
  String slash;
  URLConstants() : http("http"), https("https"), file("file"), slash("/") {}
};

URLConstants const& urlConstants() {
  static thread_local URLConstants const constants;
  return constants;
}

inline String const& emptyText() { return urlConstants().empty.path; }

// ---------------------------------------------------------------------------
// Byte classes

// Bits of the class table.
enum : unsigned char {
  CLASS_KEEP = 1,    // copied unchanged by encode
  CLASS_SCHEME = 2,  // allowed in a scheme
  CLASS_WHITE = 4,   // ASCII white space
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
  }
};
constexpr ClassTable classes;

inline bool hasClass(char c, unsigned char bit) { return (classes.bits[static_cast<unsigned char>(c)] & bit) != 0; }

// -1 when `c` is not a hexadecimal digit.
inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isValidScheme(char const* p, std::size_t n) {
  if (n == 0) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (!hasClass(p[i], CLASS_SCHEME)) return false;
  return true;
}

bool equalsIgnoreCase(char const* a, std::size_t n, String const& b) {
  if (b.length() != n) return false;
  char const* q = b.cstr();
  for (std::size_t i = 0; i < n; ++i)
    if (lowerAscii(a[i]) != lowerAscii(q[i])) return false;
  return true;
}

// Position of the first `c` in [from, to), or `to`.
std::size_t findByte(char const* p, std::size_t from, std::size_t to, char c) {
  if (from >= to) return to;
  void const* hit = std::memchr(p + from, c, to - from);
  return hit ? static_cast<std::size_t>(static_cast<char const*>(hit) - p) : to;
}

// ---------------------------------------------------------------------------
// A growable byte buffer that lives on the stack for ordinary URL sizes, so
// that building a part costs only the allocation of the resulting String.
class TextBuffer {
 public:
  TextBuffer() : data_(local_), size_(0), capacity_(sizeof local_) {}
  TextBuffer(TextBuffer const&) = delete;
  TextBuffer& operator=(TextBuffer const&) = delete;

  void reserve(std::size_t extra) {
    if (size_ + extra <= capacity_) return;
    std::size_t cap = capacity_ * 2;
    while (cap < size_ + extra) cap *= 2;
    std::unique_ptr<char[]> grown(new char[cap]);
    std::memcpy(grown.get(), data_, size_);
    heap_ = std::move(grown);
    data_ = heap_.get();
    capacity_ = cap;
  }
  // Room for `extra` more bytes; the caller writes them and calls grow().
  char* tail(std::size_t extra) {
    reserve(extra);
    return data_ + size_;
  }
  void grow(std::size_t n) { size_ += n; }
  void push(char c) {
    reserve(1);
    data_[size_++] = c;
  }
  void append(char const* p, std::size_t n) {
    reserve(n);
    std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void pop() { --size_; }
  void truncate(std::size_t n) { size_ = n; }
  void erasePrefix(std::size_t n) {
    std::memmove(data_, data_ + n, size_ - n);
    size_ -= n;
  }
  void clear() { size_ = 0; }

  char const* data() const { return data_; }
  char* data() { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char back() const { return data_[size_ - 1]; }
  String toString() const { return size_ ? String(data_, static_cast<unsigned int>(size_)) : emptyText(); }

 private:
  char local_[256];
  std::unique_ptr<char[]> heap_;
  char* data_;
  std::size_t size_;
  std::size_t capacity_;
};

// The buffer's text, sharing the constant for the frequent empty and "/".
String textOf(TextBuffer const& buffer) {
  if (buffer.empty()) return emptyText();
  if (buffer.size() == 1 && buffer.back() == '/') return urlConstants().slash;
  return buffer.toString();
}

// ---------------------------------------------------------------------------
// Percent-encoding

std::size_t encodedLength(char const* p, std::size_t n) {
  std::size_t length = n;
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && !hasClass(p[i], CLASS_KEEP)) length += 2;
  return length;
}

void encodeInto(TextBuffer& out, char const* p, std::size_t n) {
  static char const digits[] = "0123456789abcdef";
  char* w = out.tail(n * 3);
  char* const begin = w;
  for (std::size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (hasClass(c, CLASS_KEEP)) {
      *w++ = c;
    } else if (c == ' ') {
      *w++ = '+';
    } else {
      unsigned char b = static_cast<unsigned char>(c);
      *w++ = '%';
      *w++ = digits[b >> 4];
      *w++ = digits[b & 15];
    }
  }
  out.grow(static_cast<std::size_t>(w - begin));
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
  out.grow(static_cast<std::size_t>(w - begin));
}

bool needsDecoding(char const* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] == '%' || p[i] == '+') return true;
  return false;
}

String decodeRange(char const* p, std::size_t n) {
  if (n == 0) return emptyText();
  if (!needsDecoding(p, n)) return String(p, static_cast<unsigned int>(n));
  TextBuffer out;
  decodeInto(out, p, n);
  return out.toString();
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
  flat.grow(static_cast<std::size_t>(w - begin));

  // ".." segments, with the output as a stack of segments, each followed by
  // its "/" (all but the last). `bottom` is where the first segment starts.
  char const* t = flat.data();
  std::size_t const length = flat.size();
  std::size_t const bottom = (length != 0 && t[0] == '/') ? 1 : 0;
  if (bottom) out.push('/');
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
    if (j < length) out.push('/');
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
  queries.resize(slot + count, urlConstants().emptyPair);
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

}  // namespace

// ---------------------------------------------------------------------------

URL::URL() {}

URL::URL(URL&& other) noexcept : stub_(std::move(other.stub_)) {}

URL& URL::operator=(URL&& other) noexcept {
  stub_.swap(other.stub_);
  return *this;
}

URL::URL(String const& text, URL const& base) {
  URLConstants const& constants = urlConstants();
  boost::shared_ptr<__::URLStub> stub = boost::make_shared<__::URLStub>(constants.empty);
  __::URLStub const* b = base.stub_.get();

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

  // Inheritance from the base. The base's parts are already decoded and
  // are never decoded again.
  bool relative = false;
  if (schemeLength == 0 || (b && equalsIgnoreCase(scheme, schemeLength, b->scheme))) {
    if (b && !b->path.empty() && b->path.cstr()[0] == '/') schemeLength = 0;
    if (schemeLength == 0) {
      if (b) {
        stub->scheme = b->scheme;
        stub->userInfo = b->userInfo;
        stub->hostName = b->hostName;
        stub->path = b->path;
      }
      relative = true;
    }
  }
  if (schemeLength != 0) {
    TextBuffer lower;
    char* w = lower.tail(schemeLength);
    for (std::size_t i = 0; i < schemeLength; ++i) w[i] = lowerAscii(scheme[i]);
    lower.grow(schemeLength);
    if (schemeLength == 4 && std::memcmp(w, "http", 4) == 0)
      stub->scheme = constants.http;
    else if (schemeLength == 5 && std::memcmp(w, "https", 5) == 0)
      stub->scheme = constants.https;
    else if (schemeLength == 4 && std::memcmp(w, "file", 4) == 0)
      stub->scheme = constants.file;
    else
      stub->scheme = lower.toString();
  }

  // Fragment.
  std::size_t hash = findByte(s, start, n, '#');
  if (hash < n) {
    stub->fragment = decodeRange(s + hash + 1, n - hash - 1);
    limit = hash;
  }
  if (relative && start == limit && b) {
    stub->queries = b->queries;
    if (stub->fragment.empty()) stub->fragment = b->fragment;
  }

  // Query.
  bool queryGiven = false;
  std::size_t question = findByte(s, start, limit, '?');
  if (question < limit) {
    parseQueries(stub->queries, s + question + 1, limit - question - 1);
    limit = question;
    queryGiven = true;
  }

  // Authority: "//" (but not "////") up to the next "/", else the next ";".
  bool authority = false;
  if (limit - start >= 2 && s[start] == '/' && s[start + 1] == '/' &&
      !(limit - start >= 4 && s[start + 2] == '/' && s[start + 3] == '/')) {
    std::size_t from = start + 2;
    std::size_t end = findByte(s, from, limit, '/');
    if (end == limit) end = findByte(s, from, limit, ';');
    std::size_t at = findByte(s, from, end, '@');
    if (at < end) {
      stub->userInfo = decodeRange(s + from, at - from);
      stub->hostName = decodeRange(s + at + 1, end - at - 1);
    } else {
      // A new authority never keeps the base's user information.
      stub->userInfo = emptyText();
      stub->hostName = decodeRange(s + from, end - from);
    }
    stub->path = emptyText();
    start = end;
    authority = true;
  }
  bool const hasAuthority = authority || !stub->hostName.empty() || !stub->userInfo.empty();

  // Path.
  if (start < limit && s[start] == '/' && !needsDecoding(s + start, limit - start) &&
      isNormalPath(s + start, limit - start)) {
    // The usual absolute path: nothing to decode, merge or normalise.
    stub->path = limit - start == 1 ? constants.slash : String(s + start, static_cast<unsigned int>(limit - start));
  } else if (start < limit) {
    TextBuffer merged;
    if (s[start] != '/') {
      char const* inherited = stub->path.cstr();
      char const* slash = std::strrchr(inherited, '/');
      if (slash)
        merged.append(inherited, static_cast<std::size_t>(slash - inherited) + 1);
      else if (hasAuthority)
        merged.push('/');
    }
    decodeInto(merged, s + start, limit - start);
    TextBuffer normal;
    normalizeInto(normal, merged.data(), merged.size());
    stub->path = textOf(normal);
  } else {
    if (queryGiven) {
      char const* inherited = stub->path.cstr();
      char const* slash = std::strrchr(inherited, '/');
      if (!slash)
        stub->path = emptyText();
      else if (slash[1] != '\0')
        stub->path = String(inherited, static_cast<unsigned int>(slash - inherited) + 1);
    }
    if (stub->path.empty())
      stub->path = constants.slash;
    else
      stub->path = normalizePath(stub->path);
  }
  stub_ = std::move(stub);
}

// ---------------------------------------------------------------------------

String URL::getScheme() const { return stub_ ? stub_->scheme : emptyText(); }
String URL::getUserInfo() const { return stub_ ? stub_->userInfo : emptyText(); }
String URL::getHostName() const { return stub_ ? stub_->hostName : emptyText(); }
String URL::getPath() const { return stub_ ? stub_->path : emptyText(); }
String URL::getFragment() const { return stub_ ? stub_->fragment : emptyText(); }
TArray<StringPair> URL::getQueries() const { return stub_ ? stub_->queries : urlConstants().empty.queries; }

String URL::getQuery(String const& name, String const& defaultValue, bool ignoreCase) const {
  if (!stub_) return defaultValue;
  for (StringPair const& pair : stub_->queries)
    if (pair.name.compare(name, ignoreCase) == 0) return pair.value;
  return defaultValue;
}

void URL::detach() {
  if (!stub_)
    stub_ = boost::make_shared<__::URLStub>(urlConstants().empty);
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
    std::size_t schemeLength = u.scheme.length();
    if (isValidScheme(scheme, schemeLength)) {
      out.append(scheme, schemeLength);
      out.append("://", 3);
    }
    if (!u.userInfo.empty()) {
      encodeInto(out, u.userInfo.cstr(), u.userInfo.length());
      out.push('@');
    }
    encodeInto(out, u.hostName.cstr(), u.hostName.length());
  }

  // Each segment is encoded by itself so that the separators survive.
  char const* path = u.path.cstr();
  std::size_t pathLength = u.path.length();
  if (!out.empty() && out.back() != '/' && (pathLength == 0 || path[0] != '/')) out.push('/');
  std::size_t i = 0;
  while (i < pathLength) {
    std::size_t end = findByte(path, i, pathLength, '/');
    encodeInto(out, path + i, end - i);
    if (end < pathLength) out.push('/');
    i = end + 1;
  }

  if (!u.queries.empty()) {
    out.push('?');
    bool first = true;
    for (StringPair const& pair : u.queries) {
      if (pair.name.empty()) continue;
      if (!first) out.push('&');
      first = false;
      encodeInto(out, pair.name.cstr(), pair.name.length());
      out.push('=');
      encodeInto(out, pair.value.cstr(), pair.value.length());
    }
  }

  if (!u.fragment.empty()) {
    out.push('#');
    encodeInto(out, u.fragment.cstr(), u.fragment.length());
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
  return out.toString();
}

String URL::decode(String const& text) {
  char const* p = text.cstr();
  std::size_t n = text.length();
  if (!needsDecoding(p, n)) return text;
  TextBuffer out;
  decodeInto(out, p, n);
  return out.toString();
}

}  // namespace zu
