#include <zu/em.h>
#include <zu/http.h>
#include <zu/logger.h>
#include <zu/sys.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/loopback.h"
#include "support/wait.h"

using zu::String;
using zu::TArray;
using zu::net::http::HttpStatus;
using zu::net::http::MIME;

TEST(Mime, NamesRepeatAndMatchWithoutRegardToCase) {
  MIME mime;
  EXPECT_TRUE(mime.set("A", "1"));
  EXPECT_TRUE(mime.set("a", "2"));
  EXPECT_TRUE(mime.set("Content-Type", ""));
  EXPECT_EQ(3u, mime.size());
  EXPECT_STREQ("1", mime.get("A", "").cstr());
  EXPECT_STREQ("1", mime.get("a", "").cstr());
  TArray<String> values = mime.getValues("a");
  ASSERT_EQ(2u, values.size());
  EXPECT_STREQ("1", values[0].cstr());
  EXPECT_STREQ("2", values[1].cstr());
  EXPECT_TRUE(mime.contains("CONTENT-TYPE"));
  EXPECT_STREQ("", mime.get("content-type", "default").cstr());  // present but empty
  EXPECT_STREQ("default", mime.get("Content-Typ", "default").cstr());
  EXPECT_FALSE(mime.contains("Content-Type2"));
  EXPECT_EQ(0u, mime.getValues("absent").size());
  // Names are kept as given.
  EXPECT_STREQ("a", mime.lines[1].name.cstr());
  // Only ASCII letters fold: bytes of other scripts must match exactly.
  mime.set("X-\xC3\x84", "umlaut");
  EXPECT_FALSE(mime.contains("x-\xC3\xA4"));
  EXPECT_TRUE(mime.contains("x-\xC3\x84"));
}

TEST(Mime, CopiesAreIndependentValues) {
  MIME mime;
  mime.set("A", "1");
  MIME copy = mime;
  copy.set("B", "2");
  copy.lines(0).value = "changed";
  EXPECT_EQ(1u, mime.size());
  EXPECT_STREQ("1", mime.get("A", "").cstr());
  mime.reset();
  EXPECT_EQ(0u, mime.size());
  EXPECT_EQ(2u, copy.size());
}

TEST(Mime, ParsesAndWritesHeaderLines) {
  MIME mime;
  EXPECT_TRUE(mime.addLine("Content-Length: 12"));
  EXPECT_TRUE(mime.addLine("Empty: "));
  EXPECT_TRUE(mime.addLine("Url: http://host:80/x"));  // split at the first ": " only
  EXPECT_FALSE(mime.addLine("No-Separator:value"));
  EXPECT_FALSE(mime.addLine(""));
  ASSERT_EQ(3u, mime.size());
  EXPECT_STREQ("Content-Length", mime.lines[0].name.cstr());
  EXPECT_STREQ("12", mime.lines[0].value.cstr());
  EXPECT_STREQ("", mime.lines[1].value.cstr());
  EXPECT_STREQ("http://host:80/x", mime.get("url", "").cstr());

  EXPECT_STREQ("Content-Length: 12\r\nEmpty: \r\nUrl: http://host:80/x\r\n", mime.toString().cstr());
  EXPECT_STREQ("", MIME().toString().cstr());
  MIME two;
  two.set("A", "1");
  two.set("B", "2");
  EXPECT_STREQ("A: 1\r\nB: 2\r\n", two.toString().cstr());
}

TEST(HttpStatusText, ListedCodesHaveTheirPhrasesOthersNone) {
  EXPECT_STREQ("Moved Temporarily", HttpStatus::text(HttpStatus::HTTP_MOVED_TEMPORARILY).cstr());
  EXPECT_STREQ("OK", HttpStatus::text(static_cast<HttpStatus::E_Code>(200)).cstr());
  EXPECT_STREQ("Unauthorised", HttpStatus::text(static_cast<HttpStatus::E_Code>(401)).cstr());
  EXPECT_STREQ("None Acceptable", HttpStatus::text(static_cast<HttpStatus::E_Code>(406)).cstr());
  EXPECT_STREQ("Unless True", HttpStatus::text(static_cast<HttpStatus::E_Code>(412)).cstr());
  EXPECT_STREQ("Gateway Timeout", HttpStatus::text(static_cast<HttpStatus::E_Code>(504)).cstr());
  int listed = 0;
  for (int code = 0; code < 1000; ++code)
    listed += !HttpStatus::text(static_cast<HttpStatus::E_Code>(code)).empty();
  EXPECT_EQ(33, listed);
  EXPECT_STREQ("", HttpStatus::text(static_cast<HttpStatus::E_Code>(307)).cstr());
  EXPECT_STREQ("", HttpStatus::text(static_cast<HttpStatus::E_Code>(413)).cstr());
}

// ---------------------------------------------------------------------------
// The client, against a scripted server on loopback.

namespace {

using zu::net::http::IHttpClient;
using zu::net::http::IHttpReceiver;

struct Reply {
  std::string text;
  bool close = false;  // close the connection after sending
};

// Accepts connections on 127.0.0.1 (port chosen by the system) and answers
// each request, in order, with what `respond` returns for it.
class ScriptedServer {
 public:
  // With `keepBlankLines`, bytes between requests stay with the next one,
  // as a strict server reads them.
  explicit ScriptedServer(std::function<Reply(std::string const& request, int index)> respond,
                          bool keepBlankLines = false)
      : respond_(std::move(respond)), keepBlankLines_(keepBlankLines) {
    listener_ = zu::test::listenLoopback(port);
    if (listener_ == zu::test::NO_SOCKET) ADD_FAILURE() << "cannot listen on loopback";
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    zu::test::closeRaw(listener_);
  }

  std::string url(std::string const& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  unsigned short port = 0;
  std::atomic<int> connections{0};

 private:
  bool readable(zu::test::RawSocket fd) {
    while (!stop_)
      if (zu::test::waitReadableRaw(fd, 20)) return true;
    return false;
  }

  void serve() {
    while (readable(listener_)) {
      zu::test::RawSocket fd = zu::test::acceptRaw(listener_);
      if (fd == zu::test::NO_SOCKET) continue;
      ++connections;
      std::string pending;
      bool open = true;
      while (open && !stop_) {
        // One request: the head, then as many body bytes as it announces.
        std::size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos && (open = fill(fd, pending))) {
        }
        if (!open) break;
        std::size_t bodyLength = 0;
        std::size_t at = pending.find("Content-Length: ");
        if (at != std::string::npos && at < headEnd) bodyLength = std::stoul(pending.substr(at + 16));
        while (pending.size() < headEnd + 4 + bodyLength && (open = fill(fd, pending))) {
        }
        if (!open) break;
        std::string request = pending.substr(0, headEnd + 4 + bodyLength);
        pending.erase(0, request.size());
        int index;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(request);
          index = static_cast<int>(requests_.size()) - 1;
        }
        Reply reply = respond_(request, index);
        zu::test::sendRaw(fd, reply.text.data(), reply.text.size());
        if (reply.close) break;
      }
      zu::test::closeRaw(fd);
    }
  }

  // Reads more bytes; false when the peer closed. Blank lines between
  // requests are dropped.
  bool fill(zu::test::RawSocket fd, std::string& pending) {
    if (!readable(fd)) return false;
    char buffer[4096];
    long n = zu::test::recvRaw(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    while (!keepBlankLines_ && pending.compare(0, 2, "\r\n") == 0) pending.erase(0, 2);
    return true;
  }

  std::function<Reply(std::string const&, int)> respond_;
  bool const keepBlankLines_;
  zu::test::RawSocket listener_ = zu::test::NO_SOCKET;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

Reply ok(std::string const& body, bool close = false) {
  return Reply{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, close};
}

struct Outcome {
  bool ok;
  unsigned int code;
  std::string text;
  std::string body;
};

Outcome get(boost::shared_ptr<IHttpClient> const& client, std::string const& url, bool keepAlive = false) {
  zu::em::CatchError guard(client.get());
  String body("left over");
  bool const ok = client->get(url.c_str(), body, keepAlive);
  return Outcome{ok, guard.code(), guard.text().cstr(), body.cstr()};
}

class Collector : public IHttpReceiver {
 public:
  void onData(boost::shared_ptr<IHttpClient>, unsigned char const* data, unsigned int length) override {
    body.append(reinterpret_cast<char const*>(data), length);
    ++calls;
  }
  void onEnd(boost::shared_ptr<IHttpClient>) override { ++ends; }
  std::string body;
  int calls = 0;
  int ends = 0;
};

}  // namespace

TEST(HttpClient, GetsBodiesByLengthOrChunksAndSendsAWellFormedRequest) {
  std::string const largest(0xFFFF, 'c');  // the largest chunk taken
  ScriptedServer server([&largest](std::string const& request, int) {
    if (request.find("GET /chunked ") == 0)
      return Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;ext=1\r\nWiki\r\n5\r\npedia\r\n0\r\n\r\n"};
    if (request.find("GET /largest ") == 0)
      return Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffff\r\n" + largest + "\r\n1\r\n!\r\n0\r\n\r\n"};
    return ok("hello");
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  EXPECT_EQ(100u, client->status());
  Outcome o = get(client, server.url("/a/b?x=1#frag"));
  EXPECT_TRUE(o.ok) << o.text;
  EXPECT_EQ("hello", o.body);
  EXPECT_EQ(200u, client->status());
  o = get(client, server.url("/chunked"));
  EXPECT_TRUE(o.ok) << o.text;
  EXPECT_EQ("Wikipedia", o.body);  // replaces what the string held
  o = get(client, server.url(""));
  EXPECT_TRUE(o.ok) << o.text;
  o = get(client, server.url("/largest"));
  EXPECT_TRUE(o.ok) << o.text;
  EXPECT_EQ(largest + "!", o.body);
  // The scheme is read without regard to case.
  o = get(client, "HTTP://127.0.0.1:" + std::to_string(server.port) + "/");
  EXPECT_TRUE(o.ok) << o.text;

  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(5u, requests.size());
  std::string const host = "127.0.0.1:" + std::to_string(server.port);
  EXPECT_EQ("GET /a/b?x=1 HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: zu-test/1\r\n\r\n", requests[0]);
  EXPECT_EQ(0u, requests[2].find("GET / HTTP/1.1\r\n"));
  EXPECT_EQ(5, server.connections.load());  // no keep-alive: a connection each
}

TEST(HttpClient, KeepAliveReusesAConnectionOnlyAfterACompleteResponse) {
  ScriptedServer server([](std::string const& request, int) {
    if (request.find("GET /missing ") == 0) return Reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot here!"};
    return ok("same");
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  EXPECT_TRUE(get(client, server.url("/1"), true).ok);
  EXPECT_TRUE(get(client, server.url("/2"), true).ok);
  EXPECT_EQ(1, server.connections.load());
  EXPECT_NE(std::string::npos, server.requests()[0].find("\r\nConnection: Keep-Alive\r\n"));

  // A 404 counts as no body, but its page is still on the connection: the
  // next exchange must not read it as its status line.
  Outcome missing = get(client, server.url("/missing"), true);
  EXPECT_TRUE(missing.ok);
  EXPECT_EQ("", missing.body);
  EXPECT_EQ(404u, client->status());
  Outcome after = get(client, server.url("/3"), true);
  EXPECT_TRUE(after.ok) << after.text;
  EXPECT_EQ("same", after.body);
  EXPECT_EQ(2, server.connections.load());
}

// Codes 100 to 505 are answers; 204 and 304 have no body whatever the head
// says, so the kept connection goes on behind them.
TEST(HttpClient, AnswersWithoutABodyKeepTheConnection) {
  ScriptedServer server([](std::string const& request, int) {
    std::string const path = request.substr(4, request.find(' ', 4) - 4);
    // Interim answers come before the real one and are passed over.
    if (path == "/100")
      return Reply{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n"
                   "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nc"};
    if (path == "/204") return Reply{"HTTP/1.1 204 No Content\r\n\r\n"};
    if (path == "/304") return Reply{"HTTP/1.1 304 Not Modified\r\nETag: \"e\"\r\n\r\n"};
    if (path == "/505") return Reply{"HTTP/1.1 505 HTTP Version Not Supported\r\nContent-Length: 3\r\n\r\nold"};
    if (path == "/99") return Reply{"HTTP/1.1 99 Low\r\nContent-Length: 0\r\n\r\n", true};
    return ok(path);
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  for (char const* path : {"/100", "/204", "/304", "/505"}) {
    Outcome const o = get(client, server.url(path), true);
    EXPECT_TRUE(o.ok) << path << ": " << o.text;
    EXPECT_EQ(std::string(path) == "/100" ? 200 : std::stoul(path + 1), client->status()) << path;
    EXPECT_EQ(std::string(path) == "/100" ? "c" : std::string(path) == "/505" ? "old" : "", o.body) << path;
    Outcome const next = get(client, server.url("/next"), true);
    EXPECT_EQ("/next", next.body) << "after " << path << ": " << next.text;
  }
  EXPECT_EQ(1, server.connections.load());
  Outcome const low = get(client, server.url("/99"), true);
  EXPECT_FALSE(low.ok);
  EXPECT_EQ("read response message failed.", low.text);
}

TEST(HttpClient, KeepAliveGoesOnAfterAChunkedAnswerReadToItsEnd) {
  ScriptedServer server([](std::string const& request, int) {
    if (request.find(" /chunked ") != std::string::npos)
      return Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "3\r\nabc\r\n2\r\nde\r\n0\r\nX-Trailer: 1\r\n\r\n"};
    return ok("plain");
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  Outcome first = get(client, server.url("/chunked"), true);
  EXPECT_TRUE(first.ok) << first.text;
  EXPECT_EQ("abcde", first.body);
  Outcome second = get(client, server.url("/2"), true);
  EXPECT_TRUE(second.ok) << second.text;
  EXPECT_EQ("plain", second.body);

  // request() reads a chunked body to its end as well, and hands it over.
  Collector collector;
  MIME responseHeaders;
  {
    zu::em::CatchError guard(client.get());
    EXPECT_TRUE(client->request("GET", server.url("/chunked").c_str(), MIME(), String(), responseHeaders, collector,
                                true))
        << guard.text().cstr();
  }
  EXPECT_EQ("abcde", collector.body);
  EXPECT_EQ(1, collector.ends);
  Outcome third = get(client, server.url("/3"), true);
  EXPECT_TRUE(third.ok) << third.text;
  EXPECT_EQ(1, server.connections.load());
}

TEST(HttpClient, KeepAliveNeverReusesAConnectionThePeerClosedOrSpoiled) {
  ScriptedServer server([](std::string const& request, int) {
    std::string path = request.substr(request.find(' ') + 1);
    path = path.substr(0, path.find(' '));
    if (path == "/said-close")
      return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nbye"};
    if (path == "/shouted-close")
      return Reply{"HTTP/1.1 200 OK\r\ncontent-length: 3\r\nconnection: CLOSE\r\n\r\nbye"};
    if (path == "/partial") return Reply{"HTTP/1.1 200 OK\r\nContent-Le", true};  // half a head, then gone
    if (path == "/closed") return ok("gone", true);  // closes without saying so
    if (path == "/extra") return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 200 OK\r\n\r\n"};
    if (path == "/drop") return Reply{"", true};  // closes instead of answering
    return ok(path);
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  for (char const* path : {"/said-close", "/shouted-close", "/closed", "/extra"}) {
    Outcome o = get(client, server.url(path), true);
    EXPECT_TRUE(o.ok) << path << ": " << o.text;
    Outcome next = get(client, server.url("/next"), true);
    EXPECT_TRUE(next.ok) << "after " << path << ": " << next.text;
    EXPECT_EQ("/next", next.body) << "after " << path;
  }
  // "Connection: close", in any case, was honoured at once, not found out
  // by the next exchange: every one of the four forced a new connection.
  EXPECT_EQ(5, server.connections.load());

  // The kept connection is closed by the peer only when the next request
  // reaches it: a GET is repeated once on a fresh connection...
  EXPECT_TRUE(get(client, server.url("/a"), true).ok);
  int const before = server.connections.load();
  Outcome repeated = get(client, server.url("/drop"), true);
  EXPECT_FALSE(repeated.ok);  // the fresh connection is dropped as well
  EXPECT_EQ("read response message failed.", repeated.text);
  EXPECT_EQ(before + 1, server.connections.load());
  std::vector<std::string> requests = server.requests();
  EXPECT_EQ(2, std::count_if(requests.begin(), requests.end(),
                             [](std::string const& r) { return r.find("GET /drop ") == 0; }));

  // ...but not once bytes of an answer came: the server has seen it.
  EXPECT_TRUE(get(client, server.url("/c"), true).ok);
  Outcome partial = get(client, server.url("/partial"), true);
  EXPECT_FALSE(partial.ok);
  EXPECT_EQ("read response message failed.", partial.text);
  requests = server.requests();
  EXPECT_EQ(1, std::count_if(requests.begin(), requests.end(),
                             [](std::string const& r) { return r.find("GET /partial ") == 0; }));

  // ...while a POST, which may have taken effect, is not.
  EXPECT_TRUE(get(client, server.url("/b"), true).ok);
  Collector collector;
  MIME responseHeaders;
  zu::em::CatchError guard(client.get());
  EXPECT_FALSE(client->request("POST", server.url("/drop").c_str(), MIME(), "x", responseHeaders, collector, true));
  EXPECT_EQ("read response message failed.", std::string(guard.text().cstr()));
  requests = server.requests();
  EXPECT_EQ(1, std::count_if(requests.begin(), requests.end(),
                             [](std::string const& r) { return r.find("POST /drop ") == 0; }));
}

TEST(HttpClient, FollowsRedirectsUpToTheLimit) {
  ScriptedServer server([](std::string const& request, int) {
    // /r<n> redirects to /r<n-1>, relative; /r0 answers. The redirect's own
    // headers must not decide how the final body is read.
    int n = std::stoi(request.substr(request.find("/r") + 2));
    if (n == 0) return Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nend\r\n0\r\n\r\n"};
    return Reply{"HTTP/1.1 302 Found\r\nContent-Length: 0\r\nLocation: /r" + std::to_string(n - 1) + "\r\n\r\n"};
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  Outcome nine = get(client, server.url("/r9"));
  EXPECT_TRUE(nine.ok) << nine.text;
  EXPECT_EQ("end", nine.body);
  Outcome ten = get(client, server.url("/r10"));
  EXPECT_FALSE(ten.ok);
  EXPECT_EQ(2u, ten.code);
  EXPECT_EQ("try to max: 10", ten.text);
}

TEST(HttpClient, ReportsEachFailureWithItsText) {
  ScriptedServer server([](std::string const& request, int) {
    std::string path = request.substr(4, request.find(' ', 4) - 4);
    if (path == "/nolocation") return Reply{"HTTP/1.1 302 Found\r\n\r\n", true};
    if (path == "/bigchunk") return Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n", true};
    if (path == "/short") return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true};
    if (path == "/status") return Reply{"HTTP/1.1 600 Odd\r\n\r\n", true};
    if (path.compare(0, 7, "/digits") == 0) {
      static char const* const lines[] = {"HTTP/1.1 099 Low", "HTTP/1.1 2x0 OK", "HTTP/1.1 20x OK", "HTTP/1.1 /00 OK",
                                          "HTTP/1.1 2:0 OK", "HTTP/1.1 20: OK", "HTTP/1.1 2000 OK", "HTTP/1.1 200OK",
                                          "HTTX/1.1 200 OK"};
      return Reply{std::string(lines[path[7] - '0']) + "\r\nContent-Length: 0\r\n\r\n", true};
    }
    if (path == "/nolength") return Reply{"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", true};
    if (path == "/twolengths") return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", true};
    if (path == "/truncated") return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n", true};
    if (path == "/badheader") return Reply{"HTTP/1.1 200 OK\r\nNo-Separator\r\n\r\n", true};
    return Reply{"", true};
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  struct Case {
    std::string url;
    unsigned int code;
    std::string text;
  };
  std::vector<Case> const cases = {
      {"ftp://127.0.0.1/", 2, "url scheme error. only support http."},
      {server.url("/nolocation"), 2, "need redirect but location info is none."},
      {server.url("/nolength"), 2, "invalid content length."},
      {server.url("/twolengths"), 2, "invalid content length."},
      {server.url("/bigchunk"), 2, "error chunk size:65536"},
      {server.url("/short"), 2, "can't read content.err="},
      {server.url("/status"), 2, "read response message failed."},
      {server.url("/digits0"), 2, "read response message failed."},
      {server.url("/digits1"), 2, "read response message failed."},
      {server.url("/digits2"), 2, "read response message failed."},
      {server.url("/digits3"), 2, "read response message failed."},
      {server.url("/digits4"), 2, "read response message failed."},
      {server.url("/digits5"), 2, "read response message failed."},
      {server.url("/digits6"), 2, "read response message failed."},
      {server.url("/digits7"), 2, "read response message failed."},
      {server.url("/digits8"), 2, "read response message failed."},
      {server.url("/truncated"), 2, "read response message failed."},
      {server.url("/badheader"), 2, "read response message failed."},
      {server.url("/silent"), 2, "read response message failed."},
  };
  for (Case const& c : cases) {
    Outcome o = get(client, c.url);
    EXPECT_FALSE(o.ok) << c.url;
    EXPECT_EQ(c.code, o.code) << c.url;
    EXPECT_EQ(c.text, o.text) << c.url;
  }

  // Nobody listens on a port just released.
  unsigned short const closedPort = [] {
    ScriptedServer gone([](std::string const&, int) { return Reply{}; });
    return gone.port;
  }();
  std::string const host = "127.0.0.1:" + std::to_string(closedPort);
  Outcome refused = get(client, "http://" + host + "/");
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(1u, refused.code);
  EXPECT_EQ("can't open remote host:" + host, refused.text);
}

std::string pathOf(std::string const& request) { return request.substr(request.find(' ') + 1, request.find(' ', request.find(' ') + 1) - request.find(' ') - 1); }

bool requestWith(boost::shared_ptr<IHttpClient> const& client, std::string const& method, std::string const& url,
                 std::string const& body, Collector& into, MIME& head, std::string* failure = nullptr) {
  zu::em::CatchError guard(client.get());
  bool const ok = client->request(method.c_str(), url.c_str(), MIME(), body.c_str(), head, into, true);
  if (failure) *failure = guard.text().cstr();
  return ok;
}

// The request ends with its body: a strict server reads nothing more on a
// kept connection, and each exchange gets its own answer.
TEST(HttpClient, NothingFollowsTheBodyOfARequest) {
  ScriptedServer server([](std::string const& request, int) {
    if (request.compare(0, 2, "\r\n") == 0) return Reply{"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", true};
    return ok(pathOf(request));
  }, true);
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  for (int i = 0; i < 5; ++i) {
    Collector into;
    MIME head;
    std::string failure;
    EXPECT_TRUE(requestWith(client, i % 2 ? "POST" : "GET", server.url("/r" + std::to_string(i)), i % 2 ? "body" : "", into, head, &failure)) << failure;
    EXPECT_EQ(200u, client->status());
    EXPECT_EQ("/r" + std::to_string(i), into.body);
  }
  EXPECT_EQ(1, server.connections.load());
  for (std::string const& r : server.requests()) EXPECT_NE(0u, r.find("\r\n")) << r;
}

// Heads and bodies as peers frame them: HEAD's announced length has no
// body, the end of the connection ends a body without a length,
// Transfer-Encoding wins over Content-Length (and such a connection is not
// used again), any status up to 599, a status line without a reason, and a
// header without a blank after its colon.
TEST(HttpClient, ReadsAnswersAsPeersFrameThem) {
  ScriptedServer server([](std::string const& request, int) {
    std::string const path = pathOf(request);
    if (path == "/head") return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"};
    if (path == "/close10") return Reply{"HTTP/1.0 200 OK\r\n\r\nuntil close", true};
    if (path == "/close11") return Reply{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nto the end", true};
    if (path == "/both")
      return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"};
    if (path == "/511") return Reply{"HTTP/1.1 511 Network Authentication Required\r\nContent-Length: 2\r\n\r\nno"};
    if (path == "/599") return Reply{"HTTP/1.1 599 \r\nContent-Length: 2\r\n\r\nhi"};
    if (path == "/noreason") return Reply{"HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok"};
    if (path == "/tight")
      return Reply{"HTTP/1.1 200 OK\r\nContent-Length:3\r\nX-Tight:value \r\nX-Folded: a\r\n b\r\n\r\nabc"};
    return ok(path);
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  Collector head;
  MIME headHeaders;
  auto const started = std::chrono::steady_clock::now();
  EXPECT_TRUE(requestWith(client, "HEAD", server.url("/head"), "", head, headHeaders));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  EXPECT_EQ("", head.body);
  EXPECT_EQ(1, head.ends);
  EXPECT_STREQ("5", headHeaders.get("Content-Length", "").cstr());
  EXPECT_EQ("/after", get(client, server.url("/after"), true).body);
  EXPECT_EQ(1, server.connections.load());

  for (char const* path : {"/close10", "/close11"}) {
    Outcome const o = get(client, server.url(path), true);
    EXPECT_TRUE(o.ok) << path << ": " << o.text;
    EXPECT_EQ(std::string(path) == "/close10" ? "until close" : "to the end", o.body);
    Collector into;
    MIME h;
    EXPECT_TRUE(requestWith(client, "GET", server.url(path), "", into, h)) << path;
    EXPECT_EQ(o.body, into.body);
  }
  int const before = server.connections.load();
  Outcome const both = get(client, server.url("/both"), true);
  EXPECT_TRUE(both.ok) << both.text;
  EXPECT_EQ("hello", both.body);
  EXPECT_EQ("/next", get(client, server.url("/next"), true).body);
  EXPECT_EQ(before + 2, server.connections.load());

  struct Case {
    char const* path;
    unsigned int status;
    char const* body;
  };
  for (Case const& c : {Case{"/511", 511, "no"}, Case{"/599", 599, "hi"}, Case{"/noreason", 200, "ok"},
                        Case{"/tight", 200, "abc"}}) {
    Collector into;
    MIME h;
    std::string failure;
    EXPECT_TRUE(requestWith(client, "GET", server.url(c.path), "", into, h, &failure)) << c.path << ": " << failure;
    EXPECT_EQ(c.status, client->status()) << c.path;
    EXPECT_EQ(c.body, into.body) << c.path;
    if (std::string(c.path) == "/tight") {
      EXPECT_STREQ("value", h.get("X-Tight", "").cstr());
      EXPECT_STREQ("a b", h.get("X-Folded", "").cstr());
    }
  }
}

// The target is sent as the URL names it: a blank as "%20", the characters
// a path may hold as they are.
TEST(HttpClient, TheRequestTargetKeepsThePath) {
  ScriptedServer server([](std::string const& request, int) { return ok(pathOf(request)); });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  EXPECT_EQ("/a%20b/x;y=1,z/@:~!$'()*/%25", get(client, server.url("/a b/x;y=1,z/@:~!$'()*/%25")).body);
  EXPECT_EQ("/p%22%3C%3E%5E%60%7B%7C%7D%C3%A4?q=a+b", get(client, server.url("/p\"<>^`{|}\xC3\xA4?q=a b#frag")).body);
  EXPECT_EQ("/", get(client, server.url("")).body);
}

// A peer that stops sending holds the caller no longer than the time-out,
// in the head and in the body.
TEST(HttpClient, EachReadWaitsAtMostTheTimeOut) {
  ScriptedServer server([](std::string const& request, int) {
    if (pathOf(request) == "/stall-head") return Reply{"HTTP/1.1 200 OK\r\nContent-"};
    return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"};
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 300);
  for (char const* path : {"/stall-head", "/stall-body"}) {
    auto const started = std::chrono::steady_clock::now();
    Outcome const o = get(client, server.url(path));
    EXPECT_FALSE(o.ok) << path;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << path;
  }
}

// 303 is followed with a GET without a body; 301, 302, 307 and 308 with
// the same method and body.
TEST(HttpClient, RedirectsKeepOrDropTheMethodByTheirKind) {
  ScriptedServer server([](std::string const& request, int) {
    std::string const path = pathOf(request);
    if (path.size() == 4 && path[1] == '3')
      return Reply{"HTTP/1.1 " + path.substr(1) + " Moved\r\nLocation: /target\r\nContent-Length: 0\r\n\r\n"};
    return ok(request.substr(0, request.find(' ')) + " " + request.substr(request.find("\r\n\r\n") + 4));
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  for (char const* code : {"301", "302", "303", "307", "308"}) {
    Collector into;
    MIME h;
    std::string failure;
    EXPECT_TRUE(requestWith(client, "POST", server.url(std::string("/") + code), "data", into, h, &failure))
        << code << ": " << failure;
    bool const keep = std::string(code) != "303";
    EXPECT_EQ(keep ? "POST data" : "GET ", into.body) << code;
    std::string const last = server.requests().back();
    EXPECT_EQ(keep, last.find("Content-Length") != std::string::npos) << code;
  }
}

// Credentials never reach the log; the rest of the request does.
class Lines : public zu::util::logger::ILogCallback {
 public:
  void onLog(char const* line) override {
    std::lock_guard<std::mutex> lock(mutex);
    text += line;
    text += "\n";
  }
  std::mutex mutex;
  std::string text;
};

TEST(HttpClient, TheLogHidesCredentials) {
  ScriptedServer server([](std::string const& request, int) { return ok(pathOf(request)); });
  boost::shared_ptr<Lines> lines = boost::make_shared<Lines>();
  zu::util::logger::setCallback(lines);
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  MIME headers;
  headers.set("Authorization", "Basic c2VjcmV0OnB3");
  headers.set("proxy-authorization", "Bearer tok3n");
  headers.set("Cookie", "session=s3ss10n");
  headers.set("X-Visible", "shown");
  Collector into;
  MIME h;
  EXPECT_TRUE(client->request("POST", server.url("/auth").c_str(), headers, "b0dy", h, into, false));
  zu::util::logger::setCallback(boost::weak_ptr<zu::util::logger::ILogCallback>());
  std::string const log = lines->text;
  EXPECT_NE(std::string::npos, log.find("POST /auth HTTP/1.1")) << log;
  EXPECT_NE(std::string::npos, log.find("X-Visible: shown")) << log;
  EXPECT_NE(std::string::npos, log.find("Authorization: (hidden)")) << log;
  for (char const* secret : {"c2VjcmV0OnB3", "tok3n", "s3ss10n", "b0dy"})
    EXPECT_EQ(std::string::npos, log.find(secret)) << secret;
  std::string const sent = server.requests().back();
  EXPECT_NE(std::string::npos, sent.find("Cookie: session=s3ss10n"));
}

TEST(HttpClient, RequestStreamsTheBodyToTheReceiver) {
  std::string const big(200000, 'b');
  ScriptedServer server([&](std::string const& request, int) {
    if (request.find("POST /early ") == 0)
      return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part", true};
    return ok(big);
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  MIME headers;
  headers.set("X-Token", "t");
  headers.set("user-agent", "custom");
  MIME responseHeaders;
  responseHeaders.set("Stale", "x");
  Collector collector;
  {
    zu::em::CatchError guard(client.get());
    EXPECT_TRUE(client->request("POST", server.url("/upload").c_str(), headers, "payload", responseHeaders,
                                collector, false))
        << guard.text().cstr();
  }
  EXPECT_EQ(big, collector.body);
  EXPECT_EQ(1, collector.ends);
  EXPECT_FALSE(responseHeaders.contains("Stale"));
  EXPECT_STREQ("200000", responseHeaders.get("content-length", "").cstr());
  std::string const request = server.requests()[0];
  EXPECT_NE(std::string::npos, request.find("\r\nX-Token: t\r\nuser-agent: custom\r\nHost: "));
  EXPECT_EQ(std::string::npos, request.find("User-Agent: zu-test"));
  EXPECT_NE(std::string::npos, request.find("\r\nContent-Length: 7\r\n\r\npayload"));

  // The connection ends before the announced length: the receiver still
  // hears the end, and the request fails instead of waiting forever.
  Collector early;
  zu::em::CatchError guard(client.get());
  EXPECT_FALSE(client->request("POST", server.url("/early").c_str(), MIME(), String(), responseHeaders, early, false));
  EXPECT_EQ("only part", early.body);
  EXPECT_EQ(1, early.ends);
  EXPECT_EQ(2u, guard.code());
  EXPECT_EQ(0u, std::string(guard.text().cstr()).find("can't read content.err="));
}

// ---------------------------------------------------------------------------
// The server-side connection, driven by a raw client socket.

namespace {

using zu::net::http::HttpRequest;
using zu::net::http::HttpResponse;
using zu::net::http::IHttpConnection;
using zu::net::http::IHttpConnectionCallback;

// Records what the connection hands out; optionally answers at once.
class Handler : public IHttpConnectionCallback {
 public:
  void onRequest(boost::shared_ptr<IHttpConnection> connection, HttpRequest const& request) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests.push_back(request);
    }
    changed_.notify_all();
    if (answer) {
      HttpResponse response;
      response.body = request.url.getPath();
      connection->respond(response);
    }
  }
  void onEvent(boost::shared_ptr<IHttpConnection>, unsigned int event) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events.push_back(event);
    }
    changed_.notify_all();
  }
  bool waitRequests(std::size_t n) { return waitFor([&] { return requests.size() >= n; }); }
  bool waitEvents(std::size_t n) { return waitFor([&] { return events.size() >= n; }); }
  bool waitEvent(unsigned int event) {
    return waitFor([&] { return std::find(events.begin(), events.end(), event) != events.end(); });
  }
  // Copies taken under the lock: the connection's threads may still add.
  HttpRequest request(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests.at(i);
  }
  unsigned int event(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return events.at(i);
  }
  std::size_t requestCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests.size();
  }
  std::size_t eventCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events.size();
  }

  std::atomic<bool> answer{false};

 private:
  std::vector<HttpRequest> requests;
  std::vector<unsigned int> events;

  template <class Ready>
  bool waitFor(Ready ready) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), ready);
  }
  std::mutex mutex_;
  std::condition_variable changed_;
};

class HttpConnectionConcurrent : public ::testing::Test {
 protected:
  // A connection over a freshly accepted socket, and the raw client end.
  void open(unsigned int idle = 60000, unsigned int receive = 60000) {
    boost::shared_ptr<zu::net::ISocket> listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
    ASSERT_TRUE(listener->listen(0, zu::net::IP::loopback()));
    client_ = zu::test::connectLoopback(listener->localAddress().port);
    ASSERT_NE(zu::test::NO_SOCKET, client_);
    ASSERT_TRUE(listener->waitReadable(5000));
    boost::shared_ptr<zu::net::ISocket> accepted = listener->accept();
    ASSERT_TRUE(accepted);
    connection_ = limits_ ? IHttpConnection::New(accepted, idle, receive, *limits_)
                          : IHttpConnection::New(accepted, idle, receive);
    connection_->start(handler_);
  }

  void TearDown() override {
    connection_.reset();
    zu::test::closeRaw(client_);
    zu::finalize();
  }

  void send(std::string const& text) { zu::test::sendRaw(client_, text.data(), text.size()); }

  // One response: its head, then the body its Content-Length announces.
  std::string response() {
    std::string& text = received_;
    std::size_t headEnd, length = 0;
    while ((headEnd = text.find("\r\n\r\n")) == std::string::npos)
      if (!receive(text)) return std::move(text);
    std::size_t at = text.find("Content-Length: ");
    if (at != std::string::npos && at < headEnd) length = std::stoul(text.substr(at + 16));
    while (text.size() < headEnd + 4 + length)
      if (!receive(text)) break;
    std::string one = text.substr(0, headEnd + 4 + length);
    text.erase(0, one.size());
    return one;
  }

  boost::shared_ptr<Handler> handler_ = boost::make_shared<Handler>();
  boost::shared_ptr<IHttpConnection> connection_;
  zu::net::http::HttpLimits const* limits_ = nullptr;
  zu::test::RawSocket client_ = zu::test::NO_SOCKET;

  void forget() { received_.clear(); }

 private:
  std::string received_;  // bytes behind the last response taken

  bool receive(std::string& text) {
    if (!zu::test::waitReadableRaw(client_, 10000)) return false;
    char buffer[65536];
    long n = zu::test::recvRaw(client_, buffer, sizeof buffer);
    if (n <= 0) return false;
    text.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
};

std::string header(std::string const& response, std::string const& name) {
  std::size_t at = response.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "<none>";
  at += name.size() + 4;
  return response.substr(at, response.find("\r\n", at) - at);
}

}  // namespace

TEST_F(HttpConnectionConcurrent, RequestSplitOverReadsIsDeliveredOnceAndAnsweredWithDefaults) {
  open();
  send("POST /p?x=1 HTTP/1.1\r\nHo");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  send("st: example.com\r\nContent-Length: 4\r\n\r\nda");
  EXPECT_TRUE(zu::test::staysFalse([&] { return handler_->requestCount() != 0; }, std::chrono::milliseconds(50)));
  send("ta");
  ASSERT_TRUE(handler_->waitRequests(1));
  HttpRequest const request = handler_->request(0);
  EXPECT_STREQ("POST", request.method.cstr());
  EXPECT_STREQ("example.com", request.url.getHostName().cstr());
  EXPECT_STREQ("/p", request.url.getPath().cstr());
  EXPECT_STREQ("1", request.url.getQuery("x").cstr());
  EXPECT_STREQ("data", request.body.cstr());

  HttpResponse answer;
  answer.body = "hello";
  connection_->respond(answer);
  connection_->respond(answer);  // nothing to answer any more: no second response
  std::string const text = response();
  EXPECT_EQ(0u, text.find("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ("5", header(text, "Content-Length"));
  EXPECT_EQ("zu::HttpServer", header(text, "Server"));
  EXPECT_EQ("text/html", header(text, "Content-Type"));
  EXPECT_EQ(29u, header(text, "Date").size());  // "Sun, 06 Nov 1994 08:49:37 GMT"
  EXPECT_EQ("hello", text.substr(text.size() - 5));
  EXPECT_TRUE(answer.headers.contains("Server"));  // the caller's record keeps the additions
  EXPECT_EQ(4u, answer.headers.size());
}

TEST_F(HttpConnectionConcurrent, EachAnswerHasItsOwnStatusLineAndFraming) {
  open();
  using zu::net::http::HttpStatus;
  struct Case {
    HttpStatus::E_Code code;
    char const* body;
    char const* statusLine;
    char const* length;  // the Content-Length header sent
  };
  // The version is read without regard to case; a length the caller set is
  // replaced by the body's; no length frames an answer that has no body.
  for (Case const& c : {Case{HttpStatus::HTTP_NOT_FOUND, "", "HTTP/1.1 404 Not Found\r\n", "0"},
                        Case{HttpStatus::HTTP_NO_CONTENT, "", "HTTP/1.1 204 No Content\r\n", "<none>"},
                        Case{HttpStatus::HTTP_OK, "x", "HTTP/1.1 200 OK\r\n", "1"}}) {
    std::size_t const before = handler_->requestCount();
    send("GET /a http/1.1\r\n\r\n");
    ASSERT_TRUE(handler_->waitRequests(before + 1));
    HttpResponse answer;
    answer.code = c.code;
    answer.body = c.body;
    if (*c.body) answer.headers.set("Content-Length", "99");
    connection_->respond(answer);
    std::string const text = response();
    EXPECT_EQ(0u, text.find(c.statusLine)) << text;
    EXPECT_EQ(c.length, header(text, "Content-Length")) << text;
    EXPECT_EQ(text.find("Content-Length"), text.rfind("Content-Length")) << text;
  }
}

TEST_F(HttpConnectionConcurrent, BackToBackRequestsAreAnsweredInOrder) {
  open();
  handler_->answer = true;
  send("GET /one HTTP/1.1\r\nHost: h\r\n\r\nGET /two HTTP/1.1\r\nHost: h\r\n\r\n");
  std::string const first = response();
  std::string const second = response();
  EXPECT_EQ("/one", first.substr(first.size() - 4));
  EXPECT_EQ("/two", second.substr(second.size() - 4));

  // Answered later from another thread, the buffered second request still
  // comes through.
  handler_->answer = false;
  send("GET /three HTTP/1.1\r\nHost: h\r\n\r\nGET /four HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(handler_->waitRequests(3));
  HttpResponse answer;
  connection_->respond(answer);
  EXPECT_EQ("0", header(response(), "Content-Length"));  // an empty body is framed too
  ASSERT_TRUE(handler_->waitRequests(4));
  EXPECT_STREQ("/four", handler_->request(3).url.getPath().cstr());
}

// Reads until the peer closes; false when it stays open for 10 s.
bool closedByPeer(zu::test::RawSocket fd, std::string& rest) {
  for (;;) {
    if (!zu::test::waitReadableRaw(fd, 10000)) return false;
    char buffer[4096];
    long n = zu::test::recvRaw(fd, buffer, sizeof buffer);
    if (n <= 0) return true;
    rest.append(buffer, static_cast<std::size_t>(n));
  }
}

// Each head that breaks a limit, or could frame its body more than one way,
// is refused with its status; the connection answers it with
// "Connection: close" and closes, and the request hidden behind it is never
// read as one.
TEST_F(HttpConnectionConcurrent, RefusedRequestsCloseTheConnectionAndNothingBehindThemIsRead) {
  std::string headers20;
  for (int i = 0; i < 20; ++i) headers20 += "H" + std::to_string(i) + ": v\r\n";
  std::string const post = "POST / HTTP/1.1\r\nHost: x\r\n";
  struct Case {
    std::string text;
    unsigned int status;
  };
  std::vector<Case> const cases = {
      {"GET / HTTP/1.0\r\n\r\n", 505},
      {"GET /" + std::string(600, 'a'), 414},
      {"GET / HTTP/1.1\r\n" + headers20 + "\r\n", 431},
      {"GET / HTTP/1.1\r\nX: " + std::string(600, 'a') + "\r\n\r\n", 431},
      {"POST / HTTP/1.1\r\nContent-Length: 10241\r\n\r\n", 413},
      {post + "Transfer-Encoding: chunked\r\n\r\n2800\r\n" + std::string(0x2800, 'c') + "\r\n1\r\nc\r\n0\r\n\r\n", 413},
      {"GET / HTTP/1.1\r\nNo-Separator\r\n\r\n", 400},
      {"GET /\r\n\r\n", 400},
      {"GET  / HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/1.1 \r\n\r\n", 400},
      {post + "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {post + "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n0\r\n\r\n", 400},
      {post + "Transfer-Encoding: gzip\r\n\r\n", 501},
      {post + "Transfer-Encoding: chunked, gzip\r\n\r\n", 501},
      {post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400},
      {post + "Content-Length: 3, 4\r\n\r\nabcd", 400},
      {post + "Content-Length: +3\r\n\r\nabc", 400},
      {post + "Content-Length: 3abc\r\n\r\nabc", 400},
      {post + "Content-Length: 0x3\r\n\r\nabc", 400},
      {post + "Content-Length: -1\r\n\r\n", 400},
      {post + "Content-Length: 0000000000000000000003\r\n\r\nabc", 400},
      {post + "Content-Length: \r\n\r\n", 400},
      {post + "Content-Length : 5\r\n\r\nabcde", 400},
      {post + "Content-Length: 5\r\n X: folded\r\n\r\nabcde", 400},
      {"GET / HTTP/1.1\r\nHost: x\r\nX-A: a\r\n b\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: x\r\nX: a" + std::string(1, '\0') + "b\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: x\r\nX: a\rb\r\n\r\n", 400},
      {post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n\r\n", 400},
      {post + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n", 400},
  };
  std::string const hidden = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
  for (Case const& c : cases) {
    handler_ = boost::make_shared<Handler>();
    open();
    send(c.text + (c.status == 414 ? "\r\n\r\n" : "") + hidden);
    ASSERT_TRUE(handler_->waitEvents(1)) << c.text.substr(0, 60);
    EXPECT_EQ(0u, handler_->event(0));
    EXPECT_EQ(c.status, connection_->refusedStatus()) << c.text.substr(0, 60);
    HttpResponse answer;
    answer.code = static_cast<HttpStatus::E_Code>(connection_->refusedStatus());
    connection_->respond(answer);
    std::string const text = response();
    EXPECT_EQ(0u, text.find("HTTP/1.1 " + std::to_string(c.status))) << text;
    EXPECT_EQ("close", header(text, "Connection"));
    std::string rest;
    EXPECT_TRUE(closedByPeer(client_, rest)) << c.text.substr(0, 60);
    EXPECT_EQ("", rest);
    EXPECT_TRUE(handler_->waitEvent(2));
    EXPECT_EQ(0u, handler_->requestCount()) << c.text.substr(0, 60);
    connection_.reset();
    zu::test::closeRaw(client_);
    client_ = zu::test::NO_SOCKET;
    forget();
  }

  handler_ = boost::make_shared<Handler>();
  open();
  std::string const body(10240, 'b');
  send("POST / HTTP/1.1\r\nContent-Length: 10240\r\n\r\n" + body.substr(0, 5000));
  EXPECT_TRUE(zu::test::staysFalse([&] { return handler_->requestCount() != 0; }, std::chrono::milliseconds(50)));
  send(body.substr(5000));
  ASSERT_TRUE(handler_->waitRequests(1));
  EXPECT_EQ(10240u, handler_->request(0).body.length());
}

// The forms a peer may use: no blank after the colon or a tab, a chunked
// body with extensions and trailer, the absolute form of the target, a
// Content-Length list of one number.
TEST_F(HttpConnectionConcurrent, LenientFormsAndChunkedBodiesAreRead) {
  handler_->answer = true;
  open();
  send("GET /a HTTP/1.1\r\nHost:x\r\n\r\n"
       "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length:\t5 \r\n\r\nhello"
       "POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
       "4\r\nWiki\r\n5;ext=1\r\npedia\r\n0\r\nTrailer: t\r\n\r\n"
       "GET http://example.org/d?q=1 HTTP/1.1\r\nHost: x\r\n\r\n"
       "POST /e HTTP/1.1\r\nHost: x\r\nContent-Length: 2, 2\r\n\r\nhi");
  ASSERT_TRUE(handler_->waitRequests(5));
  EXPECT_STREQ("x", handler_->request(0).url.getHostName().cstr());
  EXPECT_STREQ("x", handler_->request(0).headers.get("Host", "").cstr());
  EXPECT_STREQ("hello", handler_->request(1).body.cstr());
  EXPECT_STREQ("5", handler_->request(1).headers.get("Content-Length", "").cstr());
  EXPECT_STREQ("Wikipedia", handler_->request(2).body.cstr());
  EXPECT_STREQ("example.org", handler_->request(3).url.getHostName().cstr());
  EXPECT_STREQ("/d", handler_->request(3).url.getPath().cstr());
  EXPECT_STREQ("hi", handler_->request(4).body.cstr());
  for (char const* path : {"/a", "/b", "/c", "/d", "/e"}) {
    std::string const one = response();
    EXPECT_EQ(path, one.substr(one.find("\r\n\r\n") + 4));
  }
  EXPECT_EQ(0u, handler_->eventCount());
}

// "Connection: close" is honoured: the answer says so, the connection
// closes, and a request pipelined behind is never answered.
TEST_F(HttpConnectionConcurrent, ConnectionCloseEndsTheConnectionAfterItsAnswer) {
  handler_->answer = true;
  open();
  send("GET /first HTTP/1.1\r\nHost: x\r\nConnection: Keep-Alive, close\r\n\r\n"
       "GET /second HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string const one = response();
  EXPECT_EQ("close", header(one, "Connection"));
  std::string rest;
  EXPECT_TRUE(closedByPeer(client_, rest));
  EXPECT_EQ("", rest);
  EXPECT_TRUE(handler_->waitEvent(2));
  EXPECT_EQ(1u, handler_->requestCount());
}

// A host's own limits: a browser's request with a 4 KB cookie and 30
// header lines fits in 8 KB lines and 100 headers.
TEST_F(HttpConnectionConcurrent, AHostSetsItsOwnLimits) {
  zu::net::http::HttpLimits limits;
  limits.maxLine = 8192;
  limits.maxHeaders = 100;
  limits.maxHead = 65536;
  limits.maxBody = 100000;
  limits_ = &limits;
  handler_->answer = true;
  open();
  std::string head = "POST /" + std::string(2048, 'u') + " HTTP/1.1\r\nHost: x\r\nCookie: " + std::string(4096, 'c') +
                     "\r\nContent-Length: 50000\r\n";
  for (int i = 0; i < 27; ++i) head += "X-" + std::to_string(i) + ": v\r\n";
  send(head + "\r\n" + std::string(50000, 'b'));
  ASSERT_TRUE(handler_->waitRequests(1));
  EXPECT_EQ(30u, handler_->request(0).headers.size());
  EXPECT_EQ(50000u, handler_->request(0).body.length());
  EXPECT_EQ(0u, response().find("HTTP/1.1 200 OK\r\n"));
  // The head limit counts every line.
  std::string big = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 9; ++i) big += "X-" + std::to_string(i) + ": " + std::string(8000, 'v') + "\r\n";
  send(big + "\r\n");
  ASSERT_TRUE(handler_->waitEvents(1));
  EXPECT_EQ(431u, connection_->refusedStatus());
}

TEST_F(HttpConnectionConcurrent, PeerCloseAndTimeOutsAreEvents) {
  open(1000, 60000);
  auto const started = std::chrono::steady_clock::now();
  ASSERT_TRUE(handler_->waitEvents(2));  // idle: once expired, every tick
  auto const waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_EQ(3u, handler_->event(0));
  EXPECT_EQ(3u, handler_->event(1));

  zu::test::shutdownSend(client_);
  EXPECT_TRUE(handler_->waitEvent(2));
}

TEST_F(HttpConnectionConcurrent, ALargeResponseIsQueuedAndWrittenAsTheSocketTakesIt) {
  open();
  send("GET /big HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(handler_->waitRequests(1));
  HttpResponse answer;
  answer.body = String(std::string(4 << 20, 'z').c_str());
  connection_->respond(answer);  // far more than the socket buffers hold
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string const text = response();
  ASSERT_EQ(std::string::npos, text.find_first_not_of('z', text.find("\r\n\r\n") + 4));
  EXPECT_EQ(std::size_t(4 << 20), text.size() - (text.find("\r\n\r\n") + 4));
  send("GET /next HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(handler_->waitRequests(2));
}

namespace {

// On the first time-out, answers from another thread and waits for it: a
// connection that kept its lock around the callback would hold that thread
// up until the callback gave up.
class AnswerElsewhereOnTimeOut : public IHttpConnectionCallback {
 public:
  void onRequest(boost::shared_ptr<IHttpConnection>, HttpRequest const&) override {}
  void onEvent(boost::shared_ptr<IHttpConnection> connection, unsigned int event) override {
    if (event != 3 || done.exchange(true)) return;
    auto answered = std::make_shared<std::promise<void>>();
    std::future<void> waiting = answered->get_future();
    // Detached: with the fault present it can only finish after this returns.
    std::thread([connection, answered] {
      HttpResponse response;
      connection->respond(response);
      answered->set_value();
    }).detach();
    answeredInTime = waiting.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    finished = true;
  }
  std::atomic<bool> done{false}, finished{false}, answeredInTime{false};
};

}  // namespace

TEST_F(HttpConnectionConcurrent, TheTimeOutCallbackRunsWithoutTheConnectionLock) {
  auto callback = boost::make_shared<AnswerElsewhereOnTimeOut>();
  boost::shared_ptr<zu::net::ISocket> listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  ASSERT_TRUE(listener->listen(0, zu::net::IP::loopback()));
  client_ = zu::test::connectLoopback(listener->localAddress().port);
  ASSERT_NE(zu::test::NO_SOCKET, client_);
  ASSERT_TRUE(listener->waitReadable(5000));
  connection_ = IHttpConnection::New(listener->accept(), 500, 60000);
  connection_->start(callback);
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!callback->finished && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(callback->finished);
  EXPECT_TRUE(callback->answeredInTime);
}

// ---------------------------------------------------------------------------
// What a hostile peer can make the client and the connection do.

namespace {

// Accepts one connection, reads the request head, sends `reply` and then
// keeps the connection open until the client closes it or `hold` passes.
class HoldingServer {
 public:
  HoldingServer(std::string reply, std::chrono::milliseconds hold) : reply_(std::move(reply)), hold_(hold) {
    listener_ = zu::test::listenLoopback(port, 1);
    thread_ = std::thread([this] { serve(); });
  }
  ~HoldingServer() {
    thread_.join();
    zu::test::closeRaw(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

  unsigned short port = 0;
  // The client hung up before the server gave up on it.
  std::atomic<bool> clientClosedFirst{false};

 private:
  void serve() {
    if (!zu::test::waitReadableRaw(listener_, 10000)) return;
    zu::test::RawSocket fd = zu::test::acceptRaw(listener_);
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      long n = zu::test::recvRaw(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    zu::test::sendRaw(fd, reply_.data(), reply_.size());
    auto const deadline = std::chrono::steady_clock::now() + hold_;
    while (std::chrono::steady_clock::now() < deadline) {
      if (zu::test::waitReadableRaw(fd, 20)) {
        if (zu::test::recvRaw(fd, buffer, sizeof buffer) <= 0) {
          clientClosedFirst = true;
          break;
        }
      }
    }
    zu::test::closeRaw(fd);
  }

  zu::test::RawSocket listener_ = zu::test::NO_SOCKET;
  std::string reply_;
  std::chrono::milliseconds hold_;
  std::thread thread_;
};

}  // namespace

TEST(HttpClient, ResponseLinesAndHeadsAreBounded) {
  std::string const head = "HTTP/1.1 200 OK\r\n";
  std::string longHead = head;
  for (int i = 0; i < 20; ++i) longHead += "X-" + std::to_string(i) + ": " + std::string(60000, 'h') + "\r\n";
  struct Case {
    std::string reply;
    bool ok;
  };
  std::vector<Case> const cases = {
      {head + "X-Long: " + std::string(200000, 'a'), false},      // a header line without end
      {"HTTP/1.1 200 " + std::string(200000, 's'), false},        // a status line without end
      {longHead, false},                                           // a head beyond 1 MB
      {head + "X-Big: " + std::string(60000, 'b') + "\r\nContent-Length: 2\r\n\r\nok", true},
  };
  for (Case const& c : cases) {
    HoldingServer server(c.reply, std::chrono::milliseconds(5000));
    boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
    Outcome o = get(client, server.url());
    EXPECT_EQ(c.ok, o.ok) << c.reply.substr(0, 40);
    if (!c.ok) {
      EXPECT_EQ("read response message failed.", o.text);
      // Given up at the bound, not when the peer let go.
      client.reset();
    }
    // The client closed its end before the server's hold ran out.
    if (!c.ok) {
      auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
      while (!server.clientClosedFirst && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_TRUE(server.clientClosedFirst) << c.reply.substr(0, 40);
    }
  }
}

namespace {

// Answers one request with `head` and then body bytes until the client goes.
class EndlessServer {
 public:
  explicit EndlessServer(std::string head) : head_(std::move(head)) {
    listener_ = zu::test::listenLoopback(port, 1);
    thread_ = std::thread([this] {
      zu::test::RawSocket fd = zu::test::acceptRaw(listener_);
      char buffer[4096];
      zu::test::recvRaw(fd, buffer, sizeof buffer);
      zu::test::sendRaw(fd, head_.data(), head_.size());
      std::string const block(65536, 'e');
      while (zu::test::sendRaw(fd, block.data(), block.size()) > 0) {
      }
      zu::test::closeRaw(fd);
    });
  }
  ~EndlessServer() {
    thread_.join();
    zu::test::closeRaw(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }
  unsigned short port = 0;

 private:
  std::string head_;
  zu::test::RawSocket listener_ = zu::test::NO_SOCKET;
  std::thread thread_;
};

#ifndef _WIN32
// The process's address space now, in bytes.
std::size_t addressSpace() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (f) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Run in a child process with its address space capped 512 MB above what it
// uses: a body that is allocated by its announced length, or an allocation
// failure that escapes as an exception, ends the child with another code.
int fetchUnderAMemoryCap() {
  rlimit cap{};
  cap.rlim_cur = cap.rlim_max = addressSpace() + (512u << 20);
  if (::setrlimit(RLIMIT_AS, &cap) != 0) return 10;
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  {
    // Announces 4 GiB, sends a few bytes and closes.
    ScriptedServer liar([](std::string const&, int) {
      return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 4294967295\r\n\r\n" + std::string(50, 'x'), true};
    });
    Outcome o = get(client, liar.url("/"));
    if (o.ok || o.code != 2 || o.text.find("can't read content.err=") != 0) return 11;
  }
  {
    // Really sends without end: the body grows until memory runs out, which
    // is a reported failure.
    EndlessServer endless("HTTP/1.1 200 OK\r\nContent-Length: 4294967295\r\n\r\n");
    Outcome o = get(client, endless.url());
    client.reset();  // lets the server go
    if (o.ok || o.code != 100 || o.text != "out of memory" || o.body != "left over") return 12;
  }
  return 0;
}
#endif

}  // namespace

TEST(HttpClientDeathTest, ABodyTakesTheMemoryItsBytesNeedAndRunningOutIsAFailure) {
#ifdef _WIN32
  GTEST_SKIP() << "caps the address space with setrlimit(RLIMIT_AS); Windows' form, a job object's "
                  "memory limit, is not ported";
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the cap allows";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(fetchUnderAMemoryCap()), ::testing::ExitedWithCode(0), "");
#endif
}

TEST_F(HttpConnectionConcurrent, TheReceiveTimeOutBoundsARequestFromItsFirstByteToItsLast) {
  open(60000, 1500);
  auto const started = std::chrono::steady_clock::now();
  send("GET / HTTP/1.1\r\n");
  // One byte every 200 ms: each read would restart a time-out measured
  // between reads.
  while (handler_->eventCount() == 0 && std::chrono::steady_clock::now() - started < std::chrono::seconds(6)) {
    send("X");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(1u, std::min<std::size_t>(1, handler_->eventCount()));
  EXPECT_EQ(3u, handler_->event(0));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3500));
  EXPECT_EQ(0u, handler_->requestCount());
}

TEST_F(HttpConnectionConcurrent, APeerThatDoesNotReadStopsTheReadingAndTimesOut) {
  // A handler that answers every request with 1 MB.
  class BigAnswers : public IHttpConnectionCallback {
   public:
    void onRequest(boost::shared_ptr<IHttpConnection> connection, HttpRequest const&) override {
      ++requests;
      HttpResponse response;
      response.body = body;
      connection->respond(response);
    }
    void onEvent(boost::shared_ptr<IHttpConnection>, unsigned int event) override {
      if (event == 3) ++timeOuts;
    }
    String const body{std::string(1 << 20, 'b').c_str()};
    std::atomic<int> requests{0}, timeOuts{0};
  };
  auto answers = boost::make_shared<BigAnswers>();
  boost::shared_ptr<zu::net::ISocket> listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  ASSERT_TRUE(listener->listen(0, zu::net::IP::loopback()));
  client_ = zu::test::connectLoopback(listener->localAddress().port);
  ASSERT_NE(zu::test::NO_SOCKET, client_);
  ASSERT_TRUE(listener->waitReadable(5000));
  connection_ = IHttpConnection::New(listener->accept(), 1500, 60000);
  connection_->start(answers);

  int const sent = 60;
  auto request = [](int i) { return "GET /" + std::to_string(i) + " HTTP/1.1\r\nHost: h\r\n\r\n"; };
  auto settle = [&answers] {
    int last = -1;
    for (int quiet = 0; quiet < 5; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
      int const now = answers->requests;
      quiet = now == last ? quiet + 1 : 0;
      last = now;
    }
  };
  // The queue fills and reading stops: far fewer answers than requests are
  // made while nobody reads them (the rest would wait in memory). Half the
  // requests come in one packet...
  std::string packet;
  for (int i = 0; i < sent / 2; ++i) packet += request(i);
  send(packet);
  settle();
  EXPECT_LT(answers->requests.load(), sent / 4);
  // ...and half one by one, spread over time, each a read of its own: each
  // read must leave them be while the queue is full.
  bool answered = true;
  for (int i = sent / 2; i < sent; ++i) {
    int const before = answers->requests;
    send(request(i));
    if (answered)
      answered = zu::test::waitFor([&] { return answers->requests > before; }, std::chrono::milliseconds(200));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  settle();
  EXPECT_LT(answers->requests.load(), sent / 4);
  // A queue that does not move within the idle time-out is a time-out, even
  // while a request is half read.
  send("GET /half HT");
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (answers->timeOuts == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GT(answers->timeOuts.load(), 0);

  // Reading resumes as the queue drains: every request is answered.
  std::size_t got = 0;
  for (int i = 0; i < sent; ++i) {
    std::string const one = response();
    if (one.empty()) break;
    ++got;
  }
  EXPECT_EQ(static_cast<std::size_t>(sent), got);
  EXPECT_EQ(sent, answers->requests.load());
}

TEST(HttpClient, GetIntoBytesKeepsZeroBytesAndFillsTheResponseHead) {
  std::string const bytes("a\0b\0\0c", 6);
  ScriptedServer server([&](std::string const& request, int) {
    if (request.find("GET /moved ") == 0)
      return Reply{"HTTP/1.1 302 Found\r\nContent-Length: 0\r\nX-Hop: 1\r\nLocation: /chunked\r\n\r\n"};
    if (request.find("GET /chunked ") == 0)
      return Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-Kind: chunked\r\n\r\n3\r\n" + bytes.substr(0, 3) +
                   "\r\n3\r\n" + bytes.substr(3) + "\r\n0\r\n\r\n"};
    return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 6\r\nX-Kind: length\r\n\r\n" + bytes};
  });
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-test/1", 5000);
  for (char const* path : {"/plain", "/moved"}) {
    zu::ByteArray body;
    MIME headers;
    headers.set("Stale", "x");
    zu::em::CatchError guard(client.get());
    ASSERT_TRUE(client->get(server.url(path).c_str(), body, headers, true)) << guard.text().cstr();
    ASSERT_EQ(6u, body.size()) << path;
    EXPECT_EQ(bytes, std::string(reinterpret_cast<char const*>(body.ptr()), body.size())) << path;
    EXPECT_FALSE(headers.contains("Stale"));
    EXPECT_FALSE(headers.contains("X-Hop"));  // the final answer's head only
    EXPECT_STREQ(std::string(path) == "/plain" ? "length" : "chunked", headers.get("X-Kind", "").cstr());
  }
  // The text form still ends at the first zero byte.
  EXPECT_EQ("a", get(client, server.url("/plain"), true).body);

  zu::ByteArray kept;
  kept.getBuffer(3, 'k');
  MIME headers;
  zu::em::CatchError guard(client.get());
  EXPECT_FALSE(client->get("ftp://127.0.0.1/", kept, headers, true));
  EXPECT_EQ("url scheme error. only support http.", std::string(guard.text().cstr()));
  EXPECT_EQ(3u, kept.size());  // untouched on failure
}

TEST_F(HttpConnectionConcurrent, BlankLinesBeforeARequestArePassedOverAndStartNoTimeOut) {
  open(60000, 1000);
  handler_->answer = true;
  // The line end a client sends behind a body, before the next request and
  // after the last one.
  send("GET /one HTTP/1.1\r\nHost: h\r\n\r\n\r\n");
  std::string const first = response();
  EXPECT_EQ("/one", first.substr(first.size() - 4));
  send("\r\n\r\nGET /two HTTP/1.1\r\nHost: h\r\n\r\n\r\n");
  std::string const second = response();
  EXPECT_EQ("/two", second.substr(second.size() - 4));
  EXPECT_EQ(2u, handler_->requestCount());
  // And a line end that comes on its own, on the idle connection.
  send("\r\n");
  // Only blank lines since: the connection is idle, not receiving a request
  // that could time out (the receive time-out is 1 s, the check 1 s apart).
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  while (handler_->eventCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(0u, handler_->eventCount()) << "event " << (handler_->eventCount() ? handler_->event(0) : 99);
}
