// A TCP echo server on the pooled reactor: the shortest shape that stays
// correct with slow peers and many connections.
//
//   example_echo_server [port] [seconds]
//
// Listens on 127.0.0.1 (port 0 lets the system choose) and echoes every
// byte until SIGINT/SIGTERM or the given number of seconds (default 30).
// Try it with `nc 127.0.0.1 <port>`.
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <unordered_map>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <zu/app.h>
#include <zu/em.h>
#include <zu/socket.h>
#include <zu/sys.h>

using namespace zu::net;

class EchoServer : public ISocketCallback, public boost::enable_shared_from_this<EchoServer> {
 public:
  boost::shared_ptr<ISocket> listener;

  // Runs on reactor threads; past 62 connections a second pooled reactor
  // starts, so calls may come from two threads at once: one lock guards all.
  void onSocketEvent(boost::shared_ptr<ISocket> socket, unsigned int events, zu::ByteArray& buffer) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket == listener) {
      while (auto peer = listener->accept()) {
        pending_[peer] = std::string();
        peer->setCallback(shared_from_this());
        peer->modifyEvents(SOCKET_EVENT_READ, 0);
        peer->attach("echo");
      }
      return;
    }
    auto it = pending_.find(socket);
    if (it == pending_.end()) return;  // closed already
    std::string& out = it->second;
    if (events & SOCKET_EVENT_READ) {
      unsigned int n = socket->recv(buffer.getBuffer(65536), 65536);
      if (n == 0) return drop(socket);  // the peer closed, or an error
      out.append(reinterpret_cast<char const*>(buffer.ptr()), n);
    }
    // Send what the socket takes now; the rest waits for WRITE, and reading
    // stops meanwhile, so a peer that does not read cannot grow the queue.
    auto sent = zu::em::attempt(socket, [&] { return socket->send(out.data(), out.size()); });
    if (sent.code != 0) return drop(socket);
    out.erase(0, sent.result);
    if (out.empty())
      socket->modifyEvents(SOCKET_EVENT_READ, SOCKET_EVENT_WRITE);
    else
      socket->modifyEvents(SOCKET_EVENT_WRITE, SOCKET_EVENT_READ);
  }

 private:
  void drop(boost::shared_ptr<ISocket> const& socket) {
    socket->close();
    pending_.erase(socket);
  }

  std::mutex mutex_;
  std::unordered_map<boost::shared_ptr<ISocket>, std::string> pending_;  // bytes not yet echoed
};

int main(int argc, char** argv) {
  unsigned short port = argc > 1 ? static_cast<unsigned short>(std::atoi(argv[1])) : 0;
  unsigned int seconds = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 30;

  auto server = boost::make_shared<EchoServer>();
  server->listener = ISocket::New(SOCKET_TYPE_TCP);
  auto listening =
      zu::em::attempt(server->listener, [&] { return server->listener->listen(port, IP::loopback(), 64); });
  if (!listening.result) {
    std::cerr << "listen: error(" << listening.code << ") " << listening.text << "\n";
    return 1;
  }
  std::cout << "echoing on 127.0.0.1:" << server->listener->localAddress().port << std::endl;

  server->listener->setCallback(server);
  server->listener->modifyEvents(SOCKET_EVENT_READ, 0);
  server->listener->attach("echo");

  zu::app::ConsoleHook::install(true);
  zu::app::ConsoleHook::waitForShutdown(seconds * 1000);
  zu::finalize();  // the reactors stop; then dropping the server closes every socket
  return 0;
}
