// zuserve: a scripted HTTP application server made of the zu library.
//
//   zuserve [--config FILE] [--port N] [--root DIR] [--log-level N]
//           [--tls-cert FILE --tls-key FILE [--tls-port N]] [--help]
//
// Static files come from the document root; each .js file of the script
// folder answers the path of its name through its handle(request) function,
// which reaches the database through db.query(sql, ...values). Without a
// configuration file the program runs its built-in one: the demo site and a
// SQLite database in its data folder, on 127.0.0.1:8080. With a certificate
// and its key it serves HTTPS: on the port alone, or with --tls-port on
// that port beside plain HTTP on the other.
//
// The parts: config (the configuration), static_files, scripts, database
// (db.query), server (routing and answering requests), and here main.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#else
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
    "usage: zuserve [--config FILE] [--port N] [--root DIR] [--log-level N]\n"
    "               [--tls-cert FILE --tls-key FILE [--tls-port N]] [--help]\n"
    "  -c, --config FILE     read the XML configuration FILE (default: the built-in one,\n"
    "                        serving the demo site from the data folder)\n"
    "  -p, --port N          listen on port N (0: any free port)\n"
    "  -r, --root DIR        serve static files from DIR\n"
    "  -l, --log-level N     log lines up to level N (0 errors ... 5 fine debugging)\n"
    "      --tls-cert FILE   serve HTTPS with this certificate chain (PEM, the\n"
    "                        server's own certificate first)...\n"
    "      --tls-key FILE    ...and its private key (PEM)\n"
    "      --tls-port N      HTTPS on port N, plain HTTP staying on --port\n"
    "                        (without it, HTTPS takes --port alone)\n"
    "  -h, --help            show this text\n";

bool isDirectory(String const& path) { return zu::fs::type(path) == zu::fs::Directory; }

// A listening socket on the settings' address, handing its connections to
// the server; a ConfigError when the port cannot be had.
shared_ptr<zu::net::ISocket> listenOn(shared_ptr<Server> const& server, unsigned int port) {
  Settings const& settings = server->settings;
  shared_ptr<zu::net::ISocket> listener = zu::net::ISocket::New(zu::net::SOCKET_TYPE_TCP);
  zu::em::CatchError error(listener.get());
  if (!listener->listen(static_cast<unsigned short>(port), zu::net::IP(settings.address),
                        static_cast<int>(settings.backlog))) {
    if (error.code() == 3)
      throw ConfigError(String::printf("port %u is in use on %s", port, settings.address.cstr()).cstr());
    throw ConfigError(String::printf("cannot listen on %s:%u: ", settings.address.cstr(), port).cstr() +
                      std::string(error.text().cstr()));
  }
  listener->setCallback(boost::weak_ptr<zu::net::ISocketCallback>(server));
  return listener;
}

// The program's arguments. On Windows they are taken from the wide command
// line, split by the C runtime's rules, in which a backslash is literal
// (C:\\site\\zuserve.xml); the narrow one would lose what the code page
// cannot hold.
shared_ptr<zu::app::IArguments> programArguments(int argc, char** argv, char const* options) {
#if defined(_WIN32)
  int count = 0;
  LPWSTR* const wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide) {
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
      int const n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
      std::string text(n > 1 ? static_cast<std::size_t>(n) : 1, '\0');
      if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &text[0], n, nullptr, nullptr);
      text.resize(std::strlen(text.c_str()));
      texts.push_back(text);
    }
    LocalFree(wide);
    std::vector<char const*> pointers;
    for (std::string const& text : texts) pointers.push_back(text.c_str());
    return zu::app::IArguments::New(count, pointers.data(), options);
  }
#endif
  return zu::app::IArguments::New(argc, argv, options);
}

}  // namespace
}  // namespace zuserve

using namespace zuserve;

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // Every connection holds a descriptor: take all the system allows.
  // (Windows has no such per-process limit on sockets.)
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
#endif
  shared_ptr<zu::app::IArguments> args = programArguments(argc, argv, "h-help.c-config:p-port:r-root:l-log-level:-tls-cert:-tls-key:-tls-port:");
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
    if (args->has("tls-cert")) settings.tlsCert = zu::fs::Path(args->value("tls-cert", ""));
    if (args->has("tls-key")) settings.tlsKey = zu::fs::Path(args->value("tls-key", ""));
    if (args->has("tls-port")) {
      settings.tlsPort = number(args->value("tls-port", ""), "--tls-port", 0, 65535);
      settings.hasTlsPort = true;
    }
    if (settings.tlsCert.empty() != settings.tlsKey.empty())
      throw ConfigError("HTTPS needs both a certificate (--tls-cert) and its key (--tls-key)");
    if (settings.hasTlsPort && settings.tlsCert.empty())
      throw ConfigError("a tls port needs a certificate (--tls-cert) and its key (--tls-key)");
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
    if (!settings.tlsCert.empty()) {
      // Loaded once, before any connection: a certificate that cannot be
      // used stops the start.
      server->tls = zu::net::ITlsContext::New(true);
      zu::em::CatchError error(server->tls.get());
      if (!server->tls->useCertificate(settings.tlsCert, settings.tlsKey))
        throw ConfigError(("cannot serve HTTPS: " + error.text()).cstr());
      server->tls->setHandshakeTimeout(settings.receiveTimeout);
    }
    server->findRoutes();
    server->startWorkers();

    if (!server->tls || settings.hasTlsPort) server->listener = listenOn(server, settings.port);
    if (server->tls) server->tlsListener = listenOn(server, settings.hasTlsPort ? settings.tlsPort : settings.port);
    // Connections are taken only once both listeners are known: the reactor
    // tells them apart by comparing with them.
    for (shared_ptr<zu::net::ISocket> const& listener : {server->listener, server->tlsListener}) {
      if (!listener) continue;
      listener->modifyEvents(zu::net::SOCKET_EVENT_READ, 0);
      listener->attach("zuserve-listen");
    }
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

  String const shown = server->settings.address == "0.0.0.0" ? String("127.0.0.1") : server->settings.address;
  for (shared_ptr<zu::net::ISocket> const& listener : {server->listener, server->tlsListener}) {
    if (!listener) continue;
    char const* const scheme = listener == server->tlsListener ? "https" : "http";
    unsigned int const port = listener->localAddress().port;
    std::printf("zuserve: serving %s://%s:%u/ (root %s, scripts %s, %u routes); Ctrl+C stops\n", scheme, shown.cstr(),
                port, server->settings.root.cstr(),
                server->settings.scripts.empty() ? "none" : server->settings.scripts.cstr(),
                static_cast<unsigned int>(server->routes.size()));
    logInfo(String::printf("listening on %s:%u (%s)", server->settings.address.cstr(), port, scheme));
  }
  std::fflush(stdout);

  zu::app::ConsoleHook::waitForShutdown(0xFFFFFFFFu);

  logInfo("stopping");
  server->stopping = true;
  if (server->listener) server->listener->close();
  if (server->tlsListener) server->tlsListener->close();
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
