// The process property table: read-only built-ins (captured at load or on
// first read) and a free store of what callers set.
#include <zu/fs.h>
#include <zu/logger.h>
#include <zu/sys.h>
#include <zu/time.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "app/startup.h"

namespace zu {
namespace sys {

namespace {

namespace platform = ::zu::__::platform;

// Each argument written so that the command-line tokeniser reads it back
// unchanged: white space, quotes and backslashes get a backslash, and an
// empty argument becomes "".
String quoteArguments(std::vector<std::string> const& arguments) {
  std::string line;
  for (std::string const& argument : arguments) {
    if (!line.empty()) line += ' ';
    if (argument.empty()) {
      line += "\"\"";
      continue;
    }
    for (char c : argument) {
      if (std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'' || c == '\\') line += '\\';
      line += c;
    }
  }
  return String(line.c_str());
}

String archName(std::string const& machine) {
  auto starts = [&](char const* prefix) { return machine.compare(0, std::char_traits<char>::length(prefix), prefix) == 0; };
  if (machine == "x86_64" || machine == "amd64") return "x64";
  if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' && machine.compare(2, 2, "86") == 0)
    return "x86";
  if (starts("arm") || starts("aarch64")) return "arm";
  if (starts("mips")) return "mips";
  if (starts("ppc") || starts("powerpc")) return "ppc";
  if (machine == "alpha") return "alpha";
  if (starts("sh")) return "shx";
  return "?";
}

// "v" and the release's leading dotted numbers ("6.1.0-18-amd64" gives
// "v6.1.0").
String versionText(std::string const& release) {
  std::size_t end = 0;
  while (end < release.size() && (std::isdigit(static_cast<unsigned char>(release[end])) ||
                                  (release[end] == '.' && end + 1 < release.size() &&
                                   std::isdigit(static_cast<unsigned char>(release[end + 1])))))
    ++end;
  return String(("v" + release.substr(0, end)).c_str());
}

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
    v.command = quoteArguments(platform::commandLineArguments());
    platform::SystemName const system = platform::systemName();
    v.osName = String((system.name + " " + system.release).c_str());
    v.osArch = archName(system.machine);
    v.osVersion = versionText(system.release);
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
