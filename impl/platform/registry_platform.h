// The store under the application family's registry keys: the system's
// registry where there is one (Windows); elsewhere the library's own store
// of files (app/file_registry.h). Free of operating-system headers; each
// system's file (posix/registry_posix.cpp, win32/registry_win32.cpp)
// provides openRegistryKey.
#ifndef ZU_IMPL_REGISTRY_PLATFORM_H
#define ZU_IMPL_REGISTRY_PLATFORM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zu {
namespace app {
namespace __ {
namespace platform {

// Value types, numbered as the registry numbers them.
enum {
  VALUE_TEXT = 1,             // REG_SZ
  VALUE_EXPANDABLE_TEXT = 2,  // REG_EXPAND_SZ
  VALUE_NUMBER = 4,           // REG_DWORD
  VALUE_TEXT_LIST = 7         // REG_MULTI_SZ
};

struct RegistryValue {
  // One of the types above, or any other number for a type the family
  // does not read.
  unsigned int type = 0;
  // The text types: the UTF-8 bytes as stored (a list's strings each ended
  // by a zero byte).
  std::string text;
  // VALUE_NUMBER.
  std::uint32_t number = 0;
};

// A predefined key: its name ("HKEY_CURRENT_USER") and its handle value
// (0x80000001).
struct RegistryHive {
  char const* name;
  unsigned int handle;
};

// One open key. Names of subkeys and values match without regard to case.
class RegistryKeyStore {
 public:
  virtual ~RegistryKeyStore() {}
  // The name of the subkey at `index` in enumeration order; false past the
  // last one or when the key cannot be read.
  virtual bool subkeyName(unsigned int index, std::string& name) = 0;
  // The same for the values.
  virtual bool valueName(unsigned int index, std::string& name) = 0;
  // The value `name`; false when there is none or it cannot be read.
  virtual bool readValue(std::string const& name, RegistryValue& value) = 0;
  // Stores `value` under `name`; a value that exists in another spelling
  // keeps its stored name.
  virtual bool writeValue(std::string const& name, RegistryValue const& value) = 0;
  // Removes the value `name`; false when there is none.
  virtual bool removeValue(std::string const& name) = 0;
  // Removes the subkey `path` (names below this key, at least one) with
  // everything below it; false when there is none.
  virtual bool removeSubkey(std::vector<std::string> const& path) = 0;
};

// Opens the key `path` (names below `hive`; none for the hive itself),
// creating the missing keys when `create` is set. Null when the key can be
// neither opened nor created; a key opened without `create` is only read.
std::unique_ptr<RegistryKeyStore> openRegistryKey(RegistryHive const& hive, std::vector<std::string> const& path,
                                                  bool create);

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu

#endif
