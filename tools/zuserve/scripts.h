// The scripts: one engine context per worker thread, each running every
// script of the folder, handed requests through a queue of jobs.
#ifndef ZUSERVE_SCRIPTS_H
#define ZUSERVE_SCRIPTS_H

#include <map>
#include <string>

#include <zu/http.h>
#include <zu/js.h>
#include <zu/sys.h>

#include "zuserve.h"

namespace zuserve {

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

}  // namespace zuserve

#endif
