// The server's request parser, reached as a peer reaches it: the input is
// sent over a loopback connection to an IHttpConnection, which answers every
// request and every broken one, until the client's end of stream comes
// through as the peer-closed event.
#include <zu/http.h>
#include <zu/socket.h>

#include <boost/make_shared.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fuzz_common.h"
#include "loopback.h"

using namespace zu::net;
using namespace zu::net::http;

namespace {

class Handler : public IHttpConnectionCallback {
 public:
  void onRequest(boost::shared_ptr<IHttpConnection> connection, HttpRequest const& request) override {
    // Everything the parser hands out is readable.
    (void)request.method.length();
    (void)request.url.toString();
    (void)request.url.getQueries();
    (void)request.headers.toString();
    (void)request.body.length();
    HttpResponse response;
    response.body = request.url.getPath();
    connection->respond(response);
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_;
  }
  void onEvent(boost::shared_ptr<IHttpConnection> connection, unsigned int event) override {
    if (event == 0) {
      HttpResponse response;
      response.code = HttpStatus::HTTP_BAD_REQUEST;
      connection->respond(response);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (event == 2) closed_ = true;
    changed_.notify_all();
  }
  bool waitClosed(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return closed_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  int requests_ = 0;
};

struct Server {
  boost::shared_ptr<ISocket> listener = ISocket::New(SOCKET_TYPE_TCP);
  unsigned short port = 0;
  // An idle connection kept for the whole run holds the pooled reactor and
  // the time-out tick, so that each input does not start their threads.
  boost::shared_ptr<IHttpConnection> keeper;
  boost::shared_ptr<Handler> keeperHandler = boost::make_shared<Handler>();
  int keeperClient = -1;

  Server() {
    FUZZ_CHECK(listener->listen(0, IP::loopback(), 64));
    port = listener->localAddress().port;
    keeperClient = fuzz::connectLoopback(port);
    keeper = IHttpConnection::New(accept(), 0xFFFFFFFE, 0xFFFFFFFE);
    keeper->start(keeperHandler);
    // The library's threads must have ended before it unloads.
    std::atexit([] {
      instance->keeper.reset();
      zu::finalize();
    });
  }
  static Server* instance;

  boost::shared_ptr<ISocket> accept() {
    FUZZ_CHECK(listener->waitReadable(10000));
    boost::shared_ptr<ISocket> accepted = listener->accept();
    FUZZ_CHECK(accepted);
    return accepted;
  }
};

Server* Server::instance = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  static Server* server = Server::instance = new Server();
  int const client = fuzz::connectLoopback(server->port);
  FUZZ_CHECK(client >= 0);
  boost::shared_ptr<Handler> const handler = boost::make_shared<Handler>();
  boost::shared_ptr<IHttpConnection> connection = IHttpConnection::New(server->accept(), 60000, 60000);
  connection->start(handler);

  // The input goes in two pieces, cut where its last byte says, so that a
  // request also arrives split over reads and the parser has to resume.
  std::string answers;
  char const* const bytes = reinterpret_cast<char const*>(data);
  std::size_t const cut = size ? size * data[size - 1] / 256 : 0;
  bool sent = fuzz::sendAll(client, bytes, cut, &answers);
  if (sent && cut > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  sent = sent && fuzz::sendAll(client, bytes + cut, size - cut, &answers);
  ::shutdown(client, SHUT_WR);
  // Drain the answers until the connection has seen the end of the input;
  // ten seconds without it is a hang.
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sent && !handler->waitClosed(1)) {
    FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
      answers.append(buffer, static_cast<std::size_t>(n));
  }
  connection.reset();
  // The connection has seen the end of the input: no reset can be mistaken
  // for part of it.
  fuzz::closeAbruptly(client);
  return 0;
}
