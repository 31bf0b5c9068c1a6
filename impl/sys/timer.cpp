// Periodic timers: one runner thread and one schedule per reactor id.
// One thread per reactor id keeps callbacks of one id in order and off the callers' threads.
#include <zu/sys.h>
#include <zu/time.h>

#include <atomic>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <cstdint>
#include <map>

#include "core/assertion.h"
#include "sys/startup.h"
#include "platform/platform.h"

namespace zu {
namespace sys {
namespace impl {

namespace {

// The schedule's clock: monotonic milliseconds, 64 bits so they never wrap.
std::int64_t scheduleNow() {
  return static_cast<std::int64_t>(::zu::__::platform::monotonicNanoseconds() / 1000000u);
}

}  // namespace

// One started schedule of one timer. The timer holds the only lasting
// strong reference; the schedule holds weak ones, so replacing or dropping
// the context retires its schedule entry.
struct TimerCallbackContext {
  boost::weak_ptr<ITimer> timer;
  boost::weak_ptr<ITimerCallback> callback;
  unsigned int interval;  // never 0
};

class TimerReactorRunner : public IRunnable {
 public:
  TimerReactorRunner() : stopRequested_(false), wakeup_(true), sweepAt_(minimumSweep) {}

  void run() override {
    while (!stopRequested_.load(std::memory_order_acquire)) pass();
  }

  void stop() override {
    stopRequested_.store(true, std::memory_order_release);
    wakeup_.signal();
  }

  // Enters the context's first due time and wakes the runner when that
  // comes before every other, as its wait may then be too long. A later
  // one waits for the runner's next look: a wake costs the runner a switch
  // of threads, which every connection starting its timer would pay.
  void schedule(boost::shared_ptr<TimerCallbackContext> const& context) {
    ZU_ASSERT(context, "context");
    if (insert(scheduleNow() + context->interval, context)) wakeup_.signal();
  }

 private:
  typedef std::multimap<std::int64_t, boost::weak_ptr<TimerCallbackContext>> Schedule;

  // Entries of stopped or restarted timers stay until they come due. With
  // long intervals and frequent restarts they would pile up, so whenever the
  // schedule has doubled since the last sweep, the dead ones are removed
  // (amortised constant cost per insert).
  static std::size_t const minimumSweep = 64;

  // True when the entry is now the first due.
  bool insert(std::int64_t due, boost::shared_ptr<TimerCallbackContext> const& context) {
    ScopedLock lock(scheduleLock_);
    // multimap inserts behind the entries of an equal key: equal due times
    // fire in the order they were scheduled.
    Schedule::iterator const entered = schedule_.emplace(due, context);
    bool const first = entered == schedule_.begin();
    if (schedule_.size() >= sweepAt_) {
      for (Schedule::iterator i = schedule_.begin(); i != schedule_.end();)
        i = i->second.expired() ? schedule_.erase(i) : std::next(i);
      sweepAt_ = schedule_.size() * 2 > minimumSweep ? schedule_.size() * 2 : minimumSweep;
    }
    return first;
  }

  void pass() {
    std::int64_t const now = scheduleNow();
    std::int64_t due = 0;
    bool empty = true;
    boost::shared_ptr<TimerCallbackContext> context;
    {
      ScopedLock lock(scheduleLock_);
      if (!schedule_.empty()) {
        empty = false;
        Schedule::iterator first = schedule_.begin();
        due = first->first;
        if (due <= now) {
          context = first->second.lock();
          schedule_.erase(first);
        }
      }
    }
    if (!context) {
      if (empty) {
        wakeup_.wait();
      } else if (due > now) {
        // 0xFFFFFFFF would mean "no limit": an interval that long waits one
        // millisecond less and looks again.
        std::int64_t const span = due - now;
        wakeup_.wait(span < 0xFFFFFFFF ? static_cast<unsigned int>(span) : 0xFFFFFFFEu);
      }
      return;  // a due entry whose context is gone is simply dropped
    }
    boost::shared_ptr<ITimer> timer = context->timer.lock();
    boost::shared_ptr<ITimerCallback> callback = context->callback.lock();
    if (!timer || !callback) return;
    callback->onTimer(timer);
    std::int64_t next = due + context->interval;
    if (next < now) next = now + context->interval;  // missed periods are skipped
    insert(next, context);
    // The strong references go here, in reverse order: the callback, the
    // timer (maybe its last holder, ending this reactor) and the context.
  }

  std::atomic<bool> stopRequested_;
  SyncPoint wakeup_;
  Schedule schedule_;
  std::size_t sweepAt_;
  Mutex scheduleLock_;
};

class TimerReactor;

namespace {

typedef std::map<unsigned int, boost::weak_ptr<TimerReactor>> ReactorRegistry;

struct TimerState {
  Mutex registryLock;
  ReactorRegistry registry;
  Mutex contextLock;  // guards every timer's `context`
};

TimerState& timerState() {
  static TimerState* state = new TimerState;  // outlives every timer, also at unload
  return *state;
}

}  // namespace

// Owns the runner of one reactor id; lives as long as the id's last timer.
class TimerReactor : public IBase {
 public:
  explicit TimerReactor(unsigned int id) : id_(id), runner_(boost::make_shared<TimerReactorRunner>()) {
    // The thread holds the runner; its handle is not needed.
    IThread::New(runner_, Normal, 0x40000);
  }

  ~TimerReactor() override {
    runner_->stop();
    TimerState& state = timerState();
    ScopedLock lock(state.registryLock);
    // A new reactor of this id may already have taken the entry (New ran
    // between the last release of this one and this destructor): only an
    // expired entry is this reactor's.
    ReactorRegistry::iterator entry = state.registry.find(id_);
    if (entry != state.registry.end() && entry->second.expired()) state.registry.erase(entry);
  }

  TimerReactorRunner& runner() { return *runner_; }

 private:
  unsigned int const id_;
  boost::shared_ptr<TimerReactorRunner> const runner_;
};

class Timer : public ITimer, public boost::enable_shared_from_this<Timer> {
 public:
  explicit Timer(boost::shared_ptr<TimerReactor> reactor) : reactor_(std::move(reactor)) {
    ZU_ASSERT(reactor_, "_reactor");
  }

  bool start(unsigned int interval, boost::weak_ptr<ITimerCallback> callback) override {
    ZU_ASSERT(callback.lock(), "callback.lock()");
    ZU_ASSERT(interval != 0, "interval != 0");
    boost::shared_ptr<TimerCallbackContext> context = boost::make_shared<TimerCallbackContext>();
    context->timer = boost::weak_ptr<ITimer>(shared_from_this());
    context->callback = callback;
    context->interval = interval;
    boost::shared_ptr<TimerCallbackContext> previous;
    {
      ScopedLock lock(timerState().contextLock);
      previous.swap(context_);
      context_ = context;
    }
    reactor_->runner().schedule(context);
    return true;
  }

  void stop() override {
    boost::shared_ptr<TimerCallbackContext> previous;
    ScopedLock lock(timerState().contextLock);
    previous.swap(context_);
  }

  bool isRunning() override {
    ScopedLock lock(timerState().contextLock);
    return static_cast<bool>(context_);
  }

 private:
  boost::shared_ptr<TimerCallbackContext> context_;
  boost::shared_ptr<TimerReactor> const reactor_;
};

}  // namespace impl

boost::shared_ptr<ITimer> ITimer::New(unsigned int reactorId) {
  impl::TimerState& state = impl::timerState();
  boost::shared_ptr<impl::TimerReactor> reactor;
  {
    ScopedLock lock(state.registryLock);
    boost::weak_ptr<impl::TimerReactor>& entry = state.registry[reactorId];
    reactor = entry.lock();
    if (!reactor) {
      reactor = boost::make_shared<impl::TimerReactor>(reactorId);
      entry = reactor;
    }
  }
  return boost::make_shared<impl::Timer>(reactor);
}

void __::initializeTimers() { impl::timerState(); }

}  // namespace sys

}  // namespace zu
