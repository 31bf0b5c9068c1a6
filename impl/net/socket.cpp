// IPv4 TCP and UDP sockets: blocking-style use through the waits and the IIO
// view, event-driven use through a reactor binding (CallbackPoint).
#include <atomic>
#include <boost/enable_shared_from_this.hpp>

#include <zu/socket.h>
#include "core/assertion.h"
#include "net/reactor.h"
#include "platform/socket_platform.h"

namespace zu {
namespace net {
namespace impl {

class Socket : public ISocket, public func::IIO, public boost::enable_shared_from_this<Socket> {
 public:
  Socket(SocketType type, SocketHandle handle)
      : type_(type), connectFired_(new std::atomic<bool>(true)), eventMask_(0),
        readTimeout_(0xFFFFFFFFu), writeTimeout_(0xFFFFFFFFu) {
    if (handle != INVALID_SOCKET_HANDLE) descriptor_.reset(new Descriptor(handle));
  }

  ~Socket() override {
    close();
    boost::shared_ptr<CallbackPoint> point;
    {
      sys::ScopedLock guard(lock_);
      point.swap(callbackPoint_);
    }
    point.reset();
    closeRaw();
  }

  func::IIO* toIO() override { return this; }
  SocketType type() override { return type_; }

  void setCallback(boost::weak_ptr<ISocketCallback> callback) override {
    sys::ScopedLock guard(lock_);
    callback_ = callback;
    reRegister();
  }

  void attach(String const& name, unsigned int capacity, unsigned int period,
              sys::ThreadPriority priority) override {
    boost::shared_ptr<IReactor> newR = pooledReactor(name, capacity, period, priority);
    ZU_ASSERT(newR, "newR");
    useReactor(newR);
  }

  bool attach(boost::shared_ptr<IReactor> reactor) override {
    if (!reactor) {
      boost::shared_ptr<CallbackPoint> old;
      sys::ScopedLock guard(lock_);
      old.swap(callbackPoint_);
      return true;  // `old` detaches after the lock is released
    }
    Reactor* newR = dynamic_cast<Reactor*>(reactor.get());
    ZU_ASSERT(newR, "newR");
    if (!newR->increment()) return false;
    useReactor(reactor);
    return true;
  }

  bool isAttached() override {
    sys::ScopedLock guard(lock_);
    return bool(callbackPoint_);
  }

  void modifyEvents(unsigned int set, unsigned int clear) override {
    sys::ScopedLock guard(lock_);
    eventMask_ = (eventMask_ | set) & ~clear;
    reRegister();
  }

  unsigned int events() override {
    sys::ScopedLock guard(lock_);
    return eventMask_;
  }

  bool listen(unsigned short port, IP const& ip, int backlog) override {
    close();
    closeRaw();
    Held held = open(type_ == SOCKET_TYPE_UDP);
    SocketHandle handle = held.get();
    if (handle == INVALID_SOCKET_HANDLE) {
      close();
      return false;
    }
    // Address reuse on a TCP listener lets a restarted server bind over
    // connections of its predecessor left in TIME_WAIT; on Linux it never
    // lets two live listeners share a port. UDP sockets go without it: there
    // it would let two live sockets share the port.
    if (!bindSocketHandle(owner(), handle, ip, port, type_ == SOCKET_TYPE_TCP)) {
      close();
      return false;
    }
    if (type_ == SOCKET_TYPE_TCP && !listenOn(handle, backlog)) {
      reportSocketError(owner(), lastSocketError());
      close();
      return false;
    }
    sys::ScopedLock guard(lock_);
    reRegister();
    return true;
  }

  boost::shared_ptr<ISocket> accept(Address* peer) override {
    SocketHandle accepted = acceptOn(hold().get(), peer);
    if (accepted == INVALID_SOCKET_HANDLE) {
      unsigned int code = lastSocketError();
      // No connection waiting is not a failure.
      if (!isReceiveWouldBlock(code)) reportSocketError(owner(), code);
      return boost::shared_ptr<ISocket>();
    }
    return boost::shared_ptr<ISocket>(new Socket(SOCKET_TYPE_TCP, accepted));
  }

  bool connect(unsigned short port, IP const& ip, unsigned short localPort,
               IP const& localIp) override {
    if (type_ == SOCKET_TYPE_UDP) {
      Held held = hold();
      SocketHandle handle = held.get();
      if (handle == INVALID_SOCKET_HANDLE) {
        reportSocketError(owner(), SYSTEM_BAD_HANDLE);
        return false;
      }
      if ((!localIp.isAny() || localPort != 0) &&
          !bindSocketHandle(owner(), handle, localIp, localPort, false))
        return false;
      if (!connectHandle(handle, ip, port)) {
        reportSocketError(owner(), lastSocketError());
        return false;
      }
      return true;
    }
    close();
    closeRaw();
    Held held = open(false);
    SocketHandle handle = held.get();
    if (handle == INVALID_SOCKET_HANDLE) {
      close();
      return false;
    }
    if ((!localIp.isAny() || localPort != 0) &&
        !bindSocketHandle(owner(), handle, localIp, localPort, false)) {
      close();
      return false;
    }
    if (!connectHandle(handle, ip, port)) {
      unsigned int code = lastSocketError();
      if (!isConnectStarted(code)) {
        reportSocketError(owner(), code);
        close();
        return false;
      }
    }
    sys::ScopedLock guard(lock_);
    connectFired_->store(false);
    reRegister();
    return true;
  }

  bool isOpen() override { return bool(boost::atomic_load(&descriptor_)); }

  void close() override {
    sys::ScopedLock guard(lock_);
    if (callbackPoint_) callbackPoint_->unregisterSocket();
    connectFired_->store(true);
    closeRaw();
  }

  void setTimeouts(unsigned int read, unsigned int write) override {
    readTimeout_.store(read, std::memory_order_relaxed);
    writeTimeout_.store(write, std::memory_order_relaxed);
  }

  void getTimeouts(unsigned int& read, unsigned int& write) override {
    read = readTimeout_.load(std::memory_order_relaxed);
    write = writeTimeout_.load(std::memory_order_relaxed);
  }

  bool waitConnected(unsigned int milliseconds) override {
    Held held = hold();
    SocketHandle handle = held.get();
    unsigned int ready = 0;
    int result = waitHandle(handle, WAIT_WRITE, milliseconds, &ready);
    if (result > 0) {
      if (!(ready & WAIT_ERROR)) return true;
      unsigned int code = 0;
      if (!pendingError(handle, code)) code = lastSocketError();
      // A hang-up without a pending error: the attempt is over but nothing
      // is connected (the error was already collected).
      reportSocketError(owner(), code != 0 ? code : SYSTEM_NOT_CONNECTED);
      return false;
    }
    reportSocketError(owner(), result == 0 ? SYSTEM_TIMED_OUT : lastSocketError());
    return false;
  }

  bool waitReadable(unsigned int milliseconds) override { return waitFor(WAIT_READ, milliseconds); }
  bool waitWritable(unsigned int milliseconds) override { return waitFor(WAIT_WRITE, milliseconds); }

  unsigned int recv(void* buffer, unsigned int size) override {
    long count = receiveOn(hold().get(), buffer, size);
    if (count >= 0) return unsigned(count);
    unsigned int code = lastSocketError();
    if (!isReceiveWouldBlock(code)) reportSocketError(owner(), code);
    return 0;
  }

  unsigned int recvFrom(void* buffer, unsigned int size, Address& from) override {
    long count = receiveFromOn(hold().get(), buffer, size, from);
    if (count >= 0) return unsigned(count);
    unsigned int code = lastSocketError();
    if (!isReceiveWouldBlock(code)) reportSocketError(owner(), code);
    return 0;
  }

  unsigned int send(void const* data, unsigned int size) override {
    long count = sendOn(hold().get(), data, size);
    if (count >= 0) return unsigned(count);
    unsigned int code = lastSocketError();
    if (!isSendWouldBlock(code)) reportSocketError(owner(), code);
    return 0;
  }

  unsigned int sendTo(void const* data, unsigned int size, unsigned short port,
                      IP const& ip) override {
    long count = sendToOn(hold().get(), data, size, ip, port);
    if (count >= 0) return unsigned(count);
    unsigned int code = lastSocketError();
    if (!isSendWouldBlock(code)) reportSocketError(owner(), code);
    return 0;
  }

  Address localAddress() override {
    Address address = {IP(), 0};
    if (!localAddressOf(hold().get(), address)) {
      reportSocketError(owner(), lastSocketError());
      address.ip = IP();
      address.port = 0;
    }
    return address;
  }

  Address remoteAddress() override {
    Address address = {IP(), 0};
    if (!remoteAddressOf(hold().get(), address)) {
      reportSocketError(owner(), lastSocketError());
      address.ip = IP();
      address.port = 0;
    }
    return address;
  }

  bool setOption(int name, void const* value, int length, int level) override {
    if (setOptionOn(hold().get(), level, name, value, length)) return true;
    reportSocketError(owner(), lastSocketError());
    return false;
  }

  bool getOption(int name, void* value, int* length, int level) override {
    if (getOptionOn(hold().get(), level, name, value, length)) return true;
    reportSocketError(owner(), lastSocketError());
    return false;
  }

  // func::IIO
  unsigned int read(void* buffer, unsigned int size) override {
    if (!waitReadable(readTimeout_.load(std::memory_order_relaxed))) return 0;
    return recv(buffer, size);
  }

  unsigned int write(void const* data, unsigned int size) override {
    if (!waitWritable(writeTimeout_.load(std::memory_order_relaxed))) return 0;
    return send(data, size);
  }

 private:
  // Reports go out under the address callers hold: the ISocket pointer.
  void const* owner() const { return static_cast<ISocket const*>(this); }

  // Caller holds lock_.
  void reRegister() {
    if (callbackPoint_) callbackPoint_->registerSocket(hold().get(), eventMask_, callback_);
  }

  // Binds this socket to `reactor`, on which a place is already taken.
  void useReactor(boost::shared_ptr<IReactor> const& reactor) {
    boost::shared_ptr<CallbackPoint> point(
        new CallbackPoint(reactor, boost::weak_ptr<ISocket>(weak_from_this()), connectFired_));
    sys::ScopedLock guard(lock_);
    point.swap(callbackPoint_);
    reRegister();
    // The previous binding (now in `point`) detaches when this returns.
  }

  // Takes the descriptor away from the socket. An operation still running on
  // it (on another thread) is woken by the shutdown and the last holder
  // closes it, so its number is never reused under that operation.
  void closeRaw() {
    boost::shared_ptr<Descriptor> old =
        boost::atomic_exchange(&descriptor_, boost::shared_ptr<Descriptor>());
    if (old) shutdownSocketHandle(old->handle);
  }

  // A descriptor held for the length of one operation.
  struct Held {
    boost::shared_ptr<Descriptor> ref;
    SocketHandle get() const { return ref ? ref->handle : INVALID_SOCKET_HANDLE; }
  };
  Held hold() const {
    Held held = {boost::atomic_load(&descriptor_)};
    return held;
  }
  // Creates a fresh descriptor and makes it the socket's.
  Held open(bool datagram) {
    Held held;
    SocketHandle handle = openSocketHandle(owner(), datagram);
    if (handle == INVALID_SOCKET_HANDLE) return held;
    held.ref.reset(new Descriptor(handle));
    boost::atomic_store(&descriptor_, held.ref);
    return held;
  }

  bool waitFor(unsigned int interest, unsigned int milliseconds) {
    int result = waitHandle(hold().get(), interest, milliseconds, 0);
    if (result > 0) return true;
    reportSocketError(owner(), result == 0 ? SYSTEM_TIMED_OUT : lastSocketError());
    return false;
  }

  SocketType const type_;
  boost::shared_ptr<Descriptor> descriptor_;  // only through boost::atomic_*
  ConnectFlag connectFired_;
  sys::Mutex lock_;
  // Guarded by lock_:
  unsigned int eventMask_;
  boost::weak_ptr<ISocketCallback> callback_;
  boost::shared_ptr<CallbackPoint> callbackPoint_;
  std::atomic<unsigned int> readTimeout_;
  std::atomic<unsigned int> writeTimeout_;
};

}  // namespace impl

boost::shared_ptr<ISocket> ISocket::New(SocketType type) {
  ZU_ASSERT(type == SOCKET_TYPE_UDP || type == SOCKET_TYPE_TCP,
            "type == SOCKET_TYPE_UDP || type == SOCKET_TYPE_TCP");
  return boost::shared_ptr<ISocket>(new impl::Socket(type, impl::INVALID_SOCKET_HANDLE));
}

}  // namespace net
}  // namespace zu
