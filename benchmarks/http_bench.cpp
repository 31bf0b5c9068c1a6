// Header blocks, the client and the server-side connection against POCO's,
// in one binary.
#include <zu/http.h>
#include <zu/sys.h>

#include <benchmark/benchmark.h>

#ifdef ZU_HAVE_POCO
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NameValueCollection.h>
#include <sstream>
#endif

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/main.h"

namespace {

std::vector<std::string> const headerLines = {
    "Host: www.example.com",
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0",
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
    "Accept-Language: en-US,en;q=0.5",
    "Accept-Encoding: gzip, deflate",
    "Connection: Keep-Alive",
    "Cookie: session=0123456789abcdef; theme=dark",
    "Cache-Control: max-age=0",
    "Content-Type: application/x-www-form-urlencoded",
    "Content-Length: 42",
};

// Ten lines parsed into a block, then the lookups a server makes.
void BM_ZuMimeParseAndLookUp(benchmark::State& state) {
  std::vector<zu::String> lines;
  for (std::string const& line : headerLines) lines.emplace_back(line.c_str());
  zu::String const length("content-length"), connection("connection"), absent("transfer-encoding"), none;
  for (auto _ : state) {
    zu::net::http::MIME mime;
    for (zu::String const& line : lines) mime.addLine(line);
    benchmark::DoNotOptimize(mime.get(length, none));
    benchmark::DoNotOptimize(mime.get(connection, none));
    benchmark::DoNotOptimize(mime.contains(absent));
  }
}
BENCHMARK(BM_ZuMimeParseAndLookUp);

void BM_ZuMimeToString(benchmark::State& state) {
  zu::net::http::MIME mime;
  for (std::string const& line : headerLines) mime.addLine(line.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(mime.toString());
}
BENCHMARK(BM_ZuMimeToString);

#ifdef ZU_HAVE_POCO
void BM_PocoNameValueParseAndLookUp(benchmark::State& state) {
  for (auto _ : state) {
    Poco::Net::NameValueCollection headers;
    for (std::string const& line : headerLines) {
      std::string::size_type at = line.find(": ");
      headers.add(line.substr(0, at), line.substr(at + 2));
    }
    benchmark::DoNotOptimize(headers.get("content-length", ""));
    benchmark::DoNotOptimize(headers.get("connection", ""));
    benchmark::DoNotOptimize(headers.has("transfer-encoding"));
  }
}
BENCHMARK(BM_PocoNameValueParseAndLookUp);

void BM_PocoNameValueToString(benchmark::State& state) {
  Poco::Net::NameValueCollection headers;
  for (std::string const& line : headerLines) {
    std::string::size_type at = line.find(": ");
    headers.add(line.substr(0, at), line.substr(at + 2));
  }
  for (auto _ : state) {
    std::string text;
    for (auto const& pair : headers) text.append(pair.first).append(": ").append(pair.second).append("\r\n");
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_PocoNameValueToString);
#endif

// --- the client: keep-alive GETs of a 1 KB body over loopback ---------------

// Answers every request on every connection with the same 1 KB body and
// keeps connections open; one thread serves the connections in turn.
class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    std::string const body(1024, 'x');
    reply_ = "HTTP/1.1 200 OK\r\nContent-Length: 1024\r\nContent-Type: text/plain\r\n\r\n" + body;
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  unsigned short port = 0;

 private:
  void serve() {
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    std::vector<std::string> pending(1);
    while (!stop_) {
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          fds.push_back({fd, POLLIN, 0});
          pending.emplace_back();
        }
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[8192];
        ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          ::close(fds[i].fd);
          fds.erase(fds.begin() + i);
          pending.erase(pending.begin() + i);
          --i;
          continue;
        }
        pending[i].append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending[i].find("\r\n\r\n")) != std::string::npos) {
          pending[i].erase(0, end + 4);
          while (pending[i].compare(0, 2, "\r\n") == 0) pending[i].erase(0, 2);
          ::send(fds[i].fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        }
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) ::close(fds[i].fd);
  }

  int listener_ = -1;
  std::string reply_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_ZuHttpClientKeepAliveGet(benchmark::State& state) {
  LoopbackServer server;
  boost::shared_ptr<zu::net::http::IHttpClient> client = zu::net::http::IHttpClient::New("bench", 5000);
  std::string const url = "http://127.0.0.1:" + std::to_string(server.port) + "/resource?id=1";
  zu::String body;
  for (auto _ : state) {
    if (!client->get(url.c_str(), body, true) || body.length() != 1024) state.SkipWithError("get failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ZuHttpClientKeepAliveGet)->UseRealTime();

#ifdef ZU_HAVE_POCO
void BM_PocoHttpClientSessionKeepAliveGet(benchmark::State& state) {
  LoopbackServer server;
  Poco::Net::HTTPClientSession session("127.0.0.1", server.port);
  session.setKeepAlive(true);
  std::string body;
  for (auto _ : state) {
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/resource?id=1", Poco::Net::HTTPMessage::HTTP_1_1);
    request.set("User-Agent", "bench");
    request.setKeepAlive(true);
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (body.size() != 1024) state.SkipWithError("get failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PocoHttpClientSessionKeepAliveGet)->UseRealTime();
#endif

// --- the server side: keep-alive round trips of a small GET ------------------

// A raw keep-alive client: connects to `port`, then sends one request and
// reads one response (a 64-byte body) per call.
class RawClient {
 public:
  explicit RawClient(unsigned short port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  bool roundTrip() {
    static char const request[] = "GET /item?id=7 HTTP/1.1\r\nHost: bench\r\nConnection: Keep-Alive\r\n\r\n";
    if (!ok_ || ::send(fd_, request, sizeof request - 1, MSG_NOSIGNAL) <= 0) return false;
    for (;;) {
      std::size_t head = pending_.find("\r\n\r\n");
      if (head != std::string::npos) {
        std::size_t at = pending_.find("ontent-Length: ");
        std::size_t length = at < head ? std::stoul(pending_.substr(at + 15)) : 0;
        if (pending_.size() >= head + 4 + length) {
          pending_.erase(0, head + 4 + length);
          return true;
        }
      }
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  bool ok_;
  std::string pending_;
};

class Answerer : public zu::net::http::IHttpConnectionCallback {
 public:
  void onRequest(boost::shared_ptr<zu::net::http::IHttpConnection> connection,
                 zu::net::http::HttpRequest const&) override {
    zu::net::http::HttpResponse response;
    response.body = body_;
    connection->respond(response);
  }
  void onEvent(boost::shared_ptr<zu::net::http::IHttpConnection>, unsigned int) override {}

 private:
  zu::String const body_{std::string(64, 'r').c_str()};
};

void BM_ZuHttpConnectionRoundTrip(benchmark::State& state) {
  boost::shared_ptr<zu::net::ISocket> listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  listener->listen(0, zu::net::IP::loopback());
  RawClient client(listener->localAddress().port);
  listener->waitReadable(5000);
  auto answerer = boost::make_shared<Answerer>();
  boost::shared_ptr<zu::net::http::IHttpConnection> connection =
      zu::net::http::IHttpConnection::New(listener->accept(), 60000, 60000);
  connection->start(answerer);
  for (auto _ : state)
    if (!client.roundTrip()) state.SkipWithError("round trip failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ZuHttpConnectionRoundTrip)->UseRealTime();

#ifdef ZU_HAVE_POCO
class PocoAnswer : public Poco::Net::HTTPRequestHandler {
 public:
  void handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) override {
    static std::string const body(64, 'r');
    response.setContentType("text/html");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.send() << body;
  }
};

class PocoFactory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  Poco::Net::HTTPRequestHandler* createRequestHandler(Poco::Net::HTTPServerRequest const&) override {
    return new PocoAnswer;
  }
};

void BM_PocoHttpServerRoundTrip(benchmark::State& state) {
  Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
  auto* params = new Poco::Net::HTTPServerParams;
  params->setKeepAlive(true);
  params->setMaxKeepAliveRequests(0);
  Poco::Net::HTTPServer server(new PocoFactory, socket, params);
  server.start();
  {
    RawClient client(socket.address().port());
    for (auto _ : state)
      if (!client.roundTrip()) state.SkipWithError("round trip failed");
  }
  server.stopAll(true);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PocoHttpServerRoundTrip)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) { return zu_bench::runThenFinalize(argc, argv); }
