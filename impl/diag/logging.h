// The one way the library writes log lines: the level is tested first and
// the message is only built (with a string stream) when it will be written.
//
//   ZU_LOG(3, "[DBG1]", "connect " << host << " failed");
//   ZU_LOG_OBJ(0, "[ERR ]", *this, "read: " << why);   // "class zu::...: read: ..."
#ifndef ZU_IMPL_LOGGING_H
#define ZU_IMPL_LOGGING_H

#include <climits>
#include <cstddef>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <zu/logger.h>
#include <zu/string.h>
#include "core/classname.h"

namespace zu {
namespace __ {
// Lets Strings be streamed into log messages.
inline std::ostream& operator<<(std::ostream& out, String const& s) { return out << s.cstr(); }

// Collects a message in a string that keeps its storage between messages.
class LogBuffer : public std::streambuf {
 public:
  LogBuffer() : text_(240, '\0') { restart(); }

  void restart() {
    // One very long message must not pin its memory to the thread.
    if (text_.size() > 65536) {
      std::string(240, '\0').swap(text_);
    }
    setp(&text_[0], &text_[0] + text_.size());
  }

  // What was written since restart(), NUL-terminated.
  char const* text() {
    sputc('\0');
    return pbase();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    std::size_t used = static_cast<std::size_t>(pptr() - pbase());
    text_.resize(text_.size() * 2);
    setp(&text_[0], &text_[0] + text_.size());
    // pbump takes an int.
    for (std::size_t left = used; left > 0;) {
      int step = left > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
      pbump(step);
      left -= static_cast<std::size_t>(step);
    }
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
  }

 private:
  std::string text_;
};

// An output stream over a LogBuffer. Setting up a std::ostringstream (locale
// and facet look-ups, a fresh buffer, a copy of the text at the end) costs
// more than formatting a typical line, so each thread keeps one of these.
class LogStream : private LogBuffer, public std::ostream {
 public:
  LogStream() : std::ostream(static_cast<LogBuffer*>(this)) {}

  // Empty, good, and formatting as a fresh stream formats: a manipulator
  // of one message must not leak into the next.
  void restart() {
    LogBuffer::restart();
    clear();
    if (exceptions() != goodbit) exceptions(goodbit);
    flags(skipws | dec);
    width(0);
    precision(6);
    fill(widen(' '));
  }

  using LogBuffer::text;
};

// The thread's stream and whether it is in use. The state is a plain byte
// that outlives the stream itself, so that a line logged during thread exit,
// after the stream was destroyed, is still built (in a stream of its own).
enum : unsigned char { LOG_STREAM_NONE, LOG_STREAM_IDLE, LOG_STREAM_BUSY, LOG_STREAM_GONE };

inline unsigned char& logStreamState() {
  static thread_local unsigned char state = LOG_STREAM_NONE;
  return state;
}

struct LogStreamHolder {
  LogStream stream;
  LogStreamHolder() { logStreamState() = LOG_STREAM_IDLE; }
  ~LogStreamHolder() { logStreamState() = LOG_STREAM_GONE; }
};

// One message being built: the thread's stream when it is free, otherwise
// (a message streamed while building another, or a thread that is ending)
// a stream of its own.
class LogMessage {
 public:
  LogMessage() {
    unsigned char& state = logStreamState();
    if (state == LOG_STREAM_NONE || state == LOG_STREAM_IDLE) {
      static thread_local LogStreamHolder holder;
      state = LOG_STREAM_BUSY;
      stream_ = &holder.stream;
      shared_ = true;
      stream_->restart();
    } else {
      spare_.emplace();
      stream_ = &*spare_;
    }
  }
  ~LogMessage() {
    if (shared_) logStreamState() = LOG_STREAM_IDLE;
  }
  LogMessage(LogMessage const&) = delete;
  LogMessage& operator=(LogMessage const&) = delete;

  std::ostream& stream() { return *stream_; }
  char const* text() { return stream_->text(); }

 private:
  LogStream* stream_ = nullptr;
  bool shared_ = false;
  std::optional<LogStream> spare_;
};

}  // namespace __
}  // namespace zu

#define ZU_LOG(level, tag, stream_expr)                                               \
  do {                                                                                \
    if (::zu::util::logger::canLog(level)) {                                          \
      using ::zu::__::operator<<;                                                     \
      ::zu::__::LogMessage zu_log_message_;                                           \
      zu_log_message_.stream() << stream_expr;                                        \
      ::zu::util::logger::output(tag, __FILE__, __LINE__, zu_log_message_.text());    \
    }                                                                                 \
  } while (0)

#define ZU_LOG_OBJ(level, tag, object, stream_expr) \
  ZU_LOG(level, tag, ::zu::__::className(object) << ": " << stream_expr)

#endif
