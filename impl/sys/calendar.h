// Proleptic Gregorian calendar arithmetic on 64-bit day and second counts:
// valid for any year, without the C library's time_t limits, and free of
// clocks, zones and locales. Used by the time formats, the date parser and
// the platform's zone code.
#ifndef ZU_IMPL_CALENDAR_H
#define ZU_IMPL_CALENDAR_H

#include <cstdint>
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

}  // namespace __
}  // namespace sys
}  // namespace zu

#endif
