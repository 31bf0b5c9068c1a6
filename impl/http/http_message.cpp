// The message-head parser shared by both ends of an HTTP connection.
#include "http/http_message.h"

#include "core/line_end.h"
#include "core/text.h"


#include <cstring>

namespace zu {
namespace net {
namespace http {
namespace impl {

LineResult findLine(char const* data, unsigned int size, unsigned int maxLine, unsigned int& length,
                    unsigned int& consumed) {
  unsigned int const window = size < maxLine ? size : maxLine;
  if (window != 0 && ::zu::__::findLineEnd(data, window, length, consumed)) return LINE_FOUND;
  return window == maxLine ? LINE_TOO_LONG : LINE_PENDING;
}

// As MIME::addLine does with the line's text (which ends at a zero byte),
// without making that text first.
bool HeadParser::addField(char const* line, unsigned int length) {
  unsigned int const text = static_cast<unsigned int>(::zu::__::boundedLength(line, length));
  for (unsigned int at = 0; at + 1 < text; ++at) {
    if (line[at] == ':' && line[at + 1] == ' ') {
      headers_.set(String(line, at), String(line + at + 2, text - at - 2));
      return true;
    }
  }
  return false;
}

void HeadParser::reset() {
  state_ = HEAD_START_LINE;
  used_ = 0;
  started_ = false;
  startLine_ = String();
  headers_ = MIME();  // a fresh block: the last one may be shared with a request handed out
}

unsigned int HeadParser::feed(char const* data, unsigned int size) {
  unsigned int taken = 0;
  while (state_ == HEAD_START_LINE || state_ == HEAD_FIELDS) {
    unsigned int length, consumed;
    LineResult const found = findLine(data + taken, size - taken, limits_.maxLine, length, consumed);
    if (found == LINE_PENDING) {
      // What is buffered of an unfinished line counts against the head.
      if (size - taken > limits_.maxHead - used_) state_ = HEAD_FAILED;
      break;
    }
    if (found == LINE_TOO_LONG || consumed > limits_.maxHead - used_) {
      state_ = HEAD_FAILED;
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
    } else if (!addField(line, length) || headers_.size() > limits_.maxFields) {
      state_ = HEAD_FAILED;
    }
  }
  return taken;
}

}  // namespace impl
}  // namespace http
}  // namespace net
}  // namespace zu

