// The library's own store of registry keys: a directory per hive and per
// key, and one file holding a key's values.
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
#include "app/file_registry.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/casefold.h"
#include "core/text.h"
#include "platform/file_platform.h"
#include "platform/platform.h"

namespace zu {
namespace app {
namespace __ {

namespace {

using namespace ::zu::fs::__::platform;
using platform::RegistryHive;
using platform::RegistryKeyStore;
using platform::RegistryValue;

char const* const valuesFile = ".values";
char const* const valuesTemporary = ".values.tmp";
char const* const lockFile = ".lock";
char const* const valuesHeader = "zu registry values 1\n";

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

using ::zu::__::hexValue;

std::string decodeName(std::string const& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    int high, low;
    if (name[i] == '%' && i + 2 < name.size() && (high = hexValue(name[i + 1])) >= 0 &&
        (low = hexValue(name[i + 2])) >= 0) {
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

bool listSubkeys(DirectoryHandle directory, std::vector<Subkey>& subkeys) {
  subkeys.clear();
  std::vector<std::string> entries;
  if (!listDirectory(directory, entries)) return false;
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
bool findSubkey(DirectoryHandle directory, std::string const& name, std::string& entry) {
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
DirectoryHandle openSubkey(DirectoryHandle directory, std::string const& name, bool create) {
  std::string entry;
  if (findSubkey(directory, name, entry)) return openDirectory(directory, entry, false);
  if (!create) return INVALID_DIRECTORY_HANDLE;
  FileLock lock(directory, lockFile);
  if (!lock.locked()) return INVALID_DIRECTORY_HANDLE;
  // Another writer may have made it, in another spelling, meanwhile.
  if (findSubkey(directory, name, entry)) return openDirectory(directory, entry, false);
  return openDirectory(directory, encodeName(name), true);
}

// Walks `parts` down from `directory` (kept open), returning the last one
// opened or INVALID_DIRECTORY_HANDLE.
DirectoryHandle openKeyPath(DirectoryHandle directory, std::vector<std::string> const& parts, std::size_t count,
                            bool create) {
  DirectoryHandle current = INVALID_DIRECTORY_HANDLE;
  for (std::size_t i = 0; i < count; ++i) {
    DirectoryHandle const next = openSubkey(i == 0 ? directory : current, parts[i], create);
    if (i > 0) closeDirectory(current);
    current = next;
    if (!isValidDirectory(current)) return INVALID_DIRECTORY_HANDLE;
  }
  return count == 0 ? openDirectory(directory, ".", false) : current;
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

bool loadValues(DirectoryHandle directory, std::vector<Value>& values) {
  std::string text;
  bool missing = false;
  if (!readFile(directory, valuesFile, text, missing)) return false;
  return parseValues(text, values);
}

std::vector<Value>::iterator findValue(std::vector<Value>& values, std::string const& name) {
  std::vector<Value>::iterator it = values.begin();
  while (it != values.end() && compareIgnoringCase(it->name, name) != 0) ++it;
  return it;
}


// Distinguishes the temporary names of removals running at once.
std::atomic<unsigned int> removalCounter{0};

// The stored form of a value's data: the text as it is, a number in
// decimal.
std::string storedData(RegistryValue const& value) {
  return value.type == platform::VALUE_NUMBER ? std::to_string(value.number) : value.text;
}

class FileKey : public RegistryKeyStore {
 public:
  // Takes over `directory`, the key's directory.
  FileKey(DirectoryHandle directory, bool writable) : directory_(directory), writable_(writable) {}
  ~FileKey() override { closeDirectory(directory_); }
  FileKey(FileKey const&) = delete;
  FileKey& operator=(FileKey const&) = delete;

  bool subkeyName(unsigned int index, std::string& name) override {
    std::vector<Subkey> subkeys;
    if (!listSubkeys(directory_, subkeys) || index >= subkeys.size()) return false;
    name = subkeys[index].name;
    return true;
  }

  bool valueName(unsigned int index, std::string& name) override {
    std::vector<Value> values;
    if (!loadValues(directory_, values) || index >= values.size()) return false;
    name = values[index].name;
    return true;
  }

  bool readValue(std::string const& name, RegistryValue& value) override {
    std::vector<Value> values;
    if (!loadValues(directory_, values)) return false;
    std::vector<Value>::iterator const it = findValue(values, name);
    if (it == values.end()) return false;
    value.type = it->type;
    value.text.clear();
    value.number = 0;
    if (it->type != platform::VALUE_NUMBER) {
      value.text = it->data;
      return true;
    }
    // A number is up to ten decimal digits within 32 bits.
    std::string const& digits = it->data;
    std::uint64_t number = 0;
    if (digits.empty() || digits.size() > 10) return false;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number > 0xFFFFFFFFu) return false;
    value.number = static_cast<std::uint32_t>(number);
    return true;
  }

  bool writeValue(std::string const& name, RegistryValue const& value) override {
    if (!writable_) return false;
    FileLock lock(directory_, lockFile);
    std::vector<Value> values;
    if (!lock.locked() || !loadValues(directory_, values)) return false;
    std::vector<Value>::iterator const it = findValue(values, name);
    if (it == values.end()) {
      values.push_back(Value{name, value.type, storedData(value)});
    } else {
      it->type = value.type;
      it->data = storedData(value);
    }
    return replaceFile(directory_, valuesFile, valuesTemporary, formatValues(values));
  }

  bool removeValue(std::string const& name) override {
    if (!writable_) return false;
    FileLock lock(directory_, lockFile);
    std::vector<Value> values;
    if (!lock.locked() || !loadValues(directory_, values)) return false;
    std::vector<Value>::iterator const it = findValue(values, name);
    if (it == values.end()) return false;
    values.erase(it);
    return replaceFile(directory_, valuesFile, valuesTemporary, formatValues(values));
  }

  bool removeSubkey(std::vector<std::string> const& parts) override {
    if (!writable_ || parts.empty()) return false;
    DirectoryHandle const parent = openKeyPath(directory_, parts, parts.size() - 1, false);
    if (!isValidDirectory(parent)) return false;
    // The key leaves its parent in one rename, under the lock that guards
    // creation, and is emptied out of sight afterwards.
    std::string const hidden = ".removing." + std::to_string(::zu::__::platform::processId()) + "." +
                               std::to_string(removalCounter.fetch_add(1));
    bool moved = false;
    {
      FileLock lock(parent, lockFile);
      std::string entry;
      moved = lock.locked() && findSubkey(parent, parts.back(), entry) &&
              renameNoReplace(parent, entry, parent, hidden) == RENAME_DONE;
    }
    if (moved) removeTree(parent, hidden);
    closeDirectory(parent);
    return moved;
  }

 private:
  DirectoryHandle const directory_;
  bool const writable_;
};

}  // namespace

std::unique_ptr<RegistryKeyStore> openFileRegistryKey(std::string const& root, RegistryHive const& hive,
                                                      std::vector<std::string> const& path, bool create) {
  // A key only read creates nothing, not even the store.
  DirectoryHandle const hiveDirectory = openDirectoryPath(root + "/" + hive.name, create);
  if (!isValidDirectory(hiveDirectory)) return nullptr;
  DirectoryHandle const key = openKeyPath(hiveDirectory, path, path.size(), create);
  closeDirectory(hiveDirectory);
  if (!isValidDirectory(key)) return nullptr;
  std::unique_ptr<RegistryKeyStore> store(new (std::nothrow) FileKey(key, create));
  if (!store) closeDirectory(key);
  return store;
}

}  // namespace __
}  // namespace app
}  // namespace zu
