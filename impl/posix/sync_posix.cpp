// Locks, semaphores and sync points on POSIX threads, and the atomic integer.
//
// A semaphore with a maximum and an event (auto or manual reset) have no
// direct POSIX counterpart with those rules, so both are a plain mutex and a
// condition variable around a small state. The condition variables measure
// time-outs on the monotonic clock, so setting the wall clock neither cuts a
// wait short nor stretches it.
#include <zu/sys.h>

#include <boost/make_shared.hpp>
#include <cerrno>
#include <ctime>
#include <pthread.h>
#include "core/assertion.h"

namespace zu {

namespace sys {
namespace __ {

namespace {

unsigned int const Infinite = 0xFFFFFFFFu;

// A mutex and a condition variable whose time-outs run on the monotonic clock.
struct Monitor {
  pthread_mutex_t mutex;
  pthread_cond_t cond;

  Monitor() {
    ZU_ASSERT(pthread_mutex_init(&mutex, nullptr) == 0, "handle");
    pthread_condattr_t attr;
    bool made = pthread_condattr_init(&attr) == 0;
    if (made) {
      made = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 && pthread_cond_init(&cond, &attr) == 0;
      pthread_condattr_destroy(&attr);
    }
    ZU_ASSERT(made, "handle");
  }
  ~Monitor() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
  }
  Monitor(Monitor const&) = delete;
  Monitor& operator=(Monitor const&) = delete;

  // With `mutex` held: waits until ready() is true or `milliseconds` have
  // passed (Infinite: no limit) and returns ready(). Spurious wake-ups and
  // signals meant for other waiters only loop back to the deadline.
  template <class Ready>
  bool waitFor(unsigned int milliseconds, Ready ready) {
    if (ready()) return true;
    if (milliseconds == 0) return false;
    if (milliseconds == Infinite) {
      while (!ready()) pthread_cond_wait(&cond, &mutex);
      return true;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000u;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_nsec -= 1000000000L;
      ++deadline.tv_sec;
    }
    while (!ready()) {
      if (pthread_cond_timedwait(&cond, &mutex, &deadline) == ETIMEDOUT) return ready();
    }
    return true;
  }
};

class Locked {
 public:
  explicit Locked(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
  ~Locked() { pthread_mutex_unlock(&m_); }
  Locked(Locked const&) = delete;
  Locked& operator=(Locked const&) = delete;

 private:
  pthread_mutex_t& m_;
};

}  // namespace

struct MutexStub {
  pthread_mutex_t mutex;

  MutexStub() {
    pthread_mutexattr_t attr;
    bool made = pthread_mutexattr_init(&attr) == 0;
    if (made) {
      made = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
             pthread_mutex_init(&mutex, &attr) == 0;
      pthread_mutexattr_destroy(&attr);
    }
    ZU_ASSERT(made, "handle");
  }
  ~MutexStub() { pthread_mutex_destroy(&mutex); }
  MutexStub(MutexStub const&) = delete;
  MutexStub& operator=(MutexStub const&) = delete;
};

struct SemaphoreStub {
  Monitor monitor;
  unsigned int count;
  unsigned int const maximum;

  SemaphoreStub(unsigned int maximum, unsigned int initial) : count(initial), maximum(maximum) {}
};

struct SyncPointStub {
  Monitor monitor;
  bool signalled = false;
  bool const autoReset;

  explicit SyncPointStub(bool autoReset) : autoReset(autoReset) {}
};

}  // namespace __

Mutex::Mutex() : stub_(boost::make_shared<__::MutexStub>()) {}

void Mutex::lock() { pthread_mutex_lock(&stub_->mutex); }

bool Mutex::tryLock() { return pthread_mutex_trylock(&stub_->mutex) == 0; }

void Mutex::unlock() { pthread_mutex_unlock(&stub_->mutex); }

ScopedLock::ScopedLock(Mutex const& mutex) : mutex_(mutex) { mutex_.lock(); }

ScopedLock::~ScopedLock() { mutex_.unlock(); }

Semaphore::Semaphore(unsigned int maximum, unsigned int initial) {
  // The same arguments the system refuses for its own semaphores: there is
  // no semaphore that can never be released or starts above its maximum.
  ZU_ASSERT(maximum != 0 && initial <= maximum, "handle");
  stub_ = boost::make_shared<__::SemaphoreStub>(maximum, initial);
}

void Semaphore::wait() { wait(__::Infinite); }

bool Semaphore::wait(unsigned int milliseconds) {
  __::SemaphoreStub& s = *stub_;
  __::Locked lock(s.monitor.mutex);
  if (!s.monitor.waitFor(milliseconds, [&s] { return s.count != 0; })) return false;
  --s.count;
  return true;
}

void Semaphore::signal() {
  __::SemaphoreStub& s = *stub_;
  __::Locked lock(s.monitor.mutex);
  if (s.count >= s.maximum) return;
  ++s.count;
  pthread_cond_signal(&s.monitor.cond);
}

SyncPoint::SyncPoint(bool autoReset) : stub_(boost::make_shared<__::SyncPointStub>(autoReset)) {}

void SyncPoint::wait() { wait(__::Infinite); }

bool SyncPoint::wait(unsigned int milliseconds) {
  __::SyncPointStub& s = *stub_;
  __::Locked lock(s.monitor.mutex);
  if (!s.monitor.waitFor(milliseconds, [&s] { return s.signalled; })) return false;
  if (s.autoReset) s.signalled = false;
  return true;
}

void SyncPoint::signal() {
  __::SyncPointStub& s = *stub_;
  // Signalled under the lock: a woken waiter may destroy the last handle
  // to this sync point as soon as it returns, and it cannot return before
  // the lock is released.
  __::Locked lock(s.monitor.mutex);
  s.signalled = true;
  // One waiter takes an auto-reset event; a manual one releases them all.
  if (s.autoReset)
    pthread_cond_signal(&s.monitor.cond);
  else
    pthread_cond_broadcast(&s.monitor.cond);
}

void SyncPoint::reset() {
  __::SyncPointStub& s = *stub_;
  __::Locked lock(s.monitor.mutex);
  s.signalled = false;
}

}  // namespace sys
}  // namespace zu
