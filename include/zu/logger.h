// zu::util::logger: the process-wide log. A line of level n is written when
// n <= the threshold; lines go to the log file when one is open, otherwise
// to standard output, and to the callback when one is set.
#ifndef ZU_LOGGER_H
#define ZU_LOGGER_H

#include <atomic>
#include <boost/weak_ptr.hpp>
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
  virtual void onLog(char const* line) = 0;
};

namespace __ {
// The threshold, read by canLog in the caller's own code: every suppressed
// line costs one load, not a call into the library.
ZU_API extern std::atomic<unsigned int> threshold;
}  // namespace __

// level <= threshold (3 at start). Takes no lock.
inline bool canLog(unsigned int level) { return level <= __::threshold.load(std::memory_order_relaxed); }
ZU_API void setLevel(unsigned int level);
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

}  // namespace logger
}  // namespace util
}  // namespace zu

#endif
