// TLS connections against real peers: OpenSSL's s_server and s_client and
// curl, started on loopback with certificates the fixture makes with the
// openssl command (a test CA, a server certificate for localhost and
// 127.0.0.1, an expired one, one for another name, a self-signed one).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/socket.h>
#include <zu/tls.h>

#include "hidden_library.h"
#include "support/idle.h"
#include "support/loopback.h"
#include "support/tls_exchange.h"
#include "support/tls_peers.h"
#include "support/wait.h"

namespace {

using boost::shared_ptr;
using zu::String;
using namespace zu::net;
using zu::test::Certificates;
using zu::test::Peer;
using zu::test::PlainServer;
using zu::test::certificates;
using zu::test::run;

// s_server answering each connection with its status page over TLS with
// the certificate `name`; its port, 0 when it did not start.
// With `serverName`, the server ends a handshake whose SNI names anything
// else with a fatal alert (a handshake without SNI passes).
unsigned short startServer(Peer& peer, std::string const& name, std::string const& serverName = "") {
  Certificates const& c = certificates();
  std::vector<std::string> arguments{"openssl", "s_server", "-4", "-accept", "127.0.0.1:0", "-cert", c.file(name + ".pem"),
                                     "-key", c.file(name + ".key"), "-www", "-alpn", "http/1.1"};
  if (!serverName.empty()) {
    for (char const* a : {"-servername", serverName.c_str(), "-servername_fatal", "-cert2"}) arguments.push_back(a);
    for (std::string const& a : {c.file(name + ".pem"), std::string("-key2"), c.file(name + ".key")}) arguments.push_back(a);
  }
  bool const started = peer.start(arguments);
  if (!started || !peer.await("ACCEPT 127.0.0.1:") || !peer.await("\n")) return 0;
  std::string const& out = peer.output();
  return static_cast<unsigned short>(std::atoi(out.c_str() + out.find("ACCEPT 127.0.0.1:") + 17));
}

shared_ptr<ITlsContext> trustingClient() {
  shared_ptr<ITlsContext> const context = ITlsContext::New(false);
  EXPECT_TRUE(context->setCAFile(certificates().file("ca.pem").c_str()));
  return context;
}

using Exchange = zu::test::TlsExchange;
using zu::test::startsWith;

Exchange exchange(shared_ptr<ITlsContext> const& context, String const& host, unsigned short port,
                  std::string const& request, unsigned int timeout = 5000) {
  return zu::test::tlsExchange(context, host, port, request, timeout);
}

TEST(TlsClient, TalksToAServerWhoseCertificateTheCAVouchesFor) {
  Peer server;
  unsigned short const port = startServer(server, "server");
  ASSERT_NE(0, port) << server.output();
  shared_ptr<ITlsContext> const context = trustingClient();
  // By name (sent as SNI) and by address (checked against the IP entry).
  for (char const* host : {"localhost", "127.0.0.1"}) {
    Exchange const got = exchange(context, host, port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(got.secured) << host << ": " << got.code << " " << got.text;
    EXPECT_TRUE(startsWith(got.received, "HTTP/1.0 200 ok")) << host << ": " << got.received;
    EXPECT_TRUE(got.version == "TLSv1.3" || got.version == "TLSv1.2") << got.version;
    EXPECT_EQ("http/1.1", got.alpn);
    // The page ends with the server's close_notify: a clean end, not a failure.
    EXPECT_EQ(0u, got.code) << got.text;
  }
  // SNI carries names only: a server that ends any handshake whose SNI is
  // not "localhost" still serves a client that connects by address.
  Peer strict;
  unsigned short const strictPort = startServer(strict, "server", "localhost");
  ASSERT_NE(0, strictPort) << strict.output();
  for (char const* host : {"localhost", "127.0.0.1"}) {
    Exchange const got = exchange(context, host, strictPort, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(got.secured) << host << ": " << got.code << " " << got.text;
  }
}

TEST(TlsClient, AShortWaitLeavesTheHandshakeRunning) {
  Peer server;
  unsigned short const port = startServer(server, "server");
  ASSERT_NE(0, port);
  shared_ptr<ITlsSocket> const socket = trustingClient()->client("localhost");
  zu::em::CatchError caught(socket.get());
  ASSERT_TRUE(socket->connect(port, IP::loopback()));
  // A poll finds nothing yet, as on a plain socket still connecting.
  EXPECT_FALSE(socket->waitReadable(0));
  EXPECT_EQ(2u, caught.code());
  caught.clear();
  EXPECT_TRUE(socket->waitConnected(5000)) << caught.text().cstr();
  EXPECT_TRUE(socket->isSecured());
}

// A client driven by a reactor: the connect event comes once the handshake
// has ended, then the request goes out and the answer is read to its end.
class ReactorClient : public ISocketCallback {
 public:
  void onSocketEvent(shared_ptr<ISocket> socket, unsigned int events, zu::ByteArray&) override {
    shared_ptr<ITlsSocket> const tls = boost::dynamic_pointer_cast<ITlsSocket>(socket);
    std::lock_guard<std::mutex> hold(lock);
    if (events & SOCKET_EVENT_CONNECT) {
      ++connects;
      secured = tls->isSecured();
      zu::em::CatchError caught(socket.get());
      if (secured) {
        socket->send("GET / HTTP/1.0\r\n\r\n", 18);
      } else {
        socket->waitConnected(0);
        text = caught.text().cstr();
        done = true;
      }
    }
    if (events & SOCKET_EVENT_READ) {
      char block[4096];
      unsigned int const n = socket->recv(block, sizeof block);
      received.append(block, n);
      if (n == 0) {
        socket->modifyEvents(0, SOCKET_EVENT_READ);
        done = true;
      }
    }
  }
  std::mutex lock;
  int connects = 0;
  bool secured = false;
  bool done = false;
  std::string received;
  std::string text;
};

TEST(TlsClient, RunsTheHandshakeOnAReactor) {
  Peer good, untrusted;
  unsigned short const goodPort = startServer(good, "server");
  unsigned short const untrustedPort = startServer(untrusted, "self");
  ASSERT_TRUE(goodPort != 0 && untrustedPort != 0);
  shared_ptr<ITlsContext> const context = trustingClient();
  shared_ptr<IReactor> const reactor = IReactor::New();
  for (unsigned short port : {goodPort, untrustedPort}) {
    shared_ptr<ReactorClient> const client(new ReactorClient);
    shared_ptr<ITlsSocket> const socket = context->client("localhost");
    ASSERT_TRUE(socket->attach(reactor));
    socket->setCallback(boost::weak_ptr<ISocketCallback>(client));
    socket->modifyEvents(SOCKET_EVENT_CONNECT | SOCKET_EVENT_READ, 0);
    ASSERT_TRUE(socket->connect(port, IP::loopback()));
    EXPECT_TRUE(zu::test::waitFor([&] {
      std::lock_guard<std::mutex> hold(client->lock);
      return client->done;
    }));
    std::lock_guard<std::mutex> hold(client->lock);
    EXPECT_EQ(1, client->connects);
    if (port == goodPort) {
      EXPECT_TRUE(client->secured);
      EXPECT_TRUE(startsWith(client->received, "HTTP/1.0 200 ok")) << client->received;
    } else {
      EXPECT_FALSE(client->secured);
      EXPECT_TRUE(startsWith(client->text, "certificate not trusted: ")) << client->text;
    }
    socket->close();
  }
}

TEST(TlsClient, OnAReactorTheHandshakeTimeBoundsAConnectionNeverAccepted) {
  // A listener whose queue is full drops further SYNs: a connection to it
  // stays unmade, with nothing on the descriptor to wake the reactor.
  unsigned short port = 0;
  int const listener = zu::test::listenLoopback(port, 0);
  ASSERT_GE(listener, 0);
  std::vector<int> fillers;
  bool stalled = false;
  for (int i = 0; i < 8 && !stalled; ++i) {
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int const result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd wanted = {fd, POLLOUT, 0};
    stalled = result != 0 && ::poll(&wanted, 1, 200) == 0;
    fillers.push_back(fd);
  }
  if (!stalled) {
    for (int fd : fillers) ::close(fd);
    ::close(listener);
    GTEST_SKIP() << "this system accepts connections past a full queue";
  }
  shared_ptr<ITlsContext> const context = trustingClient();
  context->setHandshakeTimeout(300);
  shared_ptr<IReactor> const reactor = IReactor::New();
  shared_ptr<ReactorClient> const client(new ReactorClient);
  shared_ptr<ITlsSocket> const socket = context->client("localhost");
  ASSERT_TRUE(socket->attach(reactor));
  socket->setCallback(boost::weak_ptr<ISocketCallback>(client));
  socket->modifyEvents(SOCKET_EVENT_CONNECT | SOCKET_EVENT_READ, 0);
  auto const started = std::chrono::steady_clock::now();
  ASSERT_TRUE(socket->connect(port, IP::loopback()));
  EXPECT_TRUE(zu::test::waitFor([&] {
    std::lock_guard<std::mutex> hold(client->lock);
    return client->done;
  }, std::chrono::milliseconds(5000))) << "no connect event for a connection never made";
  auto const took = std::chrono::steady_clock::now() - started;
  {
    std::lock_guard<std::mutex> hold(client->lock);
    EXPECT_EQ(1, client->connects);
    EXPECT_FALSE(client->secured);
    EXPECT_EQ("handshake timed out", client->text);
  }
  EXPECT_GE(took, std::chrono::milliseconds(250));
  socket->close();
  for (int fd : fillers) ::close(fd);
  ::close(listener);
}

TEST(TlsClient, OnAReactorATimeOutSetDuringTheHandshakeBoundsIt) {
  // The listener's system takes the connection; nobody ever answers the
  // hello. The time-out is shortened while the connection is being made,
  // and while the handshake waits for the server.
  unsigned short port = 0;
  int const listener = zu::test::listenLoopback(port, 8);
  ASSERT_GE(listener, 0);
  shared_ptr<ITlsContext> const context = trustingClient();
  shared_ptr<IReactor> const reactor = IReactor::New();
  for (int pause : {0, 200}) {
    shared_ptr<ReactorClient> const client(new ReactorClient);
    shared_ptr<ITlsSocket> const socket = context->client("localhost");
    socket->setTimeouts(20000, 20000);
    ASSERT_TRUE(socket->attach(reactor));
    socket->setCallback(boost::weak_ptr<ISocketCallback>(client));
    socket->modifyEvents(SOCKET_EVENT_CONNECT | SOCKET_EVENT_READ, 0);
    ASSERT_TRUE(socket->connect(port, IP::loopback()));
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    socket->setTimeouts(300, 300);
    EXPECT_TRUE(zu::test::waitFor([&] {
      std::lock_guard<std::mutex> hold(client->lock);
      return client->done;
    }, std::chrono::milliseconds(4000))) << "the shorter time-out was not taken (pause " << pause << " ms)";
    {
      std::lock_guard<std::mutex> hold(client->lock);
      EXPECT_FALSE(client->secured);
      EXPECT_EQ("handshake timed out", client->text);
    }
    socket->close();
  }
  ::close(listener);
}

TEST(TlsClient, RefusesEachBadCertificateWithItsOwnReason) {
  struct Case {
    char const* certificate;
    char const* host;
    unsigned int code;
    char const* prefix;
  } const cases[] = {
      {"self", "localhost", TLS_ERROR_NOT_TRUSTED, "certificate not trusted: "},
      {"other", "localhost", TLS_ERROR_NAME_MISMATCH, "certificate name mismatch: "},
      {"other", "127.0.0.1", TLS_ERROR_NAME_MISMATCH, "certificate name mismatch: "},
      {"server", "127.0.0.2", TLS_ERROR_NAME_MISMATCH, "certificate name mismatch: "},
      {"expired", "localhost", TLS_ERROR_EXPIRED, "certificate expired: "},
  };
  shared_ptr<ITlsContext> const context = trustingClient();
  for (Case const& c : cases) {
    Peer server;
    unsigned short const port = startServer(server, c.certificate);
    ASSERT_NE(0, port) << server.output();
    Exchange const got = exchange(context, c.host, port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_FALSE(got.secured) << c.certificate;
    EXPECT_EQ(c.code, got.code) << c.certificate << " " << c.host << ": " << got.text;
    EXPECT_TRUE(startsWith(got.text, c.prefix)) << got.text;
    EXPECT_GT(got.text.size(), std::string(c.prefix).size()) << "OpenSSL's reason is missing";
    EXPECT_EQ("", got.received);
    // The server is told why by an alert.
    EXPECT_TRUE(server.await("alert", 5000)) << server.output();
  }
  // Only an explicit call accepts the self-signed certificate.
  Peer server;
  unsigned short const port = startServer(server, "self");
  shared_ptr<ITlsContext> const careless = ITlsContext::New(false);
  EXPECT_TRUE(careless->verifies());
  careless->insecureDisableVerification();
  EXPECT_FALSE(careless->verifies());
  Exchange const got = exchange(careless, "localhost", port, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(got.secured) << got.text;
  EXPECT_TRUE(startsWith(got.received, "HTTP/1.0 200 ok"));
}

TEST(TlsClient, TrustsOnlyTheNamedCAOnceOneIsNamed) {
  Peer server;
  unsigned short const port = startServer(server, "server");
  ASSERT_NE(0, port);
  // The system's store does not know the test CA.
  Exchange const got = exchange(ITlsContext::New(false), "localhost", port, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(TLS_ERROR_NOT_TRUSTED, got.code) << got.text;
  shared_ptr<ITlsContext> const context = ITlsContext::New(false);
  zu::em::CatchError caught(context.get());
  EXPECT_FALSE(context->setCAFile((certificates().folder + "/missing.pem").c_str()));
  EXPECT_EQ(100u, caught.code());
  EXPECT_TRUE(startsWith(caught.text().cstr(), "CA file could not be loaded: ")) << caught.text().cstr();
}

TEST(TlsClient, FailsAgainstPeersThatDoNotCompleteTheHandshake) {
  shared_ptr<ITlsContext> const context = trustingClient();
  {
    // Plain HTTP on the TLS port.
    PlainServer plain("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", true);
    Exchange const got = exchange(context, "localhost", plain.port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(TLS_ERROR_HANDSHAKE, got.code) << got.text;
    EXPECT_TRUE(startsWith(got.text, "handshake failure: ")) << got.text;
    EXPECT_EQ("", got.received);
  }
  {
    // Closes as soon as the client's hello came.
    PlainServer closing("", true);
    Exchange const got = exchange(context, "localhost", closing.port, "x");
    EXPECT_EQ(TLS_ERROR_HANDSHAKE, got.code) << got.text;
    EXPECT_TRUE(startsWith(got.text, "handshake failure: ")) << got.text;
  }
  {
    // Reads the hello and stops there: the time given bounds the handshake.
    PlainServer silent("", false);
    Exchange const got = exchange(context, "localhost", silent.port, "x", 300);
    EXPECT_EQ(2u, got.code) << got.text;
    EXPECT_EQ("handshake timed out", got.text);
    EXPECT_GE(got.milliseconds, 250u);
    EXPECT_LT(got.milliseconds, 3000u);
  }
}

// An echo server on a reactor: each connection is wrapped as TLS, every
// byte comes back, and "bye" closes the connection once echoed. Output the
// socket does not take waits, with reading paused, until it is writable.
class EchoServer : public ISocketCallback, public boost::enable_shared_from_this<EchoServer> {
 public:
  explicit EchoServer(shared_ptr<ITlsContext> context) : context_(std::move(context)) {}

  unsigned short start() {
    reactor_ = IReactor::New();
    listener_ = ISocket::New(SOCKET_TYPE_TCP);
    if (!listener_->listen(0, IP::loopback(), 256)) return 0;
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

  size_t connections() {
    std::lock_guard<std::mutex> hold(lock_);
    return connections_.size();
  }
  size_t accepted() {
    std::lock_guard<std::mutex> hold(lock_);
    return accepted_;
  }
  // The send buffer of connections accepted from now on (0: the system's).
  std::atomic<int> sendBuffer{0};

  void onSocketEvent(shared_ptr<ISocket> socket, unsigned int events, zu::ByteArray&) override {
    if (socket == listener_) {
      while (shared_ptr<ISocket> accepted = listener_->accept()) {
        int const sendSize = sendBuffer;
        if (sendSize > 0) accepted->setOption(SO_SNDBUF, &sendSize, sizeof sendSize);
        shared_ptr<ITlsSocket> const tls = context_->server(accepted);
        if (!tls) continue;
        // Pooled reactors take any number of connections.
        tls->attach("tls-echo");
        tls->setCallback(boost::weak_ptr<ISocketCallback>(shared_from_this()));
        tls->modifyEvents(SOCKET_EVENT_READ, 0);
        std::lock_guard<std::mutex> hold(lock_);
        connections_[tls.get()].socket = tls;
        ++accepted_;
      }
      return;
    }
    std::unique_lock<std::mutex> hold(lock_);
    auto found = connections_.find(socket.get());
    if (found == connections_.end()) return;
    Connection& c = found->second;
    hold.unlock();
    if (events & SOCKET_EVENT_WRITE) flush(c);
    if ((events & SOCKET_EVENT_READ) && c.pending.empty()) {
      char block[16384];
      unsigned int const n = socket->recv(block, sizeof block);
      if (n == 0) {
        drop(socket.get());
        return;
      }
      c.pending.append(block, n);
      c.closing = c.closing || c.pending.find("bye") != std::string::npos;
      flush(c);
    }
    if (c.closing && c.pending.empty()) drop(socket.get());
  }

 private:
  struct Connection {
    shared_ptr<ITlsSocket> socket;
    std::string pending;
    bool closing = false;
  };

  void flush(Connection& c) {
    while (!c.pending.empty()) {
      unsigned int const n = c.socket->send(c.pending.data(), unsigned(c.pending.size()));
      if (n == 0) break;
      c.pending.erase(0, n);
    }
    if (c.pending.empty()) c.socket->modifyEvents(SOCKET_EVENT_READ, SOCKET_EVENT_WRITE);
    else c.socket->modifyEvents(SOCKET_EVENT_WRITE, SOCKET_EVENT_READ);
  }

  void drop(ISocket* socket) {
    shared_ptr<ITlsSocket> gone;
    {
      std::lock_guard<std::mutex> hold(lock_);
      auto found = connections_.find(socket);
      if (found == connections_.end()) return;
      gone = found->second.socket;
      connections_.erase(found);
    }
    gone->close();
  }

  shared_ptr<ITlsContext> const context_;
  shared_ptr<IReactor> reactor_;
  shared_ptr<ISocket> listener_;
  std::mutex lock_;
  std::map<ISocket*, Connection> connections_;
  size_t accepted_ = 0;
};

class TlsServer : public ::testing::Test {
 protected:
  void SetUp() override {
    context = ITlsContext::New(true);
    Certificates const& c = certificates();
    ASSERT_TRUE(context->useCertificate(c.file("server.pem").c_str(), c.file("server.key").c_str()));
    echo.reset(new EchoServer(context));
    port = echo->start();
    ASSERT_NE(0, port);
  }
  void TearDown() override { echo->stop(); }

  shared_ptr<ITlsContext> context;
  shared_ptr<EchoServer> echo;
  unsigned short port = 0;
};

TEST(TlsServerContext, RefusesCertificatesItCannotUse) {
  Certificates const& c = certificates();
  struct Case {
    std::string chain, key, prefix;
  } const cases[] = {
      {c.file("missing.pem"), c.file("server.key"), "certificate chain could not be loaded: "},
      {c.file("server.pem"), c.file("missing.key"), "private key could not be loaded: "},
      {c.file("server.pem"), c.file("other.key"), "private key could not be loaded: "},
  };
  for (Case const& k : cases) {
    shared_ptr<ITlsContext> const context = ITlsContext::New(true);
    zu::em::CatchError caught(context.get());
    EXPECT_FALSE(context->useCertificate(k.chain.c_str(), k.key.c_str())) << k.chain << " " << k.key;
    EXPECT_EQ(100u, caught.code());
    EXPECT_TRUE(startsWith(caught.text().cstr(), k.prefix)) << caught.text().cstr();
    // Without a certificate it wraps nothing.
    caught.clear();
    EXPECT_FALSE(context->server(ISocket::New(SOCKET_TYPE_TCP)));
    EXPECT_EQ(100u, caught.code());
  }
  // Each side's calls belong to it.
  shared_ptr<ITlsContext> const client = ITlsContext::New(false);
  zu::em::CatchError caught(client.get());
  EXPECT_FALSE(client->useCertificate(c.file("server.pem").c_str(), c.file("server.key").c_str()));
  EXPECT_EQ("not a server context", std::string(caught.text().cstr()));
}

TEST_F(TlsServer, ServesOpenSSLsClientWithAlpnAndAVerifiedChain) {
  for (char const* version : {"-tls1_3", "-tls1_2"}) {
    Peer client;
    ASSERT_TRUE(client.start({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), version,
                              "-CAfile", certificates().file("ca.pem"), "-verify_return_error", "-servername",
                              "localhost", "-verify_hostname", "localhost", "-alpn", "http/1.1", "-ign_eof"}));
    ASSERT_TRUE(client.await("Verify return code")) << client.output();
    client.write("hello over tls, bye\n");
    EXPECT_EQ(0, client.finish()) << client.output();
    std::string const& out = client.output();
    EXPECT_NE(std::string::npos, out.find("Verify return code: 0 (ok)")) << out;
    EXPECT_NE(std::string::npos, out.find("ALPN protocol: http/1.1")) << out;
    EXPECT_NE(std::string::npos, out.find(version[6] == '3' ? "TLSv1.3" : "TLSv1.2")) << out;
    // The echo, then the server's close_notify ends the session cleanly.
    EXPECT_NE(std::string::npos, out.find("\nhello over tls, bye\n")) << out;
    EXPECT_NE(std::string::npos, out.find("closed")) << out;
  }
  EXPECT_TRUE(zu::test::waitFor([&] { return echo->connections() == 0; }));
}

TEST_F(TlsServer, RefusesAClientsRenegotiation) {
  Peer client;
  ASSERT_TRUE(client.start({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-tls1_2",
                            "-CAfile", certificates().file("ca.pem"), "-servername", "localhost"}));
  ASSERT_TRUE(client.await("Verify return code")) << client.output();
  client.write("before\n");
  ASSERT_TRUE(client.await("\nbefore\n")) << client.output();
  // s_client renegotiates on a line holding "R" (when not told -ign_eof).
  client.write("R\n");
  client.write("after, bye\n");
  client.finish();
  EXPECT_NE(std::string::npos, client.output().find("RENEGOTIATING")) << client.output();
  EXPECT_NE(std::string::npos, client.output().find("no renegotiation")) << client.output();
  EXPECT_EQ(std::string::npos, client.output().find("\nafter, bye\n")) << client.output();
}

TEST_F(TlsServer, CarriesLargeStreamsBothWaysWithBoundedBuffers) {
  shared_ptr<ITlsSocket> const socket = trustingClient()->client("localhost");
  zu::em::CatchError caught(socket.get());
  socket->setTimeouts(5000, 5000);
  ASSERT_TRUE(socket->connect(port, IP::loopback()) && socket->waitConnected(5000)) << caught.text().cstr();
  // Chunks larger than a record and than the buffers between OpenSSL and
  // the socket, each echoed whole before the next.
  std::string chunk(100000, '\0');
  for (int round = 0; round < 8; ++round) {
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = char('a' + (i * 7 + size_t(round)) % 26);
    size_t sent = 0;
    while (sent < chunk.size()) {
      unsigned int const n = socket->toIO()->write(chunk.data() + sent, unsigned(chunk.size() - sent));
      ASSERT_NE(0u, n) << caught.text().cstr();
      sent += n;
    }
    std::string back;
    char block[20000];
    while (back.size() < chunk.size()) {
      unsigned int const n = socket->toIO()->read(block, sizeof block);
      ASSERT_NE(0u, n) << caught.text().cstr();
      back.append(block, n);
    }
    ASSERT_EQ(chunk, back) << "round " << round;
  }
  socket->close();
  EXPECT_TRUE(zu::test::waitFor([&] { return echo->connections() == 0; }));
}

TEST_F(TlsServer, AnIdleSecuredConnectionLeavesTheReactorAsleep) {
  shared_ptr<ITlsSocket> const socket = trustingClient()->client("localhost");
  zu::em::CatchError caught(socket.get());
  socket->setTimeouts(5000, 5000);
  ASSERT_TRUE(socket->connect(port, IP::loopback()) && socket->waitConnected(5000)) << caught.text().cstr();
  ASSERT_EQ(5u, socket->toIO()->write("hello", 5));
  char back[5];
  ASSERT_EQ(5u, socket->toIO()->read(back, 5));
  // The server's side now only waits to read, on its reactor.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  long long const used = zu::test::processorTimeWhileSleeping(std::chrono::milliseconds(500));
  ASSERT_GE(used, 0);
  EXPECT_LT(used, 100) << "the reactor kept running for an idle connection";
  socket->close();
}

// The reader takes its time and the server's socket has a small send
// buffer, so the server's sends meet a full socket and must wait for room
// on the reactor.
TEST_F(TlsServer, ASlowReaderMakesTheServerWaitForRoomWithoutLosingBytes) {
  shared_ptr<ITlsSocket> const socket = trustingClient()->client("localhost");
  zu::em::CatchError caught(socket.get());
  echo->sendBuffer = 16384;
  socket->setTimeouts(10000, 10000);
  ASSERT_TRUE(socket->connect(port, IP::loopback()) && socket->waitConnected(10000)) << caught.text().cstr();
  size_t const total = 2 * 1024 * 1024;
  auto const at = [](size_t i) { return char('a' + (i * 13 + i / 4096) % 26); };
  std::atomic<bool> wrote(false);
  std::thread writer([&] {
    std::string piece(65536, '\0');
    for (size_t done = 0; done < total;) {
      for (size_t i = 0; i < piece.size(); ++i) piece[i] = at(done + i);
      size_t sent = 0;
      while (sent < piece.size()) {
        unsigned int const n = socket->toIO()->write(piece.data() + sent, unsigned(piece.size() - sent));
        if (n == 0) return;
        sent += n;
      }
      done += piece.size();
    }
    wrote = true;
  });
  size_t received = 0;
  bool same = true;
  char block[16384];
  while (received < total) {
    unsigned int const n = socket->toIO()->read(block, sizeof block);
    if (n == 0) break;
    for (unsigned int i = 0; i < n && same; ++i) same = block[i] == at(received + i);
    received += n;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  writer.join();
  EXPECT_TRUE(wrote) << caught.text().cstr();
  EXPECT_EQ(total, received) << caught.text().cstr();
  EXPECT_TRUE(same) << "the stream came back changed";
  socket->close();
  EXPECT_TRUE(zu::test::waitFor([&] { return echo->connections() == 0; }));
}

// A server socket over a plain one the test keeps, so that bytes can be
// put into the stream behind OpenSSL's back once both sides are secured.
TEST_F(TlsServer, ASpoiledRecordFailsTheReadThatMeetsItAndCloseEndsBothSides) {
  shared_ptr<ISocket> const listener = ISocket::New(SOCKET_TYPE_TCP);
  ASSERT_TRUE(listener->listen(0, IP::loopback(), 4));
  shared_ptr<ITlsSocket> const client = trustingClient()->client("localhost");
  client->setTimeouts(5000, 5000);
  ASSERT_TRUE(client->connect(listener->localAddress().port, IP::loopback()));
  ASSERT_TRUE(listener->waitReadable(5000));
  shared_ptr<ISocket> const plain = listener->accept();
  ASSERT_TRUE(plain);
  shared_ptr<ITlsSocket> const server = context->server(plain);
  ASSERT_TRUE(server);
  server->setTimeouts(5000, 5000);
  std::atomic<bool> sent(false);
  std::thread clientSide([&] { sent = client->waitConnected(5000) && client->toIO()->write("ping", 4) == 4; });
  char got[4] = {};
  ASSERT_EQ(4u, server->toIO()->read(got, 4));
  EXPECT_EQ("ping", std::string(got, 4));
  clientSide.join();
  ASSERT_TRUE(sent);

  // A good record, then right behind it an application-data record whose
  // tag cannot match: both reach the client in one receive.
  ASSERT_EQ(4u, server->toIO()->write("pong", 4));
  unsigned char spoiled[5 + 32] = {0x17, 0x03, 0x03, 0x00, 0x20};
  for (size_t i = 5; i < sizeof spoiled; ++i) spoiled[i] = static_cast<unsigned char>(i * 37);
  ASSERT_EQ(unsigned(sizeof spoiled), plain->send(spoiled, sizeof spoiled));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    zu::em::CatchError caught(client.get());
    ASSERT_TRUE(client->waitReadable(5000));
    char block[64];
    ASSERT_EQ(4u, client->recv(block, sizeof block));
    EXPECT_EQ("pong", std::string(block, 4));
    EXPECT_EQ(0u, caught.code()) << caught.text();
    // The read that meets the spoiled record is the one that reports it.
    EXPECT_EQ(0u, client->recv(block, sizeof block));
    EXPECT_EQ(TLS_ERROR_HANDSHAKE, caught.code()) << caught.text();
    EXPECT_TRUE(startsWith(caught.text().cstr(), "tls failure: ")) << caught.text();
  }
  EXPECT_FALSE(client->isSecured());

  EXPECT_TRUE(server->isOpen());
  client->close();
  EXPECT_FALSE(client->isOpen());
  server->close();
  EXPECT_FALSE(server->isOpen());
  EXPECT_FALSE(server->isSecured());
}

TEST_F(TlsServer, DropsClientsThatNeverFinishTheHandshakeOrSendGarbage) {
  context->setHandshakeTimeout(1500);
  // One says nothing, one sends half a hello, one sends plain HTTP.
  int const silent = zu::test::connectLoopback(port);
  int const half = zu::test::connectLoopback(port);
  int const garbage = zu::test::connectLoopback(port);
  ASSERT_TRUE(silent >= 0 && half >= 0 && garbage >= 0);
  unsigned char const hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03};
  ASSERT_EQ(ssize_t(sizeof hello), ::write(half, hello, sizeof hello));
  std::string const http = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_EQ(ssize_t(http.size()), ::write(garbage, http.data(), http.size()));
  auto const started = std::chrono::steady_clock::now();
  for (int fd : {garbage, silent, half}) {
    // The server closes (an alert at most comes first).
    pollfd wanted = {fd, POLLIN, 0};
    char block[256];
    ssize_t n = 1;
    while (n > 0 && ::poll(&wanted, 1, 5000) > 0) n = ::read(fd, block, sizeof block);
    EXPECT_EQ(0, n) << "connection " << fd << " was not closed";
    ::close(fd);
    // What is not TLS is refused as it comes, not when the time runs out.
    if (fd == garbage) {
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000)) << "garbage was kept";
    }
  }
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  EXPECT_TRUE(zu::test::waitFor([&] { return echo->connections() == 0; }));
  // And the server keeps serving.
  Exchange const got = exchange(trustingClient(), "localhost", port, "still there? bye");
  EXPECT_EQ("still there? bye", got.received) << got.text;
}

size_t openDescriptors() {
  size_t count = 0;
  for (int fd = 0; fd < 4096; ++fd) count += ::fcntl(fd, F_GETFD) != -1;
  return count;
}

TEST_F(TlsServer, AbandonedHandshakesLeaveNoDescriptorBehind) {
  // One connection first, so that the reactors and the timer thread exist
  // (idle pooled reactors may close theirs meanwhile: fewer is fine).
  EXPECT_EQ("warm, bye", exchange(trustingClient(), "localhost", port, "warm, bye").received);
  ASSERT_TRUE(zu::test::waitFor([&] { return echo->connections() == 0; }));
  size_t const before = openDescriptors();
  unsigned char const hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03};
  for (int round = 0; round < 200; ++round) {
    int const fd = zu::test::connectLoopback(port);
    ASSERT_GE(fd, 0);
    if (round % 2) (void)!::write(fd, hello, sizeof hello);
    ::close(fd);
  }
  EXPECT_TRUE(zu::test::waitFor([&] { return echo->accepted() == 201; }));
  EXPECT_TRUE(zu::test::waitFor([&] { return echo->connections() == 0 && openDescriptors() <= before; }))
      << echo->connections() << " connections, " << openDescriptors() << " descriptors, " << before << " before";
}

// The HTTP server connection, unchanged, over a TLS socket: what a server
// does is wrap each accepted socket before handing it over.
class HelloSite : public zu::net::http::IHttpConnectionCallback, public ISocketCallback,
                  public boost::enable_shared_from_this<HelloSite> {
 public:
  explicit HelloSite(shared_ptr<ITlsContext> context) : context_(std::move(context)) {}

  unsigned short start() {
    reactor_ = IReactor::New();
    listener_ = ISocket::New(SOCKET_TYPE_TCP);
    if (!listener_->listen(0, IP::loopback(), 64)) return 0;
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

  void onSocketEvent(shared_ptr<ISocket>, unsigned int, zu::ByteArray&) override {
    while (shared_ptr<ISocket> accepted = listener_->accept()) {
      shared_ptr<zu::net::http::IHttpConnection> const connection =
          zu::net::http::IHttpConnection::New(context_->server(accepted), 5000, 5000);
      {
        std::lock_guard<std::mutex> hold(lock_);
        connections_[connection.get()] = connection;
      }
      connection->start(boost::weak_ptr<zu::net::http::IHttpConnectionCallback>(shared_from_this()));
    }
  }
  void onRequest(shared_ptr<zu::net::http::IHttpConnection> connection,
                 zu::net::http::HttpRequest const&) override {
    zu::net::http::HttpResponse response;
    response.headers.set("Content-Type", "text/plain");
    response.body = "hello over tls\n";
    connection->respond(response);
  }
  void onEvent(shared_ptr<zu::net::http::IHttpConnection> connection, unsigned int) override {
    std::lock_guard<std::mutex> hold(lock_);
    connections_.erase(connection.get());
  }

 private:
  shared_ptr<ITlsContext> const context_;
  shared_ptr<IReactor> reactor_;
  shared_ptr<ISocket> listener_;
  std::mutex lock_;
  std::map<void*, shared_ptr<zu::net::http::IHttpConnection> > connections_;
};

TEST_F(TlsServer, ServesCurlThroughTheHttpConnection) {
  if (std::system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  shared_ptr<HelloSite> const site(new HelloSite(context));
  unsigned short const sitePort = site->start();
  ASSERT_NE(0, sitePort);
  std::string const url = "https://localhost:" + std::to_string(sitePort) + "/";
  // Two requests on one kept-alive connection.
  std::string const out = run("curl -sS --http1.1 --cacert " + certificates().file("ca.pem") + " " + url + " " + url);
  EXPECT_EQ("hello over tls\nhello over tls\n", out);
  site->stop();
}

TEST(TlsLoading, PlainSocketsLeaveOpenSSLUnmapped) {
  if (std::getenv("ZU_TLS_MAPS_CHILD") == nullptr) {
    char self[4096];
    ssize_t const length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    std::string const command = "ZU_TLS_MAPS_CHILD=1 '" + std::string(self) +
                                "' --gtest_filter=TlsLoading.PlainSocketsLeaveOpenSSLUnmapped >/dev/null 2>&1";
    EXPECT_EQ(0, std::system(command.c_str()));
    return;
  }
  shared_ptr<ISocket> const listener = ISocket::New(SOCKET_TYPE_TCP);
  ASSERT_TRUE(listener->listen(0, IP::loopback()));
  std::ifstream maps("/proc/self/maps");
  std::string const all((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string::npos, all.find("libssl.so")) << all;
  shared_ptr<ITlsContext> const context = ITlsContext::New(false);
  std::ifstream after("/proc/self/maps");
  std::string const now((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, now.find("libssl.so.3"));
}

TEST(TlsLoading, WithoutOpenSSLTlsFailsAndPlainSocketsWork) {
  if (!zu_test::inHiddenChild()) {
    zu_test::rerunWithHidden({"libssl.so.3"});
    return;
  }
  shared_ptr<ITlsContext> const context = ITlsContext::New(false);
  zu::em::CatchError caught(context.get());
  EXPECT_FALSE(context->client("localhost"));
  EXPECT_EQ(100u, caught.code());
  EXPECT_TRUE(startsWith(caught.text().cstr(), "libssl.so.3 could not be loaded: ")) << caught.text().cstr();
  shared_ptr<ITlsContext> const server = ITlsContext::New(true);
  zu::em::CatchError serverCaught(server.get());
  EXPECT_FALSE(server->useCertificate("a.pem", "a.key"));
  EXPECT_EQ(100u, serverCaught.code());
  // Plain TCP on loopback still works.
  shared_ptr<ISocket> const listener = ISocket::New(SOCKET_TYPE_TCP);
  ASSERT_TRUE(listener->listen(0, IP::loopback()));
  shared_ptr<ISocket> const client = ISocket::New(SOCKET_TYPE_TCP);
  ASSERT_TRUE(client->connect(listener->localAddress().port, IP::loopback()));
  ASSERT_TRUE(client->waitConnected(5000));
  ASSERT_TRUE(listener->waitReadable(5000));
  shared_ptr<ISocket> const accepted = listener->accept();
  ASSERT_TRUE(accepted);
  EXPECT_EQ(4u, client->send("ping", 4));
  char back[4];
  ASSERT_TRUE(accepted->waitReadable(5000));
  EXPECT_EQ(4u, accepted->recv(back, 4));
}

}  // namespace
