// The server: requests routed to /status, a script worker or a static
// file, answered with small HTML pages for errors, and logged.
#include "server.h"

#include <boost/make_shared.hpp>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/logger.h>

namespace zuserve {

namespace {

// The reason phrase, also of the codes the status list leaves out.
String reason(unsigned int code) {
  switch (code) {
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 505: return "HTTP Version Not Supported";
  }
  return code < 600 ? http::HttpStatus::text(static_cast<http::HttpStatus::E_Code>(code)) : String();
}

String htmlPage(unsigned int code, String const& detail) {
  String const title = String(code) + " " + reason(code);
  return "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head><body><h1>" + title + "</h1><p>" +
         detail + "</p></body></html>\n";
}

}  // namespace

void Server::findRoutes() {
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
void Server::startWorkers() {
  if (routes.empty()) return;
#if !ZUSERVE_WITH_SCRIPTING
  // A build without the scripting module: said once here, the library is
  // not asked.
  scriptsOff = true;
  log(1, "[WARN]", "scripts are off (scripting is not built into this build); their routes answer 503");
  return;
#endif
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

void Server::stopWorkers() {
  stopping = true;
  for (std::size_t i = 0; i < workers.size(); ++i) jobsReady.signal();
  for (shared_ptr<zu::sys::IThread>& t : workers) t->stop();
  workers.clear();
  runnables.clear();
  zu::sys::ScopedLock hold(jobsLock);
  jobs.clear();
}

bool Server::nextJob(Job& job) {
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

void Server::closeAll() {
  std::map<http::IHttpConnection*, shared_ptr<http::IHttpConnection>> all;
  {
    zu::sys::ScopedLock hold(connectionsLock);
    all.swap(connections);
  }
  for (auto& c : all)
    if (c.second->socket()) c.second->socket()->close();
}

unsigned int Server::openConnections() {
  zu::sys::ScopedLock hold(connectionsLock);
  return static_cast<unsigned int>(connections.size());
}

void Server::drop(shared_ptr<http::IHttpConnection> const& connection) {
  zu::sys::ScopedLock hold(connectionsLock);
  connections.erase(connection.get());
}

// The listening socket: takes every waiting connection.
void Server::onSocketEvent(shared_ptr<zu::net::ISocket> from, unsigned int events, zu::ByteArray&) {
  if (!(events & zu::net::SOCKET_EVENT_READ) || !from) return;
  bool const secure = from == tlsListener;
  while (shared_ptr<zu::net::ISocket> accepted = from->accept()) {
    if (stopping) {
      accepted->close();
      continue;
    }
    shared_ptr<zu::net::ISocket> socket = accepted;
    if (secure) {
      // The handshake runs on the connection's reactor, bounded like a
      // request by the receive time-out.
      zu::em::CatchError failed(tls.get());
      socket = tls->server(accepted);
      if (!socket) {
        log(0, "[ERR ]", "tls connection refused: " + failed.text());
        accepted->close();
        continue;
      }
    }
    // Room for what browsers send: long cookies and URLs, many headers.
    http::HttpLimits limits;
    limits.maxLine = 8192;
    limits.maxHeaders = 100;
    limits.maxHead = 65536;
    limits.maxBody = settings.maxBody;
    shared_ptr<http::IHttpConnection> connection =
        http::IHttpConnection::New(socket, settings.idleTimeout, settings.receiveTimeout, limits);
    {
      zu::sys::ScopedLock hold(connectionsLock);
      connections[connection.get()] = connection;
    }
    connection->start(boost::weak_ptr<http::IHttpConnectionCallback>(shared_from_this()));
  }
}

void Server::onEvent(shared_ptr<http::IHttpConnection> connection, unsigned int event) {
  if (event == 0) {
    // A request the connection refused: answered, then closed.
    ++requests;
    unsigned int const code = connection->refusedStatus();
    http::HttpResponse response;
    response.code = static_cast<http::HttpStatus::E_Code>(code);
    response.body = htmlPage(code, code == 413   ? "The request's body is larger than this server takes."
                                   : code == 414 ? "The request's target is longer than this server takes."
                                   : code == 431 ? "The request's header is larger than this server takes."
                                   : code == 501 ? "The request's transfer coding is not supported."
                                   : code == 505 ? "This server speaks HTTP/1.1 only."
                                                 : "The request could not be read.");
    response.headers.set("Connection", "close");
    connection->respond(response);
    log(2, "[INFO]", String::printf("- \"?\" %u (refused request)", code));
  }
  drop(connection);
}

void Server::onRequest(shared_ptr<http::IHttpConnection> connection, http::HttpRequest const& request) {
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

void Server::error(http::HttpResponse& response, unsigned int code, String const& detail) {
  response.code = static_cast<http::HttpStatus::E_Code>(code);
  response.headers.reset();
  response.body = htmlPage(code, detail);
}

void Server::serveFile(shared_ptr<http::IHttpConnection> const& connection, http::HttpRequest const& request,
                       String const& path, http::HttpResponse& response, unsigned int started) {
  bool const head = request.method == "HEAD";
  if (request.method != "GET" && !head) {
    error(response, 405, "Static files answer GET and HEAD only.");
    response.headers.set("Allow", "GET, HEAD");
    return finish(connection, request, response, started);
  }
  String local = mapPath(settings.root, path, request.target);
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

void Server::status(http::HttpRequest const& request, http::HttpResponse& response) {
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
void Server::finish(shared_ptr<http::IHttpConnection> const& connection, http::HttpRequest const& request,
                    http::HttpResponse& response, unsigned int started) {
  unsigned int const code = response.code;
  if (code >= 500) ++errors;
  // The browser takes the declared type as it is, loads the page's parts
  // from this site only, and frames it on this site's pages only.
  if (settings.noSniff && !response.headers.contains("X-Content-Type-Options"))
    response.headers.set("X-Content-Type-Options", "nosniff");
  if (!settings.contentSecurityPolicy.empty() && !response.headers.contains("Content-Security-Policy"))
    response.headers.set("Content-Security-Policy", settings.contentSecurityPolicy);
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

}  // namespace zuserve
