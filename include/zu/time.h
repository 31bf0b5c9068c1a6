// zu::sys time values: points in time with their calendar fields, text
// patterns, named formats and free-form date text; the millisecond tick,
// time-outs, the adaptive delay and periodic timers.
#ifndef ZU_TIME_H
#define ZU_TIME_H

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <cstdint>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace sys {

// Offset from UTC in minutes, east positive (480 is UTC+8). -1 is the local
// zone: its standard-time offset; daylight saving time is never applied.
typedef int TimeZone;

// The named formats of Time::toString.
enum TimeFormat {
  HttpDate = 0,        // "wwwe, dd MMME yyyy hh:mm:ss z"
  IsoBasic = 1,        // "yyyyMMddThhmmssZ", local zone
  IsoExtended = 2,     // "yyyy-MM-dd T hh:mm:ss Z", local zone
  LongDateTime = 3,    // time with seconds, blank, long date (user's locale)
  LongDate = 4,
  LongTime = 5,
  MediumDateTime = 6,  // time without seconds, blank, medium date
  MediumDate = 7,
  ShortDateTime = 8,   // time without seconds, blank, numeric date
  ShortDate = 9,
  ShortTime = 10
};

// A point in time: seconds since 1970-01-01 00:00:00 UTC and milliseconds.
class ZU_API Time {
 public:
  // A time's calendar fields in one zone.
  struct Detail {
    int millisecond;  // 0-999
    int second;       // 0-59
    int minute;       // 0-59
    int hour;         // 0-23
    int day;          // day of the month, 1-31
    int weekday;      // 0 = Sunday ... 6
    int yearDay;      // 0-365
    int month;        // 1-12
    int year;         // four digits
  };

  // The epoch.
  Time();
  // `seconds` since the epoch and `milliseconds`.
  Time(int seconds, unsigned int milliseconds = 0);
  // The fields read as a wall-clock time in `zone` (standard time); 0
  // seconds when they cannot be converted.
  Time(Detail const& detail, TimeZone zone = -1);
  // Free-form date text relative to now (see date_parser.cpp for the accepted
  // forms): clock times with meridian and zone, calendar dates, weekdays,
  // relative items ("3 days ago", "next week", "tomorrow"). Invalid text,
  // or more than one clock time, zone, date or weekday, gives seconds -1.
  explicit Time(String const& text);

  static Time now();  // the current time
  // Milliseconds of a monotonic clock; wraps after 2^32 ms.
  static unsigned int tickCount();

  Detail detail(TimeZone zone = -1) const;
  int toSeconds() const;  // seconds since the epoch
  // seconds * 1000 + milliseconds.
  std::int64_t toTimestamp() const;
  // -1, 0 or 1 by seconds, then milliseconds.
  int compare(Time const& other) const;
  // Pattern letters: y (yy: 2 digits, yyy+: 4), M (MMM/MMMM: locale month
  // names, MMME: English "Jan"), d, h (12-hour when the pattern holds 'a'),
  // m, s, u (tenths/hundredths/milliseconds), w (www/wwww: locale weekday
  // names, wwwe: English "Sun"), a (AM/PM), z/Z (zone: "GMT"/"Z" at zone 0,
  // else "+0800"); '\' quotes the next character; others are literal.
  String toString(String const& pattern, TimeZone zone = -1) const;
  String toString(TimeFormat format, TimeZone zone = -1) const;  // a named format in `zone`

 private:
  int seconds_;
  unsigned int milliseconds_;
};

inline bool operator==(Time const& a, Time const& b) { return a.compare(b) == 0; }  // the same instant
inline bool operator!=(Time const& a, Time const& b) { return a.compare(b) != 0; }  // not ==
inline bool operator<(Time const& a, Time const& b) { return a.compare(b) < 0; }  // `a` is earlier

// Elapsed milliseconds of the tick against a limit; correct across one wrap
// of the 32-bit tick.
class ZU_API Timeout {
 public:
  // NO_LIMIT never times out.
  Timeout(unsigned int limit = NO_LIMIT);
  void restart();  // counts from now again
  unsigned int elapse() const;  // milliseconds since construction or restart()
  // elapse() > limit (strictly).
  bool timedOut() const;
  unsigned int value() const;  // the limit

 private:
  unsigned int start_;
  unsigned int limit_;
};

// Paces a loop to one round per period on average: a late round is followed
// by rounds without sleep until the schedule is caught up. Used by one
// thread; reset() and cancelBlock() may come from another.
class ZU_API AdaptiveDelay {
 public:
  AdaptiveDelay();
  ~AdaptiveDelay();
  AdaptiveDelay(AdaptiveDelay const&) = delete;
  AdaptiveDelay& operator=(AdaptiveDelay const&) = delete;
  // Sleeps until this round's turn in a schedule of one round per `period` milliseconds.
  void delay(unsigned int period);
  // Wakes a sleeping delay() and restarts the schedule.
  void reset();
  // Wakes a sleeping delay().
  void cancelBlock();

 private:
  struct State;
  State* state_;
};

class ITimer;

// Implemented by callers. A timer holds its callback weakly: once the
// object is gone, the timer stops firing (silently).
class ZU_API ITimerCallback : public IBase {
 public:
  // Runs on the timer thread of the timer's reactor id, never at the same
  // time as another callback of that id; no library lock is held. It may
  // start, stop or drop any timer, its own included.
  virtual void onTimer(boost::shared_ptr<ITimer> timer) = 0;
};

// A periodic timer. All timers made with one reactor id share one thread
// and one schedule, so their callbacks run one at a time in due order; the
// thread ends with the id's last timer. Periods a late callback missed are
// skipped, never fired in a burst. The schedule follows a monotonic clock,
// so changing the wall clock neither delays nor hurries a timer.
class ZU_API ITimer : public IBase {
 public:
  // Fires callback->onTimer every `interval` milliseconds from now until
  // stopped, restarted or destroyed. Restarting replaces the interval and
  // callback; the old schedule never fires again. The callback must be
  // alive and the interval not 0 (assertions). Always true.
  virtual bool start(unsigned int interval, boost::weak_ptr<ITimerCallback> callback) = 0;
  // Stopping a stopped timer does nothing.
  virtual void stop() = 0;
  // True from start() until stop(); the loss of the callback object does
  // not change it.
  virtual bool isRunning() = 0;

  // A stopped timer on the timer thread of `reactorId`.
  static boost::shared_ptr<ITimer> New(unsigned int reactorId);
};

}  // namespace sys
}  // namespace zu

#endif
