// Name resolution in both directions, blocking and on threads of its own.
// getaddrinfo and gethostbyaddr_r keep no shared state, so lookups may run on
// any number of threads at once.
#include <zu/net.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <vector>

#include <boost/make_shared.hpp>

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

TArray<String> IP::resolveAll() const {
  TArray<String> names;
  struct in_addr address;
  address.s_addr = htonl(value_);
  struct hostent entry;
  struct hostent* result = nullptr;
  int error = 0;
  std::vector<char> buffer(1024);
  for (;;) {
    int rc = gethostbyaddr_r(&address, sizeof address, AF_INET, &entry, buffer.data(), buffer.size(), &result,
                             &error);
    // ERANGE: the answer does not fit the scratch buffer; anything else is
    // the lookup's own verdict.
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0) result = nullptr;
    break;
  }
  if (!result) return names;
  if (result->h_name) names.append(String(result->h_name));
  if (result->h_aliases)
    for (char** alias = result->h_aliases; *alias; ++alias) names.append(String(*alias));
  return names;
}

boost::shared_ptr<sys::IThread> IP::resolveAll(boost::weak_ptr<IIPResolveCallback> callback) const {
  if (callback.expired()) return boost::shared_ptr<sys::IThread>();
  return sys::IThread::New(boost::make_shared<impl::IPResolveThread>(*this, callback), sys::Normal,
                           resolverStackSize);
}

TArray<IP> HostName::resolveAll() const {
  TArray<IP> ips;
  String name = host();
  // A dotted address needs no lookup.
  in_addr_t literal = inet_addr(name.cstr());
  if (literal != INADDR_NONE) {
    ips.append(IP(ntohl(literal)));
    return ips;
  }
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  // One socket type, or every address comes back once per type.
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(name.cstr(), nullptr, &hints, &list) != 0) return ips;
  std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> owner(list, freeaddrinfo);
  for (struct addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || !ai->ai_addr || ai->ai_addrlen < sizeof(struct sockaddr_in)) continue;
    struct sockaddr_in const* in = reinterpret_cast<struct sockaddr_in const*>(ai->ai_addr);
    ips.append(IP(ntohl(in->sin_addr.s_addr)));
  }
  return ips;
}

boost::shared_ptr<sys::IThread> HostName::resolveAll(boost::weak_ptr<INameResolveCallback> callback) const {
  if (callback.expired()) return boost::shared_ptr<sys::IThread>();
  return sys::IThread::New(boost::make_shared<impl::NameResolveThread>(*this, callback), sys::Normal,
                           resolverStackSize);
}

}  // namespace net
}  // namespace zu
