// Time values, their text patterns and named formats, the tick, Timeout and
// AdaptiveDelay. The free-form date parser lives in date_parser.cpp.
#include <zu/time.h>

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <zu/sys.h>

#include "date_parser.h"
#include "platform.h"
#include "time_internal.h"

namespace zu {
namespace sys {

namespace __ {

namespace {

char const* const englishMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
char const* const englishDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// ---------------------------------------------------------------------------
// The user's locale

enum DateOrder { MONTH_DAY_YEAR, DAY_MONTH_YEAR, YEAR_MONTH_DAY };

// The texts and conventions of the user's locale (LC_TIME), in UTF-8.
struct LocaleTexts {
  std::string monthAbbrev[12];
  std::string month[12];
  std::string dayAbbrev[7];
  std::string day[7];
  std::string am, pm;
  DateOrder order = MONTH_DAY_YEAR;
  std::string dateSeparator = "/";
  std::string timeSeparator = ":";
  bool clock12 = false;
};

void appendUtf8(std::string& out, wchar_t const* text) {
  if (!text) return;
  for (; *text; ++text) {
    std::uint32_t c = static_cast<std::uint32_t>(*text);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

// The wide forms of the names are in UTF-32 whatever the locale's codeset.
std::string wideText(nl_item item, locale_t locale) {
  std::string out;
  appendUtf8(out, reinterpret_cast<wchar_t const*>(nl_langinfo_l(item, locale)));
  return out;
}

// Reads the conversions of a strftime format: calls `field` with each
// conversion letter and the literal text since the previous one. Flags,
// widths and E/O modifiers are skipped; %D, %F, %T, %R and %r expand.
template <class F>
void scanFormat(std::string const& format, std::string const& ampmFormat, F field, int depth = 0) {
  std::string literal;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      literal += format[i];
      continue;
    }
    ++i;
    while (i < format.size() && std::strchr("-_0^#EO123456789", format[i])) ++i;
    if (i >= format.size()) break;
    char c = format[i];
    char const* expansion = nullptr;
    switch (c) {
      case 'D': expansion = "%m/%d/%y"; break;
      case 'F': expansion = "%Y-%m-%d"; break;
      case 'T': expansion = "%H:%M:%S"; break;
      case 'R': expansion = "%H:%M"; break;
      case 'r': expansion = ampmFormat.empty() ? "%I:%M:%S %p" : ampmFormat.c_str(); break;
      case '%': literal += '%'; continue;
      default: break;
    }
    if (expansion && depth < 2) {
      field('\0', literal);  // flushes the literal text before the expansion
      literal.clear();
      scanFormat(expansion, ampmFormat, field, depth + 1);
      continue;
    }
    field(c, literal);
    literal.clear();
  }
}

// A separator is kept only when it is plain punctuation or a blank; letters
// or digits ("年") would not read as a separator in a numeric date.
bool usableSeparator(std::string const& s) {
  if (s.empty()) return false;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x80 || (u < 0x20) || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
      return false;
  }
  return true;
}

void readDateConventions(std::string const& dateFormat, LocaleTexts& texts) {
  char fields[3] = {0, 0, 0};
  int count = 0;
  std::string separator;
  std::string pending;
  scanFormat(dateFormat, std::string(), [&](char c, std::string const& literal) {
    pending += literal;
    char kind = 0;
    if (c == 'd' || c == 'e') kind = 'd';
    else if (c == 'm' || c == 'b' || c == 'h' || c == 'B') kind = 'm';
    else if (c == 'y' || c == 'Y' || c == 'C' || c == 'G' || c == 'g') kind = 'y';
    if (!kind) return;
    if (count == 1) separator = pending;
    pending.clear();
    if (count < 3) fields[count++] = kind;
  });
  if (fields[0] == 'd')
    texts.order = DAY_MONTH_YEAR;
  else if (fields[0] == 'y')
    texts.order = YEAR_MONTH_DAY;
  else
    texts.order = MONTH_DAY_YEAR;
  if (usableSeparator(separator)) texts.dateSeparator = separator;
}

void readTimeConventions(std::string const& timeFormat, std::string const& ampmFormat, LocaleTexts& texts) {
  int count = 0;
  bool twelve = false;
  std::string separator, pending;
  scanFormat(timeFormat, ampmFormat, [&](char c, std::string const& literal) {
    pending += literal;
    if (!c || !std::strchr("HIklMS", c)) return;
    if (c == 'I' || c == 'l') twelve = true;
    if (count == 1) separator = pending;
    pending.clear();
    ++count;
  });
  texts.clock12 = twelve;
  if (usableSeparator(separator)) texts.timeSeparator = separator;
}

std::shared_ptr<LocaleTexts const> loadLocaleTexts() {
  // The user's locale from the environment, without touching the process
  // locale. When some category names a locale that is not installed, the
  // time category alone may still load.
  locale_t locale = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  if (!locale) locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (!locale) locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  auto texts = std::make_shared<LocaleTexts>();
  if (!locale) return texts;
  for (int i = 0; i < 12; ++i) {
    texts->monthAbbrev[i] = wideText(static_cast<nl_item>(_NL_WABMON_1 + i), locale);
    texts->month[i] = wideText(static_cast<nl_item>(_NL_WMON_1 + i), locale);
  }
  for (int i = 0; i < 7; ++i) {
    texts->dayAbbrev[i] = wideText(static_cast<nl_item>(_NL_WABDAY_1 + i), locale);
    texts->day[i] = wideText(static_cast<nl_item>(_NL_WDAY_1 + i), locale);
  }
  texts->am = wideText(_NL_WAM_STR, locale);
  texts->pm = wideText(_NL_WPM_STR, locale);
  readDateConventions(nl_langinfo_l(D_FMT, locale), *texts);
  readTimeConventions(nl_langinfo_l(T_FMT, locale), nl_langinfo_l(T_FMT_AMPM, locale), *texts);
  freelocale(locale);
  return texts;
}

// Loading a locale costs tens of microseconds, so its texts are kept until
// the variables that choose the time locale change.
struct LocaleCache {
  std::mutex mutex;
  std::string key;
  std::shared_ptr<LocaleTexts const> texts;
};

LocaleCache& localeCache() {
  static LocaleCache cache;
  return cache;
}

std::shared_ptr<LocaleTexts const> userLocale() {
  std::string key;
  for (char const* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    char const* value = std::getenv(name);
    key += value ? value : "\x01";
    key += '\0';
  }
  LocaleCache& cache = localeCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (!cache.texts || cache.key != key) {
    cache.texts = loadLocaleTexts();
    cache.key = key;
  }
  return cache.texts;
}

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

namespace {

int computeStandardOffset(time_t now) {
  struct tm fields;
  if (localtime_r(&now, &fields) && fields.tm_isdst <= 0) return static_cast<int>(fields.tm_gmtoff / 60);
  // Daylight saving time is in force: half a year away the zone keeps its
  // standard time, in either hemisphere.
  for (time_t probe : {now - 183 * 86400, now + 183 * 86400}) {
    if (localtime_r(&probe, &fields) && fields.tm_isdst == 0) return static_cast<int>(fields.tm_gmtoff / 60);
  }
  return static_cast<int>(-timezone / 60);  // a zone on permanent daylight time
}

// tzset() re-reads /etc/localtime on every call when TZ is unset (several
// microseconds), so the offset is kept until TZ changes or for a minute.
struct ZoneCache {
  std::mutex mutex;
  bool valid = false;
  bool tzSet = false;
  std::string tz;
  time_t expires = 0;
  int offset = 0;
};

ZoneCache& zoneCache() {
  static ZoneCache cache;
  return cache;
}

}  // namespace

int localStandardOffset() {
  char const* tz = std::getenv("TZ");
  time_t now = ::time(nullptr);
  ZoneCache& cache = zoneCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (!cache.valid || now >= cache.expires || cache.tzSet != (tz != nullptr) || (tz && cache.tz != tz)) {
    tzset();
    cache.offset = computeStandardOffset(now);
    cache.tzSet = tz != nullptr;
    cache.tz = tz ? tz : "";
    cache.expires = now + 60;
    cache.valid = true;
  }
  return cache.offset;
}

void setTickSource(TickSource source) { tickSource().store(source); }

void initializeTime() {
  tickSource();
  localeCache();
  zoneCache();
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
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return Time(static_cast<int>(ts.tv_sec), static_cast<unsigned int>(ts.tv_nsec / 1000000));
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
