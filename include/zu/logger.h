// zu::util::logger: the process-wide log. A line of level n is written when
// n <= the threshold; lines go to the log file when one is open, otherwise
// to standard output, and to the callback when one is set.
#ifndef ZU_LOGGER_H
#define ZU_LOGGER_H

#include <atomic>
#include <boost/weak_ptr.hpp>
#include <climits>
#include <cstddef>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <type_traits>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace util {
namespace logger {

// Option bits for setOptions.
enum {
  LOG_OPTION_TIME = 1,         // line begins with the local time and a blank
  LOG_OPTION_SOURCE = 2,       // "file(line) " after the thread part
  LOG_OPTION_THREAD = 4,       // "tid:0x" and 8 hexadecimal digits after the tag
  LOG_OPTION_DAILY_FILE = 8,   // file name carries the date; a new file per day
  LOG_OPTION_APPEND = 16,      // keep an existing file's contents
  // Lines collect in memory (64 KB) and are written when the buffer fills,
  // at least once a second (from timer reactor 0, and by the next line),
  // on a line with the tag "[ERR ]", at zu::finalize(), before a fork and
  // at a normal exit. A crash may lose up to a second of lines. Without
  // it, each line is in the file when output returns.
  LOG_OPTION_BUFFERED = 32
};

// Receives every written line, without the line feed, under the logger's
// lock. Logging from inside onLog writes nothing.
class ZU_API ILogCallback : public IBase {
 public:
  virtual void onLog(char const* line) = 0;  // one written line
};

namespace __ {
// The threshold, read by canLog in the caller's own code: every suppressed
// line costs one load, not a call into the library.
ZU_API extern std::atomic<unsigned int> threshold;
}  // namespace __

// level <= threshold (3 at start). Takes no lock.
inline bool canLog(unsigned int level) { return level <= __::threshold.load(std::memory_order_relaxed); }
ZU_API void setLevel(unsigned int level);  // the threshold canLog compares with
// Turns on the bits of `set`, then off the bits of `clear`.
ZU_API void setOptions(unsigned int set, unsigned int clear);
// Time-stamp pattern (default "yyyy/MM/dd hh:mm:ss.uuu").
ZU_API void setTimeFormat(String const& format);
// Stores the path and (re)opens the log file at once; "" means standard
// output. A file that cannot be opened is silently not used.
ZU_API void setFilePath(String const& path);
// The logger never keeps the callback object alive.
ZU_API void setCallback(boost::weak_ptr<ILogCallback> callback);
// Formats and writes one line; false only when called while this thread is
// already writing a line (re-entry). Does not test the level.
ZU_API bool output(char const* tag, char const* file, int line, char const* message);
// The same for a String message.
ZU_API bool output(char const* tag, char const* file, int line, String const& message);

// What the logging macros below build a message with; not called directly.
namespace __ {
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

// The calling thread's stream, made on first use and destroyed when the
// thread ends (kept by the library, where per-thread objects are destroyed
// safely on every system).
ZU_API LogStream& threadLogStream();

// One message being built: the thread's stream when it is free, otherwise
// (a message streamed while building another, or a thread that is ending)
// a stream of its own.
class LogMessage {
 public:
  LogMessage() {
    unsigned char& state = logStreamState();
    if (state == LOG_STREAM_NONE || state == LOG_STREAM_IDLE) {
      stream_ = &threadLogStream();
      state = LOG_STREAM_BUSY;
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

}  // namespace logger
}  // namespace util
}  // namespace zu

// The logging pattern for callers, as the library itself logs: the level is
// tested first, and only then is the message streamed together and written
// with the caller's file and line.
//
//   ZU_LOG(3, "[DBG1]", "connected to " << host << ":" << port);
//   ZU_LOG_ERR("cannot open " << path);   // level 0, "[ERR ]"
//
// The message may use any operator<< of std::ostream, Strings included. The
// shortcuts carry the library's levels and tags: ZU_LOG_ERR 0 "[ERR ]",
// ZU_LOG_WARN 1 "[WARN]", ZU_LOG_DBG1 3 "[DBG1]", ZU_LOG_DBG3 5 "[DBG3]".
#define ZU_LOG(level, tag, stream_expr)                                                         \
  do {                                                                                          \
    if (::zu::util::logger::canLog(level)) {                                                    \
      ::zu::util::logger::__::LogMessage zu_log_message_;                                       \
      zu_log_message_.stream() << stream_expr;                                                  \
      ::zu::util::logger::output(tag, __FILE__, __LINE__, zu_log_message_.text());              \
    }                                                                                           \
  } while (0)

// An error line: ZU_LOG at level 0 with the tag "[ERR ]".
#define ZU_LOG_ERR(stream_expr) ZU_LOG(0, "[ERR ]", stream_expr)
// A warning line: level 1, "[WARN]".
#define ZU_LOG_WARN(stream_expr) ZU_LOG(1, "[WARN]", stream_expr)
// A coarse debugging line: level 3, "[DBG1]".
#define ZU_LOG_DBG1(stream_expr) ZU_LOG(3, "[DBG1]", stream_expr)
// A fine debugging line: level 5, "[DBG3]".
#define ZU_LOG_DBG3(stream_expr) ZU_LOG(5, "[DBG3]", stream_expr)

#endif
