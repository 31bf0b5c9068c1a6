// The socket reactor: one runner thread per reactor waiting on the platform's
// watch set (the kernel's epoll set, poll() when that cannot be made) of up
// to 63 sockets and its wake-up socket, delivering level-triggered readiness
// to the sockets' callbacks in registration order; and the process-wide pool
// that spreads sockets over reactors by key.
#include "net/reactor.h"
#include "net/startup.h"

#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <zu/em.h>
#include "core/assertion.h"
#include "diag/logging.h"

namespace zu {
namespace net {
namespace impl {

namespace {

// One watch set: 63 sockets and the wake-up socket.
enum { MAX_ENTRIES = 64 };
static_assert(unsigned(MAX_ENTRIES) <= unsigned(PollSet::CAPACITY), "the watch set holds every entry");
enum { EVENT_BITS = SOCKET_EVENT_READ | SOCKET_EVENT_WRITE | SOCKET_EVENT_CONNECT };
// Without a wake-up socket the runner looks at its commands this often.
enum { NO_PIPE_POLL_MS = 50 };

enum CommandKind { COMMAND_ADD = 0, COMMAND_REMOVE = 1, COMMAND_REMOVE_IF_SAME = 2 };

struct Command {
  unsigned int kind;
  SocketHandle handle;
  unsigned int mask;
  boost::weak_ptr<ReactPoint> point;
};

// Both point at the same registration (or both at none). Compares control
// blocks, which outlive the ReactPoint while a weak pointer remains.
bool sameRegistration(boost::weak_ptr<ReactPoint> const& a, boost::weak_ptr<ReactPoint> const& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

std::int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Pool {
  sys::Mutex lock;
  std::map<std::string, std::list<boost::weak_ptr<IReactor> > > reactors;
};

Pool& pool() {
  static Pool instance;
  return instance;
}

// Guards the load of every reactor; never held while taking another lock.
sys::Mutex& loadLock() {
  static sys::Mutex lock;
  return lock;
}

}  // namespace

// The wake-up socket of a runner: a UDP socket on loopback connected to its
// own address, so that a datagram sent to it makes it readable. It lives as
// long as the runner object, so a waker never sends to a closed (and perhaps
// reused) descriptor.
class UnblockPipe {
 public:
  UnblockPipe() : handle_(INVALID_SOCKET_HANDLE) {}
  ~UnblockPipe() { close(); }
  UnblockPipe(UnblockPipe const&) = delete;
  UnblockPipe& operator=(UnblockPipe const&) = delete;

  void open() {
    close();
    em::CatchError error(this);
    SocketHandle handle = openSocketHandle(this, true);
    if (handle == INVALID_SOCKET_HANDLE) {
      logFailure("failed to new socket, ", error);
      return;
    }
    Address self;
    if (!bindSocketHandle(this, handle, IP::loopback(), 0, false)) {
      logFailure("failed to bind, ", error);
    } else if (!localAddressOf(handle, self)) {
      reportSocketError(this, lastSocketError());
      logFailure("failed to getsockname, ", error);
    } else if (!connectHandle(handle, self.ip, self.port)) {
      reportSocketError(this, lastSocketError());
      logFailure("failed to connect, ", error);
    } else {
      handle_ = handle;
      return;
    }
    closeSocketHandle(handle);
  }

  void close() {
    if (handle_ != INVALID_SOCKET_HANDLE) closeSocketHandle(handle_);
    handle_ = INVALID_SOCKET_HANDLE;
  }

  SocketHandle handle() const { return handle_; }

  void wake() {
    if (handle_ == INVALID_SOCKET_HANDLE) return;
    unsigned char zero = 0;
    // A full socket buffer drops the byte, which is fine: the ones already
    // queued keep the pipe readable.
    sendOn(handle_, &zero, 1);
  }

  // Wake-ups only ever mean "look at the commands", so all waiting bytes
  // are consumed at once.
  void drain() {
    unsigned char bytes[64];
    for (int i = 0; i < 64; ++i)
      if (receiveOn(handle_, bytes, sizeof bytes) <= 0) break;
  }

 private:
  static void logFailure(char const* prefix, em::CatchError& error) {
    ZU_LOG(0, "[ERR ]", prefix << "error(" << error.code() << ") " << error.text());
  }

  SocketHandle handle_;
};

class ReactorRunner : public sys::IRunnable {
 public:
  explicit ReactorRunner(unsigned int period)
      : stopRequested_(false), period_(period), hasCommands_(false), count_(0), resultCount_(0),
        throttle_(true) {
    // Opened here rather than in run(): wakers on other threads then never
    // race with the runner opening or closing it.
    pipe_.open();
    commands_.reserve(16);
    pending_.reserve(16);
  }

  void run() override {
    runnerThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    {
      Command add = {COMMAND_ADD, pipe_.handle(), SOCKET_EVENT_READ, boost::weak_ptr<ReactPoint>()};
      queue(add, false);
    }
    ByteArray scratch;
    std::int64_t lastPass = steadyMs();
    while (!stopRequested_.load(std::memory_order_acquire)) {
      waitStep();
      dispatch(scratch);
      if (period_ != 0) {
        std::int64_t deadline = lastPass + period_;
        std::int64_t now = steadyMs();
        if (now < deadline) {
          std::int64_t wait = deadline - now;
          throttle_.wait(unsigned(wait < period_ ? wait : period_));
          lastPass = deadline;
        } else {
          lastPass = now;
        }
      }
    }
    // Registrations die with the runner; nothing else refers to them.
    for (unsigned int i = 0; i < count_; ++i) entries_[i].point.reset();
    count_ = 0;
    poll_.clear();
  }

  void stop() override {
    stopRequested_.store(true, std::memory_order_release);
    pipe_.wake();
    throttle_.signal();
  }

  // Queues a registration command for the next wait step; `wake` ends a
  // wait in progress. The runner's own thread (a callback changing its
  // socket's events) is not waiting: its next step takes the command before
  // it waits, and a wake would only cost a send, a pass and a drain.
  void queue(Command const& command, bool wake) {
    {
      sys::ScopedLock guard(commandLock_);
      commands_.push_back(command);
      hasCommands_.store(true, std::memory_order_release);
    }
    if (wake && std::this_thread::get_id() != runnerThread_.load(std::memory_order_relaxed)) pipe_.wake();
  }

 private:
  struct Entry {
    SocketHandle handle;
    unsigned int mask;
    boost::weak_ptr<ReactPoint> point;
  };
  struct Result {
    SocketHandle handle;
    unsigned int fired;
    boost::weak_ptr<ReactPoint> point;
  };

  int find(SocketHandle handle) const {
    for (unsigned int i = 0; i < count_; ++i)
      if (entries_[i].handle == handle) return int(i);
    return -1;
  }

  // Keeps the remaining entries in registration order.
  void erase(int index) {
    for (unsigned int i = unsigned(index); i + 1 < count_; ++i) {
      entries_[i].handle = entries_[i + 1].handle;
      entries_[i].mask = entries_[i + 1].mask;
      entries_[i].point.swap(entries_[i + 1].point);
    }
    poll_.erase(unsigned(index));
    --count_;
    entries_[count_].point.reset();
  }

  void apply(Command& command) {
    switch (command.kind) {
      case COMMAND_ADD: {
        if (!isValidSocket(command.handle)) return;
        int index = find(command.handle);
        unsigned int mask = command.mask & EVENT_BITS;
        if (mask == 0) {
          if (index >= 0) erase(index);
          return;
        }
        if (index < 0) {
          if (count_ == MAX_ENTRIES) {
            ZU_LOG(1, "[WARN]", "reactor set full, handle " << command.handle << " not watched");
            return;
          }
          index = int(count_++);
          entries_[index].handle = command.handle;
        }
        Entry& entry = entries_[index];
        entry.mask = mask;
        entry.point = command.point;
        poll_.put(unsigned(index), command.handle,
                  ((mask & SOCKET_EVENT_READ) ? WAIT_READ : 0) |
                      ((mask & (SOCKET_EVENT_WRITE | SOCKET_EVENT_CONNECT)) ? WAIT_WRITE : 0));
        return;
      }
      case COMMAND_REMOVE: {
        if (!isValidSocket(command.handle)) return;
        int index = find(command.handle);
        if (index >= 0) erase(index);
        return;
      }
      case COMMAND_REMOVE_IF_SAME: {
        int index = find(command.handle);
        if (index >= 0 && sameRegistration(entries_[index].point, command.point)) erase(index);
        return;
      }
      default:
        ZU_ASSERT(0, "0");
    }
  }

  void waitStep() {
    // The flag spares the lock on passes without commands; a command queued
    // just after the test is either woken for or picked up next pass.
    if (hasCommands_.load(std::memory_order_acquire)) {
      sys::ScopedLock guard(commandLock_);
      pending_.swap(commands_);
      hasCommands_.store(false, std::memory_order_relaxed);
    }
    for (std::size_t i = 0; i < pending_.size(); ++i) apply(pending_[i]);
    pending_.clear();

    resultCount_ = 0;
    int timeout = pipe_.handle() == INVALID_SOCKET_HANDLE ? int(NO_PIPE_POLL_MS) : -1;
    if (poll_.wait(timeout) <= 0) return;
    for (unsigned int i = 0; i < count_ && resultCount_ < MAX_ENTRIES; ++i) {
      unsigned int const ready = poll_.ready(i);
      if (ready == 0) continue;
      // An error or a hang-up is readable and writable, and ends a
      // connection attempt.
      unsigned int fired = 0;
      if (ready & WAIT_READ) fired |= SOCKET_EVENT_READ;
      if (ready & WAIT_WRITE) fired |= SOCKET_EVENT_WRITE | SOCKET_EVENT_CONNECT;
      if (ready & WAIT_ERROR) fired |= SOCKET_EVENT_CONNECT;
      fired &= entries_[i].mask;
      if (fired == 0) continue;
      Result& result = results_[resultCount_++];
      result.handle = entries_[i].handle;
      result.fired = fired;
      result.point = entries_[i].point;
    }
  }

  void dispatch(ByteArray& scratch) {
    for (unsigned int i = 0; i < resultCount_; ++i) {
      Result& result = results_[i];
      if (result.handle == pipe_.handle()) {
        pipe_.drain();
        continue;
      }
      deliver(result, scratch);
      result.point.reset();
    }
    resultCount_ = 0;
  }

  void deliver(Result const& result, ByteArray& scratch) {
    boost::shared_ptr<ReactPoint> point = result.point.lock();
    if (!point) return;
    boost::shared_ptr<ISocket> socket = point->socket.lock();
    boost::shared_ptr<ISocketCallback> callback = point->callback.lock();
    if (!socket || !callback) {
      Command drop = {COMMAND_REMOVE_IF_SAME, result.handle, 0, result.point};
      queue(drop, false);
      return;
    }
    unsigned int fired = result.fired;
    if (fired & SOCKET_EVENT_CONNECT) {
      if (point->connectFired->exchange(true)) fired &= ~unsigned(SOCKET_EVENT_CONNECT);
      // Registers the unchanged mask again; the flag now keeps the connect
      // bit out of it.
      socket->modifyEvents(0, 0);
    }
    point.reset();
    // The argument keeps the socket alive for the call and no longer.
    callback->onSocketEvent(std::move(socket), fired, scratch);
  }

  std::atomic<bool> stopRequested_;
  std::atomic<std::thread::id> runnerThread_;
  unsigned int const period_;
  UnblockPipe pipe_;
  sys::Mutex commandLock_;
  std::vector<Command> commands_;  // guarded by commandLock_
  std::atomic<bool> hasCommands_;  // commands_ is not empty
  // The rest belongs to the runner thread alone.
  std::vector<Command> pending_;
  Entry entries_[MAX_ENTRIES];
  PollSet poll_;  // poll_ entry i watches entries_[i]
  unsigned int count_;
  Result results_[MAX_ENTRIES];
  unsigned int resultCount_;
  sys::SyncPoint throttle_;
};

// --- Reactor ---------------------------------------------------------------

Reactor::Reactor(unsigned int capacity, unsigned int period, sys::ThreadPriority priority)
    : capacity_(capacity), period_(period), load_(0), priority_(priority),
      runner_(new ReactorRunner(period)) {}

Reactor::~Reactor() { runner_->stop(); }

unsigned int Reactor::capacity() { return capacity_; }
unsigned int Reactor::period() { return period_; }
sys::ThreadPriority Reactor::priority() { return priority_; }

unsigned int Reactor::load() {
  sys::ScopedLock guard(loadLock());
  return load_;
}

bool Reactor::increment() {
  sys::ScopedLock guard(loadLock());
  if (load_ >= capacity_) return false;
  ++load_;
  return true;
}

void Reactor::decrement() {
  sys::ScopedLock guard(loadLock());
  ZU_ASSERT(load_ != 0, "_load!=0");
  --load_;
}

ReactorRunner& Reactor::runner() { return static_cast<ReactorRunner&>(*runner_); }

}  // namespace impl

boost::shared_ptr<IReactor> IReactor::New(unsigned int capacity, unsigned int period,
                                          sys::ThreadPriority priority) {
  if (capacity == 0) capacity = 1;
  if (capacity > 63) capacity = 63;
  boost::shared_ptr<impl::Reactor> reactor(new impl::Reactor(capacity, period, priority));
  // The thread holds the runner, never the reactor: the reactor ends with
  // its last holder and stops the runner on the way.
  boost::shared_ptr<sys::IThread> thread = sys::IThread::New(reactor->runnable(), priority, 0x40000);
  if (!thread) ZU_LOG(0, "[ERR ]", "failed to start the reactor thread");
  return reactor;
}

namespace impl {

// --- CallbackPoint ---------------------------------------------------------

CallbackPoint::CallbackPoint(boost::shared_ptr<IReactor> const& reactor,
                             boost::weak_ptr<ISocket> const& socket, ConnectFlag const& connectFired)
    : reactor_(reactor), impl_(0), socket_(socket), connectFired_(connectFired),
      handle_(INVALID_SOCKET_HANDLE) {
  ZU_ASSERT(reactor_, "reactor");
  ZU_ASSERT(connectFired_, "connectFiredFlag");
  impl_ = static_cast<Reactor*>(reactor_.get());
}

CallbackPoint::~CallbackPoint() {
  // Only this binding's own registration is removed: the descriptor number
  // may already belong to another socket registered on the same runner.
  unregisterSocket();
  impl_->decrement();
}

void CallbackPoint::registerSocket(SocketHandle handle, unsigned int mask,
                                   boost::weak_ptr<ISocketCallback> const& callback) {
  handle_ = handle;
  reactPoint_.reset(new ReactPoint);
  reactPoint_->socket = socket_;
  reactPoint_->callback = callback;
  reactPoint_->connectFired = connectFired_;
  if (connectFired_->load()) mask &= ~unsigned(SOCKET_EVENT_CONNECT);
  if (!isValidSocket(handle)) return;  // the runner ignores it anyway
  Command add = {COMMAND_ADD, handle, mask & EVENT_BITS, reactPoint_};
  impl_->runner().queue(add, true);
}

void CallbackPoint::unregisterSocket() {
  if (reactPoint_ && isValidSocket(handle_)) {
    Command remove = {COMMAND_REMOVE_IF_SAME, handle_, 0, reactPoint_};
    // Wake the runner, so that the entry leaves the watch set now: a
    // descriptor closed while the fallback poll() watches it is kept alive
    // by that poll() (a UDP port stays bound) until it returns.
    impl_->runner().queue(remove, true);
  }
  reactPoint_.reset();
  handle_ = INVALID_SOCKET_HANDLE;
}

// --- pool ------------------------------------------------------------------

boost::shared_ptr<IReactor> pooledReactor(String const& name, unsigned int capacity,
                                          unsigned int period, sys::ThreadPriority priority) {
  // The key keeps the capacity as asked, before clamping.
  std::string key = std::string(name.cstr()) + " " + std::to_string(capacity) + " " +
                    std::to_string(period) + " " + std::to_string(int(priority));
  Pool& thePool = pool();
  sys::ScopedLock guard(thePool.lock);
  std::list<boost::weak_ptr<IReactor> >& reactors = thePool.reactors[key];
  boost::shared_ptr<IReactor> chosen;
  unsigned int bestFree = 0;
  for (std::list<boost::weak_ptr<IReactor> >::iterator it = reactors.begin(); it != reactors.end();) {
    boost::shared_ptr<IReactor> reactor = it->lock();
    if (!reactor) {
      it = reactors.erase(it);
      continue;
    }
    unsigned int load = reactor->load();
    unsigned int free = reactor->capacity() > load ? reactor->capacity() - load : 0;
    if (free > bestFree) {
      bestFree = free;
      chosen = reactor;
    }
    ++it;
  }
  if (!chosen) {
    chosen = IReactor::New(capacity, period, priority);
    reactors.push_back(chosen);
  }
  bool b = static_cast<Reactor*>(chosen.get())->increment();
  ZU_ASSERT(b, "b");
  return chosen;
}

}  // namespace impl
}  // namespace net

void __::initializeReactors() {
  net::impl::loadLock();
  net::impl::pool();
}

}  // namespace zu
