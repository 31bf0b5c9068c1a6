// The configuration: the <zuserve> document through the library's XML
// parser and IXMLConfig, and the built-in configuration with its demo site.
#include "config.h"

#include <cstdint>
#include <cstdlib>

#include <zu/app.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/net.h>
#include <zu/sys.h>
#include <zu/xml.h>

#include "site.h"
#include "static_files.h"

namespace zuserve {

unsigned int number(String const& text, char const* what, unsigned int low, unsigned int high) {
  String const t = text.toTrimed();
  bool digits = !t.empty() && t.length() <= 10;
  for (unsigned int i = 0; digits && i < t.length(); ++i) digits = t.cstr()[i] >= '0' && t.cstr()[i] <= '9';
  std::uint64_t const value = digits ? t.toUnsigned64() : 0;
  if (!digits || value < low || value > high)
    throw ConfigError((String::printf("%s must be a number from %u to %u, not \"", what, low, high) + text + "\"").cstr());
  return static_cast<unsigned int>(value);
}

// Whether `path` names its place whole: from the root, or on Windows also
// from a drive ("C:\\site", "C:/site").
bool isAbsolute(String const& path) {
  if (path.startsWith("/") || path.startsWith("\\")) return true;
#if defined(_WIN32)
  char const* const p = path.cstr();
  char const letter = static_cast<char>(p[0] | 0x20);
  return letter >= 'a' && letter <= 'z' && p[1] == ':' && (p[2] == '/' || p[2] == '\\');
#else
  return false;
#endif
}

String resolve(String const& base, String const& path) {
  if (path.empty()) return path;
  if (isAbsolute(path)) return zu::fs::Path(path);
  return zu::fs::Path(base).append(path);
}

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
  s.maxBody = number(listen->get("maxBody", "1048576"), "maxBody (bytes)", 0, 0x7FFFFFFFu);
  shared_ptr<IXMLConfig> site = IXMLConfig::New(root, "site");
  s.root = resolve(base, site->get("root", "www"));
  s.scripts = resolve(base, site->get("scripts", ""));
  s.contentSecurityPolicy = site->get("contentSecurityPolicy", s.contentSecurityPolicy).toTrimed();
  if (s.contentSecurityPolicy.find('\n') != 0xFFFFFFFFu || s.contentSecurityPolicy.find('\r') != 0xFFFFFFFFu)
    throw ConfigError((source + ": contentSecurityPolicy must be one line").cstr());
  String const noSniff = site->get("nosniff", "true").toLower();
  if (noSniff != "true" && noSniff != "false")
    throw ConfigError((source + ": nosniff must be true or false").cstr());
  s.noSniff = noSniff == "true";
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
  shared_ptr<IXMLConfig> tls = IXMLConfig::New(root, "tls");
  s.tlsCert = resolve(base, tls->get("cert", ""));
  s.tlsKey = resolve(base, tls->get("key", ""));
  String const tlsPort = tls->get("port", "");
  if (!tlsPort.empty()) {
    s.tlsPort = number(tlsPort, "the tls port", 0, 65535);
    s.hasTlsPort = true;
  }
  shared_ptr<IXMLConfig> scripts = IXMLConfig::New(root, "scripts");
  s.contexts = number(scripts->get("contexts", "4"), "the number of script contexts", 1, 64);
  s.branchLimit = number(scripts->get("branchLimit", "2000000"), "branchLimit", 1000, 0xFFFFFFFFu);
  s.heapLimit = number(scripts->get("heapLimit", "33554432"), "heapLimit (bytes)", 0x80000, 0x7FFFFFFFu);
  return s;
}

String dataFolder() {
#if defined(_WIN32)
  // The user's local application data, as Windows programs keep theirs.
  char const* local = std::getenv("LOCALAPPDATA");
  if (local && *local) return zu::fs::Path(String(local)).append("zuserve");
#endif
  char const* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return zu::fs::Path(String(xdg)).append("zuserve");
  return zu::fs::Path(zu::sys::getProperty("user.home")).append(".local/share/zuserve");
}

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

}  // namespace zuserve
