// zuserve: a scripted HTTP application server made of the zu library.
//
//   zuserve [--config FILE] [--port N] [--root DIR] [--log-level N] [--help]
//
// Static files come from the document root; each .js file of the script
// folder answers the path of its name through its handle(request) function,
// which reaches the database through db.query(sql, ...values). Without a
// configuration file the program runs its built-in one: the demo site and a
// SQLite database in its data folder, on 127.0.0.1:8080.
//
// The parts: config (the configuration), static_files, scripts, database
// (db.query), server (routing and answering requests), and here main.
#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <boost/make_shared.hpp>
#include <zu/app.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/logger.h>
#include <zu/net.h>
#include <zu/socket.h>
#include <zu/sys.h>

#include "config.h"
#include "database.h"
#include "server.h"
#include "static_files.h"
#include "zuserve.h"

namespace zuserve {

// Every line of the program's log goes through here.
void log(unsigned int level, char const* tag, String const& text) {
  if (logger::canLog(level)) logger::output(tag, __FILE__, __LINE__, text.cstr());
}
void logError(String const& text) { log(0, "[ERR ]", text); }
void logInfo(String const& text) { log(2, "[INFO]", text); }

namespace {

char const* const usage =
    "usage: zuserve [--config FILE] [--port N] [--root DIR] [--log-level N] [--help]\n"
    "  -c, --config FILE     read the XML configuration FILE (default: the built-in one,\n"
    "                        serving the demo site from the data folder)\n"
    "  -p, --port N          listen on port N (0: any free port)\n"
    "  -r, --root DIR        serve static files from DIR\n"
    "  -l, --log-level N     log lines up to level N (0 errors ... 5 fine debugging)\n"
    "  -h, --help            show this text\n";

bool isDirectory(String const& path) { return zu::fs::type(path) == zu::fs::Directory; }

}  // namespace
}  // namespace zuserve

using namespace zuserve;

int main() {
#if !defined(_WIN32)
  // Every connection holds a descriptor: take all the system allows.
  // (Windows has no such per-process limit on sockets.)
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
#endif
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

    if (!settings.database.empty()) openDatabase(settings.database);

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
