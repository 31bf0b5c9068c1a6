// The message-head parser shared by the client's response reader and the
// server connection's request parser: start line, header lines, limits.
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
  // against maxHead). Servers do this: clients, this library's own among
  // them, may send a line end behind a request's body.
  bool skipLeadingBlankLines;
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
    HEAD_FAILED       // a limit was broken or a header line had no ": "
  };

  explicit HeadParser(HeadLimits const& limits) : limits_(limits) {}

  // Back to the start, with no start line and no headers.
  void reset();
  unsigned int feed(char const* data, unsigned int size);
  // The end of the input came: a head still incomplete has failed.
  void finish() {
    if (state_ != HEAD_COMPLETE) state_ = HEAD_FAILED;
  }

  State state() const { return state_; }
  bool hasStartLine() const { return started_; }
  String const& startLine() const { return startLine_; }
  MIME& headers() { return headers_; }

 private:
  bool addField(char const* line, unsigned int length);

  HeadLimits const limits_;
  State state_ = HEAD_START_LINE;
  unsigned int used_ = 0;  // bytes of the head taken so far
  bool started_ = false;
  String startLine_;
  MIME headers_;
};

}  // namespace impl
}  // namespace http
}  // namespace net
}  // namespace zu

#endif
