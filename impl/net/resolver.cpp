// Name resolution in both directions, blocking and on threads of its own.
// The asynchronous forms run the blocking lookups on threads, as the system has no other kind.
#include <zu/net.h>

#include <boost/make_shared.hpp>

#include "platform/address_platform.h"

namespace zu {
namespace net {

namespace impl {

// Runs one reverse lookup and hands the result to the caller's callback if
// the caller still holds it. Never keeps the callback object alive.
class IPResolveThread : public sys::IRunnable {
 public:
  IPResolveThread(IP const& ip, boost::weak_ptr<IIPResolveCallback> const& callback)
      : ip_(ip), callback_(callback) {}

  void run() override {
    TArray<String> names = ip_.resolveAll();
    if (boost::shared_ptr<IIPResolveCallback> callback = callback_.lock()) callback->onResolved(ip_, names);
  }
  // A lookup in progress cannot be interrupted; it ends by itself.
  void stop() override {}

 private:
  IP ip_;
  boost::weak_ptr<IIPResolveCallback> callback_;
};

// The forward counterpart of IPResolveThread.
class NameResolveThread : public sys::IRunnable {
 public:
  NameResolveThread(HostName const& host, boost::weak_ptr<INameResolveCallback> const& callback)
      : host_(host), callback_(callback) {}

  void run() override {
    TArray<IP> ips = host_.resolveAll();
    if (boost::shared_ptr<INameResolveCallback> callback = callback_.lock()) callback->onResolved(host_, ips);
  }
  void stop() override {}

 private:
  HostName host_;
  boost::weak_ptr<INameResolveCallback> callback_;
};

}  // namespace impl

namespace {
unsigned int const resolverStackSize = 0x40000;
}

TArray<String> IP::resolveAll() const { return impl::lookupNames(value_); }

boost::shared_ptr<sys::IThread> IP::resolveAll(boost::weak_ptr<IIPResolveCallback> callback) const {
  if (callback.expired()) return boost::shared_ptr<sys::IThread>();
  return sys::IThread::New(boost::make_shared<impl::IPResolveThread>(*this, callback), sys::Normal,
                           resolverStackSize);
}

TArray<IP> HostName::resolveAll() const {
  String name = host();
  // A dotted address needs no lookup.
  unsigned int literal = impl::inetAddr(name.cstr());
  if (literal == 0xFFFFFFFFu) return impl::lookupAddresses(name.cstr());
  TArray<IP> ips;
  ips.append(IP(literal));
  return ips;
}

boost::shared_ptr<sys::IThread> HostName::resolveAll(boost::weak_ptr<INameResolveCallback> callback) const {
  if (callback.expired()) return boost::shared_ptr<sys::IThread>();
  return sys::IThread::New(boost::make_shared<impl::NameResolveThread>(*this, callback), sys::Normal,
                           resolverStackSize);
}

}  // namespace net
}  // namespace zu
