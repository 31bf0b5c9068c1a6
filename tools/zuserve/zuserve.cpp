// zuserve: a scripted HTTP application server made of the zu library.
//
//   zuserve [--config FILE] [--port N] [--root DIR] [--log-level N] [--help]
//
// Static files come from the document root; each .js file of the script
// folder answers the path of its name through its handle(request) function,
// which reaches the database through db.query(sql, ...values). Without a
// configuration file the program runs its built-in one: the demo site and a
// SQLite database in its data folder, on 127.0.0.1:8080.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <zu/app.h>
#include <zu/db.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/http.h>
#include <zu/js.h>
#include <zu/logger.h>
#include <zu/socket.h>
#include <zu/sys.h>
#include <zu/time.h>
#include <zu/xml.h>

#include "site.h"

namespace {

using boost::shared_ptr;
using zu::String;
using zu::StringPair;
using zu::TArray;
namespace http = zu::net::http;
namespace js = zu::js;
namespace logger = zu::util::logger;

char const* const usage =
    "usage: zuserve [--config FILE] [--port N] [--root DIR] [--log-level N] [--help]\n"
    "  -c, --config FILE     read the XML configuration FILE (default: the built-in one,\n"
    "                        serving the demo site from the data folder)\n"
    "  -p, --port N          listen on port N (0: any free port)\n"
    "  -r, --root DIR        serve static files from DIR\n"
    "  -l, --log-level N     log lines up to level N (0 errors ... 5 fine debugging)\n"
    "  -h, --help            show this text\n";

// A configuration fault: reported as one line on standard error, exit 2.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void log(unsigned int level, char const* tag, String const& text) {
  if (logger::canLog(level)) logger::output(tag, __FILE__, __LINE__, text.cstr());
}
void logError(String const& text) { log(0, "[ERR ]", text); }
void logInfo(String const& text) { log(2, "[INFO]", text); }

// ------------------------------------------------------------------ files

// The whole file, or false when it cannot be read.
bool readFile(String const& path, std::string& out) {
  shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(path);
  if (!file->open(true, 0)) return false;
  std::uint64_t const size = file->toRandomAccess()->size();
  out.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < out.size()) {
    unsigned int const n = file->toIO()->read(&out[done], static_cast<unsigned int>(out.size() - done));
    if (n == 0) break;
    done += n;
  }
  out.resize(done);
  file->close();
  return done == size;
}

// Replaces the file's content; false when it cannot be written.
bool writeFile(String const& path, unsigned char const* data, unsigned int size) {
  shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(path);
  if (!file->open(false, zu::fs::FILE_MODE_OPEN_ALWAYS)) return false;
  unsigned int done = 0;
  while (done < size) {
    unsigned int const n = file->toIO()->write(data + done, size - done);
    if (n == 0) break;
    done += n;
  }
  bool const ok = done == size && file->toRandomAccess()->setSize(size);
  file->close();
  return ok;
}

// The data folder of the built-in configuration: $XDG_DATA_HOME/zuserve,
// else ~/.local/share/zuserve.
String dataFolder() {
  char const* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return zu::fs::Path(String(xdg)).append("zuserve");
  return zu::fs::Path(zu::sys::getProperty("user.home")).append(".local/share/zuserve");
}

// Puts the built-in site into `folder` (files that differ are rewritten, so
// the demo follows the program) and returns the built-in configuration text.
std::string unpackSite(String const& folder) {
  std::string config;
  for (zuserve::EmbeddedFile const* f = zuserve::siteFiles; f->name; ++f) {
    String const name(f->name);
    if (name == "zuserve.xml") {
      config.assign(reinterpret_cast<char const*>(f->data), f->size);
      continue;
    }
    zu::fs::Path path(folder);
    path.append(name);
    std::string current;
    if (readFile(path, current) && current.size() == f->size &&
        current.compare(0, current.size(), reinterpret_cast<char const*>(f->data), f->size) == 0)
      continue;
    if (!zu::fs::IDirectory::make(path.getParent(), true) || !writeFile(path, f->data, f->size))
      throw ConfigError(("cannot write the demo site into " + folder).cstr());
  }
  return config;
}

// ---------------------------------------------------------- configuration

struct Settings {
  String address = "127.0.0.1";
  unsigned int port = 8080;
  unsigned int idleTimeout = 30000;
  unsigned int receiveTimeout = 10000;
  unsigned int backlog = 128;
  String root;
  String scripts;
  String database;
  String logFile;
  unsigned int logLevel = 2;
  unsigned int logOptions = logger::LOG_OPTION_TIME;
  unsigned int contexts = 4;
  unsigned int branchLimit = 2000000;
  unsigned int heapLimit = 32u << 20;
};

unsigned int number(String const& text, char const* what, unsigned int low, unsigned int high) {
  String const t = text.toTrimed();
  bool digits = !t.empty() && t.length() <= 10;
  for (unsigned int i = 0; digits && i < t.length(); ++i) digits = t.cstr()[i] >= '0' && t.cstr()[i] <= '9';
  std::uint64_t const value = digits ? t.toUnsigned64() : 0;
  if (!digits || value < low || value > high)
    throw ConfigError((String::printf("%s must be a number from %u to %u, not \"", what, low, high) + text + "\"").cstr());
  return static_cast<unsigned int>(value);
}

// `path` taken against `base` unless it is absolute.
String resolve(String const& base, String const& path) {
  if (path.empty()) return path;
  if (path.startsWith("/")) return zu::fs::Path(path);
  return zu::fs::Path(base).append(path);
}

// Reads the <zuserve> document `text`; relative paths are taken against
// `base`, which also replaces "${base}" in the connection string.
Settings readSettings(std::string const& text, String const& source, String const& base) {
  shared_ptr<zu::xml::IParser> parser = zu::xml::IParser::New();
  shared_ptr<zu::xml::IElement> root;
  {
    zu::em::CatchError error(parser.get());
    if (!parser->parse(text.data(), static_cast<unsigned int>(text.size()), true) || !parser->document())
      throw ConfigError((source + ": malformed XML: " + error.text().toTrimed()).cstr());
    root = parser->document()->root();
  }
  if (!root || root->name().compare("zuserve", true) != 0)
    throw ConfigError((source + ": the root element must be <zuserve>").cstr());
  using zu::app::IXMLConfig;
  Settings s;
  shared_ptr<IXMLConfig> listen = IXMLConfig::New(root, "listen");
  s.address = listen->get("address", s.address);
  if (zu::net::IP(s.address).isAny() && s.address != "0.0.0.0")
    throw ConfigError((source + ": listen address \"" + s.address + "\" is not an IPv4 address").cstr());
  s.port = number(listen->get("port", "8080"), "the port", 0, 65535);
  s.idleTimeout = number(listen->get("idleTimeout", "30000"), "idleTimeout (ms)", 1000, 86400000);
  s.receiveTimeout = number(listen->get("receiveTimeout", "10000"), "receiveTimeout (ms)", 1000, 86400000);
  s.backlog = number(listen->get("backlog", "128"), "backlog", 1, 65535);
  shared_ptr<IXMLConfig> site = IXMLConfig::New(root, "site");
  s.root = resolve(base, site->get("root", "www"));
  s.scripts = resolve(base, site->get("scripts", ""));
  s.database = IXMLConfig::New(root, "database")->get("connection", "");
  s.database.replace("${base}", base);
  shared_ptr<IXMLConfig> log = IXMLConfig::New(root, "log");
  s.logFile = resolve(base, log->get("file", ""));
  s.logLevel = number(log->get("level", "2"), "the log level", 0, 5);
  s.logOptions = 0;
  TArray<String> options = log->get("options", "time").tokenise(", ");
  for (unsigned int i = 0; i < options.size(); ++i) {
    String const o = options[i].toLower();
    if (o == "time") s.logOptions |= logger::LOG_OPTION_TIME;
    else if (o == "thread") s.logOptions |= logger::LOG_OPTION_THREAD;
    else if (o == "source") s.logOptions |= logger::LOG_OPTION_SOURCE;
    else if (o == "daily") s.logOptions |= logger::LOG_OPTION_DAILY_FILE;
    else if (o == "append") s.logOptions |= logger::LOG_OPTION_APPEND;
    else throw ConfigError((source + ": unknown log option \"" + options[i] + "\"").cstr());
  }
  shared_ptr<IXMLConfig> scripts = IXMLConfig::New(root, "scripts");
  s.contexts = number(scripts->get("contexts", "4"), "the number of script contexts", 1, 64);
  s.branchLimit = number(scripts->get("branchLimit", "2000000"), "branchLimit", 1000, 0xFFFFFFFFu);
  s.heapLimit = number(scripts->get("heapLimit", "33554432"), "heapLimit (bytes)", 0x80000, 0x7FFFFFFFu);
  return s;
}

// ----------------------------------------------------------- static files

String contentType(String const& extension) {
  static std::map<std::string, char const*> const types = {
      {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".json", "application/json"},         {".txt", "text/plain; charset=utf-8"},
      {".xml", "application/xml"},           {".svg", "image/svg+xml"},
      {".png", "image/png"},                 {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},               {".gif", "image/gif"},
      {".webp", "image/webp"},               {".ico", "image/x-icon"},
      {".pdf", "application/pdf"},           {".wasm", "application/wasm"},
      {".woff", "font/woff"},                {".woff2", "font/woff2"},
      {".mp3", "audio/mpeg"},                {".mp4", "video/mp4"},
      {".wav", "audio/wav"},                 {".zip", "application/zip"}};
  auto it = types.find(extension.toLower().cstr());
  return it == types.end() ? String("application/octet-stream") : String(it->second);
}

struct StaticFile {
  std::string data;
  int modified = 0;
  String lastModified;  // HTTP date of `modified`
  String type;
  bool binary = false;  // holds a NUL byte, so it cannot travel as a String body
  std::atomic<unsigned int> checked{0};  // tick of the last look at the file
};

// Files read once and kept while their time and size stay the same.
class FileCache {
 public:
  // Null when `path` is not a readable regular file.
  shared_ptr<StaticFile> get(String const& path) {
    std::string const key(path.cstr());
    unsigned int const now = zu::sys::Time::tickCount();
    {
      // A file looked at within the last second is taken as it was.
      zu::sys::ScopedLock hold(lock_);
      auto it = files_.find(key);
      if (it != files_.end() && now - it->second->checked < 1000) return it->second;
    }
    if (zu::fs::type(path) != zu::fs::File) return nullptr;
    zu::sys::Time created, modified, accessed;
    if (!zu::fs::time(path, created, modified, accessed)) return nullptr;
    std::uint64_t const size = zu::fs::IFile::length(path);
    {
      zu::sys::ScopedLock hold(lock_);
      auto it = files_.find(key);
      if (it != files_.end() && it->second->modified == modified.toSeconds() && it->second->data.size() == size) {
        it->second->checked = now;
        return it->second;
      }
    }
    shared_ptr<StaticFile> file = boost::make_shared<StaticFile>();
    if (!readFile(path, file->data)) return nullptr;
    file->modified = modified.toSeconds();
    file->lastModified = modified.toString(zu::sys::HttpDate, 0);
    file->type = contentType(zu::fs::Path(path).getExtension());
    file->binary = file->data.find('\0') != std::string::npos;
    file->checked = now;
    if (file->data.size() <= (1u << 20)) {
      zu::sys::ScopedLock hold(lock_);
      if (files_.size() > 1000) files_.clear();
      files_[key] = file;
    }
    return file;
  }

 private:
  zu::sys::Mutex lock_;
  std::map<std::string, shared_ptr<StaticFile>> files_;
};

// The file below `root` that the request path names, or empty when the
// path could leave the root (".." or "." segments, backslashes, control
// bytes) — whatever the encoding that brought them.
String mapPath(String const& root, String const& path) {
  if (!path.startsWith("/")) return String();
  char const* p = path.cstr();
  for (unsigned int i = 0; p[i]; ++i) {
    unsigned char const c = static_cast<unsigned char>(p[i]);
    if (c < 0x20 || c == 0x7F || c == '\\') return String();
  }
  TArray<String> segments = path.tokenise('/', true);
  for (unsigned int i = 0; i < segments.size(); ++i)
    if (segments[i] == "." || segments[i] == "..") return String();
  String const full = zu::fs::Path(root + path);
  if (full != root && !full.startsWith(root + "/")) return String();
  return full;
}

// ----------------------------------------------------------------- scripts

shared_ptr<zu::db::IConnectionPool> databasePool;
String databaseEngine;

// The SQL text of a script value: numbers and booleans bare, null and
// undefined as NULL, everything else a quoted, escaped string.
String sqlValue(zu::db::IConnection& connection, shared_ptr<js::IValue> const& value) {
  if (!value || boost::dynamic_pointer_cast<js::IUndefined>(value) || boost::dynamic_pointer_cast<js::INull>(value))
    return "NULL";
  if (shared_ptr<js::IBoolean> b = boost::dynamic_pointer_cast<js::IBoolean>(value)) return b->value() ? "1" : "0";
  if (shared_ptr<js::INumber> n = boost::dynamic_pointer_cast<js::INumber>(value)) {
    if (n->isNaN() || n->isInfinity()) return "NULL";
    return String::printf("%.17g", n->toDouble());
  }
  return "'" + connection.escape(value->toString()) + "'";
}

// db.query(sql, ...values): each "?" outside quotes takes the next value;
// the rows come back as an array of objects (column name to text).
shared_ptr<js::IValue> dbQuery(shared_ptr<js::IObject>, TArray<shared_ptr<js::IValue>> const& arguments) {
  if (arguments.empty() || !arguments[0] || !databasePool) return nullptr;
  shared_ptr<zu::db::IConnection> connection;
  {
    zu::em::CatchError error(databasePool.get());
    connection = databasePool->acquire();
    if (!connection) {
      logError("db.query: no database connection: " + error.text());
      return nullptr;
    }
  }
  // SQLite connections fail at once on a file another connection is
  // writing; waiting a little lets the contexts take turns instead.
  if (databaseEngine == "sqlite") connection->query("PRAGMA busy_timeout = 5000");
  String const sql = arguments[0]->toString();
  String text;
  char const* s = sql.cstr();
  unsigned int next = 1;
  char quote = 0;
  for (unsigned int i = 0; s[i]; ++i) {
    char const c = s[i];
    if (quote) {
      if (c == quote) quote = 0;
      text += c;
    } else if (c == '\'' || c == '"' || c == '`') {
      quote = c;
      text += c;
    } else if (c == '?') {
      text += sqlValue(*connection, next < arguments.size() ? arguments[next] : nullptr);
      ++next;
    } else {
      text += c;
    }
  }
  shared_ptr<zu::db::IRecordSet> rows;
  {
    zu::em::CatchError error(connection.get());
    rows = connection->query(text);
    if (!rows) {
      logError("db.query failed: " + error.text() + " in: " + sql);
      return nullptr;
    }
  }
  TArray<String> const fields = rows->fields();
  shared_ptr<js::IArray> result = js::IArray::New(rows->size());
  for (unsigned int r = 0; result && r < rows->size(); ++r) {
    shared_ptr<js::IObject> row = js::IObject::New();
    if (!row) return nullptr;
    for (unsigned int c = 0; c < fields.size(); ++c) row->set(fields[c], js::IString::New(rows->get(r, c)));
    result->set(r, row);
  }
  return result;
}

// log(text): a line in the server's log at level 2.
shared_ptr<js::IValue> scriptLog(shared_ptr<js::IObject>, TArray<shared_ptr<js::IValue>> const& arguments) {
  String text;
  for (unsigned int i = 0; i < arguments.size(); ++i)
    text += (i ? " " : "") + (arguments[i] ? arguments[i]->toString() : String("undefined"));
  logInfo("script: " + text);
  return js::IUndefined::New();
}

// "a=1&b=x+y" to pairs, decoded.
TArray<StringPair> decodeForm(String const& body) {
  TArray<StringPair> pairs;
  TArray<String> parts = body.tokenise('&');
  for (unsigned int i = 0; i < parts.size(); ++i) {
    unsigned int const eq = parts[i].find('=');
    StringPair pair;
    pair.name = zu::URL::decode(eq == 0xFFFFFFFFu ? parts[i] : parts[i].left(eq));
    pair.value = eq == 0xFFFFFFFFu ? String() : zu::URL::decode(parts[i].mid(eq + 1));
    pairs.append(pair);
  }
  return pairs;
}

// `text` as a JSON string literal. Bytes from 0x80 up pass as they are
// (UTF-8 stays UTF-8).
void appendJson(std::string& out, String const& text) {
  out += '"';
  for (char const* p = text.cstr(); *p; ++p) {
    unsigned char const c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// The pairs as a JSON object; the first of several equal names wins.
void appendJson(std::string& out, TArray<StringPair> const& pairs, bool lowerNames) {
  out += '{';
  std::vector<String> seen;
  for (unsigned int i = 0; i < pairs.size(); ++i) {
    String const name = lowerNames ? pairs[i].name.toLower() : pairs[i].name;
    bool duplicate = false;
    for (String const& n : seen) duplicate = duplicate || n == name;
    if (duplicate) continue;
    seen.push_back(name);
    if (seen.size() > 1) out += ',';
    appendJson(out, name);
    out += ':';
    appendJson(out, pairs[i].value);
  }
  out += '}';
}

String htmlPage(unsigned int code, String const& detail) {
  String const title = String(code) + " " + http::HttpStatus::text(static_cast<http::HttpStatus::E_Code>(code));
  return "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head><body><h1>" + title + "</h1><p>" +
         detail + "</p></body></html>\n";
}

// A request waiting for a script context.
struct Job {
  shared_ptr<http::IHttpConnection> connection;
  http::HttpRequest request;
  String route;
  unsigned int started = 0;
};

class Server;

// One script context and the thread that hands it requests: the context
// runs every script of the folder, each wrapped in a function of its own so
// their handle() functions do not meet.
class ScriptWorker : public zu::sys::IRunnable {
 public:
  ScriptWorker(Server& server, shared_ptr<js::IContext> context) : server_(server), context_(context) {}
  void run() override;
  void stop() override;

 private:
  void load();
  void serve(Job& job);

  Server& server_;
  shared_ptr<js::IContext> context_;
  std::map<std::string, shared_ptr<js::IFunction>> handlers_;
};

class Server : public zu::net::ISocketCallback,
               public http::IHttpConnectionCallback,
               public boost::enable_shared_from_this<Server> {
 public:
  explicit Server(Settings const& settings) : settings(settings), jobsReady(1u << 30, 0), workersReady(64, 0) {}

  Settings settings;
  // Route name ("guestbook") to the script file.
  std::map<std::string, String> routes;
  shared_ptr<zu::net::ISocket> listener;
  std::vector<shared_ptr<zu::sys::IThread>> workers;
  std::vector<shared_ptr<ScriptWorker>> runnables;
  std::vector<shared_ptr<js::IContext>> contexts;
  // Set when the scripting engine could not be had.
  bool scriptsOff = false;

  zu::sys::Mutex jobsLock;
  std::deque<Job> jobs;
  zu::sys::Semaphore jobsReady;
  zu::sys::Semaphore workersReady;
  std::atomic<bool> stopping{false};

  zu::sys::Mutex connectionsLock;
  std::map<http::IHttpConnection*, shared_ptr<http::IHttpConnection>> connections;
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> errors{0};
  unsigned int startTick = zu::sys::Time::tickCount();
  FileCache files;

  void findRoutes() {
    if (settings.scripts.empty()) return;
    shared_ptr<zu::fs::IDirectory> dir = zu::fs::IDirectory::New(settings.scripts);
    for (bool more = dir->open(zu::fs::File); more; more = dir->next()) {
      String const name = dir->name();
      if (name.endsWith(".js") && name.length() > 3)
        routes[name.left(name.length() - 3).cstr()] = zu::fs::Path(settings.scripts).append(name);
    }
  }

  // Makes the script contexts and their threads. Without the scripting
  // engine there are none: the server goes on with files and /status, and
  // the script routes answer 503. The library has already logged the
  // loader's reason once; this says what follows from it.
  void startWorkers() {
    if (routes.empty()) return;
    js::setMaxRuntimeBytes(settings.heapLimit);
    for (unsigned int i = 0; i < settings.contexts; ++i) {
      shared_ptr<js::IContext> context = js::IContext::New(false);
      if (!context) {
        // Only loading the engine fails here, and that failure is for good.
        scriptsOff = true;
        log(1, "[WARN]", "scripts are off (the engine could not be loaded); their routes answer 503");
        return;
      }
      context->setMaxBranches(settings.branchLimit);
      contexts.push_back(context);
      runnables.push_back(boost::make_shared<ScriptWorker>(*this, context));
      workers.push_back(zu::sys::IThread::New(runnables.back()));
      // One at a time: the scripts' own start-up work (creating tables)
      // then never races itself.
      workersReady.wait();
    }
  }

  void stopWorkers() {
    stopping = true;
    for (std::size_t i = 0; i < workers.size(); ++i) jobsReady.signal();
    for (shared_ptr<zu::sys::IThread>& t : workers) t->stop();
    workers.clear();
    runnables.clear();
    zu::sys::ScopedLock hold(jobsLock);
    jobs.clear();
  }

  bool nextJob(Job& job) {
    while (!stopping) {
      if (!jobsReady.wait(500)) continue;
      zu::sys::ScopedLock hold(jobsLock);
      if (jobs.empty()) continue;
      job = jobs.front();
      jobs.pop_front();
      return true;
    }
    return false;
  }

  void closeAll() {
    std::map<http::IHttpConnection*, shared_ptr<http::IHttpConnection>> all;
    {
      zu::sys::ScopedLock hold(connectionsLock);
      all.swap(connections);
    }
    for (auto& c : all)
      if (c.second->socket()) c.second->socket()->close();
  }

  unsigned int openConnections() {
    zu::sys::ScopedLock hold(connectionsLock);
    return static_cast<unsigned int>(connections.size());
  }

  void drop(shared_ptr<http::IHttpConnection> const& connection) {
    zu::sys::ScopedLock hold(connectionsLock);
    connections.erase(connection.get());
  }

  // The listening socket: takes every waiting connection.
  void onSocketEvent(shared_ptr<zu::net::ISocket>, unsigned int events, zu::ByteArray&) override {
    if (!(events & zu::net::SOCKET_EVENT_READ) || !listener) return;
    while (shared_ptr<zu::net::ISocket> socket = listener->accept()) {
      if (stopping) {
        socket->close();
        continue;
      }
      shared_ptr<http::IHttpConnection> connection =
          http::IHttpConnection::New(socket, settings.idleTimeout, settings.receiveTimeout);
      {
        zu::sys::ScopedLock hold(connectionsLock);
        connections[connection.get()] = connection;
      }
      connection->start(boost::weak_ptr<http::IHttpConnectionCallback>(shared_from_this()));
    }
  }

  void onEvent(shared_ptr<http::IHttpConnection> connection, unsigned int event) override {
    if (event == 0) {
      // A request the connection could not read: answered, then closed.
      ++requests;
      http::HttpResponse response;
      response.code = http::HttpStatus::HTTP_BAD_REQUEST;
      response.body = htmlPage(400, "The request could not be read.");
      response.headers.set("Connection", "close");
      connection->respond(response);
      log(2, "[INFO]", "- \"?\" 400 (unreadable request)");
    }
    drop(connection);
  }

  void onRequest(shared_ptr<http::IHttpConnection> connection, http::HttpRequest const& request) override {
    ++requests;
    unsigned int const started = zu::sys::Time::tickCount();
    http::HttpResponse response;
    if (request.url.empty()) {
      error(response, 400, "The request has no Host header.");
      return finish(connection, request, response, started);
    }
    String path = request.url.getPath();
    if (path.empty()) path = "/";
    if (path == "/status") {
      status(request, response);
      return finish(connection, request, response, started);
    }
    if (path.find('/', 1) == 0xFFFFFFFFu) {
      auto route = routes.find(path.mid(1).cstr());
      if (route != routes.end()) {
        if (scriptsOff) {
          error(response, 503, "Scripts are not available on this server; its log tells why.");
          return finish(connection, request, response, started);
        }
        Job job;
        job.connection = connection;
        job.request = request;
        job.route = route->first.c_str();
        job.started = started;
        {
          zu::sys::ScopedLock hold(jobsLock);
          jobs.push_back(job);
        }
        jobsReady.signal();
        return;
      }
    }
    serveFile(connection, request, path, response, started);
  }

  void error(http::HttpResponse& response, unsigned int code, String const& detail) {
    response.code = static_cast<http::HttpStatus::E_Code>(code);
    response.headers.reset();
    response.body = htmlPage(code, detail);
  }

  void serveFile(shared_ptr<http::IHttpConnection> const& connection, http::HttpRequest const& request,
                 String const& path, http::HttpResponse& response, unsigned int started) {
    bool const head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
      error(response, 405, "Static files answer GET and HEAD only.");
      response.headers.set("Allow", "GET, HEAD");
      return finish(connection, request, response, started);
    }
    String local = mapPath(settings.root, path);
    if (local.empty()) {
      error(response, 400, "The path is not allowed.");
      return finish(connection, request, response, started);
    }
    shared_ptr<StaticFile const> file = files.get(local);
    if (!file && zu::fs::type(local) == zu::fs::Directory) file = files.get(zu::fs::Path(local).append("index.html"));
    if (!file) {
      error(response, 404, "Nothing is served at this path.");
      return finish(connection, request, response, started);
    }
    response.headers.set("Last-Modified", file->lastModified);
    String const since = request.headers.get("If-Modified-Since", "");
    if (!since.empty()) {
      zu::sys::Time const sinceTime(since);
      if (since == file->lastModified || (sinceTime.toSeconds() != -1 && sinceTime.toSeconds() >= file->modified)) {
        response.code = http::HttpStatus::HTTP_NOT_MODIFIED;
        return finish(connection, request, response, started);
      }
    }
    response.headers.set("Content-Type", file->type);
    if (!file->binary) {
      response.body = String(file->data.data(), static_cast<unsigned int>(file->data.size()));
      return finish(connection, request, response, started);
    }
    // A body with NUL bytes cannot travel as a String: the head goes through
    // the connection, the bytes straight to the socket behind it.
    response.headers.set("Content-Length", String(static_cast<std::uint64_t>(file->data.size())));
    zu::net::ISocket* socket = connection->socket();
    finish(connection, request, response, started);
    if (head || !socket) return;
    socket->setTimeouts(0xFFFFFFFFu, 10000);
    std::size_t done = 0;
    while (done < file->data.size()) {
      unsigned int const n = socket->toIO()->write(file->data.data() + done,
                                                   static_cast<unsigned int>(file->data.size() - done));
      if (n == 0) break;
      done += n;
    }
  }

  void status(http::HttpRequest const& request, http::HttpResponse& response) {
    if (request.method != "GET" && request.method != "HEAD") {
      error(response, 405, "/status answers GET and HEAD only.");
      response.headers.set("Allow", "GET, HEAD");
      return;
    }
    unsigned int const seconds = (zu::sys::Time::tickCount() - startTick) / 1000;
    response.headers.set("Content-Type", "application/json");
    response.headers.set("Cache-Control", "no-store");
    response.body = String::printf(
        "{\"server\":\"zuserve\",\"version\":\"%s\",\"uptime\":\"%s\",\"uptimeSeconds\":%u,"
        "\"requests\":%llu,\"errors\":%llu,\"connections\":%u,\"scriptContexts\":%u,\"routes\":%u}\n",
        zu::sys::getProperty("zu.version").cstr(), zu::sys::getProperty("app.uptime").cstr(), seconds,
        static_cast<unsigned long long>(requests.load()), static_cast<unsigned long long>(errors.load()),
        openConnections(), static_cast<unsigned int>(contexts.size()), static_cast<unsigned int>(routes.size()));
  }

  // Completes and sends the response and writes the access line.
  void finish(shared_ptr<http::IHttpConnection> const& connection, http::HttpRequest const& request,
              http::HttpResponse& response, unsigned int started) {
    unsigned int const code = response.code;
    if (code >= 500) ++errors;
    unsigned int const length = response.body.length();
    if (request.method == "HEAD") {
      if (!response.headers.contains("Content-Length") && code != 304)
        response.headers.set("Content-Length", String(length));
      response.body = String();
    } else if (length == 0 && code != 304 && code != 204 && !response.headers.contains("Content-Length")) {
      response.headers.set("Content-Length", "0");
    }
    if (logger::canLog(2)) {
      zu::net::ISocket* socket = connection->socket();
      zu::net::Address const peer = socket ? socket->remoteAddress() : zu::net::Address();
      log(2, "[INFO]",
          String::printf("%s \"%s %s\" %u %u %ums", peer.ip.toDotNotation().cstr(), request.method.cstr(),
                         request.url.toString(true).cstr(), code, length, zu::sys::Time::tickCount() - started));
    }
    connection->respond(response);
  }
};

void ScriptWorker::stop() {
  server_.stopping = true;
  server_.jobsReady.signal();
}

void ScriptWorker::run() {
  js::UseContext use(context_);
  load();
  server_.workersReady.signal();
  Job job;
  while (server_.nextJob(job)) {
    serve(job);
    job = Job();
  }
}

// Ends the wrapper around a script: its handle() is called through a
// function that takes the request as JSON text and gives the answer as one
// text (status line, header lines, blank line, body), so that a request
// crosses into the engine and back in a single call.
char const* const adapter =
    "return typeof handle !== 'function' ? undefined : function (zuserveRequest) {\n"
    "  var answer = handle(JSON.parse(zuserveRequest));\n"
    "  if (typeof answer === 'string') return '200\\n\\n' + answer;\n"
    "  if (answer === null || typeof answer !== 'object')\n"
    "    throw new TypeError('handle(request) returned neither an object nor a text');\n"
    "  var status = typeof answer.status === 'number' ? answer.status : 200, head = status + '\\n';\n"
    "  var headers = answer.headers && typeof answer.headers === 'object' ? answer.headers : {};\n"
    "  Object.keys(headers).forEach(function (name) {\n"
    "    var value = String(headers[name]);\n"
    "    // A line break would let a value start a header of its own.\n"
    "    var bad = function (text, chars) {\n"
    "      for (var i = 0; i < chars.length; i++) if (text.indexOf(chars[i]) >= 0) return true;\n"
    "      return false;\n"
    "    };\n"
    "    if (!bad(name, '\\r\\n: ') && !bad(value, '\\r\\n')) head += name + ': ' + value + '\\n';\n"
    "  });\n"
    "  return head + '\\n' + (answer.body === undefined || answer.body === null ? '' : String(answer.body));\n"
    "}; })()";

void ScriptWorker::load() {
  shared_ptr<js::IObject> global = context_->global();
  shared_ptr<js::IObject> db = js::IObject::New();
  if (!global || !db) {
    logError("a script context has no global object; its routes answer 500");
    return;
  }
  db->set("query", js::IFunction::New("query", &dbQuery, 1));
  db->set("engine", js::IString::New(databaseEngine));
  global->set("db", db);
  global->set("log", js::IFunction::New("log", &scriptLog, 1));
  for (auto const& route : server_.routes) {
    std::string source;
    if (!readFile(route.second, source)) {
      logError("cannot read the script " + route.second);
      continue;
    }
    // The wrapper stays on the first line, so reports keep the file's lines.
    String const text = "(function () {" + String(source.c_str()) + "\n;" + adapter;
    shared_ptr<js::IScript> script;
    {
      zu::em::CatchError error(reinterpret_cast<void const*>(&js::IScript::compile));
      script = js::IScript::compile(text, route.second, 1);
      if (!script) {
        logError("script " + route.second + " does not compile: " + error.text());
        continue;
      }
    }
    zu::em::CatchError error(script.get());
    shared_ptr<js::IFunction> handler = boost::dynamic_pointer_cast<js::IFunction>(script->eval());
    if (!handler) {
      String const why = error.text();
      logError("script " + route.second + (why.empty() ? String(" defines no handle(request) function") : ": " + why));
      continue;
    }
    handlers_[route.first] = handler;
  }
}

void ScriptWorker::serve(Job& job) {
  http::HttpRequest const& request = job.request;
  http::HttpResponse response;
  auto it = handlers_.find(job.route.cstr());
  if (it == handlers_.end()) {
    server_.error(response, 500, "The script of this route did not load.");
    return server_.finish(job.connection, request, response, job.started);
  }
  std::string json = "{\"method\":";
  appendJson(json, request.method);
  json += ",\"path\":";
  appendJson(json, request.url.getPath());
  json += ",\"query\":";
  appendJson(json, request.url.getQueries(), false);
  json += ",\"headers\":";
  appendJson(json, request.headers.lines, true);
  json += ",\"body\":";
  appendJson(json, request.body);
  bool const isForm =
      request.headers.get("Content-Type", "").startsWith("application/x-www-form-urlencoded", true);
  json += ",\"form\":";
  appendJson(json, isForm ? decodeForm(request.body) : TArray<StringPair>(), false);
  zu::net::ISocket* socket = job.connection->socket();
  json += ",\"remote\":";
  appendJson(json, socket ? socket->remoteAddress().ip.toDotNotation() : String());
  json += '}';

  TArray<shared_ptr<js::IValue>> arguments;
  arguments.append(js::IString::New(String(json.c_str())));
  shared_ptr<js::IValue> result;
  String why;
  {
    zu::em::CatchError error(it->second.get());
    result = it->second->call(arguments);
    if (!result) why = error.text();
  }
  shared_ptr<js::IString> answer = boost::dynamic_pointer_cast<js::IString>(result);
  if (!answer) {
    logError("script " + job.route + " failed: " + (why.empty() ? String("no report") : why));
    context_->gc();
    server_.error(response, 500, "The script of this route failed; the server log tells why.");
    return server_.finish(job.connection, request, response, job.started);
  }
  String const text = answer->value();
  unsigned int line = text.find('\n');
  int const status = text.left(line).toInteger();
  response.code = static_cast<http::HttpStatus::E_Code>(status >= 100 && status <= 599 ? status : 500);
  while (line != 0xFFFFFFFFu) {
    unsigned int const next = text.find('\n', line + 1);
    if (next == 0xFFFFFFFFu || next == line + 1) {
      response.body = next == 0xFFFFFFFFu ? String() : text.mid(next + 1);
      break;
    }
    response.headers.addLine(text.mid(line + 1, next - line - 1));
    line = next;
  }
  server_.finish(job.connection, request, response, job.started);
}

bool isDirectory(String const& path) { return zu::fs::type(path) == zu::fs::Directory; }

}  // namespace

int main() {
  // Every connection holds a descriptor: take all the system allows.
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  shared_ptr<zu::app::IArguments> args = zu::app::IArguments::thisApp("h-help.c-config:p-port:r-root:l-log-level:");
  if (args->has("help")) {
    std::fputs(usage, stdout);
    return 0;
  }
  shared_ptr<Server> server;
  try {
    std::string text;
    String source, base;
    if (args->has("config")) {
      source = zu::fs::Path(args->value("config", ""));
      if (zu::fs::type(source) != zu::fs::File || !readFile(source, text))
        throw ConfigError(("cannot read the configuration file " + source).cstr());
      base = zu::fs::Path(source).getParent();
    } else {
      base = dataFolder();
      if (!zu::fs::IDirectory::make(base, true) || !isDirectory(base))
        throw ConfigError(("cannot make the data folder " + base).cstr());
      text = unpackSite(base);
      source = "the built-in configuration";
    }
    Settings settings = readSettings(text, source, base);
    if (args->has("port")) settings.port = number(args->value("port", ""), "--port", 0, 65535);
    if (args->has("root")) settings.root = zu::fs::Path(args->value("root", ""));
    if (args->has("log-level")) settings.logLevel = number(args->value("log-level", ""), "--log-level", 0, 5);
    if (!isDirectory(settings.root))
      throw ConfigError(("the document root " + settings.root + " is not a folder").cstr());
    if (!settings.scripts.empty() && !isDirectory(settings.scripts))
      throw ConfigError(("the script folder " + settings.scripts + " is not a folder").cstr());

    logger::setLevel(settings.logLevel);
    logger::setOptions(settings.logOptions, ~settings.logOptions & 0x1F);
    if (!settings.logFile.empty()) {
      shared_ptr<zu::fs::IFile> probe = zu::fs::IFile::New(settings.logFile);
      if (!zu::fs::IDirectory::make(zu::fs::Path(settings.logFile).getParent(), true) ||
          !probe->open(false, zu::fs::FILE_MODE_OPEN_ALWAYS))
        throw ConfigError(("cannot open the log file " + settings.logFile).cstr());
      probe->close();
      logger::setFilePath(settings.logFile);
    }

    if (!settings.database.empty()) {
      databaseEngine = settings.database.left(settings.database.find(':')).toLower();
      if (databaseEngine != "sqlite" && databaseEngine != "mysql")
        throw ConfigError(("unknown database \"" + settings.database + "\" (sqlite:// or mysql://)").cstr());
      databasePool = zu::db::IConnectionPool::New(settings.database);
      zu::em::CatchError error(databasePool.get());
      shared_ptr<zu::db::IConnection> first = databasePool->acquire();
      if (!first) throw ConfigError(("cannot open the database: " + error.text().toTrimed()).cstr());
      // Readers and one writer at a time, without blocking each other.
      if (databaseEngine == "sqlite") first->query("PRAGMA journal_mode = WAL");
    }

    zu::app::ConsoleHook::install(true);
    server = boost::make_shared<Server>(settings);
    server->findRoutes();
    server->startWorkers();

    server->listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
    zu::em::CatchError error(server->listener.get());
    if (!server->listener->listen(static_cast<unsigned short>(settings.port), zu::net::IP(settings.address),
                                  static_cast<int>(settings.backlog))) {
      if (error.code() == 3)
        throw ConfigError(String::printf("port %u is in use on %s", settings.port, settings.address.cstr()).cstr());
      throw ConfigError(String::printf("cannot listen on %s:%u: ", settings.address.cstr(), settings.port).cstr() +
                        std::string(error.text().cstr()));
    }
    server->listener->setCallback(boost::weak_ptr<zu::net::ISocketCallback>(server));
    server->listener->modifyEvents(zu::net::SOCKET_EVENT_READ, 0);
    server->listener->attach("zuserve-listen");
  } catch (ConfigError const& e) {
    std::fprintf(stderr, "zuserve: %s\n", e.what());
    if (server) {
      server->stopWorkers();
      server->contexts.clear();
    }
    databasePool.reset();
    zu::finalize();
    return 2;
  }

  unsigned int const port = server->listener->localAddress().port;
  String const shown = server->settings.address == "0.0.0.0" ? String("127.0.0.1") : server->settings.address;
  std::printf("zuserve: serving http://%s:%u/ (root %s, scripts %s, %u routes); Ctrl+C stops\n", shown.cstr(), port,
              server->settings.root.cstr(),
              server->settings.scripts.empty() ? "none" : server->settings.scripts.cstr(),
              static_cast<unsigned int>(server->routes.size()));
  std::fflush(stdout);
  logInfo(String::printf("listening on %s:%u", server->settings.address.cstr(), port));

  zu::app::ConsoleHook::waitForShutdown(0xFFFFFFFFu);

  logInfo("stopping");
  server->stopping = true;
  server->listener->close();
  server->stopWorkers();
  server->closeAll();
  server->contexts.clear();
  databasePool.reset();
  logInfo(String::printf("stopped after %llu requests", static_cast<unsigned long long>(server->requests.load())));
  zu::finalize();
  std::printf("zuserve: stopped\n");
  std::fflush(stdout);
  return 0;
}
