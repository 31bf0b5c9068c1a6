// The HTTP client against a server nobody here wrote: httpbin under
// gunicorn, started by the fixture on loopback in a temporary folder.
#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/finalize.h"

namespace {

namespace fsys = std::filesystem;
using zu::String;
using zu::net::http::IHttpClient;
using zu::net::http::IHttpReceiver;
using zu::net::http::MIME;

std::string slurp(fsys::path const& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The standard output of a shell command.
std::string shell(std::string const& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

class Collector : public IHttpReceiver {
 public:
  void onData(boost::shared_ptr<IHttpClient>, unsigned char const* data, unsigned int length) override {
    body.append(reinterpret_cast<char const*>(data), length);
  }
  void onEnd(boost::shared_ptr<IHttpClient>) override { ++ends; }
  std::string body;
  int ends = 0;
};

class HttpPeers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::system("/usr/bin/python3 -c 'import gunicorn, httpbin' >/dev/null 2>&1") != 0) {
      *skipped_ = "python3-gunicorn or python3-httpbin is not installed (scripts/deps.sh --test installs them)";
      return;
    }
    char pattern[] = "/tmp/http_peers_XXXXXX";
    dir_ = ::mkdtemp(pattern);
    // The threaded worker keeps connections alive, as a production set-up does.
    std::string const command = "cd '" + dir_ +
                                "' && /usr/bin/python3 -m gunicorn -b 127.0.0.1:0 -w 1 -k gthread --threads 4 "
                                "--keep-alive 60 --pid pid httpbin:app >out.txt 2>err.txt &";
    if (std::system(command.c_str()) != 0) return;
    std::regex const listening("Listening at: http://127\\.0\\.0\\.1:([0-9]+)");
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      std::smatch m;
      std::string const err = slurp(fsys::path(dir_) / "err.txt");
      std::string const pid = slurp(fsys::path(dir_) / "pid");
      if (std::regex_search(err, m, listening) && !pid.empty() && err.find("Booting worker") != std::string::npos) {
        port_ = std::stoi(m[1]);
        pid_ = std::atoi(pid.c_str());
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  static void TearDownTestSuite() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      for (int i = 0; i < 200 && ::kill(pid_, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!dir_.empty()) fsys::remove_all(dir_);
  }
  void SetUp() override {
    if (!skipped_->empty()) GTEST_SKIP() << *skipped_;
    ASSERT_NE(0, port_) << slurp(fsys::path(dir_) / "err.txt");
  }
  void TearDown() override { zu::finalize(); }

  static std::string url(std::string const& path) { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  static int port_;
  static int pid_;
  static std::string dir_;
  static std::string* skipped_;
};

int HttpPeers::port_ = 0;
int HttpPeers::pid_ = 0;
std::string HttpPeers::dir_;
std::string* HttpPeers::skipped_ = new std::string;

// One kept connection carries GET and POST in turn: a request never leaves
// a byte behind that the server would read as the next one.
TEST_F(HttpPeers, KeepAliveCarriesAHundredMixedRequests) {
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 10000);
  for (int i = 0; i < 100; ++i) {
    zu::em::CatchError guard(client.get());
    if (i % 2) {
      MIME headers, answer;
      headers.set("Content-Type", "application/x-www-form-urlencoded");
      Collector into;
      ASSERT_TRUE(client->request("POST", url("/post").c_str(), headers, ("n=" + std::to_string(i)).c_str(), answer,
                                  into, true))
          << i << ": " << guard.text().cstr();
      EXPECT_EQ(200u, client->status()) << i << into.body;
      EXPECT_NE(std::string::npos, into.body.find("\"n\":\"" + std::to_string(i) + "\"")) << into.body;
    } else {
      String body;
      ASSERT_TRUE(client->get(url("/get?n=" + std::to_string(i)).c_str(), body, true)) << i << ": " << guard.text().cstr();
      EXPECT_EQ(200u, client->status()) << i;
      EXPECT_NE(std::string::npos, std::string(body.cstr()).find("\"n\":\"" + std::to_string(i) + "\"")) << body.cstr();
    }
  }
}

TEST_F(HttpPeers, HeadAndStatusCodes) {
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  Collector head;
  MIME answer;
  auto const started = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->request("HEAD", url("/bytes/100").c_str(), MIME(), "", answer, head, true));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ("", head.body);
  EXPECT_STREQ("100", answer.get("Content-Length", "").cstr());
  for (unsigned int code : {200u, 201u, 202u, 204u, 205u, 304u, 400u, 401u, 404u, 410u, 418u, 429u, 500u, 502u,
                            503u, 504u, 505u, 506u, 511u, 599u}) {
    zu::em::CatchError guard(client.get());
    Collector into;
    MIME h;
    EXPECT_TRUE(client->request("GET", url("/status/" + std::to_string(code)).c_str(), MIME(), "", h, into, true))
        << code << ": " << guard.text().cstr();
    EXPECT_EQ(code, client->status());
  }
}

// Each redirect form, with the method and body its kind keeps, within the
// limit of attempts.
TEST_F(HttpPeers, RedirectsWithinTheLimit) {
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  for (unsigned int code : {301u, 302u, 303u, 307u, 308u}) {
    zu::em::CatchError guard(client.get());
    Collector into;
    MIME h;
    ASSERT_TRUE(client->request("POST", url("/redirect-to?url=/anything&status_code=" + std::to_string(code)).c_str(),
                                MIME(), "payload", h, into, true))
        << code << ": " << guard.text().cstr();
    EXPECT_EQ(200u, client->status());
    bool const keep = code != 303;
    EXPECT_NE(std::string::npos, into.body.find(keep ? "\"method\":\"POST\"" : "\"method\":\"GET\"")) << code;
    EXPECT_EQ(keep, into.body.find("payload") != std::string::npos) << code << into.body;
  }
  String body;
  EXPECT_TRUE(client->get(url("/redirect/9").c_str(), body, true));
  EXPECT_TRUE(client->get(url("/relative-redirect/3").c_str(), body, true));
  zu::em::CatchError guard(client.get());
  EXPECT_FALSE(client->get(url("/redirect/10").c_str(), body, true));
  EXPECT_STREQ("try to max: 10", guard.text().cstr());
}

// Streamed, dripped and binary bodies, byte for byte as curl reads them.
TEST_F(HttpPeers, BodiesAsCurlReadsThem) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  for (std::string const path : {"/bytes/70000?seed=7", "/stream-bytes/30000?seed=3&chunk_size=1000",
                                 "/stream/20", "/drip?numbytes=40&duration=1&delay=0&code=200", "/range/3000",
                                 "/encoding/utf8", "/html"}) {
    zu::ByteArray body;
    MIME headers;
    zu::em::CatchError guard(client.get());
    ASSERT_TRUE(client->get(url(path).c_str(), body, headers, true)) << path << ": " << guard.text().cstr();
    std::string const mine(reinterpret_cast<char const*>(body.ptr()), body.size());
    if (path.compare(0, 7, "/stream") == 0 && path.compare(0, 13, "/stream-bytes") != 0) {
      // Each line names its request: compared by count.
      EXPECT_EQ(20, std::count(mine.begin(), mine.end(), '\n')) << path;
      continue;
    }
    EXPECT_EQ(shell("curl -s '" + url(path) + "'"), mine) << path;
  }
}

}  // namespace
