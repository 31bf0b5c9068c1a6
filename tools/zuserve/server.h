// The server: the listening socket, one HTTP connection per accepted
// socket, the routes (/status, the scripts, the static files), the access
// log, and the script workers it hands requests to.
#ifndef ZUSERVE_SERVER_H
#define ZUSERVE_SERVER_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <zu/http.h>
#include <zu/js.h>
#include <zu/socket.h>
#include <zu/sys.h>
#include <zu/time.h>
#include <zu/tls.h>

#include "config.h"
#include "scripts.h"
#include "static_files.h"
#include "zuserve.h"

namespace zuserve {

class Server : public zu::net::ISocketCallback,
               public http::IHttpConnectionCallback,
               public boost::enable_shared_from_this<Server> {
 public:
  explicit Server(Settings const& settings) : settings(settings), jobsReady(1u << 30, 0), workersReady(64, 0) {}

  Settings settings;
  // Route name ("guestbook") to the script file.
  std::map<std::string, String> routes;
  // Plain HTTP, HTTPS or both: either may be empty.
  shared_ptr<zu::net::ISocket> listener;
  shared_ptr<zu::net::ISocket> tlsListener;
  // The certificate and key every HTTPS connection shares.
  shared_ptr<zu::net::ITlsContext> tls;
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
  void findRoutes();

  // Makes the script contexts and their threads. Without the scripting
  // engine there are none: the server goes on with files and /status, and
  // the script routes answer 503. The library has already logged the
  // loader's reason once; this says what follows from it.
  void startWorkers();
  void stopWorkers();
  bool nextJob(Job& job);
  void closeAll();
  unsigned int openConnections();
  void drop(shared_ptr<http::IHttpConnection> const& connection);

  // The listening socket: takes every waiting connection.
  void onSocketEvent(shared_ptr<zu::net::ISocket>, unsigned int events, zu::ByteArray&) override;
  void onEvent(shared_ptr<http::IHttpConnection> connection, unsigned int event) override;
  void onRequest(shared_ptr<http::IHttpConnection> connection, http::HttpRequest const& request) override;
  void error(http::HttpResponse& response, unsigned int code, String const& detail);

  void serveFile(shared_ptr<http::IHttpConnection> const& connection, http::HttpRequest const& request,
                 String const& path, http::HttpResponse& response, unsigned int started);
  void status(http::HttpRequest const& request, http::HttpResponse& response);

  // Completes and sends the response and writes the access line.
  void finish(shared_ptr<http::IHttpConnection> const& connection, http::HttpRequest const& request,
              http::HttpResponse& response, unsigned int started);
};

}  // namespace zuserve

#endif
