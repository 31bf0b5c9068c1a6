// A small program that hidden_test runs in a fresh process, often with
// outside libraries made unloadable: it uses one family (or the families
// that need no outside library) and prints what happened, one
// "key=value" line per fact, for the test to check. Log lines go to
// standard output as well, so the test can count them.
#include <zu/db.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/http.h>
#include <zu/logger.h>
#include <zu/net.h>
#include <zu/socket.h>
#include <zu/string.h>
#include <zu/sys.h>
#include <zu/time.h>
#include <zu/util.h>
#include <zu/xml.h>

#include <boost/make_shared.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <unistd.h>

#include "support/wait.h"

namespace {

// What a guard caught, as "code=N text=T".
void printReport(char const* what, bool result, zu::em::CatchError& guard) {
  std::printf("%s=%d code=%u text=%s\n", what, result ? 1 : 0, guard.code(), guard.text().cstr());
}

// Escapes before anything else of the family ran, then opens twice: the
// library is tried once, every operation reports, the failure is logged
// once.
int database(char const* connectionString) {
  boost::shared_ptr<zu::db::IConnection> connection = zu::db::IConnection::New(connectionString);
  {
    zu::em::CatchError guard(connection.get());
    zu::String const escaped = connection->escape("it's");
    std::printf("escape=[%s] code=%u\n", escaped.cstr(), guard.code());
  }
  for (char const* what : {"open", "open2"}) {
    zu::em::CatchError guard(connection.get());
    printReport(what, connection->open(), guard);
  }
  return 0;
}

int regex() {
  void const* const owner = reinterpret_cast<void const*>(&zu::util::IRegEx::compile);
  for (char const* what : {"compile", "compile2"}) {
    zu::em::CatchError guard(owner);
    printReport(what, zu::util::IRegEx::compile("a+b", 0) != nullptr, guard);
  }
  return 0;
}

// A log callback that itself compiles an expression: with the library
// missing, the failure's log line reaches it while the first compile is
// still finding out, and its own compile must fail the same way instead
// of re-entering the loading.
class CompilingLogCallback : public zu::util::logger::ILogCallback {
 public:
  void onLog(char const*) override {
    void const* const owner = reinterpret_cast<void const*>(&zu::util::IRegEx::compile);
    zu::em::CatchError guard(owner);
    bool const compiled = zu::util::IRegEx::compile("c+", 0) != nullptr;
    std::printf("in-callback compile=%d code=%u\n", compiled ? 1 : 0, guard.code());
  }
};

int regexFromLogCallback() {
  boost::shared_ptr<CompilingLogCallback> callback = boost::make_shared<CompilingLogCallback>();
  zu::util::logger::setCallback(callback);
  int const result = regex();
  zu::util::logger::setCallback(boost::weak_ptr<zu::util::logger::ILogCallback>());
  return result;
}

int xml() {
  boost::shared_ptr<zu::xml::IParser> parser = zu::xml::IParser::New();
  for (char const* what : {"parse", "parse2"}) {
    zu::em::CatchError guard(parser.get());
    bool const parsed = parser->parse("<a><b/></a>", 11, true);
    printReport(what, parsed && parser->document() != nullptr, guard);
  }
  return 0;
}

// Threads that all make their first use of every loaded family at once:
// each library is opened once, and every thread finds it ready.
int concurrentFirstUse() {
  unsigned int const threads = 8;
  std::atomic<unsigned int> waiting{threads};
  std::atomic<unsigned int> succeeded{0};
  std::vector<std::thread> running;
  for (unsigned int t = 0; t < threads; ++t) {
    running.emplace_back([&] {
      --waiting;
      while (waiting.load() != 0) std::this_thread::yield();
      bool ok = zu::util::IRegEx::compile("a+b", 0) != nullptr;
      boost::shared_ptr<zu::xml::IParser> parser = zu::xml::IParser::New();
      ok = parser->parse("<a/>", 4, true) && ok;
      ok = zu::db::IConnection::New("mysql://u@127.0.0.1/none")->escape("it's") == "it\\'s" && ok;
      ok = zu::db::IConnection::New("sqlite:///none.db")->escape("it's") == "it''s" && ok;
      if (ok) ++succeeded;
    });
  }
  for (std::thread& thread : running) thread.join();
  std::printf("concurrent=%u/%u\n", succeeded.load(), threads);
  return 0;
}

// --------------------------------------------- families without a library

class Ticks : public zu::sys::ITimerCallback {
 public:
  void onTimer(boost::shared_ptr<zu::sys::ITimer>) override { ++count; }
  std::atomic<int> count{0};
};

class Answer : public zu::net::http::IHttpConnectionCallback {
 public:
  void onRequest(boost::shared_ptr<zu::net::http::IHttpConnection> connection,
                 zu::net::http::HttpRequest const&) override {
    zu::net::http::HttpResponse response;
    response.body = "hello";
    connection->respond(response);
  }
  void onEvent(boost::shared_ptr<zu::net::http::IHttpConnection>, unsigned int) override {}
};

int basics() {
  // Text.
  zu::String text = zu::String("abc") + "def";
  std::printf("string=%d\n", text == "abcdef" ? 1 : 0);

  // A file written and read back.
  zu::String const path = zu::String("/tmp/zu_hidden_probe_") + zu::String(static_cast<int>(::getpid()));
  bool fileOk = false;
  {
    boost::shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(path);
    if (file->open(false, zu::fs::FILE_MODE_OPEN_ALWAYS) && file->toIO()->write("data", 4) == 4) {
      file->close();
      char back[8] = {};
      fileOk = file->open(true, 0) && file->toIO()->read(back, sizeof back) == 4 && std::memcmp(back, "data", 4) == 0;
      file->close();
    }
    zu::fs::IFile::remove(path);
  }
  std::printf("file=%d\n", fileOk ? 1 : 0);

  // A periodic timer.
  boost::shared_ptr<Ticks> ticks = boost::make_shared<Ticks>();
  boost::shared_ptr<zu::sys::ITimer> timer = zu::sys::ITimer::New(0);
  timer->start(5, ticks);
  std::printf("timer=%d\n", zu::test::waitFor([&] { return ticks->count.load() >= 2; }) ? 1 : 0);
  timer->stop();

  // A TCP listener, and the HTTP client talking to the server-side HTTP
  // connection over it.
  boost::shared_ptr<zu::net::ISocket> listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  bool httpOk = false;
  if (listener->listen(0, zu::net::IP::loopback())) {
    unsigned short const port = listener->localAddress().port;
    zu::String body;
    bool got = false;
    std::thread client([&] {
      boost::shared_ptr<zu::net::http::IHttpClient> http = zu::net::http::IHttpClient::New("probe", 5000);
      got = http->get(zu::String("http://127.0.0.1:") + zu::String(static_cast<int>(port)) + "/x", body, false);
    });
    boost::shared_ptr<Answer> answer = boost::make_shared<Answer>();
    boost::shared_ptr<zu::net::http::IHttpConnection> connection;
    if (listener->waitReadable(5000)) {
      boost::shared_ptr<zu::net::ISocket> accepted = listener->accept();
      if (accepted) {
        connection = zu::net::http::IHttpConnection::New(accepted, 5000, 5000);
        connection->start(answer);
      }
    }
    client.join();
    httpOk = got && body == "hello";
    if (connection) connection->socket()->close();
  }
  std::printf("http=%d\n", httpOk ? 1 : 0);
  zu::finalize();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  char const* const what = argv[1];
  int result = 2;
  if (std::strcmp(what, "mysql") == 0) result = database("mysql://nobody@127.0.0.1:1/none");
  if (std::strcmp(what, "sqlite") == 0) {
    zu::String const file = zu::String("/tmp/zu_hidden_probe_") + zu::String(static_cast<int>(::getpid())) + ".db";
    result = database((zu::String("sqlite://") + file).cstr());
    zu::fs::IFile::remove(file);
  }
  if (std::strcmp(what, "regex") == 0) result = regex();
  if (std::strcmp(what, "xml") == 0) result = xml();
  if (std::strcmp(what, "basics") == 0) result = basics();
  if (std::strcmp(what, "concurrent") == 0) result = concurrentFirstUse();
  if (std::strcmp(what, "regex-log-callback") == 0) result = regexFromLogCallback();
  std::fflush(stdout);
  return result;
}
