// Registry keys over a store of files: a directory per hive and per key, and
// one file holding a key's values.
//
// Key names become directory names with "/", "%" and a leading "." written
// as %XX, so every name the registry allows fits and names of the store's
// own files (".values", ".lock", ...) never clash with a key. Names are
// looked up without regard to case (simple Unicode case folding) by listing
// the directory; a key is created under the parent's lock, so two writers
// cannot create the same key twice in different spellings.
//
// The values file is rewritten whole for each change (temporary file, flush,
// rename) under the key's lock, so readers need no lock and never see half a
// file. Its form:
//
//   zu registry values 1\n
//   <type> <name bytes> <data bytes>\n<name><data>\n      (once per value)
//
// Types are the registry's: REG_SZ (1) holds the UTF-8 text, REG_DWORD (4)
// the number in decimal.
#include <zu/app.h>

#include <algorithm>
#include <atomic>
#include <boost/make_shared.hpp>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/casefold.h"
#include "platform/app_platform.h"
#include "platform/file_platform.h"

namespace zu {
namespace app {

namespace platform = __::platform;
namespace files = fs::__::platform;

namespace impl {

namespace {

enum {
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7
};

struct Hive {
  char const* prefix;
  unsigned int handle;
};

// Tested in this order; each prefix ends in one backslash.
Hive const hives[] = {
    {"HKEY_CLASSES_ROOT\\", 0x80000000u},       {"HKEY_CURRENT_CONFIG\\", 0x80000005u},
    {"HKEY_CURRENT_USER\\", 0x80000001u},       {"HKEY_LOCAL_MACHINE\\", 0x80000002u},
    {"HKEY_USERS\\", 0x80000003u},              {"HKEY_PERFORMANCE_DATA\\", 0x80000004u},
    {"HKEY_PERFORMANCE_TEXT\\", 0x80000050u},   {"HKEY_PERFORMANCE_NLSTEXT\\", 0x80000060u},
    {"HKEY_DYN_DATA\\", 0x80000006u},
};
unsigned int const currentUser = 2;

char const* const valuesFile = ".values";
char const* const valuesTemporary = ".values.tmp";
char const* const lockFile = ".lock";
char const* const valuesHeader = "zu registry values 1\n";

// A hive's directory: its name without the backslash.
std::string hiveDirectory(Hive const& hive) {
  std::string name = hive.prefix;
  name.pop_back();
  return name;
}

std::string encodeName(std::string const& name) {
  static char const hex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char const c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == '%' || (i == 0 && c == '.')) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string decodeName(std::string const& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    int high, low;
    if (name[i] == '%' && i + 2 < name.size() && (high = hexDigit(name[i + 1])) >= 0 &&
        (low = hexDigit(name[i + 2])) >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += name[i];
    }
  }
  return out;
}

// Names compared without regard to case for every letter: simple Unicode
// case folding of the UTF-8 text, ASCII letters as upper case (the
// registry's own order for ASCII names).
int compareIgnoringCase(std::string const& a, std::string const& b) {
  return zu::__::compareFolded(a.data(), a.size(), b.data(), b.size());
}

// The order of enumeration: without regard to case, ties broken by the
// bytes so that the order never depends on the directory's.
bool enumeratedBefore(std::string const& a, std::string const& b) {
  int const folded = compareIgnoringCase(a, b);
  return folded != 0 ? folded < 0 : a < b;
}

// The subkeys of `directory`: decoded name and directory entry, in the
// order of enumeration.
struct Subkey {
  std::string name;
  std::string entry;
};

bool listSubkeys(int directory, std::vector<Subkey>& subkeys) {
  subkeys.clear();
  std::vector<std::string> entries;
  if (!files::listDirectory(directory, entries)) return false;
  for (std::string const& entry : entries) {
    if (entry.empty() || entry[0] == '.') continue;
    subkeys.push_back(Subkey{decodeName(entry), entry});
  }
  std::sort(subkeys.begin(), subkeys.end(),
            [](Subkey const& a, Subkey const& b) { return enumeratedBefore(a.name, b.name); });
  return true;
}

// The entry of the subkey `name` (any case); the first in enumeration order
// when the store holds several spellings.
bool findSubkey(int directory, std::string const& name, std::string& entry) {
  std::vector<Subkey> subkeys;
  if (!listSubkeys(directory, subkeys)) return false;
  for (Subkey const& subkey : subkeys) {
    if (compareIgnoringCase(subkey.name, name) == 0) {
      entry = subkey.entry;
      return true;
    }
  }
  return false;
}

// Opens the subkey `name` of `directory`, creating it when `create` is set.
int openSubkey(int directory, std::string const& name, bool create) {
  std::string entry;
  if (findSubkey(directory, name, entry)) return files::openDirectory(directory, entry, false);
  if (!create) return -1;
  files::FileLock lock(directory, lockFile);
  if (!lock.locked()) return -1;
  // Another writer may have made it, in another spelling, meanwhile.
  if (findSubkey(directory, name, entry)) return files::openDirectory(directory, entry, false);
  return files::openDirectory(directory, encodeName(name), true);
}

std::vector<std::string> splitKeyPath(std::string const& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t const end = path.find('\\', start);
    std::string const part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // Doubled and trailing backslashes name no key.
    if (!part.empty()) parts.push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

// Walks `parts` down from `directory` (kept open), returning the last one
// opened or -1.
int openKeyPath(int directory, std::vector<std::string> const& parts, std::size_t count, bool create) {
  int current = -1;
  for (std::size_t i = 0; i < count; ++i) {
    int const next = openSubkey(i == 0 ? directory : current, parts[i], create);
    if (i > 0) files::closeDirectory(current);
    current = next;
    if (current < 0) return -1;
  }
  return count == 0 ? files::openDirectory(directory, ".", false) : current;
}

struct Value {
  std::string name;
  unsigned int type;
  std::string data;
};

bool readNumber(std::string const& text, std::size_t& pos, char end, std::size_t& number) {
  std::size_t const start = pos;
  number = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (number > (static_cast<std::size_t>(-1) - 9) / 10) return false;
    number = number * 10 + static_cast<std::size_t>(text[pos] - '0');
    ++pos;
  }
  if (pos == start || pos >= text.size() || text[pos] != end) return false;
  ++pos;
  return true;
}

// False for a file this code did not write in full: its values are then
// neither shown nor overwritten.
bool parseValues(std::string const& text, std::vector<Value>& values) {
  values.clear();
  if (text.empty()) return true;
  std::size_t const headerLength = std::strlen(valuesHeader);
  if (text.compare(0, headerLength, valuesHeader) != 0) return false;
  std::size_t pos = headerLength;
  while (pos < text.size()) {
    std::size_t type, nameLength, dataLength;
    if (!readNumber(text, pos, ' ', type) || !readNumber(text, pos, ' ', nameLength) ||
        !readNumber(text, pos, '\n', dataLength))
      return false;
    if (type > 0xFFFFFFFFu || nameLength > text.size() - pos || dataLength > text.size() - pos - nameLength ||
        text.size() - pos - nameLength - dataLength < 1 || text[pos + nameLength + dataLength] != '\n')
      return false;
    values.push_back(Value{text.substr(pos, nameLength), static_cast<unsigned int>(type),
                           text.substr(pos + nameLength, dataLength)});
    pos += nameLength + dataLength + 1;
  }
  return true;
}

std::string formatValues(std::vector<Value> const& values) {
  std::string text = valuesHeader;
  for (Value const& value : values) {
    text += std::to_string(value.type) + ' ' + std::to_string(value.name.size()) + ' ' +
            std::to_string(value.data.size()) + '\n';
    text += value.name;
    text += value.data;
    text += '\n';
  }
  return text;
}

bool loadValues(int directory, std::vector<Value>& values) {
  std::string text;
  bool missing = false;
  if (!files::readFile(directory, valuesFile, text, missing)) return false;
  return parseValues(text, values);
}

std::vector<Value>::iterator findValue(std::vector<Value>& values, std::string const& name) {
  std::vector<Value>::iterator it = values.begin();
  while (it != values.end() && compareIgnoringCase(it->name, name) != 0) ++it;
  return it;
}

// Distinguishes the temporary names of removals running at once.
std::atomic<unsigned int> removalCounter{0};

}  // namespace

class RegistryKey : public IRegistryKey {
 public:
  RegistryKey(String const& path, bool readOnly) : readOnly_(readOnly), directory_(-1) {
    unsigned int hive = currentUser;
    unsigned int prefixLength = 0;
    for (unsigned int i = 0; i < sizeof hives / sizeof hives[0]; ++i) {
      if (path.startsWith(hives[i].prefix, true)) {
        hive = i;
        prefixLength = static_cast<unsigned int>(std::strlen(hives[i].prefix));
        break;
      }
    }
    path_ = prefixLength ? path : String(hives[currentUser].prefix) + path;
    std::string const subkey = path.cstr() + prefixLength;
    std::string const root = platform::registryRoot();
    if (root.empty()) return;
    // A read-only key creates nothing, not even the store.
    int const hiveDir = files::openDirectoryPath(root + "/" + hiveDirectory(hives[hive]), !readOnly_);
    if (hiveDir < 0) return;
    std::vector<std::string> const parts = splitKeyPath(subkey);
    directory_ = openKeyPath(hiveDir, parts, parts.size(), !readOnly_);
    files::closeDirectory(hiveDir);
  }

  ~RegistryKey() override { files::closeDirectory(directory_); }

  String path() const override { return path_; }
  bool readOnly() const override { return readOnly_; }

  bool enumKey(unsigned int index, String& name) override {
    if (directory_ < 0) return false;
    std::vector<Subkey> subkeys;
    if (!listSubkeys(directory_, subkeys) || index >= subkeys.size()) return false;
    name = String(subkeys[index].name.c_str());
    return true;
  }

  bool enumValue(unsigned int index, String& name) override {
    if (directory_ < 0) return false;
    std::vector<Value> values;
    if (!loadValues(directory_, values) || index >= values.size()) return false;
    name = String(values[index].name.c_str());
    return true;
  }

  bool removeKey(String const& subkey) override {
    if (!writable()) return false;
    std::vector<std::string> const parts = splitKeyPath(subkey.cstr());
    // An empty path would name this key itself.
    if (parts.empty()) return false;
    int const parent = openKeyPath(directory_, parts, parts.size() - 1, false);
    if (parent < 0) return false;
    // The key leaves its parent in one rename, under the lock that guards
    // creation, and is emptied out of sight afterwards.
    std::string const hidden = ".removing." + std::to_string(platform::processId()) + "." +
                               std::to_string(removalCounter.fetch_add(1));
    bool moved = false;
    {
      files::FileLock lock(parent, lockFile);
      std::string entry;
      moved = lock.locked() && findSubkey(parent, parts.back(), entry) &&
              files::renameNoReplace(parent, entry, parent, hidden) == files::RENAME_DONE;
    }
    if (moved) files::removeTree(parent, hidden);
    files::closeDirectory(parent);
    return moved;
  }

  bool removeValue(String const& name) override {
    if (!writable()) return false;
    files::FileLock lock(directory_, lockFile);
    std::vector<Value> values;
    if (!lock.locked() || !loadValues(directory_, values)) return false;
    std::vector<Value>::iterator const it = findValue(values, name.cstr());
    if (it == values.end()) return false;
    values.erase(it);
    return files::replaceFile(directory_, valuesFile, valuesTemporary, formatValues(values));
  }

  String value(String const& name, String const& defaultValue) override {
    if (directory_ < 0) return defaultValue;
    std::vector<Value> values;
    if (!loadValues(directory_, values)) return defaultValue;
    std::vector<Value>::iterator const it = findValue(values, name.cstr());
    if (it == values.end()) return defaultValue;
    switch (it->type) {
      case REG_SZ:
      case REG_EXPAND_SZ:
      case REG_MULTI_SZ:
        // Up to the first zero: the first string of a multi-string.
        return String(it->data.c_str());
      case REG_DWORD: {
        std::string const& digits = it->data;
        std::uint64_t number = 0;
        if (digits.empty() || digits.size() > 10) return defaultValue;
        for (char c : digits) {
          if (c < '0' || c > '9') return defaultValue;
          number = number * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (number > 0xFFFFFFFFu) return defaultValue;
        return String(static_cast<unsigned int>(number));
      }
      default:
        return defaultValue;
    }
  }

  bool set(String const& name, unsigned int value) override {
    return store(name, REG_DWORD, std::to_string(value));
  }

  bool set(String const& name, String const& value) override { return store(name, REG_SZ, value.cstr()); }

 private:
  bool writable() const { return !readOnly_ && directory_ >= 0; }

  // A value that exists in another spelling keeps its stored name.
  bool store(String const& name, unsigned int type, std::string const& data) {
    if (!writable()) return false;
    files::FileLock lock(directory_, lockFile);
    std::vector<Value> values;
    if (!lock.locked() || !loadValues(directory_, values)) return false;
    std::vector<Value>::iterator const it = findValue(values, name.cstr());
    if (it == values.end()) {
      values.push_back(Value{name.cstr(), type, data});
    } else {
      it->type = type;
      it->data = data;
    }
    return files::replaceFile(directory_, valuesFile, valuesTemporary, formatValues(values));
  }

  String path_;
  bool const readOnly_;
  // The key's directory; -1 when it could be neither opened nor created.
  int directory_;
};

}  // namespace impl

boost::shared_ptr<IRegistryKey> IRegistryKey::New(String const& path, bool readOnly) {
  return boost::make_shared<impl::RegistryKey>(path, readOnly);
}

}  // namespace app
}  // namespace zu
