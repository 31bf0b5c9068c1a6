// The message-head parser shared by the client's response reader and the
// server connection's request parser (start line, header lines, limits),
// the framing rules both ends apply to a head, and the chunked-body decoder.
#ifndef ZU_IMPL_HTTP_MESSAGE_H
#define ZU_IMPL_HTTP_MESSAGE_H

#include <zu/http.h>
#include <zu/string.h>

namespace zu {
namespace net {
namespace http {
namespace impl {

// What one side accepts of a head. A line is refused when `maxLine` bytes
// from its start hold no line end; the head when it has more than
// `maxFields` header lines or more than `maxHead` bytes in all.
struct HeadLimits {
  unsigned int maxLine;
  unsigned int maxFields;
  unsigned int maxHead;
  // Blank lines before the start line are passed over (they still count
  // against maxHead). Servers do this: older clients send a line end behind
  // a request's body.
  bool skipLeadingBlankLines;
  // Strict (a server reading requests): a header name is a token right
  // before its colon, no line is folded, and no value holds a NUL or a CR;
  // any of these fails the head. Tolerant (a client reading responses): the
  // name is what stands before the first colon, a folded line continues the
  // value before it, and a value ends at a NUL. Either way the white space
  // after the colon and at the value's end is not part of the value.
  bool strict;
};

enum LineResult { LINE_FOUND, LINE_PENDING, LINE_TOO_LONG };

// Looks for a complete line in the first bytes of [data, data + size), at
// most `maxLine` of them, by the buffered reader's line-end rule.
LineResult findLine(char const* data, unsigned int size, unsigned int maxLine, unsigned int& length,
                    unsigned int& consumed);

// Parses a head from bytes as they arrive. feed() takes the complete lines
// it finds and says how many bytes it used; the rest must be offered again
// with what follows.
class HeadParser {
 public:
  enum State {
    HEAD_START_LINE,  // waiting for the start line
    HEAD_FIELDS,      // the start line is in; header lines until a blank one
    HEAD_COMPLETE,    // the blank line is in
    HEAD_FAILED       // see failure()
  };
  enum Failure {
    FAILED_NOT,         // not failed
    FAILED_START_LINE,  // the start line is too long
    FAILED_FIELDS,      // a header line too long, too many of them, or the head too large
    FAILED_SYNTAX,      // a header line that does not parse
    FAILED_ENDED        // the input ended inside the head
  };

  explicit HeadParser(HeadLimits const& limits) : limits_(limits) {}

  // Back to the start, with no start line and no headers.
  void reset();
  unsigned int feed(char const* data, unsigned int size);
  // The end of the input came: a head still incomplete has failed.
  void finish() {
    if (state_ != HEAD_COMPLETE && state_ != HEAD_FAILED) fail(FAILED_ENDED);
  }

  State state() const { return state_; }
  Failure failure() const { return failure_; }
  bool hasStartLine() const { return started_; }
  String const& startLine() const { return startLine_; }
  MIME& headers() { return headers_; }

 private:
  bool addField(char const* line, unsigned int length);
  void fail(Failure why) {
    state_ = HEAD_FAILED;
    failure_ = why;
  }

  HeadLimits const limits_;
  State state_ = HEAD_START_LINE;
  Failure failure_ = FAILED_NOT;
  unsigned int used_ = 0;  // bytes of the head taken so far
  bool started_ = false;
  String startLine_;
  MIME headers_;
};

// How a message's body is delimited, as its head says.
struct Framing {
  enum Kind {
    FRAMING_NONE,     // no Content-Length, no Transfer-Encoding
    FRAMING_LENGTH,   // Content-Length: `length` bytes
    FRAMING_CHUNKED,  // Transfer-Encoding ending in chunked
    FRAMING_CODING,   // Transfer-Encoding without chunked last
    FRAMING_INVALID   // lengths that are not digits or disagree
  };
  Kind kind = FRAMING_NONE;
  unsigned long long length = 0;
  // Both Transfer-Encoding and Content-Length came.
  bool both = false;
};

// Reads the framing from `headers`: Transfer-Encoding wins over
// Content-Length; every Content-Length (also each item of a comma list)
// must be digits only, and all of them the same number.
Framing framingOf(MIME const& headers);

// True when the comma-separated values of every `name` line hold `token`
// (without regard to ASCII case).
bool hasToken(MIME const& headers, char const* name, char const* token);

// Decodes a chunked body as its bytes arrive: feed() takes what it can of
// [data, data + size), hands each piece of chunk data to `take(data, n)`,
// and says how many bytes it used.
class ChunkedDecoder {
 public:
  enum State { CHUNK_SIZE, CHUNK_DATA, CHUNK_DATA_END, CHUNK_TRAILER, CHUNK_DONE, CHUNK_FAILED };

  // `maxChunk`: the largest chunk taken; `maxLine`: the longest size or
  // trailer line; `maxTrailer`: the trailer's bytes in all.
  ChunkedDecoder(unsigned int maxChunk, unsigned int maxLine, unsigned int maxTrailer)
      : maxChunk_(maxChunk), maxLine_(maxLine), maxTrailer_(maxTrailer) {}

  template <class Take>
  unsigned int feed(char const* data, unsigned int size, Take take) {
    unsigned int used = 0;
    while (used < size && state_ != CHUNK_DONE && state_ != CHUNK_FAILED) {
      if (state_ == CHUNK_DATA) {
        unsigned int const n = size - used < left_ ? size - used : left_;
        take(reinterpret_cast<unsigned char const*>(data + used), n);
        used += n;
        left_ -= n;
        if (left_ == 0) state_ = CHUNK_DATA_END;
        continue;
      }
      unsigned int const n = line(data + used, size - used);
      if (n == 0) break;
      used += n;
    }
    return used;
  }

  // Back to the start of a body.
  void reset() {
    state_ = CHUNK_SIZE;
    left_ = trailer_ = 0;
    bodyDone_ = false;
    error_ = String();
  }

  State state() const { return state_; }
  // The failure's text ("error chunk size:" and the size, ...).
  String const& error() const { return error_; }
  // The last chunk is in: its data is complete, whether or not the trailer is.
  bool bodyComplete() const { return bodyDone_; }

 private:
  // One line (size, end of data, trailer) from the bytes; 0 while it is
  // incomplete.
  unsigned int line(char const* data, unsigned int size);
  void failWith(String const& text) {
    state_ = CHUNK_FAILED;
    error_ = text;
  }

  unsigned int const maxChunk_;
  unsigned int const maxLine_;
  unsigned int const maxTrailer_;
  State state_ = CHUNK_SIZE;
  unsigned int left_ = 0;
  unsigned int trailer_ = 0;
  bool bodyDone_ = false;
  String error_;
};

}  // namespace impl
}  // namespace http
}  // namespace net
}  // namespace zu

#endif
