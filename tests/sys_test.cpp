#include <zu/sys.h>

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <climits>
#include <pthread.h>
#include <thread>
#include <vector>

using namespace zu;
using namespace zu::sys;

namespace {

unsigned int const Forever = 0xFFFFFFFFu;

long long elapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
      .count();
}

// Polls `condition` for up to five seconds; for states that settle shortly
// after an event the test cannot wait on directly.
template <class Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

}  // namespace

TEST(AtomicInteger, AddReturnsNewValueAndExchangeReturnsOldValue) {
  AtomicInteger a(5);
  EXPECT_EQ(8, a.add(3));
  EXPECT_EQ(8, a.exchange(1));
  EXPECT_EQ(1, a.add(0));
  EXPECT_EQ(-4, a.add(-5));

  AtomicInteger copy(a);
  copy.add(10);
  EXPECT_EQ(-4, a.add(0)) << "copies are independent values";
  EXPECT_EQ(0, AtomicInteger().add(0));

  AtomicInteger top(INT_MAX);
  EXPECT_EQ(INT_MIN, top.add(1)) << "wraps like the processor's add";
}

TEST(Mutex, OwnerMayLockAgainAndTryLockSucceeds) {
  Mutex m;
  m.lock();
  m.lock();
  EXPECT_TRUE(m.tryLock());
  m.unlock();
  m.unlock();
  m.unlock();
  EXPECT_TRUE(m.tryLock());
  m.unlock();
}

TEST(Semaphore, CountNeverExceedsItsMaximum) {
  Semaphore s(2, 0);
  EXPECT_FALSE(s.wait(0));
  s.signal();
  s.signal();
  s.signal();  // beyond the maximum: no effect
  EXPECT_TRUE(s.wait(0));
  EXPECT_TRUE(s.wait(0));
  EXPECT_FALSE(s.wait(0));

  Semaphore started(3, 3);
  Semaphore copy = started;
  EXPECT_TRUE(copy.wait(0));
  EXPECT_TRUE(started.wait(0));
  copy.wait();
  EXPECT_FALSE(started.wait(0)) << "copies share one count";
}

TEST(Semaphore, ImpossibleLimitsAreFatal) {
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
  EXPECT_TRUE(p.wait(Forever)) << "copies share one event";
  EXPECT_FALSE(copy.wait(0));
}

TEST(SyncPoint, ManualResetStaysSignalledUntilReset) {
  SyncPoint p(false);
  EXPECT_FALSE(p.wait(0));
  p.signal();
  EXPECT_TRUE(p.wait(0));
  EXPECT_TRUE(p.wait(0));
  p.wait();
  EXPECT_TRUE(p.wait(10));
  p.reset();
  EXPECT_FALSE(p.wait(0));
}

TEST(SyncPoint, TimedWaitsLastAboutTheirTimeout) {
  SyncPoint p;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(p.wait(60));
  long long waited = elapsedMs(t0);
  EXPECT_GE(waited, 59);
  EXPECT_LT(waited, 1000);

  Semaphore s(1, 0);
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.wait(1050));  // crosses a whole second in the deadline
  waited = elapsedMs(t0);
  EXPECT_GE(waited, 1049);
  EXPECT_LT(waited, 2500);
}

// --- across threads ---------------------------------------------------------

TEST(MutexConcurrent, OtherThreadsAreExcludedUntilEveryLevelIsReleased) {
  Mutex m;
  auto othersTry = [&m] {
    bool got = false;
    std::thread t([&] {
      got = m.tryLock();
      if (got) m.unlock();
    });
    t.join();
    return got;
  };
  m.lock();
  m.lock();
  EXPECT_FALSE(othersTry());
  m.unlock();
  EXPECT_FALSE(othersTry()) << "one level still held";
  m.unlock();
  EXPECT_TRUE(othersTry());
}

TEST(MutexConcurrent, CopiesAndScopedLocksShareOneLock) {
  Mutex original;
  Mutex copy = original;
  bool gotWhileHeld = true;
  {
    ScopedLock lock(copy);
    std::thread t([&] {
      gotWhileHeld = original.tryLock();
      if (gotWhileHeld) original.unlock();
    });
    t.join();
  }
  EXPECT_FALSE(gotWhileHeld);
  bool gotAfter = false;
  std::thread t([&] {
    gotAfter = original.tryLock();
    if (gotAfter) original.unlock();
  });
  t.join();
  EXPECT_TRUE(gotAfter) << "the scoped lock released it";

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

TEST(AtomicIntegerConcurrent, ConcurrentAddsAreNotLost) {
  AtomicInteger a;
  auto work = [&] {
    for (int i = 0; i < 100000; ++i) a.add(1);
  };
  std::thread x(work), y(work);
  x.join();
  y.join();
  EXPECT_EQ(200000, a.add(0));
}

TEST(SyncPointConcurrent, AutoResetReleasesOneWaiterPerSignal) {
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
    EXPECT_TRUE(released.wait(5000));
    EXPECT_FALSE(released.wait(30)) << "a single signal released a second waiter";
  }
  for (std::thread& t : waiters) t.join();
}

TEST(SyncPointConcurrent, ManualResetReleasesEveryWaiter) {
  SyncPoint gate(false);
  Semaphore ready(10, 0), released(10, 0);
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      ready.signal();
      EXPECT_TRUE(gate.wait(10000));
      released.signal();
    });
  for (int i = 0; i < 4; ++i) ready.wait();
  gate.signal();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(released.wait(5000));
  for (std::thread& t : waiters) t.join();
}

TEST(SyncPointConcurrent, SignalEndsATimedWaitEarly) {
  SyncPoint p;
  Semaphore s(1, 0);
  std::thread t([&] {
    IThread::sleep(20);
    p.signal();
    s.signal();
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(p.wait(20000));
  EXPECT_TRUE(s.wait(20000));
  EXPECT_LT(elapsedMs(t0), 10000);
  t.join();
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
    running.signal();
    while (!stopping.load()) wake.wait();
    returned = true;
  }
  void stop() override {
    ++stopCalls;
    stopping = true;
    wake.signal();
  }

  SyncPoint running{false};
  SyncPoint wake;
  std::atomic<bool> stopping{false};
  std::atomic<bool> returned{false};
  std::atomic<int> stopCalls{0};
  std::atomic<unsigned int> threadId{0};
  std::atomic<int> priority{-1};
};

// Returns from run at once.
class Quick : public IRunnable {
 public:
  void run() override { ran = true; }
  void stop() override { ++stopCalls; }
  std::atomic<bool> ran{false};
  std::atomic<int> stopCalls{0};
};

class ThreadConcurrent : public ::testing::Test {
 protected:
  void TearDown() override { zu::finalize(); }
};

}  // namespace

TEST_F(ThreadConcurrent, StopAsksTheRunnableAndWaitsForRunToReturn) {
  boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
  boost::shared_ptr<IThread> thread = IThread::New(looper, Normal, 0x40000);
  ASSERT_TRUE(looper->running.wait(10000));
  EXPECT_EQ(looper->threadId.load(), thread->id());
  EXPECT_NE(IThread::currentId(), thread->id());
  EXPECT_TRUE(thread->isRunning());
  EXPECT_EQ(Normal, looper->priority.load());

  EXPECT_TRUE(thread->stop());
  EXPECT_TRUE(looper->returned.load());
  EXPECT_EQ(1, looper->stopCalls.load());
  EXPECT_FALSE(thread->isRunning());

  EXPECT_TRUE(thread->stop()) << "stopping an ended thread still succeeds";
  EXPECT_EQ(1, looper->stopCalls.load()) << "and does not call the runnable again";
}

TEST_F(ThreadConcurrent, ThreadThatEndedByItselfLeavesTheRegistry) {
  boost::shared_ptr<Quick> quick = boost::make_shared<Quick>();
  boost::shared_ptr<IThread> thread = IThread::New(quick);
  EXPECT_TRUE(eventually([&] { return !thread->isRunning(); }));
  EXPECT_TRUE(quick->ran.load());
  EXPECT_TRUE(thread->stop());
  EXPECT_EQ(0, quick->stopCalls.load());
}

TEST_F(ThreadConcurrent, RunnableIsReleasedWhenItsThreadEnds) {
  boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
  boost::weak_ptr<Looper> watch = looper;
  boost::shared_ptr<IThread> thread = IThread::New(looper);
  looper->running.wait();
  looper.reset();
  EXPECT_FALSE(watch.expired()) << "the thread holds its runnable while it runs";
  EXPECT_TRUE(thread->stop());
  EXPECT_TRUE(watch.expired()) << "nothing keeps the runnable after run returned";
}

namespace {

// Tries to stop its own thread from inside run, once through a handle made
// there and once through the handle IThread::New returned.
class SelfStopper : public IRunnable {
 public:
  void run() override {
    fromCurrent = IThread::current()->stop();
    handleReady.wait();
    fromHandle = handle->stop();
    currentStillRunning = IThread::current()->isRunning();
  }
  void stop() override { ++stopCalls; }

  boost::shared_ptr<IThread> handle;
  SyncPoint handleReady;
  std::atomic<int> fromCurrent{-1}, fromHandle{-1}, currentStillRunning{-1};
  std::atomic<int> stopCalls{0};
};

}  // namespace

TEST_F(ThreadConcurrent, StopFromInsideRunReturnsFalseWithoutWaiting) {
  boost::shared_ptr<SelfStopper> r = boost::make_shared<SelfStopper>();
  r->handle = IThread::New(r);
  r->handleReady.signal();
  boost::shared_ptr<IThread> handle = r->handle;
  EXPECT_TRUE(handle->stop());
  EXPECT_EQ(0, r->fromCurrent.load());
  EXPECT_EQ(0, r->fromHandle.load());
  EXPECT_EQ(1, r->currentStillRunning.load()) << "a failed stop does not mark the handle";
  r->handle.reset();
}

namespace {

class HandleGrabber : public Looper {
 public:
  void run() override {
    inside = IThread::current();
    Looper::run();
  }
  boost::shared_ptr<IThread> inside;
};

}  // namespace

TEST_F(ThreadConcurrent, EveryHandleSeesTheThreadEnd) {
  boost::shared_ptr<HandleGrabber> r = boost::make_shared<HandleGrabber>();
  boost::shared_ptr<IThread> outer = IThread::New(r);
  r->running.wait();
  boost::shared_ptr<IThread> inner = r->inside;
  EXPECT_EQ(outer->id(), inner->id());
  EXPECT_TRUE(inner->isRunning());

  EXPECT_TRUE(inner->stop()) << "a handle made inside the thread stops it from outside";
  EXPECT_FALSE(inner->isRunning());
  EXPECT_FALSE(outer->isRunning()) << "the thread has left the registry";
  EXPECT_TRUE(outer->stop());
  EXPECT_EQ(1, r->stopCalls.load());
}

TEST_F(ThreadConcurrent, HandleOfAForeignThreadGoesByIdOnly) {
  boost::shared_ptr<IThread> self = IThread::current();
  EXPECT_EQ(IThread::currentId(), self->id());
  EXPECT_FALSE(self->isRunning()) << "threads the library did not start are not registered";
  EXPECT_FALSE(self->stop());
}

TEST_F(ThreadConcurrent, StackSizeIsHonoured) {
  struct StackProbe : IRunnable {
    void run() override {
      pthread_attr_t attr;
      if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        std::size_t s = 0;
        pthread_attr_getstacksize(&attr, &s);
        size = s;
        pthread_attr_destroy(&attr);
      }
      done.signal();
    }
    void stop() override {}
    std::atomic<std::size_t> size{0};
    SyncPoint done{false};
  };
  boost::shared_ptr<StackProbe> big = boost::make_shared<StackProbe>();
  boost::shared_ptr<IThread> t1 = IThread::New(big, Normal, 0x40000);
  boost::shared_ptr<StackProbe> tiny = boost::make_shared<StackProbe>();
  boost::shared_ptr<IThread> t2 = IThread::New(tiny, Normal, 100);
  ASSERT_TRUE(big->done.wait(10000));
  ASSERT_TRUE(tiny->done.wait(10000));
  EXPECT_GE(big->size.load(), 0x40000u);
  EXPECT_LT(big->size.load(), 0x200000u) << "not the system default of megabytes";
  EXPECT_GE(tiny->size.load(), static_cast<std::size_t>(PTHREAD_STACK_MIN)) << "raised to the minimum";
  t1->stop();
  t2->stop();
}

TEST_F(ThreadConcurrent, NullRunnableIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(IThread::New(boost::shared_ptr<IRunnable>()), "runnable");
}

TEST_F(ThreadConcurrent, FinalizeWithoutThreadsReturnsAtOnce) {
  auto t0 = std::chrono::steady_clock::now();
  zu::finalize();
  EXPECT_LT(elapsedMs(t0), 1000);
}

TEST_F(ThreadConcurrent, FinalizeStopsEveryThreadAndWaitsForIt) {
  std::vector<boost::shared_ptr<Looper>> loopers;
  std::vector<boost::shared_ptr<IThread>> threads;
  for (int i = 0; i < 5; ++i) {
    loopers.push_back(boost::make_shared<Looper>());
    threads.push_back(IThread::New(loopers.back(), Normal, 0x40000));
  }
  for (auto& l : loopers) ASSERT_TRUE(l->running.wait(10000));
  zu::finalize();
  for (std::size_t i = 0; i < loopers.size(); ++i) {
    EXPECT_TRUE(loopers[i]->returned.load());
    EXPECT_EQ(1, loopers[i]->stopCalls.load());
    EXPECT_FALSE(threads[i]->isRunning());
    EXPECT_TRUE(threads[i]->stop());
    EXPECT_EQ(1, loopers[i]->stopCalls.load());
  }
}

TEST_F(ThreadConcurrent, FinalizeWaitsForARunnableThatIgnoresStop) {
  struct Stubborn : IRunnable {
    void run() override {
      IThread::sleep(100);
      returned = true;
    }
    void stop() override { ++stopCalls; }
    std::atomic<bool> returned{false};
    std::atomic<int> stopCalls{0};
  };
  boost::shared_ptr<Stubborn> r = boost::make_shared<Stubborn>();
  IThread::New(r);
  zu::finalize();
  EXPECT_TRUE(r->returned.load());
}

TEST_F(ThreadConcurrent, FinalizeOnALibraryThreadWaitsForTheOthersOnly) {
  struct Finalizer : IRunnable {
    void run() override {
      zu::finalize();
      done.signal();
    }
    void stop() override {}
    SyncPoint done{false};
  };
  boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
  IThread::New(looper);
  looper->running.wait();
  boost::shared_ptr<Finalizer> f = boost::make_shared<Finalizer>();
  IThread::New(f);
  ASSERT_TRUE(f->done.wait(20000));
  EXPECT_TRUE(looper->returned.load());
}

TEST_F(ThreadConcurrent, ManyThreadsStartedFromSeveralThreads) {
  std::atomic<int> ran{0};
  struct Counter : IRunnable {
    explicit Counter(std::atomic<int>& n) : n(n) {}
    void run() override { ++n; }
    void stop() override {}
    std::atomic<int>& n;
  };
  auto starter = [&] {
    for (int i = 0; i < 25; ++i) IThread::New(boost::make_shared<Counter>(ran), Normal, 0x40000);
  };
  std::thread a(starter), b(starter);
  a.join();
  b.join();
  zu::finalize();
  EXPECT_EQ(50, ran.load());
}

TEST_F(ThreadConcurrent, PriorityRoundTrips) {
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
  if (high != High) GTEST_SKIP() << "this process may not raise thread priority (needs CAP_SYS_NICE)";
  EXPECT_EQ(Normal, normal);

  boost::shared_ptr<Looper> fast = boost::make_shared<Looper>();
  IThread::New(fast, High, 0x40000);
  boost::shared_ptr<Looper> slow = boost::make_shared<Looper>();
  IThread::New(slow, Low, 0x40000);
  fast->running.wait();
  slow->running.wait();
  EXPECT_EQ(High, fast->priority.load());
  EXPECT_EQ(Low, slow->priority.load());
  EXPECT_EQ(Normal, IThread::getPriority()) << "only the new threads changed";
}

TEST_F(ThreadConcurrent, LowPriorityAppliesAtStart) {
  boost::shared_ptr<Looper> slow = boost::make_shared<Looper>();
  IThread::New(slow, Low);
  slow->running.wait();
  EXPECT_EQ(Low, slow->priority.load());
}

TEST_F(ThreadConcurrent, ExitingWithARegisteredThreadIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        boost::shared_ptr<Looper> looper = boost::make_shared<Looper>();
        IThread::New(looper);
        looper->running.wait();
        std::exit(0);
      },
      "_map.empty\\(\\)");
}

TEST_F(ThreadConcurrent, ExitAfterFinalizeIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 4; ++i) IThread::New(boost::make_shared<Looper>(), Normal, 0x40000);
        zu::finalize();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Thread, SleepLastsAtLeastItsTime) {
  auto t0 = std::chrono::steady_clock::now();
  IThread::sleep(25);
  EXPECT_GE(elapsedMs(t0), 25);
  IThread::yield();
  EXPECT_NE(0u, IThread::currentId());
}
