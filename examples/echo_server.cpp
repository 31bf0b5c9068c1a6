// A TCP echo server driven by a pooled reactor.
//
//   example_echo_server [port] [seconds]
//
// Listens on 127.0.0.1 (port 0 lets the system choose), echoes every byte it
// receives, and stops after the given number of seconds (default 30). Try it
// with `nc 127.0.0.1 <port>`.
#include <cstdio>
#include <cstdlib>
#include <map>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <zu/em.h>
#include <zu/logger.h>
#include <zu/socket.h>
#include <zu/sys.h>
#include <zu/time.h>

namespace {

// Serves the listening socket and every accepted connection. All calls come
// from the reactor's runner thread, one at a time, so the connection table
// needs no lock.
class EchoServer : public zu::net::ISocketCallback,
                   public boost::enable_shared_from_this<EchoServer> {
 public:
  void onSocketEvent(boost::shared_ptr<zu::net::ISocket> socket, unsigned int events,
                     zu::ByteArray& buffer) override {
    if (!(events & zu::net::SOCKET_EVENT_READ)) return;
    if (socket == listener) {
      acceptAll();
      return;
    }
    unsigned char* data = buffer.getBuffer(4096);
    unsigned int n = socket->recv(data, 4096);
    if (n == 0) {  // the peer closed (or failed): forget the connection
      socket->close();
      connections.erase(socket.get());
      return;
    }
    // A blocking send through the stream view keeps the example short; a
    // server with slow peers would queue the rest and wait for WRITE events.
    for (unsigned int sent = 0; sent < n;) {
      unsigned int k = socket->toIO()->write(data + sent, n - sent);
      if (k == 0) break;
      sent += k;
    }
  }

  void acceptAll() {
    zu::net::Address peer;
    while (boost::shared_ptr<zu::net::ISocket> c = listener->accept(&peer)) {
      std::printf("connection from %s:%u\n", peer.ip.toDotNotation().cstr(), peer.port);
      c->setTimeouts(5000, 5000);
      c->setCallback(shared_from_this());
      c->modifyEvents(zu::net::SOCKET_EVENT_READ, 0);
      c->attach("echo");
      connections[c.get()] = c;
    }
  }

  boost::shared_ptr<zu::net::ISocket> listener;
  std::map<zu::net::ISocket*, boost::shared_ptr<zu::net::ISocket>> connections;
};

}  // namespace

int main(int argc, char** argv) {
  unsigned short port = argc > 1 ? static_cast<unsigned short>(std::atoi(argv[1])) : 0;
  unsigned int seconds = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 30;

  zu::util::logger::setOptions(zu::util::logger::LOG_OPTION_THREAD, 0);

  boost::shared_ptr<EchoServer> server = boost::make_shared<EchoServer>();
  server->listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  {
    zu::em::CatchError error(server->listener.get());
    if (!server->listener->listen(port, zu::net::IP::loopback())) {
      std::fprintf(stderr, "listen: error(%u) %s\n", error.code(), error.text().cstr());
      return 1;
    }
  }
  std::printf("echoing on 127.0.0.1:%u for %u s\n", server->listener->localAddress().port, seconds);
  std::fflush(stdout);

  server->listener->setCallback(server);
  server->listener->modifyEvents(zu::net::SOCKET_EVENT_READ, 0);
  server->listener->attach("echo");

  zu::sys::IThread::sleep(seconds * 1000);

  // Stop the reactor thread first; after that nothing else touches the
  // server, and dropping the sockets closes them.
  server->listener->close();
  zu::finalize();
  server->connections.clear();
  server->listener.reset();
  return 0;
}
