// The HTTP server under the soak: IHttpConnection over every connection a
// listening socket accepts on 127.0.0.1. It answers each request with a
// short body, answers a broken request with 400 and drops the connection,
// and drops a connection whose peer closed or whose time-out expired. Given
// a certificate and its key, it also serves HTTPS on a second listener: each
// accepted socket is wrapped as TLS, its handshake bounded by the receive
// time-out, before the same HTTP connection takes it.
//
//   http_soak_server <idle ms> <receive ms> [<certificate> <key>]
//
// Prints "port <n>" once listening (with " tlsport <n>" when serving HTTPS). Reads commands on standard input:
// "stats" prints one line of counters; "trim" gives the allocator's free
// memory back to the system (so that the resident size shows what is in
// use) and prints "trimmed"; end of input (or "quit") stops the
// server and exits.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/logger.h>
#include <zu/socket.h>
#include <zu/sys.h>
#include <zu/tls.h>

using namespace zu::net;
using namespace zu::net::http;

namespace {

class Server : public ISocketCallback,
               public IHttpConnectionCallback,
               public boost::enable_shared_from_this<Server> {
 public:
  Server(unsigned int idle, unsigned int receive) : idle_(idle), receive_(receive) {}

  bool start() {
    listener_ = listenOn();
    return listener_ != nullptr;
  }
  // HTTPS beside plain HTTP; false when the certificate cannot be used.
  bool startTls(char const* certificate, char const* key) {
    tls_ = ITlsContext::New(true);
    zu::em::CatchError failed(tls_.get());
    if (!tls_->useCertificate(certificate, key)) {
      std::fprintf(stderr, "tls: %s\n", failed.text().cstr());
      return false;
    }
    tls_->setHandshakeTimeout(receive_);
    tlsListener_ = listenOn();
    return tlsListener_ != nullptr;
  }
  unsigned short port() { return listener_->localAddress().port; }
  unsigned short tlsPort() { return tlsListener_ ? tlsListener_->localAddress().port : 0; }

  void stop() {
    for (boost::shared_ptr<ISocket> const& listener : {listener_, tlsListener_}) {
      if (!listener) continue;
      listener->close();
      listener->attach(boost::shared_ptr<IReactor>());
    }
    std::map<IHttpConnection*, boost::shared_ptr<IHttpConnection>> connections;
    {
      zu::sys::ScopedLock lock(lock_);
      connections.swap(connections_);
    }
    connections.clear();
    listener_.reset();
    tlsListener_.reset();
  }

  void onSocketEvent(boost::shared_ptr<ISocket> socket, unsigned int events, zu::ByteArray&) override {
    if (!(events & SOCKET_EVENT_READ)) return;
    bool const secure = tlsListener_ && socket == tlsListener_;
    while (boost::shared_ptr<ISocket> accepted = socket->accept()) {
      if (secure) {
        boost::shared_ptr<ISocket> const wrapped = tls_->server(accepted);
        if (!wrapped) {
          accepted->close();
          continue;
        }
        accepted = wrapped;
      }
      boost::shared_ptr<IHttpConnection> connection = IHttpConnection::New(accepted, idle_, receive_);
      {
        zu::sys::ScopedLock lock(lock_);
        connections_[connection.get()] = connection;
        ++accepted_;
      }
      connection->start(boost::weak_ptr<IHttpConnectionCallback>(shared_from_this()));
    }
  }

  void onRequest(boost::shared_ptr<IHttpConnection> connection, HttpRequest const& request) override {
    HttpResponse response;
    response.body = "ok ";
    response.body += request.url.getPath();
    connection->respond(response);
    zu::sys::ScopedLock lock(lock_);
    ++requests_;
  }

  void onEvent(boost::shared_ptr<IHttpConnection> connection, unsigned int event) override {
    if (event == 0) {
      HttpResponse response;
      response.code = HttpStatus::HTTP_BAD_REQUEST;
      connection->respond(response);
    }
    zu::sys::ScopedLock lock(lock_);
    if (event == 0) ++bad_;
    if (event == 2) ++closed_;
    if (event == 3) ++timedOut_;
    // The connection's own call holds it until it returns.
    connections_.erase(connection.get());
  }

  std::string stats() {
    zu::sys::ScopedLock lock(lock_);
    return "open " + std::to_string(connections_.size()) + " accepted " + std::to_string(accepted_) +
           " requests " + std::to_string(requests_) + " bad " + std::to_string(bad_) + " closed " +
           std::to_string(closed_) + " timedout " + std::to_string(timedOut_);
  }

 private:
  boost::shared_ptr<ISocket> listenOn() {
    boost::shared_ptr<ISocket> listener = ISocket::New(SOCKET_TYPE_TCP);
    if (!listener->listen(0, IP::loopback(), 1024)) return boost::shared_ptr<ISocket>();
    listener->setCallback(boost::weak_ptr<ISocketCallback>(shared_from_this()));
    listener->modifyEvents(SOCKET_EVENT_READ, 0);
    listener->attach("soak-listener");
    return listener;
  }

  unsigned int const idle_;
  unsigned int const receive_;
  boost::shared_ptr<ISocket> listener_;
  boost::shared_ptr<ITlsContext> tls_;
  boost::shared_ptr<ISocket> tlsListener_;
  zu::sys::Mutex lock_;
  std::map<IHttpConnection*, boost::shared_ptr<IHttpConnection>> connections_;
  unsigned long accepted_ = 0, requests_ = 0, bad_ = 0, closed_ = 0, timedOut_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: http_soak_server <idle ms> <receive ms> [<certificate> <key>]\n");
    return 2;
  }
  zu::util::logger::setLevel(0);
  boost::shared_ptr<Server> server =
      boost::make_shared<Server>(static_cast<unsigned int>(std::atoi(argv[1])), static_cast<unsigned int>(std::atoi(argv[2])));
  if (!server->start()) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return 1;
  }
  if (argc == 5 && !server->startTls(argv[3], argv[4])) return 1;
  std::cout << "port " << server->port();
  if (argc == 5) std::cout << " tlsport " << server->tlsPort();
  std::cout << std::endl;
  std::string command;
  while (std::getline(std::cin, command) && command != "quit") {
    if (command == "stats") std::cout << server->stats() << std::endl;
    if (command == "trim") {
      ::malloc_trim(0);
      std::cout << "trimmed" << std::endl;
    }
  }
  server->stop();
  zu::finalize();
  return 0;
}
