// zu::sys: locks, semaphores, sync points, the atomic integer, the
// library's threads and the process property table.
#ifndef ZU_SYS_H
#define ZU_SYS_H

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {

// A 32-bit integer changed only by atomic operations. Not shared between
// copies.
class ZU_API AtomicInteger {
 public:
  AtomicInteger(int initial = 0);  // holds `initial`
  AtomicInteger(AtomicInteger const& other);  // holds other's current value
  AtomicInteger& operator=(AtomicInteger const& other);  // takes other's current value
  // Adds `delta` and returns the new value; add(0) reads the value.
  int add(int delta);
  // Stores `value` and returns the previous one.
  int exchange(int value);

 private:
  std::atomic<int> value_;
};

// Asks every thread started through IThread::New to stop and returns once
// all of them have returned from run(). Call before exiting or unloading.
ZU_API void finalize();

namespace sys {

namespace __ {
struct MutexStub;
struct SemaphoreStub;
struct SyncPointStub;
}  // namespace __

// A re-entrant lock. Copies are handles to the same lock; it goes away with
// the last handle.
class ZU_API Mutex {
 public:
  Mutex();
  // Blocks until the calling thread owns the lock (again).
  void lock();
  // Takes the lock if free or already the caller's; false otherwise.
  bool tryLock();
  // Releases one level of ownership.
  void unlock();

 private:
  boost::shared_ptr<__::MutexStub> stub_;
};

// Holds a mutex (and a handle to it) for its lifetime; destroy it on the
// thread that made it.
class ZU_API ScopedLock {
 public:
  explicit ScopedLock(Mutex const& mutex);  // locks `mutex` until the end of the scope
  ~ScopedLock();
  ScopedLock(ScopedLock const&) = delete;
  ScopedLock& operator=(ScopedLock const&) = delete;

 private:
  Mutex mutex_;
};

// A counting semaphore with a maximum; a release beyond the maximum has no
// effect. Copies are handles to the same semaphore.
class ZU_API Semaphore {
 public:
  // A maximum of 0 or an initial count above the maximum is fatal ("handle").
  Semaphore(unsigned int maximum, unsigned int initial);
  void wait();  // takes a unit, waiting as long as it takes
  // True when a unit was taken within `milliseconds`; NO_LIMIT waits
  // without limit. Timed waits follow a monotonic clock.
  bool wait(unsigned int milliseconds);
  void signal();  // releases a unit

 private:
  boost::shared_ptr<__::SemaphoreStub> stub_;
};

// An event, initially not signalled. Auto-reset: a successful wait resets
// it (one waiter per signal). Manual reset: stays signalled until reset(),
// releasing every waiter. Copies are handles to the same event.
class ZU_API SyncPoint {
 public:
  // Auto-reset unless `autoReset` is false.
  SyncPoint(bool autoReset = true);
  void wait();  // waits until signalled
  // As Semaphore::wait(milliseconds).
  bool wait(unsigned int milliseconds);
  void signal();  // signals the event
  void reset();  // makes the event not signalled

 private:
  boost::shared_ptr<__::SyncPointStub> stub_;
};

// The priority a library thread runs at.
enum ThreadPriority {
  Normal = 0,
  High = 1,
  Low = 2
};

// A thread body. stop() is called from another thread and must make run()
// return soon.
class ZU_API IRunnable : public IBase {
 public:
  virtual void run() = 0;  // the thread's work
  virtual void stop() = 0;  // makes run() return soon
};

// A library thread, or a handle for the calling thread.
class ZU_API IThread : public IBase {
 public:
  // The operating-system thread id.
  virtual unsigned int id() = 0;
  // Asks the runnable to stop and waits for the thread to end. False, at
  // once, when called on the thread itself.
  virtual bool stop() = 0;
  // False once stop() completed on this handle; else whether the thread is
  // still registered.
  virtual bool isRunning() = 0;

  // Starts a registered library thread running runnable->run(). stackSize
  // 0 is the system default.
  static boost::shared_ptr<IThread> New(boost::shared_ptr<IRunnable> runnable,
                                        ThreadPriority priority = Normal,
                                        unsigned int stackSize = 0);
  // An unregistered handle for the calling thread.
  static boost::shared_ptr<IThread> current();
  static unsigned int currentId();  // the calling thread's operating-system id
  static void sleep(unsigned int milliseconds);  // suspends the calling thread
  static void yield();  // lets other threads run
  // Applies to the calling thread; a change the system refuses is ignored.
  static void setPriority(ThreadPriority priority);
  static ThreadPriority getPriority();  // the calling thread's priority
};

// The process property table. Read-only built-ins: "zu.version",
// "app.uptime" (load time, HttpDate in the local zone), "app.path",
// "app.command" (the arguments quoted so the argument parser gives them back
// unchanged), "os.name", "os.arch", "os.version" (fixed at load);
// "user.name", "user.home", "user.temp" (read at each call). Every other
// name is free for the program. Names match exactly.
//
// A built-in's value, else the stored one; "" (and a "[WARN]" log line) for
// an unknown name.
ZU_API String getProperty(String const& name);
// Stores `value` under `name`; an empty value removes the name. Built-ins
// stay as they are (a "[WARN]" log line says so).
ZU_API void setProperty(String const& name, String const& value);

}  // namespace sys
}  // namespace zu

#endif
