// A hello-world HTTP server for load generators: "http_hello zu PORT" serves
// with zu's HTTP connection, "http_hello zu PORT CERT KEY" the same over TLS
// (a PEM certificate chain and its key), "http_hello poco PORT" with POCO's
// HTTPServer.
// Every request is answered with "Hello, World!" on a kept connection. Runs
// until killed.
#include <zu/http.h>
#include <zu/socket.h>
#include <zu/sys.h>
#include <zu/tls.h>

#ifdef ZU_HAVE_POCO
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/ThreadPool.h>
#endif

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace {

char const helloText[] = "Hello, World!";

using zu::net::http::HttpRequest;
using zu::net::http::HttpResponse;
using zu::net::http::IHttpConnection;
using zu::net::http::IHttpConnectionCallback;

// Answers every request and forgets connections that end or time out.
class Hello : public IHttpConnectionCallback {
 public:
  void onRequest(boost::shared_ptr<IHttpConnection> connection, HttpRequest const&) override {
    HttpResponse response;
    response.body = body_;
    connection->respond(response);
  }
  void onEvent(boost::shared_ptr<IHttpConnection> connection, unsigned int event) override {
    if (event == 0) {
      HttpResponse response;
      response.code = zu::net::http::HttpStatus::HTTP_BAD_REQUEST;
      connection->respond(response);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.erase(connection);
  }
  void keep(boost::shared_ptr<IHttpConnection> const& connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.insert(connection);
  }

 private:
  zu::String const body_{helloText};
  std::mutex mutex_;
  std::set<boost::shared_ptr<IHttpConnection> > connections_;
};

int serveZu(unsigned short port, char const* certificate, char const* key) {
  boost::shared_ptr<zu::net::ITlsContext> tls;
  if (certificate != nullptr) {
    tls = zu::net::ITlsContext::New(true);
    if (!tls->useCertificate(certificate, key)) {
      std::fprintf(stderr, "cannot use the certificate %s\n", certificate);
      return 1;
    }
  }
  boost::shared_ptr<zu::net::ISocket> listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  if (!listener->listen(port, zu::net::IP::loopback(), 1024)) {
    std::fprintf(stderr, "cannot listen on %u\n", port);
    return 1;
  }
  auto hello = boost::make_shared<Hello>();
  for (;;) {
    if (!listener->waitReadable(1000)) continue;
    boost::shared_ptr<zu::net::ISocket> accepted = listener->accept();
    if (accepted && tls) accepted = tls->server(accepted);
    if (!accepted) continue;
    boost::shared_ptr<IHttpConnection> connection = IHttpConnection::New(accepted, 60000, 60000);
    hello->keep(connection);
    connection->start(hello);
  }
}

#ifdef ZU_HAVE_POCO
class PocoHello : public Poco::Net::HTTPRequestHandler {
 public:
  void handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) override {
    response.setContentType("text/html");
    response.setContentLength(sizeof helloText - 1);
    response.send().write(helloText, sizeof helloText - 1);
  }
};

class PocoFactory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  Poco::Net::HTTPRequestHandler* createRequestHandler(Poco::Net::HTTPServerRequest const&) override {
    return new PocoHello;
  }
};

int servePoco(unsigned short port) {
  Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", port), 1024);
  auto* params = new Poco::Net::HTTPServerParams;
  params->setKeepAlive(true);
  params->setMaxKeepAliveRequests(0);
  params->setMaxQueued(1024);
  // A thread per kept connection is POCO's model: enough of them for the
  // connection counts measured.
  params->setMaxThreads(512);
  static Poco::ThreadPool pool(2, 512);
  Poco::Net::HTTPServer server(new PocoFactory, pool, socket, params);
  server.start();
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 5 && std::strcmp(argv[1], "zu") == 0)) {
    std::fprintf(stderr, "usage: http_hello zu|poco PORT, http_hello zu PORT CERT KEY\n");
    return 2;
  }
  unsigned short const port = static_cast<unsigned short>(std::atoi(argv[2]));
  if (std::strcmp(argv[1], "zu") == 0) return serveZu(port, argc == 5 ? argv[3] : nullptr, argc == 5 ? argv[4] : nullptr);
#ifdef ZU_HAVE_POCO
  if (std::strcmp(argv[1], "poco") == 0) return servePoco(port);
#endif
  std::fprintf(stderr, "unknown server %s\n", argv[1]);
  return 2;
}
