// One whole client exchange over TLS, for the tests of the TLS client on
// each system: connect, handshake, send a request, read to the end, and
// keep what the socket reported.
#ifndef ZU_TESTS_SUPPORT_TLS_EXCHANGE_H
#define ZU_TESTS_SUPPORT_TLS_EXCHANGE_H

#include <chrono>
#include <string>

#include <boost/shared_ptr.hpp>
#include <zu/em.h>
#include <zu/socket.h>
#include <zu/tls.h>

namespace zu {
namespace test {

struct TlsExchange {
  bool secured = false;
  unsigned int code = 0;
  std::string text;
  std::string received;
  std::string version;
  std::string alpn;
  unsigned int milliseconds = 0;
};

inline TlsExchange tlsExchange(boost::shared_ptr<net::ITlsContext> const& context, String const& host,
                               unsigned short port, std::string const& request, unsigned int timeout = 5000) {
  TlsExchange result;
  boost::shared_ptr<net::ITlsSocket> const socket = context->client(host);
  if (!socket) return result;
  em::CatchError caught(socket.get());
  socket->setTimeouts(timeout, timeout);
  auto const started = std::chrono::steady_clock::now();
  if (socket->connect(port, net::IP::loopback()) && socket->waitConnected(timeout)) {
    result.secured = socket->isSecured();
    result.version = socket->protocolVersion().cstr();
    result.alpn = socket->applicationProtocol().cstr();
    char const* p = request.data();
    size_t left = request.size();
    while (left > 0) {
      unsigned int const n = socket->toIO()->write(p, unsigned(left));
      if (n == 0) break;
      p += n;
      left -= n;
    }
    char block[4096];
    while (unsigned int const n = socket->toIO()->read(block, sizeof block)) result.received.append(block, n);
  }
  result.milliseconds = unsigned(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started).count());
  result.code = caught.code();
  result.text = caught.text().cstr();
  return result;
}

inline bool startsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace test
}  // namespace zu

#endif
