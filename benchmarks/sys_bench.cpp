// System services against their standard-library peers, in one binary.
#include <zu/em.h>
#include <zu/sys.h>
#include <zu/time.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/make_shared.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef ZU_HAVE_POCO
#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Mutex.h>
#include <Poco/Timestamp.h>
#endif

#include <time.h>

#include <cstdio>
#include <string>

#include "support/main.h"

namespace {

// --- uncontended lock and unlock ---------------------------------------------

void BM_ZuMutexLockUnlock(benchmark::State& state) {
  zu::sys::Mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
  }
}
BENCHMARK(BM_ZuMutexLockUnlock);

void BM_StdRecursiveMutexLockUnlock(benchmark::State& state) {
  std::recursive_mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
  }
}
BENCHMARK(BM_StdRecursiveMutexLockUnlock);

void BM_ZuScopedLock(benchmark::State& state) {
  zu::sys::Mutex m;
  for (auto _ : state) {
    zu::sys::ScopedLock lock(m);
  }
}
BENCHMARK(BM_ZuScopedLock);

void BM_StdLockGuardRecursive(benchmark::State& state) {
  std::recursive_mutex m;
  for (auto _ : state) {
    std::lock_guard<std::recursive_mutex> lock(m);
  }
}
BENCHMARK(BM_StdLockGuardRecursive);

#ifdef ZU_HAVE_POCO
void BM_PocoMutexLockUnlock(benchmark::State& state) {
  Poco::Mutex m;  // recursive as well
  for (auto _ : state) {
    m.lock();
    m.unlock();
  }
}
BENCHMARK(BM_PocoMutexLockUnlock);
#endif

// --- error reports nobody listens to -----------------------------------------

int reportOwner, otherOwner;

void translate(unsigned int raw, unsigned int* code, zu::String* text) {
  if (code) *code = raw;
  if (text) *text = zu::String("text");
}

// Reports from reportOwner under whatever guard the caller holds.
void reportEach(benchmark::State& state) {
  zu::String text("failure");
  for (auto _ : state) {
    zu::em::report(&reportOwner, 5, text);
    benchmark::ClobberMemory();
  }
}

void BM_EmReportNoGuard(benchmark::State& state) { reportEach(state); }
BENCHMARK(BM_EmReportNoGuard);

void BM_EmReportTranslateNoGuard(benchmark::State& state) {
  for (auto _ : state) {
    zu::em::report(&reportOwner, 5, translate);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EmReportTranslateNoGuard);

void BM_EmReportGuardForOtherOwner(benchmark::State& state) {
  zu::em::CatchError guard(&otherOwner);
  reportEach(state);
}
BENCHMARK(BM_EmReportGuardForOtherOwner);

void BM_EmReportToGuard(benchmark::State& state) {
  zu::em::CatchError guard(&reportOwner);
  reportEach(state);
}
BENCHMARK(BM_EmReportToGuard);

// --- signal-to-wake latency between two threads ------------------------------
// One iteration is a round trip: this thread wakes the partner, the partner
// wakes this thread back. Half an iteration is one signal-to-wake latency.

template <class Event>
void pingPong(benchmark::State& state) {
  Event ping, pong;
  std::atomic<bool> done{false};
  std::thread partner([&] {
    for (;;) {
      ping.wait();
      if (done.load()) return;
      pong.signal();
    }
  });
  for (auto _ : state) {
    ping.signal();
    pong.wait();
  }
  done = true;
  ping.signal();
  partner.join();
}

void BM_ZuSyncPointPingPong(benchmark::State& state) { pingPong<zu::sys::SyncPoint>(state); }
BENCHMARK(BM_ZuSyncPointPingPong)->UseRealTime();

// The same auto-reset event made of a standard mutex, condition variable
// and flag.
class StdEvent {
 public:
  void signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cond_.notify_one();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return set_; });
    set_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool set_ = false;
};

void BM_StdConditionVariablePingPong(benchmark::State& state) { pingPong<StdEvent>(state); }
BENCHMARK(BM_StdConditionVariablePingPong)->UseRealTime();

// --- time text: rendering a time stamp and parsing an HTTP date --------------

int const kHttpSeconds = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
char const kHttpDate[] = "Sun, 06 Nov 1994 08:49:37 GMT";

void BM_ZuTimeToStringLocal(benchmark::State& state) {
  zu::sys::Time t(kHttpSeconds, 123);
  zu::String pattern("yyyy/MM/dd hh:mm:ss.uuu");
  for (auto _ : state) benchmark::DoNotOptimize(t.toString(pattern));
}
BENCHMARK(BM_ZuTimeToStringLocal);

void BM_ZuTimeToStringUtc(benchmark::State& state) {
  zu::sys::Time t(kHttpSeconds, 123);
  zu::String pattern("yyyy/MM/dd hh:mm:ss.uuu");
  for (auto _ : state) benchmark::DoNotOptimize(t.toString(pattern, 0));
}
BENCHMARK(BM_ZuTimeToStringUtc);

// The usual C way: localtime_r, strftime and the milliseconds appended.
void BM_StrftimeLocalWithMilliseconds(benchmark::State& state) {
  time_t seconds = kHttpSeconds;
  unsigned int milliseconds = 123;
  for (auto _ : state) {
    struct tm fields;
    localtime_r(&seconds, &fields);
    char buffer[64];
    std::size_t n = strftime(buffer, sizeof buffer, "%Y/%m/%d %H:%M:%S", &fields);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03u", milliseconds);
    std::string text(buffer);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_StrftimeLocalWithMilliseconds);

#ifdef ZU_HAVE_POCO
void BM_PocoDateTimeFormatter(benchmark::State& state) {
  Poco::DateTime t(Poco::Timestamp::fromEpochTime(kHttpSeconds) + 123000);
  for (auto _ : state) benchmark::DoNotOptimize(Poco::DateTimeFormatter::format(t, "%Y/%m/%d %H:%M:%S.%i"));
}
BENCHMARK(BM_PocoDateTimeFormatter);
#endif

void BM_ZuTimeParseHttpDate(benchmark::State& state) {
  zu::String text(kHttpDate);
  for (auto _ : state) {
    zu::sys::Time t(text);
    benchmark::DoNotOptimize(t);
  }
}
BENCHMARK(BM_ZuTimeParseHttpDate);

void BM_StrptimeHttpDate(benchmark::State& state) {
  for (auto _ : state) {
    struct tm fields = {};
    strptime(kHttpDate, "%a, %d %b %Y %H:%M:%S GMT", &fields);
    benchmark::DoNotOptimize(timegm(&fields));
  }
}
BENCHMARK(BM_StrptimeHttpDate);

#ifdef ZU_HAVE_POCO
void BM_PocoDateTimeParserHttpDate(benchmark::State& state) {
  std::string text(kHttpDate);
  for (auto _ : state) {
    int zone = 0;
    benchmark::DoNotOptimize(Poco::DateTimeParser::parse(Poco::DateTimeFormat::HTTP_FORMAT, text, zone));
  }
}
BENCHMARK(BM_PocoDateTimeParserHttpDate);
#endif

void BM_ZuTickCount(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zu::sys::Time::tickCount());
}
BENCHMARK(BM_ZuTickCount);

// --- timers ------------------------------------------------------------------
// Arming and disarming a timer on the caller's thread, and the delay from a
// 1 ms timer's due time to its callback, against a Boost.Asio steady_timer
// served by one io_context thread.

class TimerSignal : public zu::sys::ITimerCallback {
 public:
  void onTimer(boost::shared_ptr<zu::sys::ITimer> timer) override {
    timer->stop();
    fired.signal();
  }
  zu::sys::SyncPoint fired{true};
};

void BM_ZuTimerStartStop(benchmark::State& state) {
  auto callback = boost::make_shared<TimerSignal>();
  boost::shared_ptr<zu::sys::ITimer> timer = zu::sys::ITimer::New(900);
  for (auto _ : state) {
    timer->start(3600000, callback);
    timer->stop();
  }
}
BENCHMARK(BM_ZuTimerStartStop);

void BM_AsioSteadyTimerArmCancel(benchmark::State& state) {
  boost::asio::io_context io;
  boost::asio::steady_timer timer(io);
  for (auto _ : state) {
    timer.expires_after(std::chrono::hours(1));
    timer.async_wait([](boost::system::error_code) {});
    timer.cancel();
    io.poll();  // the cancelled handler runs; the queue stays empty
    io.restart();
  }
}
BENCHMARK(BM_AsioSteadyTimerArmCancel);

void BM_ZuTimerOneMillisecond(benchmark::State& state) {
  auto callback = boost::make_shared<TimerSignal>();
  boost::shared_ptr<zu::sys::ITimer> timer = zu::sys::ITimer::New(901);
  for (auto _ : state) {
    timer->start(1, callback);
    callback->fired.wait();
  }
}
BENCHMARK(BM_ZuTimerOneMillisecond)->UseRealTime();

void BM_AsioSteadyTimerOneMillisecond(benchmark::State& state) {
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  boost::asio::steady_timer timer(io);
  std::mutex m;
  std::condition_variable cv;
  bool fired = false;
  for (auto _ : state) {
    boost::asio::post(io, [&] {
      timer.expires_after(std::chrono::milliseconds(1));
      timer.async_wait([&](boost::system::error_code) {
        std::lock_guard<std::mutex> lock(m);
        fired = true;
        cv.notify_one();
      });
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return fired; });
    fired = false;
  }
  work.reset();
  runner.join();
}
BENCHMARK(BM_AsioSteadyTimerOneMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return zu_bench::runThenFinalize(argc, argv); }
