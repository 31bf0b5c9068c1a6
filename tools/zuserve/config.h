// The configuration: the <zuserve> document read into settings, and the
// built-in one with its demo site.
#ifndef ZUSERVE_CONFIG_H
#define ZUSERVE_CONFIG_H

#include <string>

#include <zu/logger.h>

#include "zuserve.h"

namespace zuserve {

struct Settings {
  String address = "127.0.0.1";
  unsigned int port = 8080;
  unsigned int idleTimeout = 30000;
  unsigned int receiveTimeout = 10000;
  unsigned int backlog = 128;
  unsigned int maxBody = 1u << 20;
  String root;
  String scripts;
  // Sent with every answer that does not set them itself; empty: none.
  String contentSecurityPolicy = "default-src 'self'; frame-ancestors 'self'";
  bool noSniff = true;
  String database;
  String logFile;
  unsigned int logLevel = 2;
  unsigned int logOptions = logger::LOG_OPTION_TIME;
  unsigned int contexts = 4;
  unsigned int branchLimit = 2000000;
  unsigned int heapLimit = 32u << 20;
  // HTTPS: the certificate chain (PEM, the server's own first) and its
  // key. With both, HTTPS is served on tlsPort when one is set (beside
  // plain HTTP on port), else on port alone.
  String tlsCert;
  String tlsKey;
  bool hasTlsPort = false;
  unsigned int tlsPort = 8443;
};

// The number in `text`, from `low` to `high`; a ConfigError naming `what`
// otherwise.
unsigned int number(String const& text, char const* what, unsigned int low, unsigned int high);

// `path` taken against `base` unless it is absolute.
String resolve(String const& base, String const& path);

// Reads the <zuserve> document `text`; relative paths are taken against
// `base`, which also replaces "${base}" in the connection string. Throws a
// ConfigError naming `source` when the document cannot be used.
Settings readSettings(std::string const& text, String const& source, String const& base);

// The data folder of the built-in configuration: $XDG_DATA_HOME/zuserve,
// else ~/.local/share/zuserve.
String dataFolder();

// Puts the built-in site into `folder` (files that differ are rewritten, so
// the demo follows the program) and returns the built-in configuration text.
std::string unpackSite(String const& folder);

}  // namespace zuserve

#endif
