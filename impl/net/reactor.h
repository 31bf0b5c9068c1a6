// The reactor's private side shared with the sockets: the binding of one
// socket to one reactor (CallbackPoint) and the pool lookup.
#ifndef ZU_IMPL_REACTOR_H
#define ZU_IMPL_REACTOR_H

#include <atomic>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <zu/socket.h>
#include <zu/sys.h>
#include "platform/socket_platform.h"

namespace zu {
namespace net {
namespace impl {

class ReactorRunner;

// The connect-fired flag shared by a socket and its registrations: set once
// SOCKET_EVENT_CONNECT was delivered (or while no attempt is running).
typedef boost::shared_ptr<std::atomic<bool> > ConnectFlag;

// What a runner knows of one registration of a socket. Each registration
// makes a new one; the runner holds it only weakly, so dropping it (a newer
// registration, a detach) stops deliveries of the old one.
struct ReactPoint {
  boost::weak_ptr<ISocket> socket;
  boost::weak_ptr<ISocketCallback> callback;
  ConnectFlag connectFired;
};

class Reactor : public IReactor, public boost::enable_shared_from_this<Reactor> {
 public:
  Reactor(unsigned int capacity, unsigned int period, sys::ThreadPriority priority);
  ~Reactor();

  unsigned int capacity() override;
  unsigned int period() override;
  sys::ThreadPriority priority() override;
  unsigned int load() override;

  // Takes a place under the load lock; false when full.
  bool increment();
  // Returns a place; asserts there was one.
  void decrement();
  ReactorRunner& runner();
  boost::shared_ptr<sys::IRunnable> const& runnable() const { return runner_; }

 private:
  unsigned int capacity_;
  unsigned int period_;
  unsigned int load_;  // guarded by the process-wide load lock
  sys::ThreadPriority priority_;
  boost::shared_ptr<sys::IRunnable> runner_;
};

// The binding of one socket to one reactor; the socket owns it. Its
// destruction removes the socket's registration and returns the place.
class CallbackPoint {
 public:
  // `reactor` already holds a place taken for this binding.
  CallbackPoint(boost::shared_ptr<IReactor> const& reactor, boost::weak_ptr<ISocket> const& socket,
                ConnectFlag const& connectFired);
  ~CallbackPoint();
  CallbackPoint(CallbackPoint const&) = delete;
  CallbackPoint& operator=(CallbackPoint const&) = delete;

  // (Re)registers the socket under `handle` with `mask` and `callback`;
  // the change takes effect at the runner's next wait.
  void registerSocket(SocketHandle handle, unsigned int mask,
                      boost::weak_ptr<ISocketCallback> const& callback);
  // Drops the current registration (the socket's handle is about to close)
  // and wakes the runner so that it stops watching the descriptor.
  void unregisterSocket();

 private:
  boost::shared_ptr<IReactor> reactor_;
  Reactor* impl_;
  boost::weak_ptr<ISocket> socket_;
  ConnectFlag connectFired_;
  SocketHandle handle_;
  boost::shared_ptr<ReactPoint> reactPoint_;
};

// The pooled reactor of the key (name, capacity, period, priority) with the
// most free places, with one place already taken for the caller.
boost::shared_ptr<IReactor> pooledReactor(String const& name, unsigned int capacity,
                                          unsigned int period, sys::ThreadPriority priority);

}  // namespace impl
}  // namespace net
}  // namespace zu

#endif
