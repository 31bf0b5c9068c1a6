// The process property table: read-only built-ins (captured at load or on
// first read) and a free store of what callers set.
#include <zu/fs.h>
#include <zu/logger.h>
#include <zu/sys.h>
#include <zu/time.h>

#include <map>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "app/startup.h"

namespace zu {
namespace sys {

namespace {

namespace platform = ::zu::__::platform;

String canonical(std::string const& path) { return path.empty() ? String() : fs::Path(String(path.c_str())).toString(); }

typedef String (*Reader)();

struct LoadTimeValues {
  Time loadedAt;  // shown as text on first read
  String command;
  String osName;
  String osArch;
  String osVersion;
};

struct PropertyTable {
  LoadTimeValues loaded;
  std::map<String, Reader> builtIns;
  Mutex lock;
  std::map<String, String> stored;  // under `lock`
};

PropertyTable& table();

String zuVersion() { return "1"; }
// The load time's text and the program file are made on first read: each
// costs a file read at start-up (the zone's rules, the /proc link) that a
// program which never asks should not pay.
String appUptime() {
  static String const text = table().loaded.loadedAt.toString(HttpDate, -1);
  return text;
}
String appPath() {
  static String const path = canonical(platform::executablePath());
  return path;
}
String appCommand() { return table().loaded.command; }
String osName() { return table().loaded.osName; }
String osArch() { return table().loaded.osArch; }
String osVersion() { return table().loaded.osVersion; }
String userName() { return String(platform::userName().c_str()); }
String userHome() { return canonical(platform::userDocuments()); }
String userTemp() { return canonical(platform::temporaryDirectory()); }

PropertyTable& table() {
  static PropertyTable* properties = [] {
    PropertyTable* t = new PropertyTable;  // lives until the process ends, as callers may read late
    LoadTimeValues& v = t->loaded;
    v.loadedAt = Time::now();
    v.command = String(platform::commandLine().c_str());
    platform::SystemDescription const system = platform::describeSystem();
    v.osName = String(system.name.c_str());
    v.osArch = String(system.arch.c_str());
    v.osVersion = String(system.version.c_str());
    t->builtIns = {
        {"zu.version", zuVersion}, {"app.uptime", appUptime}, {"app.path", appPath},
        {"app.command", appCommand}, {"os.name", osName},     {"os.arch", osArch},
        {"os.version", osVersion},   {"user.name", userName}, {"user.home", userHome},
        {"user.temp", userTemp},
    };
    return t;
  }();
  return *properties;
}

// The warnings carry fixed line numbers, so log readers can tell them apart
// whatever this file looks like.
void warn(int line, std::string const& text) { util::logger::output("[WARN]", __FILE__, line, text.c_str()); }

}  // namespace

String getProperty(String const& name) {
  PropertyTable& t = table();
  std::map<String, Reader>::const_iterator builtIn = t.builtIns.find(name);
  if (builtIn != t.builtIns.end()) return builtIn->second();
  {
    ScopedLock lock(t.lock);
    std::map<String, String>::const_iterator stored = t.stored.find(name);
    if (stored != t.stored.end()) return stored->second;
  }
  if (util::logger::canLog(1)) warn(324, std::string("property(") + name.cstr() + ") not defined");
  return String();
}

void setProperty(String const& name, String const& value) {
  PropertyTable& t = table();
  if (t.builtIns.count(name)) {
    if (util::logger::canLog(1))
      warn(338, std::string("attempt to modify read-only property (") + name.cstr() + "=" + value.cstr() + ")");
    return;
  }
  ScopedLock lock(t.lock);
  if (value.empty())
    t.stored.erase(name);
  else
    t.stored[name] = value;
}

void __::initializeProperties() { table(); }

}  // namespace sys

}  // namespace zu
