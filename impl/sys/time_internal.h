// Internals of the time family shared by the formats, the date parser, the
// platform layer (time_posix.cpp) and the tests: proleptic Gregorian
// calendar arithmetic (valid for any year, without the C library's time_t
// limits), the user's locale texts, the wall clock, the local standard-time
// offset and a replaceable tick source.
#ifndef ZU_IMPL_TIME_INTERNAL_H
#define ZU_IMPL_TIME_INTERNAL_H

#include <cstdint>
#include <memory>
#include <string>
#include <zu/config.h>
#include <zu/time.h>

namespace zu {
namespace sys {
namespace __ {

// Floor division and modulo: calendar arithmetic must round towards minus
// infinity for times before the epoch.
inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
inline std::int64_t floorMod(std::int64_t a, std::int64_t b) { return a - floorDiv(a, b) * b; }

// Days since 1970-01-01 of a date; `month` may lie outside 1-12 and `day`
// outside the month: both carry over as mktime() normalises them.
inline std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
  year += floorDiv(month - 1, 12);
  month = floorMod(month - 1, 12) + 1;
  // Years counted from March, so the leap day is the last day of a year.
  std::int64_t y = month <= 2 ? year - 1 : year;
  std::int64_t era = floorDiv(y, 400);
  std::int64_t yoe = y - era * 400;
  std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
  std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + (day - 1);
}

inline void civilFromDays(std::int64_t days, int& year, int& month, int& day) {
  days += 719468;
  std::int64_t era = floorDiv(days, 146097);
  std::int64_t doe = days - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

inline bool isLeapYear(std::int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

inline int daysInMonth(std::int64_t year, int month) {
  static int const days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// Calendar fields of `seconds` since the epoch read as UTC (callers shift
// by the zone offset first).
inline Time::Detail breakDown(std::int64_t seconds, unsigned int milliseconds) {
  Time::Detail d;
  std::int64_t days = floorDiv(seconds, 86400);
  std::int64_t rest = seconds - days * 86400;
  d.millisecond = static_cast<int>(milliseconds);
  d.hour = static_cast<int>(rest / 3600);
  d.minute = static_cast<int>(rest / 60 % 60);
  d.second = static_cast<int>(rest % 60);
  civilFromDays(days, d.year, d.month, d.day);
  d.weekday = static_cast<int>(floorMod(days + 4, 7));  // 1970-01-01 was a Thursday
  d.yearDay = static_cast<int>(days - daysFromCivil(d.year, 1, 1));
  return d;
}

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

// The texts of the user's locale, kept until the environment variables
// that choose it change. Thread-safe.
std::shared_ptr<LocaleTexts const> userLocale();

// Seconds since the epoch and milliseconds of the system's wall clock.
void wallClock(std::int64_t& seconds, unsigned int& milliseconds);

// Offset of the local zone's standard time in minutes, east positive; the
// daylight-saving offset is never used.
int localStandardOffset();

// Replaces the clock behind Time::tickCount() (null restores the monotonic
// clock), so that tests can place the tick anywhere, a wrap included.
typedef unsigned int (*TickSource)();
void setTickSource(TickSource source);

// Creates the family's process-wide state (the tick source, the cache of
// locale texts); called once at load time.
void initializeTime();
void initializeTimePlatform();

}  // namespace __
}  // namespace sys
}  // namespace zu

#endif
