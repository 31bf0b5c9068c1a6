// The message-head parser, the framing rules and the chunked-body decoder
// shared by both ends of an HTTP connection.
#include "http/http_message.h"

#include "core/line_end.h"
#include "core/text.h"
#include "http/http_literals.h"

#include <cstring>

namespace zu {
namespace net {
namespace http {
namespace impl {

namespace {

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The characters of a header name: letters, digits and "!#$%&'*+-.^_`|~".
bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// [begin, end) without the blanks at either side.
void trim(char const*& begin, char const*& end) {
  while (begin < end && isBlank(*begin)) ++begin;
  while (end > begin && isBlank(end[-1])) --end;
}

// The digits-only number in [p, p + n); false for anything else, an empty
// text or more than 18 digits.
bool parseDigits(char const* p, unsigned int n, unsigned long long& value) {
  if (n == 0 || n > 18) return false;
  value = 0;
  for (unsigned int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    value = value * 10 + static_cast<unsigned int>(p[i] - '0');
  }
  return true;
}

// Calls `each(begin, end)` for every comma-separated item of `value`,
// blanks trimmed; empty items are passed over.
template <class Each>
void forEachItem(String const& value, Each each) {
  char const* p = value.cstr();
  char const* const stop = p + value.length();
  while (p <= stop) {
    char const* comma = static_cast<char const*>(std::memchr(p, ',', static_cast<std::size_t>(stop - p)));
    char const* end = comma ? comma : stop;
    char const* begin = p;
    trim(begin, end);
    if (begin != end) each(begin, end);
    if (!comma) break;
    p = comma + 1;
  }
}

bool sameToken(char const* begin, char const* end, char const* token) {
  std::size_t const n = std::strlen(token);
  if (static_cast<std::size_t>(end - begin) != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (::zu::__::lowerAscii(begin[i]) != ::zu::__::lowerAscii(token[i])) return false;
  return true;
}

}  // namespace

LineResult findLine(char const* data, unsigned int size, unsigned int maxLine, unsigned int& length,
                    unsigned int& consumed) {
  unsigned int const window = size < maxLine ? size : maxLine;
  if (window != 0 && ::zu::__::findLineEnd(data, window, length, consumed)) return LINE_FOUND;
  return window == maxLine ? LINE_TOO_LONG : LINE_PENDING;
}

bool HeadParser::addField(char const* line, unsigned int length) {
  char const* const stop = line + length;
  if (isBlank(line[0])) {
    // A folded line: refused by a strict reader, the value's continuation
    // for a tolerant one.
    if (limits_.strict || headers_.size() == 0) return false;
    char const* begin = line;
    char const* end = line + ::zu::__::boundedLength(line, length);
    trim(begin, end);
    String& value = headers_.lines(headers_.size() - 1).value;
    value = value.empty() ? String(begin, static_cast<unsigned int>(end - begin))
                          : value + " " + String(begin, static_cast<unsigned int>(end - begin));
    return true;
  }
  char const* colon = static_cast<char const*>(std::memchr(line, ':', length));
  if (!colon || colon == line) return false;
  char const* nameEnd = colon;
  char const* begin = colon + 1;
  char const* end = stop;
  if (limits_.strict) {
    for (char const* p = line; p < colon; ++p)
      if (!isTokenChar(*p)) return false;
    for (char const* p = begin; p < end; ++p)
      if (*p == 0 || *p == '\r') return false;
  } else {
    // The line's text ends at a zero byte.
    char const* zero = static_cast<char const*>(std::memchr(line, 0, length));
    if (zero && zero < colon) return false;
    if (zero) end = zero;
    while (nameEnd > line && isBlank(nameEnd[-1])) --nameEnd;
    if (nameEnd == line) return false;
  }
  trim(begin, end);
  headers_.set(String(line, static_cast<unsigned int>(nameEnd - line)),
               String(begin, static_cast<unsigned int>(end - begin)));
  return true;
}

void HeadParser::reset() {
  state_ = HEAD_START_LINE;
  failure_ = FAILED_NOT;
  used_ = 0;
  started_ = false;
  startLine_ = String();
  headers_ = MIME();  // a fresh block: the last one may be shared with a request handed out
}

unsigned int HeadParser::feed(char const* data, unsigned int size) {
  unsigned int taken = 0;
  while (state_ == HEAD_START_LINE || state_ == HEAD_FIELDS) {
    Failure const tooLarge = state_ == HEAD_START_LINE ? FAILED_START_LINE : FAILED_FIELDS;
    unsigned int length, consumed;
    LineResult const found = findLine(data + taken, size - taken, limits_.maxLine, length, consumed);
    if (found == LINE_PENDING) {
      // What is buffered of an unfinished line counts against the head.
      if (size - taken > limits_.maxHead - used_) fail(tooLarge);
      break;
    }
    if (found == LINE_TOO_LONG || consumed > limits_.maxHead - used_) {
      fail(tooLarge);
      break;
    }
    char const* line = data + taken;
    taken += consumed;
    used_ += consumed;
    if (state_ == HEAD_START_LINE) {
      if (length == 0 && limits_.skipLeadingBlankLines) continue;
      startLine_ = String(line, length);
      started_ = true;
      state_ = HEAD_FIELDS;
    } else if (length == 0) {
      state_ = HEAD_COMPLETE;
    } else if (!addField(line, length)) {
      fail(FAILED_SYNTAX);
    } else if (headers_.size() > limits_.maxFields) {
      fail(FAILED_FIELDS);
    }
  }
  return taken;
}

Framing framingOf(MIME const& headers) {
  Framing framing;
  bool haveLength = false;
  bool haveCoding = false;
  for (unsigned int i = 0, n = headers.size(); i < n; ++i) {
    StringPair const& pair = headers.lines[i];
    if (pair.name.compare(literals::contentLength, true) == 0) {
      bool any = false;
      forEachItem(pair.value, [&](char const* begin, char const* end) {
        unsigned long long value = 0;
        any = true;
        if (!parseDigits(begin, static_cast<unsigned int>(end - begin), value) ||
            (haveLength && value != framing.length)) {
          framing.kind = Framing::FRAMING_INVALID;
        }
        framing.length = value;
        haveLength = true;
      });
      if (!any) framing.kind = Framing::FRAMING_INVALID;
    } else if (pair.name.compare(literals::transferEncoding, true) == 0) {
      haveCoding = true;
    }
  }
  if (haveCoding) {
    // The codings in order over every line: chunked must be the last.
    char const* lastBegin = nullptr;
    char const* lastEnd = nullptr;
    String last;
    for (unsigned int i = 0, n = headers.size(); i < n; ++i) {
      StringPair const& pair = headers.lines[i];
      if (pair.name.compare(literals::transferEncoding, true) != 0) continue;
      forEachItem(pair.value, [&](char const* begin, char const* end) {
        lastBegin = begin;
        lastEnd = end;
      });
      if (lastBegin) last = String(lastBegin, static_cast<unsigned int>(lastEnd - lastBegin));
      lastBegin = nullptr;
    }
    framing.both = haveLength;
    framing.kind = !last.empty() && sameToken(last.cstr(), last.cstr() + last.length(), literals::chunked)
                       ? Framing::FRAMING_CHUNKED
                       : Framing::FRAMING_CODING;
    return framing;
  }
  if (haveLength && framing.kind != Framing::FRAMING_INVALID) framing.kind = Framing::FRAMING_LENGTH;
  return framing;
}

bool hasToken(MIME const& headers, char const* name, char const* token) {
  bool found = false;
  for (unsigned int i = 0, n = headers.size(); i < n && !found; ++i) {
    StringPair const& pair = headers.lines[i];
    if (pair.name.compare(name, true) != 0) continue;
    forEachItem(pair.value, [&](char const* begin, char const* end) { found = found || sameToken(begin, end, token); });
  }
  return found;
}

unsigned int ChunkedDecoder::line(char const* data, unsigned int size) {
  unsigned int length, consumed;
  LineResult const found = findLine(data, size, maxLine_, length, consumed);
  if (found == LINE_PENDING) return 0;
  if (found == LINE_TOO_LONG) {
    failWith(state_ == CHUNK_TRAILER ? String("chunk trailer too long.") : String("chunk size line too long."));
    return 0;
  }
  switch (state_) {
    case CHUNK_SIZE: {
      // Hexadecimal digits, then blanks or ";" and extensions, which are
      // passed over.
      unsigned long long value = 0;
      unsigned int digits = 0;
      while (digits < length && ::zu::__::hexValue(data[digits]) >= 0) {
        value = value * 16 + static_cast<unsigned int>(::zu::__::hexValue(data[digits]));
        if (++digits > 8) break;
      }
      if (digits == 0 || digits > 8 || (digits < length && !isBlank(data[digits]) && data[digits] != ';')) {
        failWith("can't read chunk size line.");
        return 0;
      }
      if (value > maxChunk_) {
        failWith("error chunk size:" + String(static_cast<std::uint64_t>(value)));
        return 0;
      }
      left_ = static_cast<unsigned int>(value);
      if (left_ == 0) {
        bodyDone_ = true;
        state_ = CHUNK_TRAILER;
      } else {
        state_ = CHUNK_DATA;
      }
      break;
    }
    case CHUNK_DATA_END:
      if (length != 0) {
        failWith("can't read chunk data end.");
        return 0;
      }
      state_ = CHUNK_SIZE;
      break;
    case CHUNK_TRAILER:
      if (length == 0) {
        state_ = CHUNK_DONE;
      } else if ((trailer_ += consumed) > maxTrailer_) {
        failWith("chunk trailer too long.");
        return 0;
      }
      break;
    default:
      break;
  }
  return consumed;
}

}  // namespace impl
}  // namespace http
}  // namespace net
}  // namespace zu
