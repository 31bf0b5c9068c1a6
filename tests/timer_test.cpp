#include <zu/sys.h>
#include <zu/time.h>

#include <gtest/gtest.h>

#include "support/wait.h"

#include <boost/make_shared.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif
#include <vector>

using zu::sys::IThread;
using zu::sys::ITimer;
using zu::sys::ITimerCallback;

namespace {

typedef std::chrono::steady_clock Clock;

struct Call {
  std::string name;
  unsigned int thread;
  Clock::time_point at;
};

// Calls of several callbacks in the order they happened.
class Journal {
 public:
  void add(Call call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }

  // Waits (bounded) until `name` has been called `count` times.
  bool waitFor(std::string const& name, std::size_t count, int seconds = 10) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return countLocked(name) >= count; });
  }

  std::size_t count(std::string const& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(name);
  }

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::size_t countLocked(std::string const& name) const {
    std::size_t n = 0;
    for (Call const& c : calls_) n += c.name == name;
    return n;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

class Recorder : public ITimerCallback {
 public:
  Recorder(Journal& journal, std::string name, std::function<void(boost::shared_ptr<ITimer>, std::size_t)> hook = {})
      : journal_(journal), name_(std::move(name)), hook_(std::move(hook)) {}

  void onTimer(boost::shared_ptr<ITimer> timer) override {
    journal_.add(Call{name_, IThread::currentId(), Clock::now()});
    if (hook_) hook_(timer, ++calls_);
  }

 private:
  Journal& journal_;
  std::string const name_;
  std::function<void(boost::shared_ptr<ITimer>, std::size_t)> hook_;
  std::size_t calls_ = 0;  // only touched on the timer thread
};

boost::shared_ptr<Recorder> recorder(Journal& journal, std::string name,
                                     std::function<void(boost::shared_ptr<ITimer>, std::size_t)> hook = {}) {
  return boost::make_shared<Recorder>(journal, std::move(name), std::move(hook));
}

void pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

#if defined(_WIN32)
bool threadExists(unsigned int id) {
  HANDLE const thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (!thread) return false;
  DWORD code = 0;
  bool const alive = ::GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
  ::CloseHandle(thread);
  return alive;
}
#else
bool threadExists(unsigned int id) { return access(("/proc/self/task/" + std::to_string(id)).c_str(), F_OK) == 0; }
#endif

// Reactor ids are process-wide; each test takes its own.
// The journal belongs to the fixture, not to the test body: a callback of
// another timer may still be under way when the body returns, and only
// finalize() in TearDown waits for the timer threads to end.
class TimerConcurrent : public ::testing::Test {
 protected:
  void TearDown() override { zu::finalize(); }

  Journal journal;
};

}  // namespace

TEST_F(TimerConcurrent, TimersOfOneIdFireInStartOrderOnOneThreadOfTheirOwn) {
  auto a = recorder(journal, "a");
  auto b = recorder(journal, "b");
  auto c = recorder(journal, "c");
  boost::shared_ptr<ITimer> first = ITimer::New(101);
  boost::shared_ptr<ITimer> second = ITimer::New(101);
  boost::shared_ptr<ITimer> other = ITimer::New(102);
  EXPECT_FALSE(first->isRunning());
  EXPECT_TRUE(first->start(30, a));
  EXPECT_TRUE(second->start(30, b));
  EXPECT_TRUE(other->start(30, c));
  EXPECT_TRUE(first->isRunning());
  ASSERT_TRUE(journal.waitFor("b", 3));
  ASSERT_TRUE(journal.waitFor("c", 1));
  first.reset();
  second.reset();
  other.reset();

  unsigned int idThread = 0, otherThread = 0;
  std::string order;
  for (Call const& call : journal.calls()) {
    if (call.name == "c") {
      otherThread = call.thread;
      continue;
    }
    order += call.name;
    if (!idThread) idThread = call.thread;
    EXPECT_EQ(idThread, call.thread);
  }
  EXPECT_EQ(0u, order.find("ababab")) << order;
  EXPECT_NE(IThread::currentId(), idThread);
  EXPECT_NE(0u, otherThread);
  EXPECT_NE(idThread, otherThread);
}

TEST_F(TimerConcurrent, LostCallbackObjectStopsTheFiringButNotTheRunningState) {
  auto callback = recorder(journal, "lost");
  boost::shared_ptr<ITimer> timer = ITimer::New(103);
  timer->start(10, callback);
  ASSERT_TRUE(journal.waitFor("lost", 2));
  callback.reset();
  std::size_t const fired = journal.count("lost");
  EXPECT_TRUE(zu::test::staysFalse([&] { return journal.count("lost") != fired; }, std::chrono::milliseconds(100)));
  EXPECT_TRUE(timer->isRunning());
}

TEST_F(TimerConcurrent, RestartReplacesIntervalAndCallbackAndRetiresTheOldSchedule) {
  auto fast = recorder(journal, "fast");
  auto slow = recorder(journal, "slow");
  boost::shared_ptr<ITimer> timer = ITimer::New(104);
  timer->start(10, fast);
  ASSERT_TRUE(journal.waitFor("fast", 2));
  timer->start(60000, slow);
  pause(20);  // a call already under way may finish
  std::size_t const fired = journal.count("fast");
  EXPECT_TRUE(zu::test::staysFalse([&] { return journal.count("fast") != fired || journal.count("slow") != 0; },
                                    std::chrono::milliseconds(150)));

  timer->start(10, slow);  // from a long interval back to a short one: the runner is woken
  EXPECT_TRUE(journal.waitFor("slow", 2));
  timer->stop();
  timer->stop();
  EXPECT_FALSE(timer->isRunning());
}

TEST_F(TimerConcurrent, LateCallbackIsFollowedByOneCallNotABurst) {
  auto callback = recorder(journal, "late", [](boost::shared_ptr<ITimer>, std::size_t n) {
    if (n == 1) pause(200);  // ten intervals
  });
  boost::shared_ptr<ITimer> timer = ITimer::New(105);
  timer->start(20, callback);
  ASSERT_TRUE(journal.waitFor("late", 4));
  timer->stop();
  std::vector<Call> calls = journal.calls();
  // Calls 2 and 3 would come back to back in a burst; skipping the missed
  // periods puts a whole interval between them.
  auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(calls[2].at - calls[1].at).count();
  EXPECT_GE(gap, 15);
  auto first = std::chrono::duration_cast<std::chrono::milliseconds>(calls[1].at - calls[0].at).count();
  EXPECT_GE(first, 200);
}

TEST_F(TimerConcurrent, CallbackMayStopOrDropItsOwnTimer) {
  auto stopper = recorder(journal, "stop", [](boost::shared_ptr<ITimer> timer, std::size_t) { timer->stop(); });
  boost::shared_ptr<ITimer> stopped = ITimer::New(106);
  stopped->start(10, stopper);
  ASSERT_TRUE(journal.waitFor("stop", 1));
  EXPECT_TRUE(zu::test::staysFalse([&] { return journal.count("stop") != 1; }, std::chrono::milliseconds(100)));
  EXPECT_FALSE(stopped->isRunning());

  // The only holder of the timer lets it go from inside its callback; the
  // timer and its reactor end after the call returns. The holder belongs to
  // the callback, not to the test body: a call still under way when the body
  // returns (after a failed assertion) finds it alive.
  struct Holder {
    std::mutex lock;
    boost::shared_ptr<ITimer> timer;
  };
  auto held = std::make_shared<Holder>();
  held->timer = ITimer::New(107);
  boost::weak_ptr<ITimer> watch = held->timer;
  auto dropper = recorder(journal, "drop", [held](boost::shared_ptr<ITimer>, std::size_t) {
    std::lock_guard<std::mutex> lock(held->lock);
    held->timer.reset();
  });
  {
    std::lock_guard<std::mutex> lock(held->lock);
    held->timer->start(10, dropper);
  }
  ASSERT_TRUE(journal.waitFor("drop", 1));
  EXPECT_TRUE(zu::test::waitFor([&] { return watch.expired(); }, std::chrono::seconds(5)));
  EXPECT_TRUE(zu::test::staysFalse([&] { return journal.count("drop") != 1; }, std::chrono::milliseconds(50)));
}

TEST_F(TimerConcurrent, LastTimerOfAnIdEndsItsThreadAndTheNextTimerStartsAnother) {
  auto callback = recorder(journal, "t");
  boost::shared_ptr<ITimer> timer = ITimer::New(108);
  pause(30);  // an empty schedule: the runner waits until a start wakes it
  timer->start(10, callback);
  ASSERT_TRUE(journal.waitFor("t", 1));
  unsigned int const thread = journal.calls()[0].thread;
  EXPECT_TRUE(threadExists(thread));
  timer.reset();
  EXPECT_TRUE(zu::test::waitFor([&] { return !threadExists(thread); }, std::chrono::seconds(5)));

  timer = ITimer::New(108);
  timer->start(10, callback);
  ASSERT_TRUE(journal.waitFor("t", 2));
  unsigned int const next = journal.calls().back().thread;
#ifndef _WIN32
  // Windows hands a freed thread id out again at once; the end of the first
  // thread was seen above, so a new thread is running either way.
  EXPECT_NE(thread, next);
#endif
  EXPECT_TRUE(threadExists(next));
}

TEST_F(TimerConcurrent, ManyRestartsWithLongIntervalsLeaveOtherTimersOnTime) {
  auto steady = recorder(journal, "steady");
  auto idle = recorder(journal, "idle");
  boost::shared_ptr<ITimer> keeper = ITimer::New(109);
  boost::shared_ptr<ITimer> restarted = ITimer::New(109);
  keeper->start(10, steady);
  for (int i = 0; i < 5000; ++i) restarted->start(3600000, idle);
  std::size_t const before = journal.count("steady");
  EXPECT_TRUE(journal.waitFor("steady", before + 3));
  boost::shared_ptr<ITimer> late = ITimer::New(109);
  late->start(10, steady);
  EXPECT_TRUE(journal.waitFor("steady", before + 10));
  EXPECT_EQ(0u, journal.count("idle"));
}

TEST(TimerDeathTest, StartNeedsALiveCallbackAndAnInterval) {
  Journal journal;
  EXPECT_DEATH(ITimer::New(110)->start(10, boost::weak_ptr<ITimerCallback>()), "callback.lock\\(\\)");
  EXPECT_DEATH(ITimer::New(110)->start(0, recorder(journal, "x")), "interval != 0");
}
