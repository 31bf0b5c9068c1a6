// The time family on Windows: the wall clock, the zone's standard bias and
// the user's locale texts (GetLocaleInfoW).
#include "platform/platform.h"
#include "platform/time_platform.h"

#include "win32/wide.h"

#include <mutex>

namespace zu {
namespace sys {
namespace __ {

namespace {

std::string localeText(LCTYPE item) {
  wchar_t buffer[128];
  int const n = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, item, buffer, sizeof buffer / sizeof buffer[0]);
  return n > 1 ? ::zu::__::win32::narrow(buffer, n - 1) : std::string();
}

std::shared_ptr<LocaleTexts const> loadLocaleTexts() {
  auto texts = std::make_shared<LocaleTexts>();
  for (int i = 0; i < 12; ++i) {
    texts->monthAbbrev[i] = localeText(LOCALE_SABBREVMONTHNAME1 + i);
    texts->month[i] = localeText(LOCALE_SMONTHNAME1 + i);
  }
  // The table starts on Sunday; the system's day names on Monday.
  for (int i = 0; i < 7; ++i) {
    int const day = (i + 6) % 7;
    texts->dayAbbrev[i] = localeText(LOCALE_SABBREVDAYNAME1 + day);
    texts->day[i] = localeText(LOCALE_SDAYNAME1 + day);
  }
  texts->am = localeText(LOCALE_S1159);
  texts->pm = localeText(LOCALE_S2359);
  std::string const order = localeText(LOCALE_IDATE);
  texts->order = order == "1" ? DAY_MONTH_YEAR : order == "2" ? YEAR_MONTH_DAY : MONTH_DAY_YEAR;
  std::string const dateSeparator = localeText(LOCALE_SDATE);
  if (!dateSeparator.empty()) texts->dateSeparator = dateSeparator;
  std::string const timeSeparator = localeText(LOCALE_STIME);
  if (!timeSeparator.empty()) texts->timeSeparator = timeSeparator;
  texts->clock12 = localeText(LOCALE_ITIME) == "0";
  return texts;
}

struct LocaleCache {
  std::mutex mutex;
  std::shared_ptr<LocaleTexts const> texts;
};

LocaleCache& localeCache() {
  static LocaleCache cache;
  return cache;
}

}  // namespace

// The user's locale is the system's setting, not the environment's: it is
// read once.
std::shared_ptr<LocaleTexts const> userLocale() {
  LocaleCache& cache = localeCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (!cache.texts) cache.texts = loadLocaleTexts();
  return cache.texts;
}

int localStandardOffset() {
  TIME_ZONE_INFORMATION zone;
  if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return 0;
  // The bias is what local standard time adds to reach UTC, in minutes.
  return -static_cast<int>(zone.Bias + zone.StandardBias);
}

void wallClock(std::int64_t& seconds, unsigned int& milliseconds) {
  std::int64_t const nanoseconds = ::zu::__::platform::wallClockNanoseconds();
  seconds = nanoseconds / 1000000000;
  std::int64_t rest = nanoseconds % 1000000000;
  if (rest < 0) {
    rest += 1000000000;
    --seconds;
  }
  milliseconds = static_cast<unsigned int>(rest / 1000000);
}

void initializeTimePlatform() { localeCache(); }

}  // namespace __
}  // namespace sys
}  // namespace zu
