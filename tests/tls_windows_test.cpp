// TLS and HTTPS in the Windows build, under Wine, against OpenSSL's
// s_server on the Linux side: scripts/windows_stage.sh makes a test CA and
// a certificate of it for localhost and 127.0.0.1, serves s_server's status
// page with it (-www) on loopback, and names the port and the CA file in
// ZU_TEST_TLS_PORT and ZU_TEST_TLS_CA (or says why not in
// ZU_TEST_TLS_ERROR). A Windows program cannot start and stop a Linux
// program itself, so the peers of tls_test and https_test stay on Linux.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <zu/em.h>
#include <zu/http.h>
#include <zu/socket.h>
#include <zu/tls.h>

#include "support/tls_exchange.h"

namespace {

using boost::shared_ptr;
using zu::String;
using namespace zu::net;

struct Peer {
  unsigned short port = 0;
  std::string ca;
};

// The stage's server, or why the test cannot run.
Peer peer() {
  Peer p;
  if (char const* error = std::getenv("ZU_TEST_TLS_ERROR")) {
    ADD_FAILURE() << "the TLS server of the stage did not start: " << error;
    return p;
  }
  char const* port = std::getenv("ZU_TEST_TLS_PORT");
  char const* ca = std::getenv("ZU_TEST_TLS_CA");
  if (port != nullptr && ca != nullptr) {
    p.port = static_cast<unsigned short>(std::atoi(port));
    p.ca = ca;
  }
  return p;
}

#define NEED_PEER(p)                                                                              \
  Peer const p = peer();                                                                          \
  if (p.port == 0) {                                                                              \
    if (!HasFailure()) GTEST_SKIP() << "no TLS server (scripts/windows_stage.sh starts one with the openssl command)"; \
    return;                                                                                       \
  }

using Exchange = zu::test::TlsExchange;
using zu::test::startsWith;

// Connects to the server as `host`, asks for the page and reads to the end.
Exchange exchange(shared_ptr<ITlsContext> const& context, char const* host, unsigned short port) {
  return zu::test::tlsExchange(context, host, port, "GET / HTTP/1.0\r\n\r\n", 10000);
}

TEST(TlsOnWindows, TheClientTrustsTheNamedCAAndChecksTheName) {
  NEED_PEER(p);
  shared_ptr<ITlsContext> const context = ITlsContext::New(false);
  ASSERT_TRUE(context->setCAFile(p.ca.c_str()));
  for (char const* host : {"localhost", "127.0.0.1"}) {
    Exchange const got = exchange(context, host, p.port);
    EXPECT_TRUE(got.secured) << host << ": " << got.code << " " << got.text;
    EXPECT_TRUE(startsWith(got.received, "HTTP/1.0 200 ok")) << host << ": " << got.received;
    EXPECT_TRUE(got.version == "TLSv1.3" || got.version == "TLSv1.2") << got.version;
    EXPECT_EQ(0u, got.code) << got.text;
  }
  // A name the certificate does not carry.
  Exchange const wrong = exchange(context, "127.0.0.2", p.port);
  EXPECT_FALSE(wrong.secured);
  EXPECT_EQ(TLS_ERROR_NAME_MISMATCH, wrong.code) << wrong.text;
  EXPECT_EQ("", wrong.received);
}

// Without a CA named, the client verifies against OpenSSL's default
// locations, which hold nothing on Windows: the system's own store is not
// read, so every server is refused until the caller names a CA.
TEST(TlsOnWindows, WithoutANamedCAEveryServerIsRefused) {
  NEED_PEER(p);
  Exchange const got = exchange(ITlsContext::New(false), "localhost", p.port);
  EXPECT_FALSE(got.secured);
  EXPECT_EQ(TLS_ERROR_NOT_TRUSTED, got.code) << got.text;
  EXPECT_TRUE(startsWith(got.text, "certificate not trusted: ")) << got.text;
  shared_ptr<ITlsContext> const careless = ITlsContext::New(false);
  careless->insecureDisableVerification();
  Exchange const anyway = exchange(careless, "localhost", p.port);
  EXPECT_TRUE(anyway.secured) << anyway.text;
  EXPECT_TRUE(startsWith(anyway.received, "HTTP/1.0 200 ok"));
}

TEST(HttpsOnWindows, TheHttpClientGetsThePageOverTls) {
  NEED_PEER(p);
  shared_ptr<http::IHttpClient> const client = http::IHttpClient::New("zu-test", 10000);
  zu::em::CatchError caught(client.get());
  String text;
  std::string const url = "https://localhost:" + std::to_string(p.port) + "/";
  EXPECT_FALSE(client->get(url.c_str(), text, false)) << "the test CA is not named yet";
  EXPECT_EQ(TLS_ERROR_NOT_TRUSTED, caught.code()) << caught.text().cstr();
  caught.clear();
  ASSERT_TRUE(client->setCAFile(p.ca.c_str()));
  ASSERT_TRUE(client->get(url.c_str(), text, false)) << caught.code() << " " << caught.text().cstr();
  EXPECT_NE(std::string::npos, std::string(text.cstr()).find("s_server")) << text.cstr();
}

}  // namespace
