#include <zu/time.h>

#include <gtest/gtest.h>
#include <locale.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../impl/sys/date_parser.h"
#include "../impl/sys/calendar.h"
#include "../impl/sys/time_internal.h"

using zu::String;
using zu::sys::AdaptiveDelay;
using zu::sys::Time;
using zu::sys::TimeFormat;
using zu::sys::Timeout;

namespace {

// Sun, 06 Nov 1994 08:49:37 UTC, and the midnight that began that day.
int const kSunday = 784111777;
int const kMidnight = 784080000;
int const kDay = 86400;

std::string str(String const& s) { return s.cstr(); }

// Sets the variables that choose the zone and the locale for one test and
// puts the old values back afterwards.
//
// On Windows the zone and the user's locale are system settings, not the
// environment's, and a program cannot change them for itself. Wine takes
// both from the host's TZ and LC_ALL/LANG when a program starts, so there a
// case that needs a zone or a locale runs only when the program was started
// in it: tests/CMakeLists.txt starts time_test once more for each zone and
// locale these cases use; zone() and locale() tell whether the case can go on.
class Environment : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    for (auto const& name : kNames) {
      char const* v = std::getenv(name);
      saved_.push_back(v ? std::make_pair(true, std::string(v)) : std::make_pair(false, std::string()));
    }
    unsetenv("LC_TIME");
    unsetenv("LANG");
    locale("C");
    zone("UTC");
#endif
  }
  void TearDown() override {
#ifndef _WIN32
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].first)
        setenv(kNames[i], saved_[i].second.c_str(), 1);
      else
        unsetenv(kNames[i]);
    }
    tzset();
#endif
  }
#ifdef _WIN32
  static std::string started(char const* a, char const* b, char const* otherwise) {
    char const* v = std::getenv(a);
    if ((!v || !*v) && b) v = std::getenv(b);
    return v && *v ? v : otherwise;
  }
  // Whether the program runs in `name`.
  static bool zone(char const* name) { return started("TZ", nullptr, "UTC") == name; }
  // Whether the program runs in `name`; Windows has no C locale: Wine gives
  // US English for it.
  static bool locale(char const* name) {
    std::string host = started("LC_ALL", "LANG", "C");
    if (host == "C" || host == "C.UTF-8" || host == "POSIX") host = "en_US.UTF-8";
    return host == name;
  }
  static bool haveLocale(char const*) { return true; }
#else
  static bool zone(char const* name) {
    setenv("TZ", name, 1);
    tzset();
    return true;
  }
  static bool locale(char const* name) {
    setenv("LC_ALL", name, 1);
    return true;
  }
  // Whether the system has the locale; the time tests need de_DE and en_US
  // (scripts/deps.sh generates them).
  static bool haveLocale(char const* name) {
    locale_t l = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
    if (l) freelocale(l);
    return l != static_cast<locale_t>(0);
  }
#endif

 private:
  static constexpr char const* kNames[4] = {"TZ", "LC_ALL", "LC_TIME", "LANG"};
  std::vector<std::pair<bool, std::string>> saved_;
};
constexpr char const* Environment::kNames[4];

#ifdef _WIN32
char const* const kEnglish = "en_US.UTF-8";  // the locale Wine gives for C
char const* const kSunday2 = "So.";          // Windows's German short name
#else
char const* const kEnglish = "C";
char const* const kSunday2 = "So";
#endif
char const* const kSystemZone = "the zone is a system setting on Windows: this run was not started in it";
char const* const kSystemLocale = "the locale is a system setting on Windows: this run was not started in it";

using TimePattern = Environment;
using TimeNamedFormat = Environment;
using TimeFields = Environment;

TEST_F(TimePattern, RendersFieldsPaddedToTheirRunLength) {
  EXPECT_EQ("1970-01-01 00:00:00.000", str(Time().toString("yyyy-MM-dd hh:mm:ss.uuu", 0)));
  Time t(kSunday, 987);
  EXPECT_EQ("94 94 1994 11 11", str(t.toString("y yy yyy MM M", 0)));
  EXPECT_EQ("6 06 006 8 08 49 37 037", str(t.toString("d dd ddd h hh mm s sss", 0)));
  EXPECT_EQ("9 98 987 987", str(t.toString("u uu uuu uuuu", 0)));
  EXPECT_EQ("1 01", str(Time(0).toString("M MM", 0)));
  // Before the epoch the calendar still counts backwards correctly.
  EXPECT_EQ("1969-12-31 23:59:59.500", str(Time(-1, 500).toString("yyyy-MM-dd hh:mm:ss.uuu", 0)));
  EXPECT_EQ("1901-12-13 20:45:52", str(Time(-2147483647 - 1).toString("yyyy-MM-dd hh:mm:ss", 0)));
}

TEST_F(TimePattern, ShiftsByTheZoneAndNamesIt) {
  EXPECT_EQ("08:00 +0800", str(Time().toString("hh:mm Z", 480)));
  EXPECT_EQ("18:30 -0530", str(Time().toString("hh:mm Z", -330)));
  EXPECT_EQ("1969-12-31", str(Time().toString("yyyy-MM-dd", -330)));
  EXPECT_EQ("Z GMT Z", str(Time().toString("Z z ZZ", 0)));
  EXPECT_EQ("+0800+0800", str(Time().toString("zZ", 480)));
  EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", str(Time(kSunday).toString(zu::sys::HttpDate, 0)));
  EXPECT_EQ("Sun, 06 Nov 1994 16:49:37 +0800", str(Time(kSunday).toString(zu::sys::HttpDate, 480)));
  EXPECT_EQ("Sun, 06 Nov 1994 03:19:37 -0530", str(Time(kSunday).toString(zu::sys::HttpDate, -330)));
}

TEST_F(TimePattern, LocalZoneIsStandardTimeEvenDuringDaylightSaving) {
  int ran = 0;
  if (zone("Asia/Kolkata") && ++ran) { EXPECT_EQ("05:30 +0530", str(Time().toString("hh:mm Z"))); }
  // New York in July keeps its standard -0500 (not -0400).
  if (zone("America/New_York") && ++ran) {
    Time july(Time::Detail{0, 0, 0, 12, 1, 0, 0, 7, 2021}, 0);
    EXPECT_EQ("07:00 -0500", str(july.toString("hh:mm Z")));
  }
  // Sydney keeps +1000 in its southern summer too.
  if (zone("Australia/Sydney") && ++ran) { EXPECT_EQ(600, zu::sys::__::localStandardOffset()); }
  if (zone("Europe/Berlin") && ++ran) { EXPECT_EQ(60, zu::sys::__::localStandardOffset()); }
  if (zone("UTC") && ++ran) { EXPECT_EQ("Z", str(Time().toString("Z"))); }
  if (!ran) GTEST_SKIP() << kSystemZone;
}

TEST_F(TimePattern, TwelveHourClockWhenThePatternHoldsA) {
  Time afternoon(13 * 3600);
  EXPECT_EQ("1 PM", str(afternoon.toString("h a", 0)));
  EXPECT_EQ("13", str(afternoon.toString("h", 0)));
  EXPECT_EQ("12 AM", str(Time(0).toString("h a", 0)));
  EXPECT_EQ("12 PM", str(Time(12 * 3600).toString("h a", 0)));
  EXPECT_EQ("11:59AM", str(Time(12 * 3600 - 60).toString("hh:mma", 0)));
}

TEST_F(TimePattern, NamesComeFromTheLocaleOrInEnglish) {
  Time t(kSunday);
  if (locale(kEnglish)) { EXPECT_EQ("Nov November Sun Sun Sun Sunday", str(t.toString("MMM MMMM w ww www wwww", 0))); }
  EXPECT_EQ("Nov Sun", str(t.toString("MMME wwwe", 0)));
  if (!haveLocale("de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed (run scripts/deps.sh)";
  if (!locale("de_DE.UTF-8")) GTEST_SKIP() << kSystemLocale;
  EXPECT_EQ(std::string("Nov November ") + kSunday2 + " Sonntag", str(t.toString("MMM MMMM www wwww", 0)));
  EXPECT_EQ("März", str(Time(kSunday - 240 * kDay).toString("MMMM", 0)));
  // The English forms ignore the locale: HTTP dates stay readable.
  EXPECT_EQ("Nov Sun", str(t.toString("MMME wwwe", 0)));
  // 'E' and 'e' are consumed only right after exactly three letters.
  EXPECT_EQ("NovemberE Sonntage", str(t.toString("MMMME wwwwe", 0)));
}

TEST_F(TimePattern, QuotesAndLiterals) {
  Time t(kSunday);
  EXPECT_EQ("hh:mm = 08:49", str(t.toString("\\h\\h:\\m\\m = hh:mm", 0)));
  EXPECT_EQ("'T' D H 1994-11-06T08", str(t.toString("'T' D H yyyy-MM-ddThh", 0)));
  EXPECT_EQ("\xC3\xA4 08", str(t.toString("\\\xC3\xA4 hh", 0)));  // a quoted UTF-8 character
  EXPECT_EQ("\\ 08", str(t.toString("\\\\ hh", 0)));
  EXPECT_EQ("08", str(t.toString("hh\\", 0)));
  EXPECT_EQ("", str(t.toString("", 0)));
}

TEST_F(TimeNamedFormat, CLocale) {
  if (!locale("C") || !zone("UTC")) GTEST_SKIP() << kSystemLocale;
  Time t(kSunday);
  EXPECT_EQ("08:49:37 Sunday November 6, 1994 GMT", str(t.toString(zu::sys::LongDateTime, 0)));
  EXPECT_EQ("Sunday November 6, 1994 GMT", str(t.toString(zu::sys::LongDate, 0)));
  EXPECT_EQ("08:49:37 GMT", str(t.toString(zu::sys::LongTime, 0)));
  EXPECT_EQ("08:49 Sun Nov 6, 94 GMT", str(t.toString(zu::sys::MediumDateTime, 0)));
  EXPECT_EQ("Sun Nov 6, 94 GMT", str(t.toString(zu::sys::MediumDate, 0)));
  EXPECT_EQ("08:49 11/06/94 GMT", str(t.toString(zu::sys::ShortDateTime, 0)));
  EXPECT_EQ("11/06/94 GMT", str(t.toString(zu::sys::ShortDate, 0)));
  EXPECT_EQ("16:49 +0800", str(t.toString(zu::sys::ShortTime, 480)));
  // The local zone adds no suffix.
  EXPECT_EQ("08:49:37", str(t.toString(zu::sys::LongTime)));
  EXPECT_EQ("Sunday November 6, 1994", str(t.toString(zu::sys::LongDate)));
  // Unknown formats have no date or time part.
  EXPECT_EQ("", str(t.toString(static_cast<TimeFormat>(11))));
  EXPECT_EQ(" GMT", str(t.toString(static_cast<TimeFormat>(-3), 0)));
}

TEST_F(TimeNamedFormat, IsoFormatsAlwaysUseTheLocalZone) {
  int ran = 0;
  Time t(kSunday);
  if (zone("Asia/Kolkata") && ++ran) {
    EXPECT_EQ("19941106T141937+0530", str(t.toString(zu::sys::IsoBasic, 0)));
    EXPECT_EQ("1994-11-06 T 14:19:37 +0530", str(t.toString(zu::sys::IsoExtended, 480)));
  }
  if (zone("UTC") && ++ran) { EXPECT_EQ("19941106T084937Z", str(t.toString(zu::sys::IsoBasic, 480))); }
  if (!ran) GTEST_SKIP() << kSystemZone;
}

TEST_F(TimeNamedFormat, GermanLocaleOrdersDayMonthYearOnATwentyFourHourClock) {
  if (!haveLocale("de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed (run scripts/deps.sh)";
  if (!locale("de_DE.UTF-8") || !zone("UTC")) GTEST_SKIP() << kSystemLocale;
  Time t(kSunday);
  EXPECT_EQ("08:49:37 Sonntag 6 November 1994 GMT", str(t.toString(zu::sys::LongDateTime, 0)));
  EXPECT_EQ(std::string(kSunday2) + " 6 Nov 94", str(t.toString(zu::sys::MediumDate)));
  EXPECT_EQ("20:49 06.11.94", str(Time(kSunday + 12 * 3600).toString(zu::sys::ShortDateTime)));
}

TEST_F(TimeNamedFormat, UsEnglishLocaleUsesATwelveHourClock) {
  if (!haveLocale("en_US.UTF-8")) GTEST_SKIP() << "locale en_US.UTF-8 is not installed (run scripts/deps.sh)";
  if (!locale("en_US.UTF-8") || !zone("UTC")) GTEST_SKIP() << kSystemLocale;
  Time t(kSunday);
  EXPECT_EQ("8:49:37AM", str(t.toString(zu::sys::LongTime)));
  EXPECT_EQ("8:49PM 11/06/94 GMT", str(Time(kSunday + 12 * 3600).toString(zu::sys::ShortDateTime, 0)));
  // Switching the environment back is seen at once.
  if (locale("C")) { EXPECT_EQ("08:49:37", str(t.toString(zu::sys::LongTime))); }
}

// The zone and locale caches are shared by every thread that renders.
TEST(TimeConcurrent, RendersTheSameTextOnManyThreads) {
  Time t(kSunday, 5);
  String expected = t.toString(zu::sys::LongDateTime);
  String expectedPattern = t.toString("wwww MMMM d yyyy hh:mm:ss.uuu a Z");
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 500; ++j) {
        if (t.toString(zu::sys::LongDateTime) != expected) ++mismatches;
        if (t.toString("wwww MMMM d yyyy hh:mm:ss.uuu a Z") != expectedPattern) ++mismatches;
        if (Time(String("Sun, 06 Nov 1994 08:49:37 GMT")).toSeconds() != kSunday) ++mismatches;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, mismatches.load());
}

TEST_F(TimeFields, DetailAndBackInEveryZone) {
  Time::Detail d = Time(kSunday, 250).detail(0);
  EXPECT_EQ(250, d.millisecond);
  EXPECT_EQ(37, d.second);
  EXPECT_EQ(49, d.minute);
  EXPECT_EQ(8, d.hour);
  EXPECT_EQ(6, d.day);
  EXPECT_EQ(0, d.weekday);
  EXPECT_EQ(309, d.yearDay);
  EXPECT_EQ(11, d.month);
  EXPECT_EQ(1994, d.year);
  EXPECT_EQ(365, Time(Time::Detail{0, 0, 0, 0, 31, 0, 0, 12, 2000}, 0).detail(0).yearDay);

  for (int zone : {0, 480, -330, 345}) {
    for (int seconds : {0, kSunday, 951782400 /* 2000-02-29 */, -86400 * 365, 2147483647}) {
      Time t(seconds, 7);
      Time back(t.detail(zone), zone);
      EXPECT_EQ(0, t.compare(back)) << seconds << " in zone " << zone;
    }
  }
  // 1970-01-01 05:00 in UTC+8 lies before the epoch; it is not read as UTC.
  EXPECT_EQ(-3 * 3600, Time(Time::Detail{0, 0, 0, 5, 1, 0, 0, 1, 1970}, 480).toSeconds());
  EXPECT_EQ(0, Time(Time::Detail{0, 0, 0, 8, 1, 0, 0, 1, 1970}, 480).toSeconds());
}

TEST_F(TimeFields, DetailConversionIgnoresDaylightSavingAndNormalisesFields) {
  for (char const* zone : {"America/New_York", "Europe/Berlin"}) {
    if (!this->zone(zone)) continue;
    int standard = zu::sys::__::localStandardOffset();
    Time winter(Time::Detail{0, 0, 0, 12, 15, 0, 0, 1, 2021}, -1);
    Time summer(Time::Detail{0, 0, 0, 12, 15, 0, 0, 7, 2021}, -1);
    EXPECT_EQ(12 * 3600 - standard * 60, winter.toSeconds() % kDay) << zone;
    EXPECT_EQ(winter.toSeconds() % kDay, summer.toSeconds() % kDay) << zone;
    EXPECT_EQ(12, summer.detail().hour) << zone;
  }
  // Month 13 is January of the next year, day 0 the last day of the month before.
  EXPECT_EQ(Time(Time::Detail{0, 0, 0, 0, 1, 0, 0, 1, 1995}, 0),
            Time(Time::Detail{0, 0, 0, 0, 1, 0, 0, 13, 1994}, 0));
  EXPECT_EQ(Time(Time::Detail{0, 0, 0, 0, 29, 0, 0, 2, 2000}, 0),
            Time(Time::Detail{0, 0, 0, 0, 0, 0, 0, 3, 2000}, 0));
  // Beyond the range of the value: 0 seconds.
  EXPECT_EQ(0, Time(Time::Detail{0, 0, 0, 0, 1, 0, 0, 1, 2100}, 0).toSeconds());
}

TEST(TimeValue, CompareOrdersBySecondsThenMilliseconds) {
  EXPECT_EQ(-1, Time(5, 100).compare(Time(5, 200)));
  EXPECT_EQ(1, Time(5, 200).compare(Time(5, 100)));
  EXPECT_EQ(0, Time(5, 100).compare(Time(5, 100)));
  EXPECT_EQ(-1, Time(4, 999).compare(Time(5, 0)));
  EXPECT_EQ(1, Time(-1).compare(Time(-2, 999)));
  EXPECT_EQ(-500, Time(-1, 500).toTimestamp());
  EXPECT_EQ(2147483647999LL, Time(2147483647, 999).toTimestamp());
  Time now = Time::now();
  EXPECT_GT(now.toSeconds(), 1600000000);
  EXPECT_LT(now.toTimestamp() % 1000, 1000);
}

// ---------------------------------------------------------------------------
// Free-form dates, read relative to kSunday in UTC unless a row says otherwise.

struct DateCase {
  char const* text;
  std::int64_t expected;  // -1: rejected
  int localOffset;
};

std::int64_t const kRejected = -1;

DateCase const kDateCases[] = {
    // The three HTTP forms and ISO 8601
    {"Sun, 06 Nov 1994 08:49:37 GMT", kSunday, 0},
    {"Sunday, 06-Nov-94 08:49:37 GMT", kSunday, 0},
    {"Sun Nov  6 08:49:37 1994", kSunday, 0},
    {"SUN, 06 NOV 1994 08:49:37 gmt", kSunday, 480},
    {"1994-11-06T08:49:37Z", kSunday, 0},
    {"1994-11-06 08:49:37.250 +0800", kSunday - 8 * 3600, 0},
    {"08:49:37 +05:30", kSunday - 19800, 0},
    {"08:49:37 -05", kSunday + 5 * 3600, 0},
    {"Nov 6, 1994 (a comment (nested)) 08:49:37 ut", kSunday, 0},
    // Calendar dates at midnight
    {"1994-11-06", kMidnight, 0},
    {"19941106", kMidnight, 0},
    {"11/6/1994", kMidnight, 0},
    {"1994/11/6", kMidnight, 0},
    {"11/6/94", kMidnight, 0},
    {"11/6", kMidnight, 0},
    {"6 Nov 1994", kMidnight, 0},
    {"6 november", kMidnight, 0},
    {"Nov. 6", kMidnight, 0},
    {"november 6, 1994", kMidnight, 0},
    {"Nov 6th, 1994", kMidnight, 0},
    {"6-Nov-94", kMidnight, 0},
    {"6 Nov 08:49", kMidnight + 8 * 3600 + 49 * 60, 0},
    {"1/1/69", -365 * kDay, 0},
    {"1994-11-06", kMidnight - 8 * 3600, 480},
    // Clock times on the reference day
    {"8:49:37 pm", kMidnight + 20 * 3600 + 49 * 60 + 37, 0},
    {"12am", kMidnight, 0},
    {"12 p.m.", kMidnight + 12 * 3600, 0},
    {"5pm", kMidnight + 17 * 3600, 0},
    {"0849", kMidnight + 8 * 3600 + 49 * 60, 0},
    {"17", kMidnight + 17 * 3600, 0},
    {"08:49:37 est", kSunday + 5 * 3600, 0},
    {"08:49:37 edt", kSunday + 4 * 3600, 0},
    {"08:49:37 est dst", kSunday + 4 * 3600, 0},
    {"08:49:37 jst", kSunday - 9 * 3600, 0},
    {"08:49:37 zp4", kSunday - 4 * 3600, 0},
    {"08:49:37 z", kSunday, 480},
    {"08:49:37 a", kSunday + 3600, 0},
    // Relative items
    {"now", kSunday, 0},
    {"today", kSunday, 0},
    {"tomorrow", kSunday + kDay, 0},
    {"yesterday", kSunday - kDay, 480},
    {"3 days ago", kSunday - 3 * kDay, 0},
    {"+2 hours", kSunday + 7200, 0},
    {"-1 week", kSunday - 7 * kDay, 0},
    {"next week", kSunday + 14 * kDay, 0},
    {"last week", kSunday - 7 * kDay, 0},
    {"fortnight", kSunday + 14 * kDay, 0},
    {"2 fortnights 1 min 5 secs", kSunday + 28 * kDay + 65, 0},
    {"1 year ago", kSunday - 365 * kDay, 0},
    {"1 year 2 days ago", kSunday - 367 * kDay, 0},
    {"1995-01-31 1 month", 793929600, 0},  // 1995-02-28: the day is clamped
    {"tomorrow 08:00", kMidnight + kDay + 8 * 3600, 0},
    // Weekdays (the reference day is a Sunday)
    {"sunday", kMidnight, 0},
    {"friday", kMidnight + 5 * kDay, 0},
    {"Fri.", kMidnight + 5 * kDay, 0},
    {"first friday", kMidnight + 5 * kDay, 0},
    {"next friday", kMidnight + 12 * kDay, 0},
    {"last friday", kMidnight - 2 * kDay, 0},
    {"thurs 5pm", kMidnight + 4 * kDay + 17 * 3600, 0},
    {"2nd friday", kMidnight + 12 * kDay, 0},
    // Rejected
    {"", kRejected, 0},
    {"   ", kRejected, 0},
    {"hello", kRejected, 0},
    {"8:49 9:00", kRejected, 0},
    {"08:49 GMT EST", kRejected, 0},
    {"08:49 +0800 GMT", kRejected, 0},
    {"1994-11-06 11/7/1994", kRejected, 0},
    {"sunday monday", kRejected, 0},
    {"13/6/1994", kRejected, 0},
    {"Feb 29, 1994", kRejected, 0},
    {"25:00", kRejected, 0},
    {"8:60", kRejected, 0},
    {"13pm", kRejected, 0},
    {"0am", kRejected, 0},
    {"08:49 j", kRejected, 0},
    {"08:49:37 +0875", kRejected, 0},
    {"next", kRejected, 0},
    {"ago", kRejected, 0},
    {"3 ago", kRejected, 0},
    {"+0800", kRejected, 0},
    {"november", kRejected, 0},
    {"6xy Nov", kRejected, 0},
    {"1994-11-06 \xC3\xBC", kRejected, 0},
    {"1/1/2040", kRejected, 0},
    {"12345678901 days", kRejected, 0},
    {"9999999999 fortnights 9999999999 fortnights", kRejected, 0},
};

TEST(DateParser, ReadsTheTableRelativeToAFixedNow) {
  for (DateCase const& c : kDateCases) {
    EXPECT_EQ(c.expected, zu::sys::__::parseDate(c.text, kSunday, c.localOffset)) << '"' << c.text << '"';
  }
}

TEST(DateParser, TwoDigitYearsAndTheRangeOfTheValue) {
  // 68 means 2068, beyond the 32-bit seconds; 69 means 1969.
  EXPECT_EQ(-1, zu::sys::__::parseDate("1/1/68", kSunday, 0));
  EXPECT_EQ(946684800, zu::sys::__::parseDate("1/1/00", kSunday, 0));
  EXPECT_EQ(2147483647, zu::sys::__::parseDate("2038-01-19 03:14:07", kSunday, 0));
  EXPECT_EQ(-1, zu::sys::__::parseDate("2038-01-19 03:14:08", kSunday, 0));
  EXPECT_EQ(-1, zu::sys::__::parseDate(nullptr, kSunday, 0));
}

TEST(DateParser, ParsesThroughTheTimeConstructor) {
  Time before = Time::now();
  Time yesterday(String("yesterday"));
  Time after = Time::now();
  EXPECT_LE(before.toSeconds() - kDay, yesterday.toSeconds());
  EXPECT_GE(after.toSeconds() - kDay, yesterday.toSeconds());
  EXPECT_EQ(Time(kSunday), Time(String("Sun, 06 Nov 1994 08:49:37 GMT")));
  EXPECT_EQ(-1, Time(String("not a date")).toSeconds());
}

// ---------------------------------------------------------------------------
// Timeout over a tick the test moves by hand.

std::atomic<unsigned int> fakeTick{0};
unsigned int readFakeTick() { return fakeTick.load(); }

class TimeoutTick : public ::testing::Test {
 protected:
  void SetUp() override { zu::sys::__::setTickSource(&readFakeTick); }
  void TearDown() override { zu::sys::__::setTickSource(nullptr); }
};

TEST_F(TimeoutTick, TimesOutOnlyPastTheLimit) {
  fakeTick = 1000;
  Timeout t(100);
  EXPECT_EQ(100u, t.value());
  fakeTick = 1100;
  EXPECT_EQ(100u, t.elapse());
  EXPECT_FALSE(t.timedOut());
  fakeTick = 1101;
  EXPECT_TRUE(t.timedOut());
  t.restart();
  EXPECT_EQ(0u, t.elapse());
  EXPECT_FALSE(t.timedOut());

  Timeout never;
  EXPECT_EQ(0xFFFFFFFFu, never.value());
  fakeTick = 1101 + 0xFFFFFFFEu;
  EXPECT_EQ(0xFFFFFFFEu, never.elapse());
  EXPECT_FALSE(never.timedOut());

  Timeout immediate(0);
  EXPECT_FALSE(immediate.timedOut());
  ++fakeTick;
  EXPECT_TRUE(immediate.timedOut());
}

TEST_F(TimeoutTick, SurvivesAWrapOfTheTick) {
  fakeTick = 0xFFFFFFF0u;
  Timeout t(100);
  fakeTick = 0x00000054u;  // 100 ms later, past the wrap
  EXPECT_EQ(100u, t.elapse());
  EXPECT_FALSE(t.timedOut());
  fakeTick = 0x00000055u;
  EXPECT_TRUE(t.timedOut());
}

TEST(Tick, FollowsTheMonotonicClock) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  unsigned int expected = static_cast<unsigned int>(ts.tv_sec * 1000ULL + ts.tv_nsec / 1000000);
  EXPECT_LE(Time::tickCount() - expected, 60000u);
}

// ---------------------------------------------------------------------------
// AdaptiveDelay. Sleeps are real whatever the tick, so only their lower
// bounds are checked; a round that must not sleep has a period of a minute,
// so a wrong sleep cannot pass unnoticed on a slow machine either.

using Clock = std::chrono::steady_clock;
long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(AdaptiveDelay, PacesALoopToThePeriod) {
  AdaptiveDelay pace;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < 11; ++i) pace.delay(20);  // the first call only starts the schedule
  long long elapsed = millisecondsSince(start);
  EXPECT_GE(elapsed, 195);
  EXPECT_LT(elapsed, 10000);
}

using AdaptiveDelayTick = TimeoutTick;

TEST_F(AdaptiveDelayTick, FirstAndLateRoundsRunAtOnceAndOnTimeRoundsSleepTheRest) {
  AdaptiveDelay pace;
  fakeTick = 5000;
  Clock::time_point start = Clock::now();
  pace.delay(60000);                              // starts the schedule at 5000
  fakeTick = 5000 + 5 * 60000 + 100;              // five rounds late
  for (int i = 0; i < 5; ++i) pace.delay(60000);  // deadlines up to 305000 have passed
  EXPECT_LT(millisecondsSince(start), 30000);
  fakeTick = 5000 + 6 * 60000 - 80;
  start = Clock::now();
  pace.delay(60000);  // the sixth deadline lies 80 ms ahead
  EXPECT_GE(millisecondsSince(start), 79);
}

TEST_F(AdaptiveDelayTick, KeepsPacingAfterAWakeUp) {
  AdaptiveDelay pace;
  fakeTick = 1000;
  pace.delay(60000);
  pace.cancelBlock();
  fakeTick = 1050;
  Clock::time_point start = Clock::now();
  pace.delay(60000);  // deadline 61000, but woken at once
  EXPECT_LT(millisecondsSince(start), 30000);
  // The schedule continues from the wake-up (next deadline 61050) instead
  // of running a period ahead of the clock, which would read as "late" and
  // leave every later round without a sleep.
  fakeTick = 1050 + 60000 - 80;
  start = Clock::now();
  pace.delay(60000);
  EXPECT_GE(millisecondsSince(start), 79);
}

TEST(AdaptiveDelayConcurrent, CancelBlockAndResetWakeASleepingDelay) {
  AdaptiveDelay pace;
  std::atomic<int> rounds{0};
  std::thread sleeper([&] {
    pace.delay(60000);
    pace.delay(60000);  // would sleep a minute
    ++rounds;
    pace.delay(60000);  // a minute again
    ++rounds;
  });
  Clock::time_point start = Clock::now();
  while (rounds.load() == 0 && millisecondsSince(start) < 10000) {
    pace.cancelBlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while (rounds.load() == 1 && millisecondsSince(start) < 10000) {
    pace.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  sleeper.join();
  EXPECT_EQ(2, rounds.load());
  EXPECT_LT(millisecondsSince(start), 10000);
}

}  // namespace

// The calendar arithmetic against the C library's own conversion (UTC,
// within time_t's range) and at the 400-year cycle's edges beyond it.
TEST(Calendar, DaysAndDatesAgreeWithTheCLibraryAndRoundTrip) {
  using namespace zu::sys::__;
  for (std::int64_t days = -800000; days <= 800000; days += 997) {
    int year, month, day;
    civilFromDays(days, year, month, day);
    ASSERT_EQ(days, daysFromCivil(year, month, day)) << year << "-" << month << "-" << day;
    ASSERT_GE(day, 1);
    ASSERT_LE(day, daysInMonth(year, month));
    std::int64_t const t = days * 86400;
    struct tm parts;
#ifdef _WIN32
    // The C library's calendar starts in 1970 and ends in 3000 here; its
    // time_t has 32 bits on 32-bit Windows, so the 64-bit call is used.
    if (days < 0 || days >= 376200) continue;
    __time64_t const t64 = t;
    ASSERT_EQ(0, _gmtime64_s(&parts, &t64));
#else
    time_t const tt = static_cast<time_t>(t);
    ASSERT_TRUE(gmtime_r(&tt, &parts));
#endif
    ASSERT_EQ(parts.tm_year + 1900, year);
    ASSERT_EQ(parts.tm_mon + 1, month);
    ASSERT_EQ(parts.tm_mday, day);
    zu::sys::Time::Detail const d = breakDown(std::int64_t(t) + 3723, 45);
    ASSERT_EQ(parts.tm_wday, d.weekday);
    ASSERT_EQ(parts.tm_yday, d.yearDay);
    ASSERT_EQ(1, d.hour);
    ASSERT_EQ(2, d.minute);
    ASSERT_EQ(3, d.second);
    ASSERT_EQ(45, d.millisecond);
  }
  EXPECT_EQ(0, daysFromCivil(1970, 1, 1));
  EXPECT_EQ(-1, daysFromCivil(1970, 1, 0));          // days carry over
  EXPECT_EQ(31, daysFromCivil(1969, 14, 1));         // and months
  EXPECT_EQ(11017, daysFromCivil(2000, 3, 1));       // 2000 was a leap year
  EXPECT_EQ(29, daysInMonth(2000, 2));
  EXPECT_EQ(28, daysInMonth(1900, 2));
  EXPECT_EQ(29, daysInMonth(-4, 2));
  EXPECT_TRUE(isLeapYear(2400));
  EXPECT_FALSE(isLeapYear(2100));
  EXPECT_EQ(-1, floorDiv(-1, 86400));
  EXPECT_EQ(86399, floorMod(-1, 86400));
}
