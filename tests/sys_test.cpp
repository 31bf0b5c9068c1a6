#include <zu/sys.h>

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <climits>
#include <memory>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif
#include <thread>
#include <vector>

using namespace zu;
using namespace zu::sys;

namespace {

long long msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// Runs f on a plain thread of its own and returns its result.
template <class F>
bool onOtherThread(F f) {
  bool result = false;
  std::thread t([&] { result = f(); });
  t.join();
  return result;
}

}  // namespace

TEST(AtomicInteger, AddReturnsNewValueAndExchangeReturnsOldValue) {
  AtomicInteger a(5);
  EXPECT_EQ(8, a.add(3));
  EXPECT_EQ(8, a.exchange(1));
  EXPECT_EQ(1, a.add(0));
  AtomicInteger copy(a);
  copy.add(10);
  EXPECT_EQ(1, a.add(0)) << "copies are independent values";
  AtomicInteger top(INT_MAX);
  EXPECT_EQ(INT_MIN, top.add(1)) << "wraps like the processor's add";
}

TEST(Semaphore, CountNeverExceedsItsMaximumAndCopiesShareIt) {
  Semaphore s(2, 0);
  EXPECT_FALSE(s.wait(0));
  s.signal();
  s.signal();
  s.signal();  // beyond the maximum: no effect
  Semaphore copy = s;
  EXPECT_TRUE(copy.wait(0));
  EXPECT_TRUE(s.wait(0));
  EXPECT_FALSE(copy.wait(0));

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Semaphore(0, 0), "handle");
  EXPECT_DEATH(Semaphore(1, 2), "handle");
}

TEST(SyncPoint, AutoResetLetsOneWaitThroughPerSignal) {
  SyncPoint p;
  EXPECT_FALSE(p.wait(0)) << "starts unsignalled";
  p.signal();
  p.signal();  // setting a set event changes nothing
  EXPECT_TRUE(p.wait(0));
  EXPECT_FALSE(p.wait(0));
  p.signal();
  p.reset();
  EXPECT_FALSE(p.wait(0));
  SyncPoint copy = p;
  copy.signal();
  EXPECT_TRUE(p.wait(0xFFFFFFFF)) << "copies share one event";
}

TEST(SyncPoint, ManualResetStaysSignalledUntilReset) {
  SyncPoint p(false);
  p.signal();
  EXPECT_TRUE(p.wait(0));
  p.wait();
  EXPECT_TRUE(p.wait(10));
  p.reset();
  EXPECT_FALSE(p.wait(0));
}

TEST(SyncPoint, TimedWaitsAndSleepsLastAboutTheirTime) {
  SyncPoint p;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(p.wait(60));
  EXPECT_GE(msSince(t0), 59);
  EXPECT_LT(msSince(t0), 10000);

  Semaphore s(1, 0);
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.wait(1050));  // the deadline's milliseconds carry into seconds
  EXPECT_GE(msSince(t0), 1049);
  EXPECT_LT(msSince(t0), 10000);

  t0 = std::chrono::steady_clock::now();
  IThread::sleep(25);
  EXPECT_GE(msSince(t0), 25);
}

TEST(MutexConcurrent, OtherThreadsAreExcludedUntilEveryLevelIsReleased) {
  Mutex m;
  auto othersTry = [&m] {
    return onOtherThread([&m] {
      bool got = m.tryLock();
      if (got) m.unlock();
      return got;
    });
  };
  m.lock();
  m.lock();
  EXPECT_TRUE(m.tryLock()) << "the owner gets it again";
  m.unlock();
  EXPECT_FALSE(othersTry());
  m.unlock();
  EXPECT_FALSE(othersTry()) << "one level still held";
  m.unlock();
  EXPECT_TRUE(othersTry());

  Mutex copy = m;
  {
    ScopedLock lock(copy);
    EXPECT_FALSE(othersTry()) << "a copy is the same lock";
  }
  EXPECT_TRUE(othersTry()) << "the scoped lock released it";

  // A scoped lock keeps its mutex alive after the last other handle goes.
  Mutex* temporary = new Mutex;
  ScopedLock lock(*temporary);
  delete temporary;
}

TEST(MutexConcurrent, ExcludesConcurrentUpdates) {
  Mutex m;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 50000; ++i) {
      ScopedLock outer(m);
      ScopedLock inner(m);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(100000, counter);
}

TEST(SyncPointConcurrent, AutoResetReleasesOneWaiterPerSignalManualAll) {
  SyncPoint gate;
  Semaphore released(10, 0);
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      gate.wait();
      released.signal();
    });
  for (int i = 0; i < 3; ++i) {
    gate.signal();
    EXPECT_TRUE(released.wait(30000));
    EXPECT_FALSE(released.wait(30)) << "a single signal released a second waiter";
  }
  for (std::thread& t : waiters) t.join();
  waiters.clear();

  SyncPoint open(false);
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      EXPECT_TRUE(open.wait(10000));
      released.signal();
    });
  open.signal();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(released.wait(30000));
  for (std::thread& t : waiters) t.join();
}

TEST(SyncPointConcurrent, WaiterMayDestroyTheEventRightAfterWaking) {
  // The signalling thread must be done with the event when the waiter
  // returns: the waiter owns it and frees it at once.
  for (int i = 0; i < 200; ++i) {
    SyncPoint* p = new SyncPoint;
    std::thread t([p] { p->signal(); });
    p->wait();
    delete p;
    t.join();
  }
}

// --- threads -------------------------------------------------------------------

namespace {

// Loops until stopped; records what the tests look at.
class Looper : public IRunnable {
 public:
  void run() override {
    threadId = IThread::currentId();
    priority = IThread::getPriority();
    inside = IThread::current();
    running.signal();
    while (!stopping.load()) wake.wait();
    if (lingerAfterStop) IThread::sleep(lingerAfterStop);
    returned = true;
  }
  void stop() override {
    ++stopCalls;
    stopping = true;
    wake.signal();
  }

  SyncPoint running{false}, wake;
  std::atomic<bool> stopping{false}, returned{false};
  std::atomic<int> stopCalls{0}, priority{-1};
  std::atomic<unsigned int> threadId{0};
  unsigned int lingerAfterStop = 0;  // milliseconds between stop() and the return
  boost::shared_ptr<IThread> inside;  // a handle made on the thread itself
};

// Does `body` and returns; counts stop calls.
template <class Body>
class Once : public IRunnable {
 public:
  explicit Once(Body body) : body(body) {}
  void run() override {
    body();
    returned = true;
    done.signal();
  }
  void stop() override { ++stopCalls; }
  Body body;
  std::atomic<bool> returned{false};
  std::atomic<int> stopCalls{0};
  SyncPoint done{false};
};

template <class Body>
boost::shared_ptr<Once<Body>> once(Body body) {
  return boost::make_shared<Once<Body>>(body);
}

class ThreadConcurrent : public ::testing::Test {
 protected:
  void TearDown() override { zu::finalize(); }
};

}  // namespace

TEST_F(ThreadConcurrent, StopAsksTheRunnableAndWaitsForRunToReturn) {
  boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
  boost::weak_ptr<Looper> watch = looper;
  boost::shared_ptr<IThread> thread = IThread::New(looper, Normal, 0x40000);
  ASSERT_TRUE(looper->running.wait(10000));
  EXPECT_EQ(looper->threadId.load(), thread->id());
  EXPECT_NE(IThread::currentId(), thread->id());
  EXPECT_EQ(thread->id(), looper->inside->id());
  EXPECT_TRUE(thread->isRunning());
  EXPECT_TRUE(looper->inside->isRunning());

  boost::shared_ptr<IThread> inside = looper->inside;
  looper->inside.reset();
  looper.reset();
  EXPECT_FALSE(watch.expired()) << "the thread holds its runnable while it runs";
  EXPECT_TRUE(inside->stop()) << "a handle made on the thread stops it from outside";
  EXPECT_TRUE(watch.expired()) << "nothing keeps the runnable after run returned";
  EXPECT_FALSE(inside->isRunning());
  EXPECT_FALSE(thread->isRunning()) << "the other handle sees it left the registry";
  EXPECT_TRUE(thread->stop()) << "stopping an ended thread still succeeds";
}

TEST_F(ThreadConcurrent, ThreadThatEndedByItselfIsNotAskedToStop) {
  auto quick = once([] {});
  boost::shared_ptr<IThread> thread = IThread::New(quick);
  ASSERT_TRUE(quick->done.wait(10000));
  for (int i = 0; i < 3000 && thread->isRunning(); ++i) IThread::sleep(10);
  EXPECT_FALSE(thread->isRunning());
  EXPECT_TRUE(thread->stop());
  EXPECT_EQ(0, quick->stopCalls.load());
  EXPECT_FALSE(IThread::current()->isRunning()) << "threads the library did not start are not registered";
}

TEST_F(ThreadConcurrent, StopFromInsideRunReturnsFalseWithoutWaiting) {
  // Shared with the thread's body, which may still run when the test body
  // returns after a failed wait.
  struct Seen {
    boost::shared_ptr<IThread> handle;
    SyncPoint handleReady;
    std::atomic<int> fromCurrent{-1}, fromHandle{-1}, stillRunning{-1};
  };
  auto seen = std::make_shared<Seen>();
  auto self = once([seen] {
    seen->fromCurrent = IThread::current()->stop();
    seen->handleReady.wait();
    seen->fromHandle = seen->handle->stop();
    seen->stillRunning = seen->handle->isRunning();
  });
  seen->handle = IThread::New(self);
  seen->handleReady.signal();
  ASSERT_TRUE(self->done.wait(10000));
  EXPECT_EQ(0, seen->fromCurrent.load());
  EXPECT_EQ(0, seen->fromHandle.load());
  EXPECT_EQ(1, seen->stillRunning.load()) << "a refused stop does not mark the handle";
}

TEST_F(ThreadConcurrent, StackSizeIsHonoured) {
  auto stackOf = [](unsigned int requested) {
    std::atomic<std::size_t> size{0};
    auto probe = once([&] {
#ifdef _WIN32
      // The reserved stack: from its lowest address to its base.
      ULONG_PTR low = 0, high = 0;
      ::GetCurrentThreadStackLimits(&low, &high);
      size = high - low;
#else
      pthread_attr_t attr;
      if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        std::size_t s = 0;
        pthread_attr_getstacksize(&attr, &s);
        size = s;
        pthread_attr_destroy(&attr);
      }
#endif
    });
    IThread::New(probe, Normal, requested)->stop();
    return size.load();
  };
  std::size_t big = stackOf(0x40000);
  EXPECT_GE(big, 0x40000u);
  EXPECT_LT(big, 0x200000u) << "not the system default of megabytes";
#ifdef _WIN32
  std::size_t const minimum = 0x10000;  // the system's allocation granularity
#else
  std::size_t const minimum = PTHREAD_STACK_MIN;
#endif
  EXPECT_GE(stackOf(100), minimum) << "raised to the minimum";

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(IThread::New(boost::shared_ptr<IRunnable>()), "runnable");
}

TEST_F(ThreadConcurrent, FinalizeStopsEveryThreadAndWaitsForIt) {
  auto t0 = std::chrono::steady_clock::now();
  zu::finalize();
  EXPECT_LT(msSince(t0), 10000) << "without threads it returns at once";

  std::vector<boost::shared_ptr<Looper>> loopers;
  std::vector<boost::shared_ptr<IThread>> threads;
  for (int i = 0; i < 5; ++i) {
    loopers.push_back(boost::make_shared<Looper>());
    threads.push_back(IThread::New(loopers.back(), Normal, 0x40000));
  }
  auto stubborn = once([] { IThread::sleep(100); });  // ignores stop()
  IThread::New(stubborn);
  for (auto& l : loopers) ASSERT_TRUE(l->running.wait(10000));
  zu::finalize();
  EXPECT_TRUE(stubborn->returned.load());
  for (std::size_t i = 0; i < loopers.size(); ++i) {
    EXPECT_TRUE(loopers[i]->returned.load());
    EXPECT_FALSE(threads[i]->isRunning());
    EXPECT_TRUE(threads[i]->stop());
    EXPECT_EQ(1, loopers[i]->stopCalls.load());
  }
}

TEST_F(ThreadConcurrent, FinalizeOnALibraryThreadWaitsForTheOthersOnly) {
  boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
  IThread::New(looper);
  looper->running.wait();
  auto finalizer = once([] { zu::finalize(); });
  IThread::New(finalizer);
  ASSERT_TRUE(finalizer->done.wait(20000));
  EXPECT_TRUE(looper->returned.load());
}

TEST_F(ThreadConcurrent, ThreadsStartedFromSeveralThreadsAllRun) {
  std::atomic<int> ran{0};
  auto starter = [&] {
    for (int i = 0; i < 25; ++i) IThread::New(once([&ran] { ++ran; }), Normal, 0x40000);
  };
  std::thread a(starter), b(starter);
  a.join();
  b.join();
  zu::finalize();
  EXPECT_EQ(50, ran.load());
}

TEST_F(ThreadConcurrent, PrioritiesRoundTripAndApplyAtStart) {
  // The tests may run under nice: this thread's priority is compared with
  // what it was, not with Normal.
  ThreadPriority const before = IThread::getPriority();
  // On a thread of its own: a thread that lowered its priority may not be
  // allowed to raise it again.
  int high = -1, low = -1, normal = -1;
  std::thread t([&] {
    IThread::setPriority(High);
    high = IThread::getPriority();
    IThread::setPriority(Normal);
    normal = IThread::getPriority();
    IThread::setPriority(Low);
    low = IThread::getPriority();
  });
  t.join();
  EXPECT_EQ(Low, low);
  boost::shared_ptr<Looper> slow = boost::make_shared<Looper>();
  IThread::New(slow, Low, 0x40000);
  slow->running.wait();
  EXPECT_EQ(Low, slow->priority.load());
  if (high != High) GTEST_SKIP() << "this process may not raise thread priority (needs CAP_SYS_NICE)";

  EXPECT_EQ(Normal, normal);
  boost::shared_ptr<Looper> fast = boost::make_shared<Looper>();
  IThread::New(fast, High, 0x40000);
  fast->running.wait();
  EXPECT_EQ(High, fast->priority.load());
  EXPECT_EQ(before, IThread::getPriority()) << "only the new threads changed";
}

// A library thread that the library itself has told to stop (a dropped
// timer's, say) may still be leaving the registry when the program exits
// without zu::finalize(): the exit waits for it instead of reporting it or
// racing with it.
TEST_F(ThreadConcurrent, ExitWhileALibraryThreadIsEndingWaitsForIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
        looper->lingerAfterStop = 200;
        IThread::New(looper);
        looper->running.wait();
        looper->stop();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadConcurrent, ExitWithARegisteredThreadIsReportedAndCleanAfterFinalize) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
        IThread::New(looper);
        looper->running.wait();
        std::exit(0);
      },
      "_map.empty\\(\\)");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 4; ++i) IThread::New(boost::make_shared<Looper>(), Normal, 0x40000);
        zu::finalize();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
