// The library's threads: start-up through a start gate, the process-wide
// registry of running threads, stopping one thread or all of them, and the
// check at unload.
#include <zu/sys.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <map>
#include "core/assertion.h"
#include "platform/platform.h"
#include "sys/startup.h"

namespace zu {
namespace sys {
namespace impl {

// One per started thread, shared by the registry, the starter and the thread.
struct ThreadData {
  ThreadPriority priority;
  // Weak, so that the registry never keeps a runnable alive.
  boost::weak_ptr<IRunnable> runnable;
  // The start gate: the thread runs its body only once it is registered.
  SyncPoint started{true};
  // Signalled, and left signalled, once the body has returned and the
  // thread has left the registry.
  SyncPoint finished{false};

  ThreadData(ThreadPriority priority, boost::shared_ptr<IRunnable> const& runnable)
      : priority(priority), runnable(runnable) {}
};

typedef boost::shared_ptr<ThreadData> ThreadDataPtr;

// Id -> data of every library thread from just after its creation until its
// body has returned. The mutex is held for insert, erase and lookup only,
// never while calling a runnable or waiting.
//
// Never destroyed: a thread on its way out erases itself, and it may still
// be doing so while the process exits; the check at unload reads the map
// under the same lock.
class ThreadRegistry {
 public:
  ThreadRegistry() = default;
  ThreadRegistry(ThreadRegistry const&) = delete;
  ThreadRegistry& operator=(ThreadRegistry const&) = delete;

  // A forked child has none of its parent's threads: what it inherited
  // here is stale and cannot be finalized.
  static bool& forkedChild() {
    static bool forked = false;
    return forked;
  }

  void insert(unsigned int id, ThreadDataPtr const& data) {
    ScopedLock lock(mutex_);
    _map[id] = data;
  }

  // The entry for `id`, or null.
  ThreadDataPtr find(unsigned int id) {
    ScopedLock lock(mutex_);
    std::map<unsigned int, ThreadDataPtr>::const_iterator it = _map.find(id);
    return it == _map.end() ? ThreadDataPtr() : it->second;
  }

  // Erases the entry for `id` when it is `data` (a stale id never removes a
  // later thread that got the same id).
  void erase(unsigned int id, ThreadData const* data) {
    ScopedLock lock(mutex_);
    std::map<unsigned int, ThreadDataPtr>::iterator it = _map.find(id);
    if (it != _map.end() && it->second.get() == data) _map.erase(it);
  }

  bool empty() {
    ScopedLock lock(mutex_);
    return _map.empty();
  }

  // A thread still registered when the library unloads would run on in a
  // library that is gone: the host must have called zu::finalize() first.
  void assertEmpty() {
    ScopedLock lock(mutex_);
    ZU_ASSERT(_map.empty(), "_map.empty()");
  }

  // Removes and returns the entry with the lowest id; null when empty.
  ThreadDataPtr takeFirst() {
    ScopedLock lock(mutex_);
    if (_map.empty()) return ThreadDataPtr();
    ThreadDataPtr data = _map.begin()->second;
    _map.erase(_map.begin());
    return data;
  }

 private:
  Mutex mutex_;
  std::map<unsigned int, ThreadDataPtr> _map;
};

namespace {

// Library threads started and not yet ended. Kept apart from the registry
// and trivially destructible, so a thread finishing while the process exits
// never touches a destroyed object.
std::atomic<int>& runningThreads() {
  static std::atomic<int> count{0};
  return count;
}

// The child of a fork runs no library thread: zu::finalize() there must not
// wait for its parent's.
void forgetThreadsInChild() {
  ThreadRegistry::forkedChild() = true;
  runningThreads().store(0);
}

ThreadRegistry& threadRegistry() {
  static ThreadRegistry* const registry = new ThreadRegistry;
  static bool const forkHandled = ::zu::__::platform::atFork(nullptr, nullptr, forgetThreadsInChild);
  (void)forkHandled;
  return *registry;
}

// How long the check at unload waits for threads that are ending, in
// milliseconds.
unsigned int const unloadGrace = 1000;

// Set on library threads: finalize() called on one of them waits for all
// the others, not for itself.
thread_local bool onLibraryThread = false;

// Handed from the starter to the new thread. The thread moves the strong
// references out, publishes its id and signals `idKnown`; from then on the
// block belongs to the starter again, which frees it.
struct StartBlock {
  ThreadDataPtr data;
  boost::shared_ptr<IRunnable> runnable;
  unsigned int id = 0;
  SyncPoint idKnown{true};
};

void threadProcedure(void* argument) {
  StartBlock* block = static_cast<StartBlock*>(argument);
  boost::shared_ptr<IRunnable> runnable;
  runnable.swap(block->runnable);
  ThreadDataPtr data;
  data.swap(block->data);
  ZU_ASSERT(runnable, "runnable");
  ZU_ASSERT(data, "td");
  onLibraryThread = true;
  unsigned int const id = IThread::currentId();
  SyncPoint idKnown = block->idKnown;
  block->id = id;
  idKnown.signal();

  data->started.wait();
  if (data->priority != Normal) IThread::setPriority(data->priority);
  runnable->run();
  // The runnable may now go away while this thread winds down.
  runnable.reset();
  threadRegistry().erase(id, data.get());
  data->finished.signal();
  data.reset();
  runningThreads().fetch_sub(1);
}

}  // namespace

// Outside the anonymous namespace so that its run-time name reads
// zu::sys::impl::Thread, like every other implementation class.
class Thread : public IThread {
 public:
  // `data` is empty for a handle of a thread the library did not start.
  Thread(unsigned int id, ThreadDataPtr const& data) : id_(id), stopped_(false), data_(data) {}

  unsigned int id() override { return id_; }

  bool stop() override {
    // A thread cannot wait for its own end.
    if (id_ == IThread::currentId()) return false;
    if (ThreadDataPtr data = registered()) {
      if (boost::shared_ptr<IRunnable> runnable = data->runnable.lock()) runnable->stop();
      data->finished.wait();
    }
    stopped_ = true;
    return true;
  }

  bool isRunning() override { return !stopped_ && registered(); }

 private:
  // The registry entry of this handle's thread, or null once it has left.
  ThreadDataPtr registered() {
    ThreadDataPtr entry = threadRegistry().find(id_);
    // Ids are reused after a thread ends: an entry under the same id that
    // belongs to a later thread is not this handle's thread.
    if (entry && !sameThread(entry)) return ThreadDataPtr();
    return entry;
  }

  bool sameThread(ThreadDataPtr const& entry) const {
    boost::weak_ptr<ThreadData> empty;
    // A handle made without data (a thread the library did not start, or
    // current() before registration) can only go by the id.
    if (!data_.owner_before(empty) && !empty.owner_before(data_)) return true;
    return !data_.owner_before(entry) && !entry.owner_before(data_);
  }

  unsigned int const id_;
  std::atomic<bool> stopped_;
  boost::weak_ptr<ThreadData> const data_;
};

}  // namespace impl

boost::shared_ptr<IThread> IThread::New(boost::shared_ptr<IRunnable> runnable, ThreadPriority priority,
                                        unsigned int stackSize) {
  ZU_ASSERT(runnable, "runnable");
  impl::ThreadDataPtr data = boost::make_shared<impl::ThreadData>(priority, runnable);
  impl::StartBlock* block = new impl::StartBlock;
  block->data = data;
  block->runnable = runnable;
  impl::runningThreads().fetch_add(1);
  bool started = ::zu::__::platform::startThread(impl::threadProcedure, block, stackSize);
  ZU_ASSERT(started, "handle");
  // The thread's id is known only to the thread itself on this system.
  block->idKnown.wait();
  unsigned int const id = block->id;
  delete block;
  impl::threadRegistry().insert(id, data);
  data->started.signal();
  return boost::make_shared<impl::Thread>(id, data);
}

boost::shared_ptr<IThread> IThread::current() {
  unsigned int const id = currentId();
  return boost::make_shared<impl::Thread>(id, impl::threadRegistry().find(id));
}

unsigned int IThread::currentId() { return ::zu::__::platform::currentThreadId(); }

void IThread::sleep(unsigned int milliseconds) { ::zu::__::platform::sleepMilliseconds(milliseconds); }

void IThread::yield() { ::zu::__::platform::yieldThread(); }

void IThread::setPriority(ThreadPriority priority) {
  namespace platform = ::zu::__::platform;
  platform::PriorityLevel const level = priority == High  ? platform::PRIORITY_HIGHER
                                        : priority == Low ? platform::PRIORITY_LOWER
                                                          : platform::PRIORITY_NORMAL;
  // Without the privilege to raise priority the system refuses; the thread
  // then simply keeps its priority.
  ::zu::__::platform::setThreadPriority(level);
}

ThreadPriority IThread::getPriority() {
  int const priority = ::zu::__::platform::threadPriority();
  if (priority > 0) return High;
  if (priority < 0) return Low;
  return Normal;
}

void __::initializeThreads() { impl::threadRegistry(); }

void __::stopThreads() {
  impl::ThreadRegistry& registry = impl::threadRegistry();
  // Threads are taken out one by one so that no lock is held while a
  // runnable's stop() runs.
  while (impl::ThreadDataPtr data = registry.takeFirst()) {
    if (boost::shared_ptr<IRunnable> runnable = data->runnable.lock()) runnable->stop();
  }
  int const self = impl::onLibraryThread ? 1 : 0;
  while (impl::runningThreads().load() > self) ::zu::__::platform::sleepMilliseconds(10);
}

void __::checkThreadsAtUnload() {
  impl::ThreadRegistry& registry = impl::threadRegistry();
  if (impl::ThreadRegistry::forkedChild()) return;
  // A thread the library has already told to stop (a dropped timer's, a
  // reactor's whose last socket left) leaves the registry within moments of
  // a program's exit: it is waited for rather than reported. Threads that
  // nobody stopped are still there after the wait.
  for (unsigned int waited = 0; waited < impl::unloadGrace && !registry.empty(); waited += 5)
    ::zu::__::platform::sleepMilliseconds(5);
  registry.assertEmpty();
}

}  // namespace sys
}  // namespace zu
