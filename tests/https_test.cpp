// The HTTP client over TLS against servers nobody here wrote: Python's
// ssl-wrapped http.server and nginx, started on loopback with the
// certificates the openssl command makes for the test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/tls.h>

#include "hidden_library.h"
#include "support/loopback.h"
#include "support/tls_peers.h"
#include "support/wait.h"

namespace {

using boost::shared_ptr;
using zu::String;
using zu::net::http::IHttpClient;
using zu::net::http::IHttpReceiver;
using zu::net::http::MIME;
using zu::test::certificates;
using zu::test::Peer;
using zu::test::PlainServer;

// A threaded http.server on two ports, TLS with the given certificate and
// plain; /length and /chunked answer 5000 lines framed that way, /peer the
// client's port (one per connection), /host the Host header it sent,
// /to/SCHEME/HOST/PORT/PATH redirects to SCHEME://HOST:PORT/PATH, POST
// echoes "got " and the body. A third argument is the TLS port (any free
// one otherwise).
char const serverScript[] = R"PY(
import http.server, ssl, sys, threading

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
    def reply(self, body, chunked=False, code=200, extra=()):
        self.send_response(code)
        for k, v in extra: self.send_header(k, v)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(0, len(body), 1000):
                part = body[i:i + 1000]
                self.wfile.write(b"%x\r\n" % len(part) + part + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
    def do_GET(self):
        if self.path == "/length":
            self.reply(b"".join(b"line %d\n" % i for i in range(5000)))
        elif self.path == "/chunked":
            self.reply(b"".join(b"chunk %d\n" % i for i in range(5000)), chunked=True)
        elif self.path == "/peer":
            self.reply(str(self.client_address[1]).encode())
        elif self.path == "/host":
            self.reply(self.headers["Host"].encode())
        elif self.path.startswith("/to/"):
            scheme, host, port, rest = self.path[4:].split("/", 3)
            self.reply(b"", code=302, extra=[("Location", "%s://%s:%s/%s" % (scheme, host, port, rest))])
        else:
            self.reply(b"not here", code=404)
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.reply(b"got " + body, chunked=self.path == "/chunked")

def serve(tls):
    port = int(sys.argv[3]) if tls and len(sys.argv) > 3 else 0
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[1], sys.argv[2])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]

tls_port, plain_port = serve(True), serve(False)
print("PORTS %d %d" % (tls_port, plain_port), flush=True)
sys.stdin.read()

)PY";

struct PythonServer {
  Peer peer;
  unsigned short tls = 0;
  unsigned short plain = 0;

  explicit PythonServer(std::string const& name, unsigned short tlsPort = 0) {
    std::string const script = certificates().file("serve.py");
    std::ofstream(script) << serverScript;
    if (!peer.start({"/usr/bin/python3", script, certificates().file(name + ".pem"), certificates().file(name + ".key"),
                     std::to_string(tlsPort)}) ||
        !peer.await("PORTS ") || !peer.await("\n"))
      return;
    std::istringstream(peer.output().substr(peer.output().find("PORTS ") + 6)) >> tls >> plain;
  }
};

std::string lines(char const* word) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += std::string(word) + " " + std::to_string(i) + "\n";
  return text;
}

shared_ptr<IHttpClient> trustingClient(unsigned int timeout = 5000) {
  shared_ptr<IHttpClient> const client = IHttpClient::New("zu-test", timeout);
  EXPECT_TRUE(client->setCAFile(certificates().file("ca.pem").c_str()));
  return client;
}

class Collector : public IHttpReceiver {
 public:
  void onData(shared_ptr<IHttpClient>, unsigned char const* data, unsigned int length) override {
    body.append(reinterpret_cast<char const*>(data), length);
  }
  void onEnd(shared_ptr<IHttpClient>) override { ++ends; }
  std::string body;
  int ends = 0;
};

std::string url(char const* scheme, char const* host, unsigned short port, std::string const& path) {
  return std::string(scheme) + "://" + host + ":" + std::to_string(port) + path;
}

TEST(HttpsClient, GetsAndPostsWithEitherFramingFromPython) {
  PythonServer server("server");
  ASSERT_NE(0, server.tls) << server.peer.output();
  shared_ptr<IHttpClient> const client = trustingClient();
  zu::em::CatchError caught(client.get());
  for (char const* host : {"localhost", "127.0.0.1"}) {
    for (bool keepAlive : {false, true}) {
      String text;
      ASSERT_TRUE(client->get(url("https", host, server.tls, "/length").c_str(), text, keepAlive)) << caught.text().cstr();
      EXPECT_EQ(lines("line"), text.cstr());
      zu::ByteArray bytes;
      MIME head;
      ASSERT_TRUE(client->get(url("https", host, server.tls, "/chunked").c_str(), bytes, head, keepAlive))
          << caught.text().cstr();
      EXPECT_EQ(lines("chunk"), std::string(reinterpret_cast<char const*>(bytes.ptr()), bytes.size()));
      EXPECT_EQ("chunked", std::string(head.get("Transfer-Encoding", "").cstr()));
      for (char const* path : {"/length", "/chunked"}) {
        Collector body;
        MIME answer;
        MIME headers;
        headers.set("Content-Type", "text/plain");
        ASSERT_TRUE(client->request("POST", url("https", host, server.tls, path).c_str(), headers, "a posted body", answer,
                                    body, keepAlive))
            << caught.text().cstr();
        EXPECT_EQ(200u, client->status());
        EXPECT_EQ("got a posted body", body.body);
        EXPECT_EQ(1, body.ends);
      }
    }
  }
  EXPECT_EQ(0u, caught.code()) << caught.text().cstr();
}

TEST(HttpsClient, KeepsTheTlsConnectionAliveAcrossRequests) {
  PythonServer server("server");
  ASSERT_NE(0, server.tls) << server.peer.output();
  shared_ptr<IHttpClient> const client = trustingClient();
  std::string const peer = url("https", "localhost", server.tls, "/peer");
  String first, second, third, fourth;
  ASSERT_TRUE(client->get(peer.c_str(), first, true));
  ASSERT_TRUE(client->get(peer.c_str(), second, true));
  EXPECT_EQ(std::string(first.cstr()), second.cstr()) << "the connection was not reused";
  // The same host and port over plain HTTP is another connection.
  ASSERT_TRUE(client->get(url("http", "localhost", server.plain, "/peer").c_str(), third, true));
  ASSERT_TRUE(client->get(peer.c_str(), fourth, false));
  EXPECT_NE(std::string(first.cstr()), fourth.cstr());
}

// Runs `body` in a network namespace of its own, entered by this thread
// alone (with its loopback up): ports there are free whatever this machine
// serves, and programs started meanwhile live there too. False when it
// could not be made (root is needed).
template <class F>
bool inOwnNetwork(F body) {
  int const home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home < 0) return false;
  if (::unshare(CLONE_NEWNET) != 0) {
    ::close(home);
    return false;
  }
  int const fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool const up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  ::close(fd);
  if (up) body();
  bool const back = ::setns(home, CLONE_NEWNET) == 0;
  ::close(home);
  return up && back;
}

TEST(HttpsClient, TakesPort443WhenAnHttpsUrlNamesNone) {
  if (::geteuid() != 0) GTEST_SKIP() << "port 443 can be served by root only";
  bool ran = false;
  bool const made = inOwnNetwork([&] {
    PythonServer server("server", 443);
    ASSERT_EQ(443, server.tls) << server.peer.output();
    ran = true;
    shared_ptr<IHttpClient> const client = trustingClient();
    zu::em::CatchError caught(client.get());
    // The default port is left out of the Host header, as browsers do.
    for (char const* host : {"localhost", "127.0.0.1"}) {
      String text;
      EXPECT_TRUE(client->get((std::string("https://") + host + "/host").c_str(), text, false)) << caught.text().cstr();
      EXPECT_EQ(host, std::string(text.cstr()));
    }
    // An explicit :443 is the same server.
    String text;
    EXPECT_TRUE(client->get("https://localhost:443/host", text, false)) << caught.text().cstr();
    EXPECT_EQ(0u, caught.code()) << caught.text().cstr();
  });
  if (!made && !ran) GTEST_SKIP() << "no network namespace could be made";
  EXPECT_TRUE(made);
}

TEST(HttpsClient, FollowsRedirectsBetweenHttpAndHttps) {
  PythonServer server("server");
  ASSERT_NE(0, server.tls) << server.peer.output();
  shared_ptr<IHttpClient> const client = trustingClient();
  zu::em::CatchError caught(client.get());
  std::string const secure = "/to/https/localhost/" + std::to_string(server.tls) + "/length";
  for (bool keepAlive : {false, true}) {
    String text;
    ASSERT_TRUE(client->get(url("http", "localhost", server.plain, secure).c_str(), text, keepAlive))
        << caught.text().cstr();
    EXPECT_EQ(lines("line"), text.cstr());
    // And back: https to http, then to https once more.
    std::string const back = "/to/http/127.0.0.1/" + std::to_string(server.plain) + secure;
    ASSERT_TRUE(client->get(url("https", "localhost", server.tls, back).c_str(), text, keepAlive))
        << caught.text().cstr();
    EXPECT_EQ(lines("line"), text.cstr());
  }
  // Other schemes are still refused.
  String text = "unchanged";
  EXPECT_FALSE(client->get(url("http", "localhost", server.plain, "/to/ftp/localhost/21/x").c_str(), text, false));
  EXPECT_EQ("url scheme error. only support http.", std::string(caught.text().cstr()));
  EXPECT_FALSE(client->get("ftp://localhost/x", text, false));
  EXPECT_EQ("unchanged", std::string(text.cstr()));
}

TEST(HttpsClient, RefusesServersItCannotTrustWithTheReason) {
  struct Case {
    char const* certificate;
    char const* host;
    unsigned int code;
    char const* prefix;
  } const cases[] = {
      {"self", "localhost", zu::net::TLS_ERROR_NOT_TRUSTED, "certificate not trusted: "},
      {"other", "localhost", zu::net::TLS_ERROR_NAME_MISMATCH, "certificate name mismatch: "},
      {"other", "127.0.0.1", zu::net::TLS_ERROR_NAME_MISMATCH, "certificate name mismatch: "},
      {"expired", "localhost", zu::net::TLS_ERROR_EXPIRED, "certificate expired: "},
  };
  shared_ptr<IHttpClient> const client = trustingClient();
  for (Case const& c : cases) {
    PythonServer server(c.certificate);
    ASSERT_NE(0, server.tls) << server.peer.output();
    zu::em::CatchError caught(client.get());
    String text = "unchanged";
    zu::ByteArray bytes;
    MIME head;
    Collector body;
    EXPECT_FALSE(client->get(url("https", c.host, server.tls, "/length").c_str(), text, true)) << c.certificate;
    EXPECT_EQ("unchanged", std::string(text.cstr()));
    EXPECT_EQ(c.code, caught.code()) << c.certificate << ": " << caught.text().cstr();
    EXPECT_EQ(0u, std::string(caught.text().cstr()).find(c.prefix)) << caught.text().cstr();
    caught.clear();
    EXPECT_FALSE(client->get(url("https", c.host, server.tls, "/length").c_str(), bytes, head, false));
    EXPECT_EQ(c.code, caught.code()) << caught.text().cstr();
    caught.clear();
    EXPECT_FALSE(client->request("POST", url("https", c.host, server.tls, "/length").c_str(), MIME(), "x", head, body, false));
    EXPECT_EQ(c.code, caught.code()) << caught.text().cstr();
    EXPECT_EQ("", body.body);
  }
  // The system's store does not know the test CA; only the explicit call
  // takes the self-signed certificate.
  PythonServer self("self");
  String text;
  shared_ptr<IHttpClient> const plain = IHttpClient::New("zu-test", 5000);
  zu::em::CatchError caught(plain.get());
  EXPECT_FALSE(plain->get(url("https", "localhost", self.tls, "/length").c_str(), text, false));
  EXPECT_EQ(zu::net::TLS_ERROR_NOT_TRUSTED, caught.code()) << caught.text().cstr();
  plain->insecureDisableVerification();
  EXPECT_TRUE(plain->get(url("https", "localhost", self.tls, "/length").c_str(), text, false)) << caught.text().cstr();
  EXPECT_EQ(lines("line"), text.cstr());
  // A CA that cannot be read is refused under the client.
  caught.clear();
  EXPECT_FALSE(plain->setCAFile((certificates().folder + "/missing.pem").c_str()));
  EXPECT_EQ(100u, caught.code());
  EXPECT_EQ(0u, std::string(caught.text().cstr()).find("CA file could not be loaded: ")) << caught.text().cstr();
  // A folder of hashed certificates serves as well.
  std::string const folder = certificates().folder + "/hashed";
  ::mkdir(folder.c_str(), 0700);
  zu::test::run("cp " + certificates().file("ca.pem") + " " + folder + "/ && openssl rehash " + folder);
  PythonServer good("server");
  shared_ptr<IHttpClient> const hashed = IHttpClient::New("zu-test", 5000);
  EXPECT_TRUE(hashed->setCAFolder(folder.c_str()));
  zu::em::CatchError hashedCaught(hashed.get());
  EXPECT_TRUE(hashed->get(url("https", "localhost", good.tls, "/length").c_str(), text, false)) << hashedCaught.text().cstr();
}

TEST(HttpsClient, FailsAgainstServersThatDoNotSpeakTls) {
  shared_ptr<IHttpClient> const client = trustingClient(400);
  zu::em::CatchError caught(client.get());
  String text = "unchanged";
  {
    // Python's plain HTTP port answers the hello with a 400 page.
    PythonServer server("server");
    ASSERT_NE(0, server.plain) << server.peer.output();
    EXPECT_FALSE(client->get(url("https", "localhost", server.plain, "/length").c_str(), text, false));
    EXPECT_EQ(zu::net::TLS_ERROR_HANDSHAKE, caught.code()) << caught.text().cstr();
    EXPECT_EQ(0u, std::string(caught.text().cstr()).find("handshake failure: ")) << caught.text().cstr();
  }
  {
    // The server goes away in the middle of the handshake.
    PlainServer closing("", true);
    caught.clear();
    EXPECT_FALSE(client->get(url("https", "localhost", closing.port, "/").c_str(), text, false));
    EXPECT_EQ(zu::net::TLS_ERROR_HANDSHAKE, caught.code()) << caught.text().cstr();
  }
  {
    // It never answers the hello: the client's time-out bounds the handshake.
    PlainServer silent("", false);
    caught.clear();
    auto const started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->get(url("https", "localhost", silent.port, "/").c_str(), text, false));
    EXPECT_EQ(2u, caught.code()) << caught.text().cstr();
    EXPECT_EQ("handshake timed out", std::string(caught.text().cstr()));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  }
  EXPECT_EQ("unchanged", std::string(text.cstr()));
}

TEST(HttpsClient, WithoutOpenSSLHttpsFailsAndHttpWorks) {
  if (!zu_test::inHiddenChild()) {
    zu_test::rerunWithHidden({"libssl.so.3"});
    return;
  }
  shared_ptr<IHttpClient> const client = IHttpClient::New("zu-test", 5000);
  zu::em::CatchError caught(client.get());
  PlainServer plain("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nplain", true);
  String text;
  EXPECT_FALSE(client->get(url("https", "127.0.0.1", plain.port, "/").c_str(), text, false));
  EXPECT_EQ(100u, caught.code());
  EXPECT_EQ(0u, std::string(caught.text().cstr()).find("libssl.so.3 could not be loaded: ")) << caught.text().cstr();
  caught.clear();
  EXPECT_TRUE(client->get(url("http", "127.0.0.1", plain.port, "/").c_str(), text, false)) << caught.text().cstr();
  EXPECT_EQ("plain", std::string(text.cstr()));
}

// nginx with TLS on one port and plain HTTP on another that redirects to
// it, single process, in a temporary folder: /conn answers nginx's
// connection number and its count of requests, /post the length it was
// sent, /big.bin is 1 MB with every byte value, /ssi/page.html goes out
// chunked (server-side includes drop its length).
class Nginx : public ::testing::Test {
 protected:
  static unsigned short freePort() {
    unsigned short port = 0;
    int const fd = zu::test::listenLoopback(port);
    if (fd >= 0) ::close(fd);
    return port;
  }

  void SetUp() override {
    std::string nginx = "/usr/sbin/nginx";
    if (::access(nginx.c_str(), X_OK) != 0) GTEST_SKIP() << "nginx is not installed (scripts/deps.sh --test)";
    dir_ = certificates().folder + "/nginx" + std::to_string(++runs_);
    ::mkdir(dir_.c_str(), 0755);
    ::mkdir((dir_ + "/www").c_str(), 0755);
    ::mkdir((dir_ + "/www/ssi").c_str(), 0755);
    big_.resize(1 << 20);
    for (size_t i = 0; i < big_.size(); ++i) big_[i] = char((i * 131 + i / 256) & 0xFF);
    std::ofstream(dir_ + "/www/big.bin", std::ios::binary) << big_;
    std::ofstream(dir_ + "/www/ssi/page.html") << "<!--# set var=\"x\" value=\"y\" -->" << lines("ssi");
    tls = freePort();
    plain = freePort();
    std::ofstream(dir_ + "/nginx.conf")
        << (::geteuid() == 0 ? "user root;\n" : "") << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "error_log " << dir_ << "/error.log;\npid " << dir_ << "/nginx.pid;\n"
        << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << dir_ << "/body;\n  proxy_temp_path " << dir_ << "/proxy;\n"
        << "  fastcgi_temp_path " << dir_ << "/fastcgi;\n  uwsgi_temp_path " << dir_ << "/uwsgi;\n"
        << "  scgi_temp_path " << dir_ << "/scgi;\n  keepalive_requests 1000;\n"
        << "  server {\n    listen 127.0.0.1:" << tls << " ssl;\n"
        << "    ssl_certificate " << certificates().file("server.pem") << ";\n"
        << "    ssl_certificate_key " << certificates().file("server.key") << ";\n"
        << "    root " << dir_ << "/www;\n"
        << "    location = /conn { default_type text/plain; return 200 \"$connection $connection_requests\"; }\n"
        << "    location = /post { default_type text/plain; return 200 \"posted $content_length\"; }\n"
        << "    location /ssi/ { ssi on; }\n  }\n"
        << "  server {\n    listen 127.0.0.1:" << plain << ";\n"
        << "    location / { return 302 https://localhost:" << tls << "$request_uri; }\n  }\n}\n";
    ASSERT_TRUE(server_.start({nginx, "-p", dir_, "-c", dir_ + "/nginx.conf", "-e", dir_ + "/error.log"}));
    ASSERT_TRUE(zu::test::waitFor([&] {
      int const a = zu::test::connectLoopback(tls), b = zu::test::connectLoopback(plain);
      if (a >= 0) ::close(a);
      if (b >= 0) ::close(b);
      return a >= 0 && b >= 0;
    })) << server_.output();
  }

  std::string dir_;
  std::string big_;
  unsigned short tls = 0;
  unsigned short plain = 0;
  Peer server_;
  static int runs_;
};
int Nginx::runs_ = 0;

TEST_F(Nginx, ServesTheClientOverTlsWithEitherFramingAndKeepAlive) {
  shared_ptr<IHttpClient> const client = trustingClient();
  zu::em::CatchError caught(client.get());
  zu::ByteArray bytes;
  MIME head;
  ASSERT_TRUE(client->get(url("https", "localhost", tls, "/big.bin").c_str(), bytes, head, true)) << caught.text().cstr();
  EXPECT_EQ(big_.size(), bytes.size());
  EXPECT_TRUE(std::string(reinterpret_cast<char const*>(bytes.ptr()), bytes.size()) == big_) << "the body differs";
  EXPECT_EQ(std::to_string(big_.size()), head.get("Content-Length", "").cstr());
  ASSERT_TRUE(client->get(url("https", "localhost", tls, "/ssi/page.html").c_str(), bytes, head, true))
      << caught.text().cstr();
  EXPECT_EQ("chunked", std::string(head.get("Transfer-Encoding", "").cstr()));
  EXPECT_EQ(lines("ssi"), std::string(reinterpret_cast<char const*>(bytes.ptr()), bytes.size()));
  Collector body;
  ASSERT_TRUE(client->request("POST", url("https", "localhost", tls, "/post").c_str(), MIME(), "twelve bytes", head,
                              body, true))
      << caught.text().cstr();
  EXPECT_EQ("posted 12", body.body);
  // All of that and the next requests went over one connection.
  String first, second;
  ASSERT_TRUE(client->get(url("https", "localhost", tls, "/conn").c_str(), first, true));
  ASSERT_TRUE(client->get(url("https", "localhost", tls, "/conn").c_str(), second, true));
  std::string const connection = std::string(first.cstr()).substr(0, std::string(first.cstr()).find(' '));
  EXPECT_EQ(connection + " 4", first.cstr());
  EXPECT_EQ(connection + " 5", second.cstr());
  // Without keep-alive each request has its own connection and handshake.
  ASSERT_TRUE(client->get(url("https", "localhost", tls, "/conn").c_str(), first, false));
  EXPECT_EQ(" 1", std::string(first.cstr()).substr(std::string(first.cstr()).find(' ')));
  EXPECT_EQ(0u, caught.code()) << caught.text().cstr();
}

TEST_F(Nginx, RedirectsTheClientFromHttpToHttps) {
  shared_ptr<IHttpClient> const client = trustingClient();
  zu::em::CatchError caught(client.get());
  for (bool keepAlive : {true, false}) {
    zu::ByteArray bytes;
    MIME head;
    ASSERT_TRUE(client->get(url("http", "localhost", plain, "/ssi/page.html").c_str(), bytes, head, keepAlive))
        << caught.text().cstr();
    EXPECT_EQ(200u, client->status());
    EXPECT_EQ(lines("ssi"), std::string(reinterpret_cast<char const*>(bytes.ptr()), bytes.size()));
    Collector body;
    // 302 keeps a POST a POST here.
    ASSERT_TRUE(client->request("POST", url("http", "localhost", plain, "/post").c_str(), MIME(), "abc", head, body,
                                keepAlive))
        << caught.text().cstr();
    EXPECT_EQ("posted 3", body.body);
  }
  // The redirect leads to a server the client does not trust.
  shared_ptr<IHttpClient> const careful = IHttpClient::New("zu-test", 5000);
  zu::em::CatchError refused(careful.get());
  String text = "unchanged";
  EXPECT_FALSE(careful->get(url("http", "localhost", plain, "/conn").c_str(), text, false));
  EXPECT_EQ(zu::net::TLS_ERROR_NOT_TRUSTED, refused.code()) << refused.text().cstr();
  EXPECT_EQ("unchanged", std::string(text.cstr()));
}

}  // namespace
