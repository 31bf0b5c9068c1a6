// Time values, their text patterns and named formats, the tick, Timeout and
// AdaptiveDelay. The free-form date parser lives in date_parser.cpp.
#include <zu/time.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include <zu/sys.h>

#include "sys/date_parser.h"
#include "platform/platform.h"
#include "sys/time_internal.h"
#include "sys/startup.h"

namespace zu {
namespace sys {

namespace __ {

namespace {

char const* const englishMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
char const* const englishDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Fetches the locale only when a pattern needs it.
class LazyLocale {
 public:
  LocaleTexts const& get() {
    if (!texts_) texts_ = userLocale();
    return *texts_;
  }

 private:
  std::shared_ptr<LocaleTexts const> texts_;
};

// ---------------------------------------------------------------------------
// Rendering

void appendNumber(std::string& out, std::int64_t value, std::size_t width) {
  char digits[24];
  std::size_t n = 0;
  std::uint64_t u = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (value < 0) out += '-';
  for (std::size_t i = n; i < width; ++i) out += '0';
  while (n) out += digits[--n];
}

bool isPatternLetter(char c) {
  switch (c) {
    case 'y': case 'M': case 'd': case 'h': case 'm': case 's': case 'u':
    case 'w': case 'a': case 'z': case 'Z':
      return true;
    default:
      return false;
  }
}

std::size_t utf8SequenceLength(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

void render(std::string& out, char const* pattern, std::size_t length, std::int64_t seconds,
            unsigned int milliseconds, int offset, LazyLocale& locale) {
  Time::Detail d = breakDown(seconds + offset * 60LL, milliseconds);
  bool twelveHour = std::memchr(pattern, 'a', length) != nullptr;
  std::size_t i = 0;
  while (i < length) {
    char c = pattern[i];
    if (c == '\\') {
      if (++i >= length) break;
      std::size_t n = utf8SequenceLength(static_cast<unsigned char>(pattern[i]));
      if (n > length - i) n = length - i;
      out.append(pattern + i, n);
      i += n;
      continue;
    }
    if (!isPatternLetter(c)) {
      out += c;
      ++i;
      continue;
    }
    std::size_t run = 1;
    while (i + run < length && pattern[i + run] == c) ++run;
    switch (c) {
      case 'y':
        if (run <= 2)
          appendNumber(out, floorMod(d.year, 100), 2);
        else
          appendNumber(out, d.year, 4);
        break;
      case 'M':
        if (run == 3 && i + 3 < length && pattern[i + 3] == 'E') {
          out += englishMonths[d.month - 1];
          ++i;  // the 'E'
        } else if (run == 3) {
          out += locale.get().monthAbbrev[d.month - 1];
        } else if (run > 3) {
          out += locale.get().month[d.month - 1];
        } else {
          appendNumber(out, d.month, run);
        }
        break;
      case 'd':
        appendNumber(out, d.day, run);
        break;
      case 'h': {
        int hour = d.hour;
        if (twelveHour) {
          hour %= 12;
          if (hour == 0) hour = 12;
        }
        appendNumber(out, hour, run);
        break;
      }
      case 'm':
        appendNumber(out, d.minute, run);
        break;
      case 's':
        appendNumber(out, d.second, run);
        break;
      case 'u':
        if (run == 1)
          appendNumber(out, d.millisecond / 100, 1);
        else if (run == 2)
          appendNumber(out, d.millisecond / 10, 2);
        else
          appendNumber(out, d.millisecond, 3);
        break;
      case 'w':
        if (run == 3 && i + 3 < length && pattern[i + 3] == 'e') {
          out += englishDays[d.weekday];
          ++i;  // the 'e'
        } else if (run <= 3) {
          out += locale.get().dayAbbrev[d.weekday];
        } else {
          out += locale.get().day[d.weekday];
        }
        break;
      case 'a':
        out += d.hour < 12 ? locale.get().am : locale.get().pm;
        break;
      case 'z':
      case 'Z':
        if (offset == 0) {
          out += c == 'Z' ? "Z" : "GMT";
        } else {
          int magnitude = offset < 0 ? -offset : offset;
          out += offset < 0 ? '-' : '+';
          appendNumber(out, magnitude / 60, 2);
          appendNumber(out, magnitude % 60, 2);
        }
        break;
    }
    i += run;
  }
}

// A locale separator inside a pattern: letters and backslashes are quoted
// so they come out as they are.
void appendLiteral(std::string& pattern, std::string const& text) {
  for (char c : text) {
    if (c == '\\' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) pattern += '\\';
    pattern += c;
  }
}

void appendTimePattern(std::string& pattern, LocaleTexts const& locale, bool withSeconds) {
  pattern += locale.clock12 ? "h" : "hh";
  appendLiteral(pattern, locale.timeSeparator);
  pattern += "mm";
  if (withSeconds) {
    appendLiteral(pattern, locale.timeSeparator);
    pattern += "ss";
  }
  if (locale.clock12) pattern += "a";
}

void appendDatePattern(std::string& pattern, LocaleTexts const& locale, int style) {
  static char const* const longDates[3] = {"wwww MMMM d, yyyy", "wwww d MMMM yyyy", "wwww yyyy MMMM d"};
  static char const* const mediumDates[3] = {"www MMM d, yy", "www d MMM yy", "www yy MMM d"};
  if (style == 0) {
    pattern += longDates[locale.order];
  } else if (style == 1) {
    pattern += mediumDates[locale.order];
  } else {
    static char const* const orders[3][3] = {{"MM", "dd", "yy"}, {"dd", "MM", "yy"}, {"yy", "MM", "dd"}};
    for (int i = 0; i < 3; ++i) {
      if (i) appendLiteral(pattern, locale.dateSeparator);
      pattern += orders[locale.order][i];
    }
  }
}

// The pattern of a locale-dependent format (3 to 10); empty for others.
std::string localePattern(TimeFormat format, LocaleTexts const& locale) {
  std::string p;
  switch (format) {
    case LongDateTime:
      appendTimePattern(p, locale, true);
      p += ' ';
      appendDatePattern(p, locale, 0);
      break;
    case LongDate:
      appendDatePattern(p, locale, 0);
      break;
    case LongTime:
      appendTimePattern(p, locale, true);
      break;
    case MediumDateTime:
      appendTimePattern(p, locale, false);
      p += ' ';
      appendDatePattern(p, locale, 1);
      break;
    case MediumDate:
      appendDatePattern(p, locale, 1);
      break;
    case ShortDateTime:
      appendTimePattern(p, locale, false);
      p += ' ';
      appendDatePattern(p, locale, 2);
      break;
    case ShortDate:
      appendDatePattern(p, locale, 2);
      break;
    case ShortTime:
      appendTimePattern(p, locale, false);
      break;
    default:
      break;
  }
  return p;
}

std::atomic<TickSource>& tickSource() {
  static std::atomic<TickSource> source{nullptr};
  return source;
}

bool fitsInt(std::int64_t v) { return v >= INT_MIN && v <= INT_MAX; }

}  // namespace

void setTickSource(TickSource source) { tickSource().store(source); }

void initializeTime() {
  tickSource();
  initializeTimePlatform();
}

}  // namespace __

// ---------------------------------------------------------------------------
// Time

Time::Time() : seconds_(0), milliseconds_(0) {}

Time::Time(int seconds, unsigned int milliseconds) : seconds_(seconds), milliseconds_(milliseconds) {}

Time::Time(Detail const& detail, TimeZone zone) : seconds_(0), milliseconds_(static_cast<unsigned int>(detail.millisecond)) {
  // The fields are a wall-clock time in standard time: the result is the
  // same whether or not daylight saving time is in force. Fields out of
  // range carry over as mktime() normalises them.
  std::int64_t wall = __::daysFromCivil(detail.year, detail.month, detail.day) * 86400 +
                      static_cast<std::int64_t>(detail.hour) * 3600 + static_cast<std::int64_t>(detail.minute) * 60 +
                      detail.second;
  std::int64_t offset = zone == -1 ? __::localStandardOffset() : zone;
  std::int64_t value = wall - offset * 60;
  if (__::fitsInt(value)) seconds_ = static_cast<int>(value);
}

Time::Time(String const& text) : seconds_(-1), milliseconds_(0) {
  std::int64_t value = __::parseDate(text.cstr(), now().seconds_, __::localStandardOffset());
  if (__::fitsInt(value)) seconds_ = static_cast<int>(value);
}

Time Time::now() {
  std::int64_t seconds;
  unsigned int milliseconds;
  __::wallClock(seconds, milliseconds);
  return Time(static_cast<int>(seconds), milliseconds);
}

unsigned int Time::tickCount() {
  __::TickSource source = __::tickSource().load(std::memory_order_relaxed);
  return source ? source() : ::zu::__::platform::monotonicMilliseconds();
}

Time::Detail Time::detail(TimeZone zone) const {
  int offset = zone == -1 ? __::localStandardOffset() : zone;
  return __::breakDown(seconds_ + offset * 60LL, milliseconds_);
}

int Time::toSeconds() const { return seconds_; }

std::int64_t Time::toTimestamp() const { return static_cast<std::int64_t>(seconds_) * 1000 + milliseconds_; }

int Time::compare(Time const& other) const {
  if (seconds_ != other.seconds_) return seconds_ < other.seconds_ ? -1 : 1;
  if (milliseconds_ != other.milliseconds_) return milliseconds_ < other.milliseconds_ ? -1 : 1;
  return 0;
}

String Time::toString(String const& pattern, TimeZone zone) const {
  int offset = zone == -1 ? __::localStandardOffset() : zone;
  std::string out;
  out.reserve(pattern.length() + 16);
  __::LazyLocale locale;
  __::render(out, pattern.cstr(), pattern.length(), seconds_, milliseconds_, offset, locale);
  return String(out.c_str(), static_cast<unsigned int>(out.size()));
}

String Time::toString(TimeFormat format, TimeZone zone) const {
  __::LazyLocale locale;
  std::string pattern;
  switch (format) {
    case HttpDate:
      pattern = "wwwe, dd MMME yyyy hh:mm:ss z";
      break;
    case IsoBasic:
      pattern = "yyyyMMddThhmmssZ";
      zone = -1;
      break;
    case IsoExtended:
      pattern = "yyyy-MM-dd T hh:mm:ss Z";
      zone = -1;
      break;
    default:
      if (format >= LongDateTime && format <= ShortTime) pattern = __::localePattern(format, locale.get());
      if (zone != -1) pattern += " z";
      break;
  }
  int offset = zone == -1 ? __::localStandardOffset() : zone;
  std::string out;
  __::render(out, pattern.data(), pattern.size(), seconds_, milliseconds_, offset, locale);
  return String(out.c_str(), static_cast<unsigned int>(out.size()));
}

// ---------------------------------------------------------------------------
// Timeout

Timeout::Timeout(unsigned int limit) : start_(Time::tickCount()), limit_(limit) {}

void Timeout::restart() { start_ = Time::tickCount(); }

// Unsigned subtraction is right across one wrap of the tick.
unsigned int Timeout::elapse() const { return Time::tickCount() - start_; }

bool Timeout::timedOut() const { return elapse() > limit_; }

unsigned int Timeout::value() const { return limit_; }

// ---------------------------------------------------------------------------
// AdaptiveDelay

struct AdaptiveDelay::State {
  SyncPoint wake{true};
  std::atomic<bool> first{true};
  unsigned int deadline = 0;  // only the delaying thread touches it
};

AdaptiveDelay::AdaptiveDelay() : state_(new State) {}

AdaptiveDelay::~AdaptiveDelay() { delete state_; }

void AdaptiveDelay::delay(unsigned int period) {
  unsigned int now = Time::tickCount();
  if (state_->first.exchange(false)) {
    state_->deadline = now;
    return;
  }
  state_->deadline += period;
  unsigned int wait = state_->deadline - now;
  // A wait longer than the period means the deadline has passed (the
  // difference wrapped): the round is late and runs at once.
  if (wait != 0 && wait <= period && state_->wake.wait(wait)) {
    // Woken early by cancelBlock(): continue the schedule from now. Left
    // in the future, the deadline would move a period further ahead on
    // every round and read as "passed" from then on, ending all pacing.
    state_->deadline = Time::tickCount();
  }
}

void AdaptiveDelay::reset() {
  state_->first.store(true);
  state_->wake.signal();
}

void AdaptiveDelay::cancelBlock() { state_->wake.signal(); }

}  // namespace sys
}  // namespace zu
