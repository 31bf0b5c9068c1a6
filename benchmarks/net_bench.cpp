// Networking benchmarks: address-set membership against Boost.ICL and a
// sorted vector; TCP echo round trips through zu's reactor against Boost.Asio.
#include <zu/net.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include <boost/icl/interval_set.hpp>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <mutex>
#include <thread>

#include <boost/asio.hpp>

#include <zu/socket.h>

#ifdef ZU_HAVE_UDT
#include <udt/udt.h>
#endif

namespace {

// 10,000 disjoint ranges spread over the whole space, and probe addresses of
// which about half fall inside one of them.
struct RangeData {
  std::vector<std::pair<unsigned int, unsigned int>> ranges;
  std::vector<unsigned int> probes;

  RangeData() {
    std::mt19937 random(42);
    unsigned int const slot = 0xFFFFFFFFu / 10000;
    for (unsigned int i = 0; i < 10000; ++i) {
      unsigned int start = i * slot + 1 + random() % (slot / 4);
      ranges.emplace_back(start, start + random() % (slot / 2));
    }
    for (int i = 0; i < 4096; ++i) {
      auto const& r = ranges[random() % ranges.size()];
      probes.push_back(i % 2 ? r.first + (r.second - r.first) / 2 : r.second + 1 + random() % 1000);
    }
  }
};

RangeData const& data() {
  static RangeData const d;
  return d;
}

void BM_IPRanges_includes(benchmark::State& state) {
  zu::net::IPRanges set;
  for (auto const& r : data().ranges) set.append(zu::net::IPRange(zu::net::IP(r.first), zu::net::IP(r.second)));
  std::vector<zu::net::IP> probes(data().probes.begin(), data().probes.end());
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(set.includes(probes[i]));
    i = (i + 1) & 4095;
  }
}
BENCHMARK(BM_IPRanges_includes);

void BM_BoostIcl_contains(benchmark::State& state) {
  boost::icl::interval_set<unsigned int> set;
  for (auto const& r : data().ranges) set.add(boost::icl::interval<unsigned int>::closed(r.first, r.second));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(boost::icl::contains(set, data().probes[i]));
    i = (i + 1) & 4095;
  }
}
BENCHMARK(BM_BoostIcl_contains);

void BM_SortedVector_upperBound(benchmark::State& state) {
  std::vector<std::pair<unsigned int, unsigned int>> set(data().ranges);
  std::sort(set.begin(), set.end());
  size_t i = 0;
  for (auto _ : state) {
    unsigned int ip = data().probes[i];
    auto it = std::upper_bound(set.begin(), set.end(), std::make_pair(ip, 0xFFFFFFFFu));
    benchmark::DoNotOptimize(it != set.begin() && (it - 1)->second >= ip);
    i = (i + 1) & 4095;
  }
}
BENCHMARK(BM_SortedVector_upperBound);

void BM_IPRanges_append10000(benchmark::State& state) {
  for (auto _ : state) {
    zu::net::IPRanges set;
    for (auto const& r : data().ranges) set.append(zu::net::IPRange(zu::net::IP(r.first), zu::net::IP(r.second)));
    benchmark::DoNotOptimize(set.includes(zu::net::IP(1)));
  }
}
BENCHMARK(BM_IPRanges_append10000)->Unit(benchmark::kMillisecond);

void BM_IPRange_parse(benchmark::State& state) {
  zu::String const texts[] = {zu::String("192.168.1.0/24"), zu::String("10.0.0.1-10.0.0.200"),
                              zu::String("172.16.0.0/255.240.0.0"), zu::String("8.8.8.8")};
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zu::net::IPRange(texts[i & 3]).end().value());
    ++i;
  }
}
BENCHMARK(BM_IPRange_parse);

}  // namespace

namespace {

// --- TCP echo over loopback --------------------------------------------------
// Each connection sends a 64-byte message and waits for its echo; one client
// thread drives all connections (all send, then all receive), so a pass is
// one round trip per connection.

enum { MESSAGE_SIZE = 64 };

int connectTo(unsigned short port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool readFully(int fd, char* buffer, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::recv(fd, buffer, size, 0);
    if (n <= 0) return false;
    buffer += n;
    size -= std::size_t(n);
  }
  return true;
}

void runEchoClients(benchmark::State& state, unsigned short port) {
  int connections = int(state.range(0));
  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) {
    int fd = connectTo(port);
    if (fd < 0) {
      state.SkipWithError("connect failed");
      for (int f : fds) ::close(f);
      return;
    }
    fds.push_back(fd);
  }
  char message[MESSAGE_SIZE];
  char echo[MESSAGE_SIZE];
  for (int i = 0; i < MESSAGE_SIZE; ++i) message[i] = char('a' + i % 26);
  for (auto _ : state) {
    for (int fd : fds)
      if (::send(fd, message, MESSAGE_SIZE, MSG_NOSIGNAL) != MESSAGE_SIZE) state.SkipWithError("send");
    for (int fd : fds)
      if (!readFully(fd, echo, MESSAGE_SIZE)) state.SkipWithError("recv");
  }
  state.SetItemsProcessed(state.iterations() * connections);
  for (int fd : fds) ::close(fd);
}

// zu: the listener and every accepted connection on one pooled reactor.
class ZuEchoServer : public zu::net::ISocketCallback {
 public:
  bool start(boost::shared_ptr<ZuEchoServer> const& self) {
    self_ = self;
    listener_ = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
    listener_->setCallback(self_);
    listener_->modifyEvents(zu::net::SOCKET_EVENT_READ, 0);
    listener_->attach("bench-echo");
    return listener_->listen(0, zu::net::IP::loopback(), 128);
  }
  unsigned short port() { return listener_->localAddress().port; }
  void stop() {
    std::lock_guard<std::mutex> guard(mutex_);
    listener_.reset();
    connections_.clear();
  }

  void onSocketEvent(boost::shared_ptr<zu::net::ISocket> socket, unsigned int,
                     zu::ByteArray& buffer) override {
    if (socket == listener_) {
      while (boost::shared_ptr<zu::net::ISocket> c = socket->accept()) {
        int one = 1;
        c->setOption(TCP_NODELAY, &one, sizeof one, IPPROTO_TCP);
        c->setCallback(self_);
        c->modifyEvents(zu::net::SOCKET_EVENT_READ, 0);
        c->attach("bench-echo");
        std::lock_guard<std::mutex> guard(mutex_);
        connections_.push_back(c);
      }
      return;
    }
    unsigned char* data = buffer.getBuffer(65536);
    unsigned int n = socket->recv(data, 65536);
    if (n == 0) {
      socket->close();
      return;
    }
    for (unsigned int sent = 0; sent < n;) {
      unsigned int m = socket->send(data + sent, n - sent);
      if (m == 0 && !socket->waitWritable(1000)) return;
      sent += m;
    }
  }

 private:
  boost::weak_ptr<ZuEchoServer> self_;
  std::mutex mutex_;
  boost::shared_ptr<zu::net::ISocket> listener_;
  std::vector<boost::shared_ptr<zu::net::ISocket> > connections_;
};

void BM_TcpEcho_Zu(benchmark::State& state) {
  boost::shared_ptr<ZuEchoServer> server(new ZuEchoServer);
  if (!server->start(server)) {
    state.SkipWithError("listen failed");
    return;
  }
  runEchoClients(state, server->port());
  server->stop();
}
BENCHMARK(BM_TcpEcho_Zu)->Arg(1)->Arg(50)->UseRealTime();

// Boost.Asio: the ordinary asynchronous echo server on one io_context thread.
class AsioSession : public std::enable_shared_from_this<AsioSession> {
 public:
  explicit AsioSession(boost::asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}
  void start() {
    socket_.set_option(boost::asio::ip::tcp::no_delay(true));
    read();
  }

 private:
  void read() {
    auto self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(data_),
                            [this, self](boost::system::error_code error, std::size_t n) {
                              if (!error) write(n);
                            });
  }
  void write(std::size_t n) {
    auto self = shared_from_this();
    boost::asio::async_write(socket_, boost::asio::buffer(data_, n),
                             [this, self](boost::system::error_code error, std::size_t) {
                               if (!error) read();
                             });
  }
  boost::asio::ip::tcp::socket socket_;
  std::array<char, 65536> data_;
};

class AsioEchoServer {
 public:
  AsioEchoServer()
      : acceptor_(context_, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
    accept();
    thread_ = std::thread([this] { context_.run(); });
  }
  ~AsioEchoServer() {
    context_.stop();
    thread_.join();
  }
  unsigned short port() { return acceptor_.local_endpoint().port(); }

 private:
  void accept() {
    acceptor_.async_accept([this](boost::system::error_code error, boost::asio::ip::tcp::socket s) {
      if (!error) std::make_shared<AsioSession>(std::move(s))->start();
      accept();
    });
  }
  boost::asio::io_context context_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
};

void BM_TcpEcho_Asio(benchmark::State& state) {
  AsioEchoServer server;
  runEchoClients(state, server.port());
}
BENCHMARK(BM_TcpEcho_Asio)->Arg(1)->Arg(50)->UseRealTime();

}  // namespace
// --- UDT: 1 MB through one connection over loopback --------------------------
// The wrapper against the same transport driven directly with the same
// settings; both sides in this process.

#ifdef ZU_HAVE_UDT
namespace {

std::size_t const udtBytes = 1 << 20;

void BM_ZuUDTTransfer1MB(benchmark::State& state) {
  boost::shared_ptr<zu::net::IUDTSocket> listener = zu::net::IUDTSocket::New();
  listener->listen(0, zu::net::IP::loopback());
  unsigned short const port = listener->localAddress().port;
  boost::shared_ptr<zu::net::IUDTSocket> client = zu::net::IUDTSocket::New();
  client->connect(port, zu::net::IP::loopback());
  boost::shared_ptr<zu::net::IUDTSocket> server = listener->accept();
  std::vector<char> data(udtBytes, 'd'), sink(65536);
  for (auto _ : state) {
    std::thread reader([&] {
      std::size_t got = 0;
      while (got < udtBytes) {
        unsigned int n = server->toIO()->read(sink.data(), static_cast<unsigned int>(sink.size()));
        if (n == 0) break;
        got += n;
      }
    });
    for (std::size_t sent = 0; sent < udtBytes;) {
      unsigned int n = client->toIO()->write(data.data() + sent, static_cast<unsigned int>(udtBytes - sent));
      if (n == 0) break;
      sent += n;
    }
    reader.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * udtBytes));
}
BENCHMARK(BM_ZuUDTTransfer1MB)->UseRealTime()->Unit(benchmark::kMillisecond);

UDTSOCKET rawSocket() {
  UDTSOCKET s = UDT::socket(AF_INET, SOCK_STREAM, 0);
  int const mss = 1028, buffer = 205600;
  linger const off = {0, 0};
  UDT::setsockopt(s, 0, UDT_MSS, &mss, sizeof mss);
  UDT::setsockopt(s, 0, UDT_SNDBUF, &buffer, sizeof buffer);
  UDT::setsockopt(s, 0, UDT_RCVBUF, &buffer, sizeof buffer);
  UDT::setsockopt(s, 0, UDP_SNDBUF, &buffer, sizeof buffer);
  UDT::setsockopt(s, 0, UDP_RCVBUF, &buffer, sizeof buffer);
  UDT::setsockopt(s, 0, UDT_LINGER, &off, sizeof off);
  return s;
}

void BM_RawUDTTransfer1MB(benchmark::State& state) {
  UDTSOCKET listener = rawSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  UDT::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  UDT::listen(listener, 5);
  UDT::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  UDTSOCKET client = rawSocket();
  UDT::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
  UDTSOCKET server = UDT::accept(listener, nullptr, nullptr);
  std::vector<char> data(udtBytes, 'd'), sink(65536);
  for (auto _ : state) {
    std::thread reader([&] {
      std::size_t got = 0;
      while (got < udtBytes) {
        int n = UDT::recv(server, sink.data(), static_cast<int>(sink.size()), 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
    });
    for (std::size_t sent = 0; sent < udtBytes;) {
      int n = UDT::send(client, data.data() + sent, static_cast<int>(udtBytes - sent), 0);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    reader.join();
  }
  UDT::close(server);
  UDT::close(client);
  UDT::close(listener);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * udtBytes));
}
BENCHMARK(BM_RawUDTTransfer1MB)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
#endif

BENCHMARK_MAIN();
