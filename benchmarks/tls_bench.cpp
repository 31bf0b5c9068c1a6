// TLS over loopback: full handshakes (connect, handshake, close) and bulk
// echo of 64 KB blocks through zu's TLS sockets (a blocking client against
// a server on a reactor) beside the same exchanges written straight against
// OpenSSL (blocking client, a server thread, sockets under OpenSSL's own
// descriptor BIO). Both sides use the same certificate (P-256, made by the
// openssl command at start-up), verify the chain and the name, and agree
// on OpenSSL's default suite.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <boost/enable_shared_from_this.hpp>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <zu/socket.h>
#include <zu/tls.h>

namespace {

using boost::shared_ptr;
using namespace zu::net;

unsigned int const blockSize = 64 * 1024;

// The OpenSSL server writes its close_notify to clients that may be gone;
// zu's sockets never raise the signal, plain descriptors do.
bool const sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// zu's TLS sockets send without Nagle's delay; so do OpenSSL's here.
void noDelay(int fd) {
  int const one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct Files {
  std::string folder;
  std::string ca, cert, key;
  Files() {
    char pattern[] = "/tmp/zu_tls_bench_XXXXXX";
    folder = ::mkdtemp(pattern);
    ca = folder + "/ca.pem";
    cert = folder + "/server.pem";
    key = folder + "/server.key";
    std::string const ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::string const script =
        "cd " + folder + " && openssl req -x509" + ec + " -keyout ca.key -out ca.pem -days 2 -subj /CN=bench-ca" +
        " && openssl req -new" + ec + " -keyout server.key -out server.csr -subj /CN=localhost" +
        " && printf 'subjectAltName=DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > ext" +
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out server.pem" +
        " -extfile ext >/dev/null 2>&1";
    if (std::system(script.c_str()) != 0) std::abort();
  }
  ~Files() { std::system(("rm -rf " + folder).c_str()); }
};

Files const& files() {
  static Files const made;
  return made;
}

// zu: a server on a reactor echoing every byte of each TLS connection.
class ZuEcho : public ISocketCallback, public boost::enable_shared_from_this<ZuEcho> {
 public:
  unsigned short start() {
    context_ = ITlsContext::New(true);
    if (!context_->useCertificate(files().cert.c_str(), files().key.c_str())) std::abort();
    reactor_ = IReactor::New();
    listener_ = ISocket::New(SOCKET_TYPE_TCP);
    listener_->listen(0, IP::loopback(), 128);
    listener_->attach(reactor_);
    listener_->setCallback(boost::weak_ptr<ISocketCallback>(shared_from_this()));
    listener_->modifyEvents(SOCKET_EVENT_READ, 0);
    return listener_->localAddress().port;
  }
  void stop() {
    listener_->close();
    std::lock_guard<std::mutex> hold(lock_);
    connections_.clear();
  }

  void onSocketEvent(shared_ptr<ISocket> socket, unsigned int events, zu::ByteArray&) override {
    if (socket == listener_) {
      while (shared_ptr<ISocket> accepted = listener_->accept()) {
        shared_ptr<ITlsSocket> const tls = context_->server(accepted);
        tls->attach(reactor_);
        tls->setCallback(boost::weak_ptr<ISocketCallback>(shared_from_this()));
        tls->modifyEvents(SOCKET_EVENT_READ, 0);
        std::lock_guard<std::mutex> hold(lock_);
        connections_[tls.get()].socket = tls;
      }
      return;
    }
    std::unique_lock<std::mutex> hold(lock_);
    auto found = connections_.find(socket.get());
    if (found == connections_.end()) return;
    Connection& c = found->second;
    hold.unlock();
    if ((events & SOCKET_EVENT_READ) && c.pending.empty()) {
      char block[16384];
      unsigned int const n = socket->recv(block, sizeof block);
      if (n == 0) {
        socket->close();
        hold.lock();
        connections_.erase(socket.get());
        return;
      }
      c.pending.append(block, n);
    }
    while (!c.pending.empty()) {
      unsigned int const n = socket->send(c.pending.data(), unsigned(c.pending.size()));
      if (n == 0) break;
      c.pending.erase(0, n);
    }
    if (c.pending.empty()) socket->modifyEvents(SOCKET_EVENT_READ, SOCKET_EVENT_WRITE);
    else socket->modifyEvents(SOCKET_EVENT_WRITE, SOCKET_EVENT_READ);
  }

 private:
  struct Connection {
    shared_ptr<ITlsSocket> socket;
    std::string pending;
  };
  shared_ptr<ITlsContext> context_;
  shared_ptr<IReactor> reactor_;
  shared_ptr<ISocket> listener_;
  std::mutex lock_;
  std::map<ISocket*, Connection> connections_;
};

shared_ptr<ITlsContext> zuClientContext() {
  shared_ptr<ITlsContext> const context = ITlsContext::New(false);
  context->setCAFile(files().ca.c_str());
  return context;
}

shared_ptr<ITlsSocket> zuConnect(shared_ptr<ITlsContext> const& context, unsigned short port) {
  shared_ptr<ITlsSocket> const socket = context->client("localhost");
  socket->setTimeouts(5000, 5000);
  if (!socket->connect(port, IP::loopback()) || !socket->waitConnected(5000)) return shared_ptr<ITlsSocket>();
  return socket;
}

void BM_Handshake_zu(benchmark::State& state) {
  shared_ptr<ZuEcho> const server(new ZuEcho);
  unsigned short const port = server->start();
  shared_ptr<ITlsContext> const context = zuClientContext();
  for (auto _ : state) {
    shared_ptr<ITlsSocket> const socket = zuConnect(context, port);
    if (!socket) {
      state.SkipWithError("handshake failed");
      break;
    }
    socket->close();
  }
  server->stop();
}
BENCHMARK(BM_Handshake_zu)->UseRealTime();

void BM_Bulk_zu(benchmark::State& state) {
  shared_ptr<ZuEcho> const server(new ZuEcho);
  unsigned short const port = server->start();
  shared_ptr<ITlsSocket> const socket = zuConnect(zuClientContext(), port);
  if (!socket) {
    state.SkipWithError("handshake failed");
    return;
  }
  std::string const block(blockSize, 'x');
  char back[blockSize];
  for (auto _ : state) {
    for (unsigned int sent = 0; sent < blockSize;) {
      unsigned int const n = socket->toIO()->write(block.data() + sent, blockSize - sent);
      if (n == 0) return state.SkipWithError("send failed");
      sent += n;
    }
    for (unsigned int got = 0; got < blockSize;) {
      unsigned int const n = socket->toIO()->read(back, blockSize - got);
      if (n == 0) return state.SkipWithError("receive failed");
      got += n;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * blockSize);
  socket->close();
  server->stop();
}
BENCHMARK(BM_Bulk_zu)->UseRealTime();

// OpenSSL straight: a server thread serving one connection at a time.
class OpenSSLEcho {
 public:
  unsigned short start() {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(ctx_, files().cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, files().key.c_str(), SSL_FILETYPE_PEM) != 1)
      std::abort();
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 128);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    thread_ = std::thread([this] { serve(); });
    return ntohs(address.sin_port);
  }
  void stop() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(ctx_);
  }

 private:
  void serve() {
    while (true) {
      int const fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      noDelay(fd);
      SSL* const ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) == 1) {
        char block[16384];
        int n;
        while ((n = SSL_read(ssl, block, sizeof block)) > 0) {
          if (SSL_write(ssl, block, n) != n) break;
        }
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ::close(fd);
    }
  }

  SSL_CTX* ctx_ = nullptr;
  int listener_ = -1;
  std::thread thread_;
};

struct OpenSSLClient {
  SSL_CTX* ctx;
  OpenSSLClient() {
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_load_verify_locations(ctx, files().ca.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  ~OpenSSLClient() { SSL_CTX_free(ctx); }

  SSL* connect(unsigned short port, int& fd) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return nullptr;
    noDelay(fd);
    SSL* const ssl = SSL_new(ctx);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
      SSL_free(ssl);
      return nullptr;
    }
    return ssl;
  }
};

void BM_Handshake_OpenSSL(benchmark::State& state) {
  OpenSSLEcho server;
  unsigned short const port = server.start();
  OpenSSLClient client;
  for (auto _ : state) {
    int fd;
    SSL* const ssl = client.connect(port, fd);
    if (ssl == nullptr) {
      state.SkipWithError("handshake failed");
      break;
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ::close(fd);
  }
  server.stop();
}
BENCHMARK(BM_Handshake_OpenSSL)->UseRealTime();

void BM_Bulk_OpenSSL(benchmark::State& state) {
  OpenSSLEcho server;
  unsigned short const port = server.start();
  OpenSSLClient client;
  int fd;
  SSL* const ssl = client.connect(port, fd);
  if (ssl == nullptr) return state.SkipWithError("handshake failed");
  std::string const block(blockSize, 'x');
  char back[blockSize];
  for (auto _ : state) {
    for (unsigned int sent = 0; sent < blockSize;) {
      int const n = SSL_write(ssl, block.data() + sent, int(blockSize - sent));
      if (n <= 0) return state.SkipWithError("send failed");
      sent += unsigned(n);
    }
    for (unsigned int got = 0; got < blockSize;) {
      int const n = SSL_read(ssl, back, int(blockSize - got));
      if (n <= 0) return state.SkipWithError("receive failed");
      got += unsigned(n);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * blockSize);
  SSL_shutdown(ssl);
  SSL_free(ssl);
  ::close(fd);
  server.stop();
}
BENCHMARK(BM_Bulk_OpenSSL)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
