// The message-head parser shared by both ends of an HTTP connection.
#include "http/http_message.h"

#include <zu/util.h>

namespace zu {
namespace net {
namespace http {
namespace impl {

LineResult findLine(char const* data, unsigned int size, unsigned int maxLine, unsigned int& length,
                    unsigned int& consumed) {
  unsigned int const window = size < maxLine ? size : maxLine;
  if (window != 0 && util::IBufferedReader::extractLine(data, window, length, consumed)) return LINE_FOUND;
  return window == maxLine ? LINE_TOO_LONG : LINE_PENDING;
}

void HeadParser::reset() {
  state_ = HEAD_START_LINE;
  used_ = 0;
  started_ = false;
  startLine_ = String();
  headers_.reset();
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
      startLine_ = String(line, length);
      started_ = true;
      state_ = HEAD_FIELDS;
    } else if (length == 0) {
      state_ = HEAD_COMPLETE;
    } else if (!headers_.addLine(String(line, length)) || headers_.size() > limits_.maxFields) {
      state_ = HEAD_FAILED;
    }
  }
  return taken;
}

}  // namespace impl
}  // namespace http
}  // namespace net
}  // namespace zu
