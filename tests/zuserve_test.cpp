// zuserve, the program, driven from outside: started on free ports with
// its own configuration files, asked through curl, zu's HTTP client and raw
// sockets, stopped with signals.
#include <iostream>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <strings.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <zu/db.h>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/socket.h>
#include <zu/tls.h>

#include "db_server.h"
#include "hidden_library.h"
#include "support/tls_peers.h"


namespace {

namespace fsys = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string readText(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(std::string const& path, std::string const& text) {
  fsys::create_directories(fsys::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Standard output of a shell command.
std::string shell(std::string const& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  pclose(p);
  return out;
}

// curl's response head and body (-i) for `arguments` (URL included).
std::string curl(std::string const& arguments) { return shell("curl -s -i --max-time 20 " + arguments + " 2>&1"); }

int statusOf(std::string const& response) {
  return response.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(response.c_str() + 9) : 0;
}

std::string bodyOf(std::string const& response) {
  size_t const end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// The value of a header in curl's -i output; empty when absent.
std::string headerOf(std::string const& response, std::string const& name) {
  std::istringstream in(response.substr(0, response.find("\r\n\r\n")));
  for (std::string line; std::getline(in, line);) {
    if (line.size() > name.size() + 1 && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
        line[name.size()] == ':') {
      std::string value = line.substr(name.size() + 1);
      while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      return value;
    }
  }
  return std::string();
}

int freePort() {
  boost::shared_ptr<zu::net::ISocket> s = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  if (!s->listen(0, zu::net::IP::loopback())) return 0;
  int const port = s->localAddress().port;
  s->close();
  return port;
}

// One zuserve process; its standard output and error go to files.
class Process {
 public:
  ~Process() { kill(SIGKILL); }

  // Starts `program` with `args` and extra environment entries ("NAME=value").
  bool spawn(std::string const& program, std::vector<std::string> const& args, std::vector<std::string> env,
             std::string const& dir) {
    out_ = dir + "/stdout.txt";
    err_ = dir + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string const& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (char** e = environ; *e; ++e) {
      std::string const entry(*e);
      bool replaced = false;
      for (std::string const& x : env) replaced |= entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
      if (!replaced) env.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    int const rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }

  // Waits for the "serving http://..." line and reads the port from it;
  // 0 when the process ended or the line did not come within `seconds`.
  int waitServing(int seconds = 30) {
    auto const end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      std::string const text = readText(out_);
      size_t const at = text.find("serving http://127.0.0.1:");
      if (at != std::string::npos) return port_ = std::atoi(text.c_str() + at + 25);
      if (exited(0)) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }

  // True once the process has ended (its status then in status()).
  bool exited(int milliseconds) {
    auto const end = Clock::now() + std::chrono::milliseconds(milliseconds);
    do {
      if (pid_ <= 0) return true;
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < end);
    return false;
  }

  void kill(int signal) {
    if (pid_ > 0) {
      ::kill(pid_, signal);
      if (signal == SIGKILL) exited(10000);
    }
  }

  int status() const { return status_; }
  int port() const { return port_; }
  std::string href(std::string const& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  // Quoted for the shell.
  std::string url(std::string const& path) const { return "'" + href(path) + "'"; }
  std::string out() const { return readText(out_); }
  std::string err() const { return readText(err_); }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  int port_ = 0;
  std::string out_, err_;
};

std::string makeTempDir() {
  char pattern[] = "/tmp/zuserve_test_XXXXXX";
  return mkdtemp(pattern) ? std::string(pattern) : std::string();
}

std::string const thirteen = "Hello, world!";  // the 13-byte file
std::string const secret = "secret-outside-the-root";

// A site of every kind of file plus scripts for the cases below; a file
// next to the root holds the text that must never be served.
void writeSite(std::string const& dir) {
  writeText(dir + "/www/index.html", "<!DOCTYPE html><title>home</title><p>home page</p>\n");
  writeText(dir + "/www/a.txt", thirteen);
  writeText(dir + "/www/style.css", "body { color: red }\n");
  writeText(dir + "/www/data.json", "{\"a\": 1}\n");
  writeText(dir + "/www/app.js", "console.log(1);\n");
  writeText(dir + "/www/sub/index.html", "<p>sub index</p>\n");
  writeText(dir + "/www/pic.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01", 20));
  writeText(dir + "/www/blob", "opaque");
  writeText(dir + "/secret.txt", secret);
  writeText(dir + "/www.txt", secret);
  writeText(dir + "/js/echo.js",
            "function handle(r) {\n"
            "  return { status: 201, headers: { 'X-Method': r.method, 'Content-Type': 'application/json' },\n"
            "    body: JSON.stringify({ method: r.method, path: r.path, query: r.query, form: r.form, body: r.body,\n"
            "                           header: r.headers['x-test'] || null }) };\n"
            "}\n");
  writeText(dir + "/js/text.js", "function handle(r) { return 'plain ' + r.method; }\n");
  writeText(dir + "/js/code.js", "function handle(r) { return { status: Number(r.query.s), body: 'code' }; }\n");
  writeText(dir + "/js/spin.js", "function handle(r) { var n = 0; for (;;) { n++; } }\n");
  writeText(dir + "/js/boom.js", "function handle(r) {\n  throw new Error('boom ' + r.query.x);\n}\n");
  writeText(dir + "/js/broken.js", "function handle(r) { return 'x' \n");
}

std::string configXml(std::string const& extra, std::string const& scripts = "contexts=\"2\" branchLimit=\"2000000\"") {
  return "<?xml version=\"1.0\"?>\n<zuserve>\n  <listen address=\"127.0.0.1\" port=\"0\" />\n"
         "  <site root=\"www\" scripts=\"js\" />\n  <log level=\"3\" options=\"time\" />\n  <scripts " +
         scripts + " />\n" + extra + "</zuserve>\n";
}

// One server for the read-only cases, started once.
class ZuserveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(makeTempDir());
    writeSite(*dir_);
    // A script that holds its context until the test releases it through
    // another route, then runs away.
    writeText(*dir_ + "/js/hold.js",
              "db.query('CREATE TABLE IF NOT EXISTS holds (id TEXT, state TEXT)');\n"
              "function handle(r) {\n"
              "  db.query(\"INSERT INTO holds VALUES (?, 'running')\", r.query.id);\n"
              "  while (db.query(\"SELECT 1 FROM holds WHERE id = ? AND state = 'released'\", r.query.id).length == 0) {}\n"
              "  var n = 0;\n"
              "  for (;;) { n++; }\n"
              "}\n");
    writeText(*dir_ + "/js/release.js",
              "function handle(r) {\n"
              "  if (r.method == 'POST') db.query(\"UPDATE holds SET state = 'released' WHERE id = ?\", r.query.id);\n"
              "  return db.query('SELECT state FROM holds WHERE id = ?', r.query.id).map(function (row) {\n"
              "    return row.state;\n"
              "  }).join();\n"
              "}\n");
    // What db.query makes of each kind of value.
    writeText(*dir_ + "/js/values.js",
              "function handle(r) {\n"
              "  return JSON.stringify(db.query(\"SELECT ? IS NULL AS n, ? IS NULL AS u, ? IS NULL AS nan, ? AS t, ? AS f, \"\n"
              "    + \"? AS x, ? AS s, 'a?b' AS q, ? AS extra\", null, undefined, 0 / 0, true, false, -1.5, r.query.s));\n"
              "}\n");
    writeText(*dir_ + "/conf.xml", configXml("<database connection=\"sqlite://${base}/holds.db\"/>\n"));
    server_ = new Process;
    server_->spawn(ZUSERVE_PATH, {"--config", *dir_ + "/conf.xml"}, {}, *dir_);
    server_->waitServing();
  }
  static void TearDownTestSuite() {
    server_->kill(SIGTERM);
    server_->exited(10000);
    delete server_;
    fsys::remove_all(*dir_);
    delete dir_;
  }
  void SetUp() override { ASSERT_NE(0, server_->port()) << server_->out() << server_->err(); }
  // A server that ended under a test is a failure of its own, with what it
  // left behind.
  void TearDown() override {
    if (server_->exited(0)) {
      ADD_FAILURE() << "the server ended with status " << server_->status() << "\n"
                    << server_->out().substr(server_->out().size() > 4000 ? server_->out().size() - 4000 : 0)
                    << server_->err();
    } else if (HasFailure()) {
      std::string const out = server_->out();
      std::cerr << "server log:\n" << out.substr(out.size() > 4000 ? out.size() - 4000 : 0) << server_->err();
    }
  }
  static std::string url(std::string const& path) { return server_->url(path); }
  static std::string href(std::string const& path) { return server_->href(path); }

  static Process* server_;
  static std::string* dir_;
};

Process* ZuserveTest::server_ = nullptr;
std::string* ZuserveTest::dir_ = nullptr;

// A request sent as raw bytes; the answer read up to the end of its body.
std::string rawRequest(int port, std::string const& bytes) {
  boost::shared_ptr<zu::net::ISocket> s = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  if (!s->connect(static_cast<unsigned short>(port), zu::net::IP::loopback()) || !s->waitConnected(5000)) return "";
  s->setTimeouts(5000, 5000);
  s->toIO()->write(bytes.data(), static_cast<unsigned int>(bytes.size()));
  std::string answer;
  char buffer[4096];
  while (true) {
    size_t const head = answer.find("\r\n\r\n");
    if (head != std::string::npos) {
      std::string const length = headerOf(answer, "Content-Length");
      if (answer.size() >= head + 4 + std::strtoul(length.c_str(), nullptr, 10)) break;
    }
    unsigned int const n = s->toIO()->read(buffer, sizeof buffer);
    if (n == 0) break;
    answer.append(buffer, n);
  }
  return answer;
}

TEST_F(ZuserveTest, StaticFilesCarryTheirTypesAndBytes) {
  struct Case {
    char const* path;
    char const* type;
    std::string body;
  } const cases[] = {
      {"/a.txt", "text/plain; charset=utf-8", thirteen},
      {"/style.css", "text/css; charset=utf-8", "body { color: red }\n"},
      {"/data.json", "application/json", "{\"a\": 1}\n"},
      {"/app.js", "text/javascript; charset=utf-8", "console.log(1);\n"},
      {"/", "text/html; charset=utf-8", "<!DOCTYPE html><title>home</title><p>home page</p>\n"},
      {"/sub/", "text/html; charset=utf-8", "<p>sub index</p>\n"},
      {"/blob", "application/octet-stream", "opaque"},
  };
  for (Case const& c : cases) {
    std::string const r = curl(url(c.path));
    EXPECT_EQ(200, statusOf(r)) << c.path;
    EXPECT_EQ(c.type, headerOf(r, "Content-Type")) << c.path;
    EXPECT_EQ(c.body, bodyOf(r)) << c.path;
    EXPECT_EQ(std::to_string(c.body.size()), headerOf(r, "Content-Length")) << c.path;
  }
  // A binary file arrives whole, NUL bytes included.
  std::string const r = curl(url("/pic.png"));
  EXPECT_EQ("image/png", headerOf(r, "Content-Type"));
  EXPECT_EQ("20", headerOf(r, "Content-Length"));
  EXPECT_EQ(readText(*dir_ + "/www/pic.png"), bodyOf(r));

  // zu's own client. (It ends each request with an extra line end, which
  // the server's connection reads as a bad next request, so it does not
  // keep the connection.)
  boost::shared_ptr<zu::net::http::IHttpClient> client = zu::net::http::IHttpClient::New("zuserve-test", 5000);
  zu::String body;
  ASSERT_TRUE(client->get(href("/a.txt").c_str(), body, false));
  EXPECT_EQ(200u, client->status());
  EXPECT_STREQ(thirteen.c_str(), body.cstr());
  ASSERT_TRUE(client->get(href("/style.css").c_str(), body, false));
  EXPECT_STREQ("body { color: red }\n", body.cstr());
}

TEST_F(ZuserveTest, HeadAndIfModifiedSince) {
  std::string const head = curl("-I " + url("/a.txt"));
  EXPECT_EQ(200, statusOf(head));
  EXPECT_EQ("13", headerOf(head, "Content-Length"));
  EXPECT_EQ("", bodyOf(head));
  std::string const modified = headerOf(head, "Last-Modified");
  ASSERT_FALSE(modified.empty());

  std::string const same = curl("-H 'If-Modified-Since: " + modified + "' " + url("/a.txt"));
  EXPECT_EQ(304, statusOf(same));
  EXPECT_EQ("", bodyOf(same));
  std::string const older = curl("-H 'If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT' " + url("/a.txt"));
  EXPECT_EQ(200, statusOf(older));
  EXPECT_EQ(thirteen, bodyOf(older));

  // HEAD of a binary file, whose bytes bypass the connection: its own length.
  std::string const binary = curl("-I " + url("/pic.png"));
  EXPECT_EQ(200, statusOf(binary));
  EXPECT_EQ("20", headerOf(binary, "Content-Length"));
  EXPECT_EQ(binary.find("Content-Length:"), binary.rfind("Content-Length:")) << "one length only: " << binary;

  // HEAD of a script route: the length of the body it would send, no body.
  std::string const scripted = curl("-I " + url("/text"));
  EXPECT_EQ(200, statusOf(scripted));
  EXPECT_EQ("10", headerOf(scripted, "Content-Length"));  // "plain HEAD"
  EXPECT_EQ("", bodyOf(scripted));
}

TEST_F(ZuserveTest, ErrorAnswersAreSmallHtmlPages) {
  std::string const missing = curl(url("/nothing/here.html"));
  EXPECT_EQ(404, statusOf(missing));
  EXPECT_EQ("text/html", headerOf(missing, "Content-Type"));
  EXPECT_EQ("<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head><body><h1>404 Not Found</h1>"
            "<p>Nothing is served at this path.</p></body></html>\n",
            bodyOf(missing));

  for (char const* method : {"POST", "PUT", "DELETE"}) {
    std::string const r = curl(std::string("-X ") + method + " " + url("/a.txt"));
    EXPECT_EQ(405, statusOf(r)) << method;
    EXPECT_EQ("GET, HEAD", headerOf(r, "Allow"));
    EXPECT_NE(std::string::npos, bodyOf(r).find("405 Method Not Allowed"));
  }

  int const port = server_->port();
  std::string manyHeaders = "GET /a.txt HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 100; ++i) manyHeaders += "X-" + std::to_string(i) + ": v\r\n";
  struct Bad {
    std::string text;
    int status;
    char const* title;
  };
  for (Bad const& bad :
       {Bad{"GET /a.txt HTTP/1.0\r\nHost: x\r\n\r\n", 505, "505 HTTP Version Not Supported"},
        Bad{"GET /a.txt HTTP/1.1\r\n\r\n", 400, "400 Bad Request"},  // no Host
        Bad{"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414, "414 URI Too Long"},
        Bad{"GET /a.txt HTTP/1.1\r\nHost: x\r\nCookie: " + std::string(9000, 'c') + "\r\n\r\n", 431,
            "431 Request Header Fields Too Large"},
        Bad{manyHeaders + "\r\n", 431, "431 Request Header Fields Too Large"},
        Bad{"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n", 413, "413 Content Too Large"},
        Bad{"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n", 501, "501 Not Implemented"},
        Bad{"NONSENSE\r\n\r\n", 400, "400 Bad Request"}}) {
    std::string const r = rawRequest(port, bad.text);
    EXPECT_EQ(bad.status, statusOf(r)) << bad.text.substr(0, 40);
    EXPECT_NE(std::string::npos, bodyOf(r).find(bad.title)) << bad.text.substr(0, 40);
  }
  EXPECT_EQ(505, statusOf(curl("--http1.0 " + url("/a.txt"))));
}

TEST_F(ZuserveTest, NoPathLeavesTheRoot) {
  std::vector<std::string> const targets = {
      "/../secret.txt",           "/../../../../etc/passwd",   "/%2e%2e/secret.txt",
      "/%2E%2E/secret.txt",       "/%2e%2e%2fsecret.txt",      "/sub/../../secret.txt",
      "/sub/%2e%2e/%2e%2e/secret.txt", "/..%5csecret.txt",     "/%5c..%5csecret.txt",
      "/..\\secret.txt",          "/sub\\..\\..\\secret.txt",  "/%00/../secret.txt",
      "/a.txt%00/../../secret.txt", "/./../secret.txt",        "/%2e/%2e%2e/secret.txt",
      "//../secret.txt",          "/sub/..%2f..%2fsecret.txt", "/../www.txt"};
  for (std::string const& target : targets) {
    std::string const r = rawRequest(server_->port(), "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(400, statusOf(r)) << target;
    EXPECT_EQ(std::string::npos, r.find(secret)) << target;
  }
  // A NUL byte in the request line itself.
  std::string const nul = rawRequest(server_->port(), std::string("GET /a.txt\0/../../secret.txt HTTP/1.1\r\nHost: x\r\n\r\n", 51));
  EXPECT_EQ(std::string::npos, nul.find(secret));
  EXPECT_EQ(400, statusOf(nul));
  // Dot segments and NUL bytes are refused also where they would lead to a
  // file that exists.
  for (char const* target : {"/a.txt%00", "/%2e/a.txt", "/sub/..", "/./a.txt", "/sub/%2E%2e/a.txt"})
    EXPECT_EQ(400, statusOf(rawRequest(server_->port(), std::string("GET ") + target + " HTTP/1.1\r\nHost: x\r\n\r\n")))
        << target;
  EXPECT_EQ(400, statusOf(curl("--path-as-is " + url("/../secret.txt"))));
}

TEST_F(ZuserveTest, ScriptRoutesGetQueryFormHeadersAndBody) {
  std::string const r =
      curl("-H 'X-Test: yes' --data 'name=Ann+Lee&msg=a%26b%3Dc&empty=' " + url("/echo?q=1&w=two%20words"));
  EXPECT_EQ(201, statusOf(r));
  EXPECT_EQ("POST", headerOf(r, "X-Method"));
  EXPECT_EQ("application/json", headerOf(r, "Content-Type"));
  EXPECT_EQ("{\"method\":\"POST\",\"path\":\"/echo\",\"query\":{\"q\":\"1\",\"w\":\"two words\"},"
            "\"form\":{\"name\":\"Ann Lee\",\"msg\":\"a&b=c\",\"empty\":\"\"},"
            "\"body\":\"name=Ann+Lee&msg=a%26b%3Dc&empty=\",\"header\":\"yes\"}",
            bodyOf(r));

  // A JSON body is passed as it came, without form fields.
  std::string const json =
      curl("-H 'Content-Type: application/json' --data '{\"k\":[1,2]}' " + url("/echo"));
  EXPECT_NE(std::string::npos, bodyOf(json).find("\"form\":{},\"body\":\"{\\\"k\\\":[1,2]}\""));

  // zu's client, PUT with a header of its own.
  boost::shared_ptr<zu::net::http::IHttpClient> client = zu::net::http::IHttpClient::New("zuserve-test", 5000);
  struct Sink : zu::net::http::IHttpReceiver {
    std::string data;
    void onData(boost::shared_ptr<zu::net::http::IHttpClient>, unsigned char const* p, unsigned int n) override {
      data.append(reinterpret_cast<char const*>(p), n);
    }
    void onEnd(boost::shared_ptr<zu::net::http::IHttpClient>) override {}
  } sink;
  zu::net::http::MIME headers, answer;
  headers.set("X-Test", "from zu");
  headers.set("Content-Type", "application/x-www-form-urlencoded");
  ASSERT_TRUE(client->request("PUT", href("/echo?x=%3C").c_str(), headers, "a=1", answer, sink, false));
  EXPECT_EQ(201u, client->status());
  EXPECT_EQ("{\"method\":\"PUT\",\"path\":\"/echo\",\"query\":{\"x\":\"<\"},\"form\":{\"a\":\"1\"},\"body\":\"a=1\","
            "\"header\":\"from zu\"}",
            sink.data);

  // Of names given twice, in the query or the headers, the first wins.
  std::string const twice = curl("-H 'X-Test: first' -H 'x-test: second' " + url("/echo?q=1&q=2"));
  EXPECT_NE(std::string::npos, bodyOf(twice).find("\"query\":{\"q\":\"1\"}")) << twice;
  EXPECT_NE(std::string::npos, bodyOf(twice).find("\"header\":\"first\"")) << twice;

  // Values reach the database escaped, each "?" outside quotes taking the
  // next one (NULL when there is none); the rows come back as text.
  std::string const values = curl(url("/values?s=it%27s%20%5C%20%22q%22"));
  EXPECT_EQ("[{\"n\":\"1\",\"u\":\"1\",\"nan\":\"1\",\"t\":\"1\",\"f\":\"0\",\"x\":\"-1.5\","
            "\"s\":\"it's \\\\ \\\"q\\\"\",\"q\":\"a?b\",\"extra\":\"\"}]",
            bodyOf(values));

  // A status the script makes up outside 100 to 599 is a failure.
  for (auto const& c : std::vector<std::pair<char const*, int>>{{"404", 404}, {"599", 599}, {"600", 500}, {"99", 500}})
    EXPECT_EQ(c.second, statusOf(curl(url(std::string("/code?s=") + c.first)))) << c.first;

  // A text answer is an HTML page with status 200.
  std::string const text = curl(url("/text"));
  EXPECT_EQ(200, statusOf(text));
  EXPECT_EQ("plain GET", bodyOf(text));
}

// Everything the server sends on one connection until it closes it.
std::string untilClosed(int port, std::string const& bytes) {
  boost::shared_ptr<zu::net::ISocket> s = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  if (!s->connect(static_cast<unsigned short>(port), zu::net::IP::loopback()) || !s->waitConnected(5000)) return "";
  s->setTimeouts(10000, 5000);
  s->toIO()->write(bytes.data(), static_cast<unsigned int>(bytes.size()));
  std::string answer;
  char buffer[4096];
  for (unsigned int n; (n = s->toIO()->read(buffer, sizeof buffer)) != 0;) answer.append(buffer, n);
  return answer;
}

std::size_t answers(std::string const& text) {
  std::size_t n = 0;
  for (std::size_t at = text.find("HTTP/1.1 "); at != std::string::npos; at = text.find("HTTP/1.1 ", at + 1)) ++n;
  return n;
}

// What a browser sends fits; a request framed two ways, or one that asks to
// close, ends the connection with its answer, and nothing behind it is
// answered; a client's bytes that are not UTF-8 never make a server error.
TEST_F(ZuserveTest, BrowserRequestsFitAndFramingCannotBeSmuggled) {
  int const port = server_->port();
  std::string browser = "GET /a.txt?q=" + std::string(2048, 'q') + " HTTP/1.1\r\nHost: x\r\nCookie: " +
                        std::string(4096, 'c') + "\r\n";
  for (int i = 0; i < 28; ++i) browser += "Sec-X-" + std::to_string(i) + ": " + std::string(60, 'v') + "\r\n";
  std::string const fits = rawRequest(port, browser + "\r\n");
  EXPECT_EQ(200, statusOf(fits)) << fits.substr(0, 200);
  // The security headers by default, on files and script answers alike.
  for (std::string const& r : {fits, curl(url("/text"))}) {
    EXPECT_EQ("nosniff", headerOf(r, "X-Content-Type-Options"));
    EXPECT_EQ("default-src 'self'; frame-ancestors 'self'", headerOf(r, "Content-Security-Policy"));
  }

  std::string const hidden = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  for (std::string const& shape :
       {std::string("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
        std::string("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 4\r\n\r\n"),
        std::string("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length : 4\r\n\r\n"),
        std::string("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: +4\r\n\r\n"),
        std::string("GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")}) {
    std::string const r = untilClosed(port, shape + hidden);
    EXPECT_EQ(1u, answers(r)) << shape << r;
    EXPECT_EQ("close", headerOf(r, "Connection")) << shape;
  }
  // A chunked body reaches the script whole.
  std::string const chunked = rawRequest(
      port, "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
  EXPECT_EQ(201, statusOf(chunked)) << chunked;
  EXPECT_NE(std::string::npos, bodyOf(chunked).find("\"body\":\"abcde\"")) << chunked;

  for (std::string const& bad : {std::string("/echo?x=%ff"), std::string("/echo?x=%c3"), std::string("/echo%fe")}) {
    std::string const r = curl(url(bad));
    EXPECT_NE(500, statusOf(r)) << bad;
    EXPECT_NE(0, statusOf(r)) << bad;
  }
  std::string const header = rawRequest(port, "GET /echo HTTP/1.1\r\nHost: x\r\nX-Test: \xff\xfe\r\n\r\n");
  EXPECT_EQ(201, statusOf(header)) << header;
  EXPECT_NE(std::string::npos, bodyOf(header).find("\"header\":\"\xEF\xBF\xBD\xEF\xBF\xBD\"")) << header;
  std::string const form = curl("-d 'a=%ff' " + url("/echo"));
  EXPECT_EQ(201, statusOf(form)) << form;
}

TEST_F(ZuserveTest, FailingScriptsAnswer500WithTheEngineReportInTheLog) {
  std::string const boom = curl(url("/boom?x=42"));
  EXPECT_EQ(500, statusOf(boom));
  EXPECT_NE(std::string::npos, bodyOf(boom).find("500 Internal Server Error"));
  std::string const broken = curl(url("/broken"));
  EXPECT_EQ(500, statusOf(broken));
  std::string const log = server_->out();
  EXPECT_NE(std::string::npos, log.find("[ERR ] script boom failed: exception(0) boom 42\nline: 2")) << log;
  EXPECT_NE(std::string::npos, log.find("broken.js does not compile")) << log;
  // The server goes on.
  EXPECT_EQ(thirteen, bodyOf(curl(url("/a.txt"))));
}

TEST_F(ZuserveTest, RunawayScriptAnswers500WhileOtherRequestsAreServed) {
  // The script holds one context until it is released, so what the other
  // context serves meanwhile is served while it runs, however fast or slow
  // the machine.
  std::atomic<bool> done{false};
  std::string held;
  std::thread runaway([&] {
    held = curl(url("/hold?id=runaway"));
    done = true;
  });
  auto const deadline = Clock::now() + std::chrono::seconds(20);
  std::string state;
  while (Clock::now() < deadline && !done && (state = bodyOf(curl(url("/release?id=runaway")))) != "running")
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ("running", state) << "the held script never ran";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(thirteen, bodyOf(curl(url("/a.txt"))));
    EXPECT_EQ("plain GET", bodyOf(curl(url("/text"))));
  }
  EXPECT_FALSE(done) << "nothing was served while the script ran: it answered " << held;
  EXPECT_EQ("released", bodyOf(curl("-X POST " + url("/release?id=runaway"))));
  auto const released = Clock::now();
  runaway.join();
  EXPECT_EQ(500, statusOf(held)) << held;
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - released).count(), 15.0);
  EXPECT_NE(std::string::npos, server_->out().find("script hold failed: error(124) max branches exceed"));
  // The context that ran it serves again.
  for (int i = 0; i < 4; ++i) EXPECT_EQ("plain GET", bodyOf(curl(url("/text"))));
}

TEST_F(ZuserveTest, StatusCountsRequestsErrorsAndConnections) {
  std::string const first = bodyOf(curl(url("/status")));
  curl(url("/boom"));
  std::string const second = bodyOf(curl(url("/status")));
  auto field = [](std::string const& json, std::string const& name) -> long {
    size_t const at = json.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::atol(json.c_str() + at + name.size() + 3);
  };
  EXPECT_NE(std::string::npos, first.find("\"version\":\"")) << first;
  EXPECT_NE(std::string::npos, first.find("\"uptime\":\"")) << first;
  EXPECT_GE(field(first, "uptimeSeconds"), 0);
  EXPECT_EQ(field(first, "requests") + 2, field(second, "requests")) << first << second;
  EXPECT_EQ(field(first, "errors") + 1, field(second, "errors"));
  EXPECT_GE(field(second, "connections"), 1);
  EXPECT_EQ(2, field(second, "scriptContexts"));
}

// ------------------------------------------------------- own processes

class ZuserveProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }
  void TearDown() override { fsys::remove_all(dir_); }

  // The demo with its built-in configuration, its data folder in dir_.
  bool startDemo(Process& p, std::vector<std::string> args = {"--port", "0"}) {
    return p.spawn(ZUSERVE_PATH, args, {"XDG_DATA_HOME=" + dir_ + "/data"}, dir_) && p.waitServing() != 0;
  }

  std::string dir_;
};

// Signs the guestbook as a browser's form would and reads the list back.
// Sent by zu's client, the fields encoded as a browser encodes them.
void signGuestbook(Process const& p, std::string const& name, std::string const& message) {
  boost::shared_ptr<zu::net::http::IHttpClient> client = zu::net::http::IHttpClient::New("zuserve-test", 5000);
  struct Sink : zu::net::http::IHttpReceiver {
    void onData(boost::shared_ptr<zu::net::http::IHttpClient>, unsigned char const*, unsigned int) override {}
    void onEnd(boost::shared_ptr<zu::net::http::IHttpClient>) override {}
  } sink;
  zu::net::http::MIME headers, answer;
  headers.set("Content-Type", "application/x-www-form-urlencoded");
  zu::String const body = "name=" + zu::URL::encode(name.c_str()) + "&message=" + zu::URL::encode(message.c_str());
  ASSERT_TRUE(client->request("POST", p.href("/guestbook").c_str(), headers, body, answer, sink, false));
  // The 303 is followed with a GET of the list, as a browser does.
  EXPECT_EQ(200u, client->status()) << p.out();
  EXPECT_NE(std::string::npos, p.out().find("\"POST /guestbook\" 303")) << p.out();
}

TEST_F(ZuserveProcessTest, DemoGuestbookRoundTripNewestFirstAndEscaped) {
  Process p;
  ASSERT_TRUE(startDemo(p)) << p.err();
  std::string const home = curl(p.url("/"));
  EXPECT_EQ(200, statusOf(home));
  EXPECT_NE(std::string::npos, bodyOf(home).find("href=\"/style.css\""));
  EXPECT_EQ("text/css; charset=utf-8", headerOf(curl(p.url("/style.css")), "Content-Type"));

  signGuestbook(p, "First", "one");
  signGuestbook(p, "<b>Mallory</b>", "<script>alert(1)</script> & more");
  // -L follows the redirect as the browser does.
  std::string const page = curl("-L --data 'name=Third&message=three+%26+done' " + p.url("/guestbook"));
  EXPECT_EQ(200, statusOf(page.substr(page.rfind("HTTP/1.1 "))));
  std::string const list = bodyOf(curl(p.url("/guestbook")));
  size_t const third = list.find("three &amp; done");
  size_t const mallory = list.find("&lt;b&gt;Mallory&lt;/b&gt;");
  size_t const first = list.find(">First<");
  ASSERT_NE(std::string::npos, third) << list;
  ASSERT_NE(std::string::npos, mallory) << list;
  ASSERT_NE(std::string::npos, first) << list;
  EXPECT_LT(third, mallory);
  EXPECT_LT(mallory, first);
  EXPECT_EQ(std::string::npos, list.find("<script>alert"));
  EXPECT_NE(std::string::npos, list.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; more"));

  // A form without a message is refused, nothing stored.
  std::string const empty = curl("--data 'name=x&message=' " + p.url("/guestbook"));
  EXPECT_EQ(303, statusOf(empty));
  EXPECT_EQ("/guestbook?error=1", headerOf(empty, "Location"));

  // The entries outlive the process: they are in the data folder's database.
  p.kill(SIGTERM);
  ASSERT_TRUE(p.exited(15000));
  EXPECT_TRUE(fsys::exists(dir_ + "/data/zuserve/zuserve.db"));
  Process again;
  ASSERT_TRUE(startDemo(again)) << again.err();
  EXPECT_NE(std::string::npos, bodyOf(curl(again.url("/guestbook"))).find("three &amp; done"));
}

TEST_F(ZuserveProcessTest, SigtermAndCtrlCStopCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    Process p;
    ASSERT_TRUE(startDemo(p)) << p.err();
    // An open keep-alive connection, between requests, and one in the
    // middle of a request do not hold the server up.
    boost::shared_ptr<zu::net::ISocket> idle = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
    ASSERT_TRUE(idle->connect(static_cast<unsigned short>(p.port()), zu::net::IP::loopback()));
    ASSERT_TRUE(idle->waitConnected(5000));
    std::string const request = "GET / HTTP/1.1\r\nHost: x\r\n\r\nGET / HTTP/1.1\r\n";
    idle->toIO()->write(request.data(), static_cast<unsigned int>(request.size()));
    ASSERT_TRUE(idle->waitReadable(5000));
    p.kill(signal);
    ASSERT_TRUE(p.exited(15000)) << "still running after signal " << signal;
    EXPECT_TRUE(WIFEXITED(p.status())) << "signal " << signal << " status " << p.status();
    EXPECT_EQ(0, WEXITSTATUS(p.status()));
    EXPECT_NE(std::string::npos, p.out().find("zuserve: stopped")) << p.out();
    EXPECT_EQ("", p.err());
  }
}

TEST_F(ZuserveProcessTest, BadConfigurationsGiveOneLineAndExitCode2) {
  writeSite(dir_);
  writeText(dir_ + "/malformed.xml", "<zuserve><listen port=\"0\"></zuserve>");
  writeText(dir_ + "/noroot.xml", configXml("").replace(configXml("").find("root=\"www\""), 10, "root=\"gone\""));
  writeText(dir_ + "/wrongroot.xml", "<server/>");
  writeText(dir_ + "/badport.xml", "<zuserve><listen port=\"80x\"/></zuserve>");
  writeText(dir_ + "/baddb.xml", configXml("<database connection=\"sqlite:///nonexistent/dir/x.db\"/>"));
  writeText(dir_ + "/unknowndb.xml", configXml("<database connection=\"oracle://x\"/>"));
  writeText(dir_ + "/good.xml", configXml(""));
  // A port that is taken.
  boost::shared_ptr<zu::net::ISocket> taken = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  ASSERT_TRUE(taken->listen(0, zu::net::IP::loopback()));
  std::string const takenPort = std::to_string(taken->localAddress().port);

  struct Case {
    std::vector<std::string> args;
    char const* says;
  } const cases[] = {
      {{"--config", dir_ + "/missing.xml"}, "cannot read the configuration file"},
      {{"--config", dir_}, "cannot read the configuration file"},
      {{"--config", dir_ + "/malformed.xml"}, "malformed XML"},
      {{"--config", dir_ + "/noroot.xml"}, "is not a folder"},
      {{"--config", dir_ + "/good.xml", "--root", dir_ + "/nowhere"}, "the document root"},
      {{"--config", dir_ + "/wrongroot.xml"}, "<zuserve>"},
      {{"--config", dir_ + "/badport.xml"}, "the port must be a number"},
      {{"--config", dir_ + "/good.xml", "--port", "70000"}, "--port must be a number"},
      {{"--config", dir_ + "/good.xml", "--port", takenPort}, "is in use"},
      {{"--config", dir_ + "/baddb.xml"}, "cannot open the database"},
      {{"--config", dir_ + "/unknowndb.xml"}, "unknown database"},
  };
  for (Case const& c : cases) {
    Process p;
    ASSERT_TRUE(p.spawn(ZUSERVE_PATH, c.args, {"XDG_DATA_HOME=" + dir_ + "/data"}, dir_));
    ASSERT_TRUE(p.exited(20000)) << c.says;
    ASSERT_TRUE(WIFEXITED(p.status())) << c.says << ": died with status " << p.status();
    EXPECT_EQ(2, WEXITSTATUS(p.status())) << c.says;
    std::string const err = p.err();
    EXPECT_EQ(0u, err.find("zuserve: ")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find(c.says)) << err;
  }

  Process help;
  ASSERT_TRUE(help.spawn(ZUSERVE_PATH, {"--help"}, {}, dir_));
  ASSERT_TRUE(help.exited(10000));
  EXPECT_EQ(0, WEXITSTATUS(help.status()));
  EXPECT_NE(std::string::npos, help.out().find("--log-level"));
}

TEST_F(ZuserveProcessTest, OptionsOverrideTheConfiguration) {
  writeSite(dir_);
  writeText(dir_ + "/other/a.txt", "other root");
  writeText(dir_ + "/conf.xml", configXml(""));
  int const port = freePort();
  Process p;
  ASSERT_TRUE(p.spawn(ZUSERVE_PATH,
                      {"--config", dir_ + "/conf.xml", "--port", std::to_string(port), "--root", dir_ + "/other",
                       "--log-level", "0"},
                      {}, dir_));
  ASSERT_EQ(port, p.waitServing()) << p.err();
  EXPECT_EQ("other root", bodyOf(curl(p.url("/a.txt"))));
  // Level 0: errors only, no access lines.
  curl(p.url("/boom"));
  p.kill(SIGTERM);
  ASSERT_TRUE(p.exited(15000));
  EXPECT_EQ(std::string::npos, p.out().find("\"GET /a.txt\""));
  EXPECT_NE(std::string::npos, p.out().find("[ERR ] script boom failed"));
}

// The security headers are the configuration's: another policy, or none.
TEST_F(ZuserveProcessTest, SecurityHeadersFollowTheConfiguration) {
  writeSite(dir_);
  for (std::string const& site : {std::string("nosniff=\"false\" contentSecurityPolicy=\"\""),
                                  std::string("contentSecurityPolicy=\"frame-ancestors 'none'\"")}) {
    std::string config = configXml("");
    config.replace(config.find("root=\"www\""), 10, "root=\"www\" " + site);
    writeText(dir_ + "/conf.xml", config);
    Process p;
    ASSERT_TRUE(p.spawn(ZUSERVE_PATH, {"--config", dir_ + "/conf.xml", "--port", "0"}, {}, dir_));
    ASSERT_NE(0, p.waitServing()) << p.err();
    std::string const r = curl(p.url("/a.txt"));
    EXPECT_EQ(200, statusOf(r));
    bool const off = site.find("false") != std::string::npos;
    EXPECT_EQ(off ? "" : "nosniff", headerOf(r, "X-Content-Type-Options")) << site;
    EXPECT_EQ(off ? "" : "frame-ancestors 'none'", headerOf(r, "Content-Security-Policy")) << site;
    p.kill(SIGTERM);
    ASSERT_TRUE(p.exited(15000));
  }
  writeText(dir_ + "/bad.xml", configXml("").replace(configXml("").find("root=\"www\""), 10, "root=\"www\" nosniff=\"maybe\""));
  Process bad;
  ASSERT_TRUE(bad.spawn(ZUSERVE_PATH, {"--config", dir_ + "/bad.xml", "--port", "0"}, {}, dir_));
  ASSERT_TRUE(bad.exited(15000));
  EXPECT_NE(std::string::npos, bad.err().find("nosniff must be true or false")) << bad.err();
}

TEST_F(ZuserveProcessTest, IdleConnectionsAreClosedAfterTheIdleTimeout) {
  writeSite(dir_);
  writeText(dir_ + "/conf.xml", "<zuserve><listen port=\"0\" idleTimeout=\"1000\"/><site root=\"www\"/></zuserve>");
  Process p;
  ASSERT_TRUE(p.spawn(ZUSERVE_PATH, {"--config", dir_ + "/conf.xml"}, {}, dir_));
  ASSERT_NE(0, p.waitServing()) << p.err();
  boost::shared_ptr<zu::net::ISocket> idle = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  ASSERT_TRUE(idle->connect(static_cast<unsigned short>(p.port()), zu::net::IP::loopback()));
  ASSERT_TRUE(idle->waitConnected(5000));
  std::string const request = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  idle->toIO()->write(request.data(), static_cast<unsigned int>(request.size()));
  char buffer[1024];
  idle->setTimeouts(5000, 5000);
  ASSERT_GT(idle->toIO()->read(buffer, sizeof buffer), 0u);
  EXPECT_NE(std::string::npos, bodyOf(curl(p.url("/status"))).find("\"connections\":2"));
  // Within a few ticks of the one-second time-out the server hangs up.
  auto const start = Clock::now();
  EXPECT_EQ(0u, idle->toIO()->read(buffer, sizeof buffer));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 4.5);
  EXPECT_NE(std::string::npos, bodyOf(curl(p.url("/status"))).find("\"connections\":1"));
}

TEST_F(ZuserveProcessTest, LogFileReceivesAccessAndErrorLines) {
  writeSite(dir_);
  writeText(dir_ + "/conf.xml", "<zuserve><listen port=\"0\"/><site root=\"www\" scripts=\"js\"/>"
                                        "<log file=\"logs/zuserve.log\" level=\"2\" options=\"thread,source\"/></zuserve>");
  Process p;
  ASSERT_TRUE(p.spawn(ZUSERVE_PATH, {"--config", dir_ + "/conf.xml"}, {}, dir_));
  ASSERT_NE(0, p.waitServing()) << p.err();
  curl(p.url("/a.txt?x=1"));
  curl(p.url("/boom"));
  p.kill(SIGTERM);
  ASSERT_TRUE(p.exited(15000));
  std::string const log = readText(dir_ + "/logs/zuserve.log");
  EXPECT_NE(std::string::npos, log.find("[INFO] tid:0x")) << log;
  EXPECT_NE(std::string::npos, log.find("127.0.0.1 \"GET /a.txt?x=1\" 200 13 ")) << log;
  EXPECT_NE(std::string::npos, log.find("[ERR ] tid:0x")) << log;
  // The options as given: the source place, no time before the tag.
  EXPECT_NE(std::string::npos, log.find("zuserve.cpp(")) << log;
  EXPECT_EQ(std::string::npos, log.find("\n2")) << log;

  // A daily file carries the date in its name.
  writeText(dir_ + "/daily.xml", "<zuserve><listen port=\"0\"/><site root=\"www\"/>"
                                 "<log file=\"logs/daily.log\" options=\"time,daily\"/></zuserve>");
  Process daily;
  ASSERT_TRUE(daily.spawn(ZUSERVE_PATH, {"--config", dir_ + "/daily.xml"}, {}, dir_));
  ASSERT_NE(0, daily.waitServing()) << daily.err();
  daily.kill(SIGTERM);
  ASSERT_TRUE(daily.exited(15000));
  std::vector<std::string> names;
  for (auto const& entry : fsys::directory_iterator(dir_ + "/logs")) names.push_back(entry.path().filename().string());
  EXPECT_EQ(1, std::count_if(names.begin(), names.end(), [](std::string const& name) {
              return name.compare(0, 6, "daily2") == 0 && name.size() == std::string("daily2024_03_01.log").size();
            })) << ::testing::PrintToString(names);
}

TEST_F(ZuserveProcessTest, MysqlDatabaseSharedByTwoServers) {
  zu_test::MariaDbServer db;
  std::string const why = db.start();
  if (!why.empty() && db.missing()) GTEST_SKIP() << "no MariaDB server: " << why;
  ASSERT_TRUE(why.empty()) << "the MariaDB server did not start: " << why;
  writeText(dir_ + "/www/index.html", "home");
  fsys::create_directories(dir_ + "/js");
  fsys::copy_file(std::string(ZU_SOURCE_DIR) + "/tools/zuserve/site/scripts/guestbook.js", dir_ + "/js/guestbook.js");
  writeText(dir_ + "/conf.xml", configXml("<database connection=\"" + db.tcpUrl("?charset=utf8mb4") + "\"/>"));
  Process one, two;
  ASSERT_TRUE(one.spawn(ZUSERVE_PATH, {"--config", dir_ + "/conf.xml"}, {}, dir_ + "/www"));
  ASSERT_NE(0, one.waitServing()) << one.err();
  fsys::create_directories(dir_ + "/two");
  ASSERT_TRUE(two.spawn(ZUSERVE_PATH, {"--config", dir_ + "/conf.xml"}, {}, dir_ + "/two"));
  ASSERT_NE(0, two.waitServing()) << two.err();

  signGuestbook(one, "Über 'quoted'", "back\\slash \"and\" quotes");
  std::string const list = bodyOf(curl(two.url("/guestbook")));
  EXPECT_NE(std::string::npos, list.find("Über &#39;quoted&#39;")) << list;
  EXPECT_NE(std::string::npos, list.find("back\\slash &quot;and&quot; quotes")) << list;

  boost::shared_ptr<zu::db::IConnection> direct = zu::db::IConnection::New(db.tcpUrl().c_str());
  ASSERT_TRUE(direct->open());
  boost::shared_ptr<zu::db::IRecordSet> rows = direct->query("SELECT name, message FROM guestbook");
  ASSERT_TRUE(rows);
  ASSERT_EQ(1u, rows->size());
  EXPECT_STREQ("back\\slash \"and\" quotes", rows->get(0, 1u).cstr());
}

// Without the scripting engine (SpiderMonkey missing, or the module that
// binds it not built) the server still serves files and /status, the
// script routes answer 503, and the log says why once.
TEST_F(ZuserveProcessTest, WithoutTheEngineFilesAndStatusAreServedAndScriptRoutesAnswer503) {
  if (!zu_test::inHiddenChild()) {
    zu_test::rerunWithHidden({"libmozjs-102.so.0"});
    zu_test::rerunWithHidden({std::string(ZU_BINARY_DIR) + "/libzu-js.so"});
    return;
  }
  writeSite(dir_);
  writeText(dir_ + "/conf.xml", configXml(""));
  Process p;
  ASSERT_TRUE(p.spawn(ZUSERVE_PATH, {"--config", dir_ + "/conf.xml"}, {}, dir_));
  ASSERT_NE(0, p.waitServing()) << p.out() << p.err();
  std::string const file = curl(p.url("/a.txt"));
  EXPECT_EQ(200, statusOf(file));
  EXPECT_EQ(thirteen, bodyOf(file));
  std::string const status = curl(p.url("/status"));
  EXPECT_EQ(200, statusOf(status));
  EXPECT_NE(std::string::npos, bodyOf(status).find("\"scriptContexts\":0,")) << status;
  for (char const* route : {"/text", "/spin", "/boom?x=1", "/broken", "/echo"}) {
    std::string const r = curl(p.url(route));
    EXPECT_EQ(503, statusOf(r)) << route;
    EXPECT_NE(std::string::npos, bodyOf(r).find("503 Service Unavailable")) << route;
  }
  EXPECT_EQ(503, statusOf(curl("--data a=1 " + p.url("/echo"))));
  EXPECT_EQ(503, statusOf(curl("-I " + p.url("/text"))));
  EXPECT_EQ(404, statusOf(curl(p.url("/nothing"))));

  // The demo with its built-in configuration: the home page, and the
  // guestbook refused rather than a crash.
  Process demo;
  ASSERT_TRUE(startDemo(demo)) << demo.out() << demo.err();
  EXPECT_EQ(200, statusOf(curl(demo.url("/"))));
  EXPECT_EQ(503, statusOf(curl(demo.url("/guestbook"))));

  for (Process* server : {&p, &demo}) {
    server->kill(SIGTERM);
    ASSERT_TRUE(server->exited(15000));
    EXPECT_TRUE(WIFEXITED(server->status())) << server->status();
    EXPECT_EQ(0, WEXITSTATUS(server->status()));
    // One line with the loader's reason, one with what follows from it,
    // however many contexts and requests there were.
    std::string const log = server->out();
    auto lines = [&log](std::string const& text) {
      int n = 0;
      for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
      return n;
    };
    EXPECT_EQ(1, lines(" could not be loaded: ")) << log;
    EXPECT_EQ(1, lines("[WARN] scripts are off (the engine could not be loaded); their routes answer 503")) << log;
    EXPECT_EQ("", server->err());
  }
}

// scripts/run.sh as a new user runs it: in a fresh clone of the committed
// tree, with nothing built, it installs nothing more than it finds missing,
// builds what the server needs and serves the demo; run again with the
// engine hidden, it serves the files and refuses the scripts. Minutes long
// (a whole build): tests named "FreshClone" carry the label "fresh-clone".
TEST(ZuserveFreshClone, RunScriptBuildsAndServesTheDemo) {
  if (std::string(ZU_SANITIZE) != "")
    GTEST_SKIP() << "the clone is built without sanitizers; its test runs in the release build";
  if (shell("git -C '" + std::string(ZU_SOURCE_DIR) + "' rev-parse --verify -q HEAD").empty())
    GTEST_SKIP() << "the source tree is not a git checkout";
  struct Folder {
    std::string const path = makeTempDir();
    ~Folder() { fsys::remove_all(path); }
  } const folder;
  std::string const& dir = folder.path;
  std::string const tree = dir + "/zu";
  ASSERT_EQ("0\n", shell("git clone -q '" + std::string(ZU_SOURCE_DIR) + "' '" + tree + "' >/dev/null 2>&1; echo $?"));
  std::string const data = "XDG_DATA_HOME=" + dir + "/data";

  int const port = freePort();
  Process p;
  auto const started = Clock::now();
  ASSERT_TRUE(p.spawn("/bin/bash", {tree + "/scripts/run.sh", "--port", std::to_string(port)}, {data}, dir));
  ASSERT_EQ(port, p.waitServing(1500)) << p.out() << p.err();
  std::printf("run.sh served after %.0f s from a fresh clone\n",
              std::chrono::duration<double>(Clock::now() - started).count());
  EXPECT_NE(std::string::npos, p.out().find("open http://127.0.0.1:" + std::to_string(port) + "/"));
  std::string const home = curl(p.url("/"));
  EXPECT_EQ(200, statusOf(home));
  EXPECT_NE(std::string::npos, bodyOf(home).find("<a href=\"/guestbook\">Guestbook</a>"));
  std::string const status = curl(p.url("/status"));
  EXPECT_EQ(200, statusOf(status));
  EXPECT_NE(std::string::npos, bodyOf(status).find("\"scriptContexts\":4,")) << status;
  std::string const guestbook = curl(p.url("/guestbook"));
  EXPECT_EQ(200, statusOf(guestbook));
  EXPECT_NE(std::string::npos, bodyOf(guestbook).find("<form")) << guestbook;
  p.kill(SIGTERM);
  ASSERT_TRUE(p.exited(15000));
  EXPECT_TRUE(WIFEXITED(p.status()) && WEXITSTATUS(p.status()) == 0) << p.status() << p.out() << p.err();
  EXPECT_EQ(std::string::npos, p.out().find("could not be loaded")) << p.out();
  // Its build asks for none of the test and benchmark packages.
  std::string const cache = readText(tree + "/build-run/CMakeCache.txt");
  EXPECT_NE(std::string::npos, cache.find("ZU_BUILD_TESTS:BOOL=OFF"));
  EXPECT_EQ(std::string::npos, cache.find("GTest_DIR")) << "run.sh's build looks for GoogleTest";
  EXPECT_EQ(std::string::npos, cache.find("benchmark_DIR")) << "run.sh's build looks for Google Benchmark";

  // Again, on a machine without SpiderMonkey (hidden in a mount namespace
  // of the server's own); nothing is left to build.
  std::string const mozjs = zu_test::libraryFile("libmozjs-102.so.0");
  if (geteuid() == 0 && !mozjs.empty() && std::system("unshare -m true >/dev/null 2>&1") == 0) {
    Process hidden;
    std::string const command = "mount --bind /dev/null " + zu_test::quoted(mozjs) + " && exec bash " +
                                zu_test::quoted(tree + "/scripts/run.sh") + " --port " + std::to_string(port);
    ASSERT_TRUE(hidden.spawn("/usr/bin/unshare", {"-m", "sh", "-c", command}, {data}, dir));
    ASSERT_EQ(port, hidden.waitServing(300)) << hidden.out() << hidden.err();
    EXPECT_EQ(200, statusOf(curl(hidden.url("/"))));
    EXPECT_EQ(200, statusOf(curl(hidden.url("/status"))));
    EXPECT_EQ(503, statusOf(curl(hidden.url("/guestbook"))));
    hidden.kill(SIGTERM);
    ASSERT_TRUE(hidden.exited(15000));
    EXPECT_TRUE(WIFEXITED(hidden.status()) && WEXITSTATUS(hidden.status()) == 0) << hidden.status();
    EXPECT_NE(std::string::npos, hidden.out().find("libmozjs-102.so.0 could not be loaded")) << hidden.out();
  }
}

TEST_F(ZuserveProcessTest, ChromiumSignsTheGuestbook) {
  Process p;
  ASSERT_TRUE(startDemo(p)) << p.err();
  std::string const screenshot = std::string(ZU_BINARY_DIR) + "/zuserve_guestbook.png";
  std::remove(screenshot.c_str());
  std::string const output = shell("python3 " + std::string(ZU_SOURCE_DIR) + "/tests/zuserve_browser.py " +
                                   p.url("/guestbook") + " 'Chromium <tester>' 'Signed & sent by a real browser' " +
                                   screenshot + " 2>&1; echo \"exit=$?\"");
  if (output.find("exit=77") != std::string::npos) GTEST_SKIP() << "Chromium is missing: " << output;
  EXPECT_NE(std::string::npos, output.find("found\nexit=0")) << output;
  EXPECT_GT(fsys::exists(screenshot) ? fsys::file_size(screenshot) : 0, 1000u) << output;
  // The server saw the browser's own form submission.
  EXPECT_NE(std::string::npos, p.out().find("\"POST /guestbook\" 303")) << p.out();
  EXPECT_NE(std::string::npos, bodyOf(curl(p.url("/guestbook"))).find("Chromium &lt;tester&gt;"));
}

// ------------------------------------------------------------- HTTPS

// The port of the "serving https://..." line; 0 when it did not come.
int httpsPort(Process const& p) {
  int port = 0;
  zu::test::waitFor([&] {
    std::string const out = p.out();
    size_t const at = out.find("serving https://127.0.0.1:");
    if (at != std::string::npos) port = std::atoi(out.c_str() + at + 26);
    return port != 0;
  });
  return port;
}

bool tlsAvailable() {
  zu::test::Certificates const& c = zu::test::certificates();
  return zu::net::ITlsContext::New(true)->useCertificate(c.file("server.pem").c_str(), c.file("server.key").c_str());
}

TEST_F(ZuserveProcessTest, ServesHttpsBesidePlainHttpToCurlAndTheClient) {
  if (!tlsAvailable()) GTEST_SKIP() << "built without TLS";
  zu::test::Certificates const& c = zu::test::certificates();
  Process p;
  ASSERT_TRUE(startDemo(p, {"--port", "0", "--tls-port", "0", "--tls-cert", c.file("server.pem"), "--tls-key",
                            c.file("server.key")}))
      << p.err();
  int const tls = httpsPort(p);
  ASSERT_NE(0, tls) << p.out();
  ASSERT_NE(tls, p.port());
  std::string const base = "https://localhost:" + std::to_string(tls);
  std::string const trust = "--cacert " + c.file("ca.pem") + " ";
  EXPECT_EQ(200, statusOf(curl(trust + base + "/")));
  EXPECT_EQ(200, statusOf(curl(trust + base + "/status")));
  // Plain HTTP keeps its own port; neither port speaks the other protocol.
  EXPECT_EQ(200, statusOf(curl(p.url("/status"))));
  EXPECT_EQ(0, statusOf(curl(trust + "https://localhost:" + std::to_string(p.port()) + "/")));
  EXPECT_EQ(0, statusOf(curl("http://127.0.0.1:" + std::to_string(tls) + "/")));
  // curl refuses the server without the CA, as it should.
  EXPECT_EQ(0, statusOf(curl(base + "/")));
  // The guestbook's form post, its 303 followed over the same connection.
  std::string const page = curl(trust + "-L --data 'name=Over+TLS&message=by+curl' " + base + "/guestbook");
  EXPECT_EQ(200, statusOf(page.substr(page.rfind("HTTP/1.1 ")))) << page;
  EXPECT_NE(std::string::npos, bodyOf(curl(trust + base + "/guestbook")).find("Over TLS"));
  // zu's client posts the form over HTTPS and follows the 303.
  boost::shared_ptr<zu::net::http::IHttpClient> client = zu::net::http::IHttpClient::New("zuserve-test", 5000);
  ASSERT_TRUE(client->setCAFile(c.file("ca.pem").c_str()));
  zu::em::CatchError caught(client.get());
  struct Sink : zu::net::http::IHttpReceiver {
    void onData(boost::shared_ptr<zu::net::http::IHttpClient>, unsigned char const* d, unsigned int n) override {
      body.append(reinterpret_cast<char const*>(d), n);
    }
    void onEnd(boost::shared_ptr<zu::net::http::IHttpClient>) override {}
    std::string body;
  } sink;
  zu::net::http::MIME headers, answer;
  headers.set("Content-Type", "application/x-www-form-urlencoded");
  ASSERT_TRUE(client->request("POST", (base + "/guestbook").c_str(), headers, "name=zu+client&message=hi", answer,
                              sink, true))
      << caught.text().cstr();
  EXPECT_EQ(200u, client->status());
  EXPECT_NE(std::string::npos, sink.body.find("zu client")) << sink.body;
  p.kill(SIGTERM);
  ASSERT_TRUE(p.exited(15000));
  EXPECT_TRUE(WIFEXITED(p.status()) && WEXITSTATUS(p.status()) == 0) << p.status() << p.err();
}

TEST_F(ZuserveProcessTest, ServesHttpsAloneFromItsConfigurationAndRefusesBadCertificates) {
  if (!tlsAvailable()) GTEST_SKIP() << "built without TLS";
  zu::test::Certificates const& c = zu::test::certificates();
  writeText(dir_ + "/site/www/index.html", "<p>secure home</p>\n");
  writeText(dir_ + "/site/zuserve.xml", "<zuserve><listen address=\"127.0.0.1\" port=\"0\" />"
                                        "<site root=\"www\" /><tls cert=\"" + c.file("server.pem") +
                                        "\" key=\"" + c.file("server.key") + "\" /></zuserve>");
  Process p;
  ASSERT_TRUE(p.spawn(ZUSERVE_PATH, {"--config", dir_ + "/site/zuserve.xml"}, {}, dir_));
  int const tls = httpsPort(p);
  ASSERT_NE(0, tls) << p.out() << p.err();
  EXPECT_EQ(std::string::npos, p.out().find("serving http://")) << p.out();
  std::string const home = curl("--cacert " + c.file("ca.pem") + " https://127.0.0.1:" + std::to_string(tls) + "/");
  EXPECT_EQ(200, statusOf(home));
  EXPECT_EQ("<p>secure home</p>\n", bodyOf(home));
  p.kill(SIGTERM);
  ASSERT_TRUE(p.exited(15000));
  // A key that does not belong to the certificate, a certificate without a
  // key, a missing file: each stops the start with the reason.
  struct Case {
    std::vector<std::string> args;
    char const* says;
  } const cases[] = {
      {{"--tls-cert", c.file("server.pem"), "--tls-key", c.file("other.key")}, "cannot serve HTTPS: private key"},
      {{"--tls-cert", c.file("server.pem")}, "needs both a certificate"},
      {{"--tls-port", "0"}, "a tls port needs a certificate"},
      {{"--tls-cert", c.file("missing.pem"), "--tls-key", c.file("server.key")}, "cannot serve HTTPS: certificate chain"},
  };
  for (Case const& k : cases) {
    Process bad;
    std::vector<std::string> args = {"--port", "0"};
    args.insert(args.end(), k.args.begin(), k.args.end());
    ASSERT_TRUE(bad.spawn(ZUSERVE_PATH, args, {"XDG_DATA_HOME=" + dir_ + "/data"}, dir_));
    ASSERT_TRUE(bad.exited(30000));
    EXPECT_TRUE(WIFEXITED(bad.status()) && WEXITSTATUS(bad.status()) == 2) << bad.status();
    EXPECT_NE(std::string::npos, bad.err().find(k.says)) << bad.err();
  }
}

TEST_F(ZuserveProcessTest, ChromiumSignsTheGuestbookOverHttps) {
  if (!tlsAvailable()) GTEST_SKIP() << "built without TLS";
  zu::test::Certificates const& c = zu::test::certificates();
  Process p;
  ASSERT_TRUE(startDemo(p, {"--port", "0", "--tls-port", "0", "--tls-cert", c.file("server.pem"), "--tls-key",
                            c.file("server.key")}))
      << p.err();
  int const tls = httpsPort(p);
  ASSERT_NE(0, tls) << p.out();
  std::string const screenshot = std::string(ZU_BINARY_DIR) + "/zuserve_guestbook_https.png";
  std::remove(screenshot.c_str());
  std::string const output = shell("python3 " + std::string(ZU_SOURCE_DIR) + "/tests/zuserve_browser.py " +
                                   "https://localhost:" + std::to_string(tls) + "/guestbook" +
                                   " 'Chromium over TLS' 'Signed through https' " + screenshot + " 2>&1; echo \"exit=$?\"");
  if (output.find("exit=77") != std::string::npos) GTEST_SKIP() << "Chromium is missing: " << output;
  EXPECT_NE(std::string::npos, output.find("found\nexit=0")) << output;
  EXPECT_NE(std::string::npos, p.out().find("\"POST /guestbook\" 303")) << p.out();
  EXPECT_NE(std::string::npos, bodyOf(curl("--cacert " + c.file("ca.pem") + " https://localhost:" +
                                           std::to_string(tls) + "/guestbook")).find("Chromium over TLS"));
}

}  // namespace
