// What the time family takes from the operating system: the wall clock,
// the local zone's standard-time offset and the texts and conventions of
// the user's locale. Free of operating-system headers; time_posix.cpp
// implements it for Linux and other POSIX systems.
#ifndef ZU_IMPL_TIME_PLATFORM_H
#define ZU_IMPL_TIME_PLATFORM_H

#include <cstdint>
#include <memory>
#include <string>
#include <zu/config.h>

namespace zu {
namespace sys {
namespace __ {

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

// Sets up the platform's part of the family's state; called once at load
// time.
void initializeTimePlatform();

}  // namespace __
}  // namespace sys
}  // namespace zu

#endif
