// The time family on POSIX systems: the wall clock, the local zone's
// standard offset and the user's locale texts.
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <zu/string.h>

#include "platform/time_platform.h"

namespace zu {
namespace sys {
namespace __ {

namespace {

// The wide forms of the names are in UTF-32 whatever the locale's codeset.
std::string wideText(nl_item item, locale_t locale) {
  // String's wide constructor encodes each UTF-32 unit as UTF-8.
  return String(reinterpret_cast<wchar_t const*>(nl_langinfo_l(item, locale))).cstr();
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

}  // namespace

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

void wallClock(std::int64_t& seconds, unsigned int& milliseconds) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  seconds = ts.tv_sec;
  milliseconds = static_cast<unsigned int>(ts.tv_nsec / 1000000);
}

void initializeTimePlatform() {
  localeCache();
  zoneCache();
}

}  // namespace __
}  // namespace sys
}  // namespace zu
