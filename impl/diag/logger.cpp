// The process log: levels, the output file and its daily change, and
// buffered writes flushed by a timer.
#include <zu/fs.h>
#include <boost/make_shared.hpp>
#include <zu/logger.h>
#include <zu/sys.h>
#include <zu/time.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "diag/logger_hooks.h"
#include "platform/platform.h"

namespace zu {
namespace util {
namespace logger {

// Outside the locked state so that canLog is a single relaxed load.
// Constant-initialised: no code runs for it at load.
std::atomic<unsigned int> __::threshold{3};

namespace {

enum { DAY_UNKNOWN = -1 };

// With LOG_OPTION_BUFFERED, lines collect up to this many bytes before a
// write; the timer and the other flush points write them sooner.
std::size_t const bufferCapacity = 64 * 1024;
// The longest time a buffered line waits for its write while lines keep
// coming (the timer covers a quiet log).
std::int64_t const flushInterval = 1000;

struct State {
  // Re-entrant, like the lock the rest of the library uses: a callback may
  // call setLevel or setOptions; `busy` stops it from writing a line.
  std::recursive_mutex mutex;
  unsigned int options = LOG_OPTION_TIME;
  fs::Path filePath;
  String timeFormat = "yyyy/MM/dd hh:mm:ss.uuu";
  int timeFormatId = -1;
  boost::weak_ptr<ILogCallback> callback;
  boost::shared_ptr<fs::IFile> file;
  // Year * 1000 + day of the year of the daily file in use: the year is
  // part of the key so that a log idle for exactly a year still rolls.
  int lastDay = DAY_UNKNOWN;
  bool busy = false;
  __::Clock clock = nullptr;

  // Many lines share a millisecond: the formatted stamp is kept until the
  // time or the pattern changes.
  std::int64_t stampTime = -1;
  std::string stamp;
  // The second whose day key was computed last.
  std::int64_t daySecond = -1;
  int dayKey = DAY_UNKNOWN;
  // Reused for every line; grows to the longest line once.
  std::string line;
  // Buffered lines not yet written, and when the buffer was last written
  // (milliseconds since the epoch).
  std::string pending;
  std::int64_t flushedAt = 0;
};

// The timer that writes buffered lines at least once a second. It has its
// own lock, never held together with the logger's: the timer family logs
// too, so starting a timer under the logger's lock could deadlock.
class FlushTick : public sys::ITimerCallback {
 public:
  void onTimer(boost::shared_ptr<sys::ITimer>) override { __::flush(); }
};

struct Ticker {
  std::mutex mutex;
  boost::shared_ptr<FlushTick> tick;
  boost::shared_ptr<sys::ITimer> timer;
};

Ticker& ticker() {
  static Ticker* const t = new Ticker;
  return *t;
}

// The thread id costs a system call; each thread asks once. A forked child
// continues on the forking thread under a new id, so the fork handler (run
// on that thread) forgets the cached one.
thread_local unsigned int cachedThreadId = 0;

unsigned int threadId() {
  unsigned int id = cachedThreadId;
  if (id == 0) cachedThreadId = id = sys::IThread::currentId();
  return id;
}

State& state();

// A fork while another thread writes a line would leave the child with a
// lock nobody releases. The forking thread holds the lock across the fork;
// the child, whose only thread now runs under a new id and so cannot
// release it, starts with a fresh lock.
// Buffered lines are written before the fork, so that neither process
// writes them a second time.
void writePending(State& s);

void lockBeforeFork() {
  State& s = state();
  s.mutex.lock();
  writePending(s);
}
void unlockInParent() { state().mutex.unlock(); }
void resetInChild() {
  cachedThreadId = 0;
  State& s = state();
  new (&s.mutex) std::recursive_mutex;
}

// Buffered lines reach the file when the process exits normally, the
// parent as well as a forked child.
void flushAtExit() { __::flush(); }

// Created once at load and never destroyed: threads of the host may still
// write lines while the process runs its exit handlers.
State& state() {
  static State* const s = [] {
    State* created = new State;
    ::zu::__::platform::atFork(lockBeforeFork, unlockInParent, resetInChild);
    std::atexit(flushAtExit);
    return created;
  }();
  return *s;
}

// Writes `size` bytes to the current sink, the whole of them unless the
// file refuses.
void writeToSink(State& s, char const* data, std::size_t size) {
  if (s.file) {
    func::IIO* io = s.file->toIO();
    while (size > 0) {
      unsigned int const step = size > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(size);
      unsigned int const written = io->write(data, step);
      if (written == 0) break;
      data += written;
      size -= written;
    }
  } else {
    std::fwrite(data, 1, size, stdout);
    std::fflush(stdout);
  }
}

void writePending(State& s) {
  if (s.pending.empty()) return;
  writeToSink(s, s.pending.data(), s.pending.size());
  s.pending.clear();
}

// Starts the flush timer when buffering is on and no timer runs.
void startTicker() {
  Ticker& t = ticker();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.timer) return;
  try {
    t.tick = boost::make_shared<FlushTick>();
    t.timer = sys::ITimer::New(0);
    t.timer->start(static_cast<unsigned int>(flushInterval), t.tick);
  } catch (...) {
    t.timer.reset();
  }
}

void stopTicker() {
  boost::shared_ptr<sys::ITimer> timer;
  {
    Ticker& t = ticker();
    std::lock_guard<std::mutex> lock(t.mutex);
    timer.swap(t.timer);
  }
  if (timer) timer->stop();
}

sys::Time currentTime(State& s) { return s.clock ? s.clock() : sys::Time::now(); }

void appendStamp(State& s, sys::Time const& now) {
  std::int64_t t = now.toTimestamp();
  if (t != s.stampTime || s.stamp.empty()) {
    String text = s.timeFormatId == -1
                      ? now.toString(s.timeFormat, -1)
                      : now.toString(static_cast<sys::TimeFormat>(s.timeFormatId), -1);
    s.stamp.assign(text.cstr());
    s.stampTime = t;
  }
  s.line += s.stamp;
}

int dayKeyOf(State& s, sys::Time const& now) {
  std::int64_t second = now.toSeconds();
  if (second != s.daySecond) {
    sys::Time::Detail d = now.detail(-1);
    s.dayKey = d.year * 1000 + d.yearDay;
    s.daySecond = second;
  }
  return s.dayKey;
}

// Drops the current file and opens the one the path and options name for
// `now`. Any failure leaves standard output as the sink.
void reopen(State& s, sys::Time const& now) {
  writePending(s);
  s.file.reset();
  String path = s.filePath.toString();
  if (path.empty()) return;
  bool daily = (s.options & LOG_OPTION_DAILY_FILE) != 0;
  fs::Path name = s.filePath;
  if (daily) {
    name = s.filePath.getParent();
    name.append(s.filePath.getBaseName() + now.toString("yyyy_MM_dd", -1) + s.filePath.getExtension());
    s.lastDay = dayKeyOf(s, now);
  }
  boost::shared_ptr<fs::IFile> file = fs::IFile::New(name);
  if (!file->open(false, fs::FILE_MODE_OPEN_ALWAYS)) return;
  func::IRandomAccess* ra = file->toRandomAccess();
  if (!daily && !(s.options & LOG_OPTION_APPEND) && !ra->setSize(0)) return;
  if (!ra->seek(ra->size())) return;
  s.file = file;
}

// "tid:0x", 8 zero-filled hexadecimal digits and a blank; by hand, as a
// formatted print costs more than the rest of the line.
void appendThreadId(std::string& line, unsigned int id) {
  static char const digits[] = "0123456789abcdef";
  char text[] = "tid:0x00000000 ";
  for (int i = 13; i >= 6; --i, id >>= 4) text[i] = digits[id & 0xF];
  line.append(text, sizeof text - 1);
}

void appendSource(std::string& line, char const* file, int number) {
  char const* base = std::strrchr(file, '/');
  if (!base) base = std::strrchr(file, '\\');
  line += base ? base + 1 : file;
  char digits[24];
  std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, number);
  line += '(';
  line.append(digits, end.ptr);
  line += ") ";
}

}  // namespace

namespace __ {

LogStream& threadLogStream() {
  ZU_THREAD_OBJECT(LogStreamHolder, holder);
  return holder.stream;
}

void initialize() { state(); }

void flush() {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  try {
    writePending(s);
    s.flushedAt = currentTime(s).toTimestamp();
  } catch (...) {
  }
}

void finalize() {
  // The timer's thread has ended with the library's other threads; later
  // lines are written when the buffer fills, on an error line, by the next
  // line a second after the last write, and at exit.
  stopTicker();
  flush();
}

void setClock(Clock clock) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.clock = clock;
  s.stampTime = -1;
  s.daySecond = -1;
}

}  // namespace __

void setLevel(unsigned int level) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  __::threshold.store(level, std::memory_order_relaxed);
}

void setOptions(unsigned int set, unsigned int clear) {
  State& s = state();
  bool buffered;
  {
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    bool const was = (s.options & LOG_OPTION_BUFFERED) != 0;
    s.options = (s.options | set) & ~clear;
    buffered = (s.options & LOG_OPTION_BUFFERED) != 0;
    if (!buffered) writePending(s);
    if (buffered && !was) s.flushedAt = currentTime(s).toTimestamp();
  }
  // Outside the logger's lock (see Ticker).
  if (buffered) {
    startTicker();
  } else {
    stopTicker();
  }
}

void setTimeFormat(String const& format) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.timeFormat = format;
  s.timeFormatId = -1;
  s.stampTime = -1;
}

void setFilePath(String const& path) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  try {
    s.filePath = fs::Path(path);
    reopen(s, currentTime(s));
  } catch (...) {
    // Out of memory: the log keeps whatever sink it had reached.
  }
}

void setCallback(boost::weak_ptr<ILogCallback> callback) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.callback = callback;
}

bool output(char const* tag, char const* file, int line, char const* message) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (s.busy) return false;
  s.busy = true;
  struct ClearBusy {
    bool& busy;
    ~ClearBusy() { busy = false; }
  } clearBusy{s.busy};

  try {
    sys::Time now = currentTime(s);
    std::string& text = s.line;
    text.clear();
    unsigned int const options = s.options;
    if (options & LOG_OPTION_TIME) {
      appendStamp(s, now);
      text += ' ';
    }
    if (tag) text += tag;
    text += ' ';
    if (options & LOG_OPTION_THREAD) appendThreadId(text, threadId());
    if ((options & LOG_OPTION_SOURCE) && file) appendSource(text, file, line);
    if (message) text += message;

    if (options & LOG_OPTION_DAILY_FILE) {
      if (dayKeyOf(s, now) != s.lastDay) {
        reopen(s, now);
        s.lastDay = dayKeyOf(s, now);
      }
    }

    // Line and line feed in one write, so that a reader of the file never
    // sees a line without its end, even when several processes share it.
    text += '\n';
    if (options & LOG_OPTION_BUFFERED) {
      // Whole lines only, so the buffer is written at line ends. An error
      // line is written at once, with everything before it.
      s.pending += text;
      std::int64_t const stamp = now.toTimestamp();
      if (s.pending.size() >= bufferCapacity || (tag && std::strcmp(tag, "[ERR ]") == 0) ||
          stamp - s.flushedAt >= flushInterval || stamp < s.flushedAt) {
        writePending(s);
        s.flushedAt = stamp;
      }
    } else {
      writePending(s);
      writeToSink(s, text.data(), text.size());
    }
    text.pop_back();

    if (boost::shared_ptr<ILogCallback> callback = s.callback.lock()) callback->onLog(text.c_str());
  } catch (...) {
    // Neither an allocation failure nor a throwing callback may escape into
    // the code that logs.
  }
  return true;
}

bool output(char const* tag, char const* file, int line, String const& message) {
  return output(tag, file, line, message.cstr());
}

}  // namespace logger
}  // namespace util
}  // namespace zu
