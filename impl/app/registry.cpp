// Registry keys: the hive prefixes, the key's path and the meaning of
// value types, over the system's store of keys (platform/registry_platform.h).
#include <zu/app.h>

#include <boost/make_shared.hpp>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_platform.h"

namespace zu {
namespace app {

namespace platform = __::platform;

namespace impl {

namespace {

// Tested in this order; each prefix ends in one backslash.
struct Hive {
  char const* prefix;
  unsigned int handle;
};
Hive const hives[] = {
    {"HKEY_CLASSES_ROOT\\", 0x80000000u},       {"HKEY_CURRENT_CONFIG\\", 0x80000005u},
    {"HKEY_CURRENT_USER\\", 0x80000001u},       {"HKEY_LOCAL_MACHINE\\", 0x80000002u},
    {"HKEY_USERS\\", 0x80000003u},              {"HKEY_PERFORMANCE_DATA\\", 0x80000004u},
    {"HKEY_PERFORMANCE_TEXT\\", 0x80000050u},   {"HKEY_PERFORMANCE_NLSTEXT\\", 0x80000060u},
    {"HKEY_DYN_DATA\\", 0x80000006u},
};
unsigned int const currentUser = 2;

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

}  // namespace

class RegistryKey : public IRegistryKey {
 public:
  RegistryKey(String const& path, bool readOnly) : readOnly_(readOnly) {
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
    // The hive's name: its prefix without the backslash.
    std::string const hiveName(hives[hive].prefix, std::strlen(hives[hive].prefix) - 1);
    platform::RegistryHive const where = {hiveName.c_str(), hives[hive].handle};
    // A read-only key creates nothing.
    store_ = platform::openRegistryKey(where, splitKeyPath(path.cstr() + prefixLength), !readOnly_);
  }

  String path() const override { return path_; }
  bool readOnly() const override { return readOnly_; }

  bool enumKey(unsigned int index, String& name) override {
    std::string found;
    if (!store_ || !store_->subkeyName(index, found)) return false;
    name = String(found.c_str());
    return true;
  }

  bool enumValue(unsigned int index, String& name) override {
    std::string found;
    if (!store_ || !store_->valueName(index, found)) return false;
    name = String(found.c_str());
    return true;
  }

  bool removeKey(String const& subkey) override {
    if (!writable()) return false;
    std::vector<std::string> const parts = splitKeyPath(subkey.cstr());
    // An empty path would name this key itself.
    if (parts.empty()) return false;
    return store_->removeSubkey(parts);
  }

  bool removeValue(String const& name) override { return writable() && store_->removeValue(name.cstr()); }

  String value(String const& name, String const& defaultValue) override {
    platform::RegistryValue value;
    if (!store_ || !store_->readValue(name.cstr(), value)) return defaultValue;
    switch (value.type) {
      case platform::VALUE_TEXT:
      case platform::VALUE_EXPANDABLE_TEXT:
      case platform::VALUE_TEXT_LIST:
        // Up to the first zero: the first string of a list.
        return String(value.text.c_str());
      case platform::VALUE_NUMBER:
        return String(static_cast<unsigned int>(value.number));
      default:
        return defaultValue;
    }
  }

  bool set(String const& name, unsigned int value) override {
    platform::RegistryValue stored;
    stored.type = platform::VALUE_NUMBER;
    stored.number = value;
    return writable() && store_->writeValue(name.cstr(), stored);
  }

  bool set(String const& name, String const& value) override {
    platform::RegistryValue stored;
    stored.type = platform::VALUE_TEXT;
    stored.text = value.cstr();
    return writable() && store_->writeValue(name.cstr(), stored);
  }

 private:
  bool writable() const { return !readOnly_ && store_; }

  String path_;
  bool const readOnly_;
  // The key in the store; null when it could be neither opened nor created.
  std::unique_ptr<platform::RegistryKeyStore> store_;
};

}  // namespace impl

boost::shared_ptr<IRegistryKey> IRegistryKey::New(String const& path, bool readOnly) {
  return boost::make_shared<impl::RegistryKey>(path, readOnly);
}

}  // namespace app
}  // namespace zu
