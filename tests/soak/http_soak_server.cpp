// The HTTP server under the soak: IHttpConnection over every connection a
// listening socket accepts on 127.0.0.1. It answers each request with a
// short body, answers a broken request with 400 and drops the connection,
// and drops a connection whose peer closed or whose time-out expired.
//
//   http_soak_server <idle ms> <receive ms>
//
// Prints "port <n>" once listening. Reads commands on standard input:
// "stats" prints one line of counters; end of input (or "quit") stops the
// server and exits.
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

using namespace zu::net;
using namespace zu::net::http;

namespace {

class Server : public ISocketCallback,
               public IHttpConnectionCallback,
               public boost::enable_shared_from_this<Server> {
 public:
  Server(unsigned int idle, unsigned int receive) : idle_(idle), receive_(receive) {}

  bool start() {
    listener_ = ISocket::New(SOCKET_TYPE_TCP);
    if (!listener_->listen(0, IP::loopback(), 1024)) return false;
    listener_->setCallback(boost::weak_ptr<ISocketCallback>(shared_from_this()));
    listener_->modifyEvents(SOCKET_EVENT_READ, 0);
    listener_->attach("soak-listener");
    return true;
  }
  unsigned short port() { return listener_->localAddress().port; }

  void stop() {
    listener_->close();
    listener_->attach(boost::shared_ptr<IReactor>());
    std::map<IHttpConnection*, boost::shared_ptr<IHttpConnection>> connections;
    {
      zu::sys::ScopedLock lock(lock_);
      connections.swap(connections_);
    }
    connections.clear();
    listener_.reset();
  }

  void onSocketEvent(boost::shared_ptr<ISocket> socket, unsigned int events, zu::ByteArray&) override {
    if (!(events & SOCKET_EVENT_READ)) return;
    while (boost::shared_ptr<ISocket> accepted = socket->accept()) {
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
  unsigned int const idle_;
  unsigned int const receive_;
  boost::shared_ptr<ISocket> listener_;
  zu::sys::Mutex lock_;
  std::map<IHttpConnection*, boost::shared_ptr<IHttpConnection>> connections_;
  unsigned long accepted_ = 0, requests_ = 0, bad_ = 0, closed_ = 0, timedOut_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: http_soak_server <idle ms> <receive ms>\n");
    return 2;
  }
  zu::util::logger::setLevel(0);
  boost::shared_ptr<Server> server =
      boost::make_shared<Server>(static_cast<unsigned int>(std::atoi(argv[1])), static_cast<unsigned int>(std::atoi(argv[2])));
  if (!server->start()) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::cout << "port " << server->port() << std::endl;
  std::string command;
  while (std::getline(std::cin, command) && command != "quit") {
    if (command == "stats") std::cout << server->stats() << std::endl;
  }
  server->stop();
  zu::finalize();
  return 0;
}
