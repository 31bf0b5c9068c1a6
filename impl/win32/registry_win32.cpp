// Registry keys on Windows: the system's own registry, through the wide
// Reg...W calls.
#include "platform/registry_platform.h"

#include "win32/wide.h"

#include <cstring>

namespace zu {
namespace app {
namespace __ {
namespace platform {

using ::zu::__::win32::narrow;
using ::zu::__::win32::widen;

namespace {

std::wstring joinPath(std::vector<std::string> const& path) {
  std::wstring joined;
  for (std::string const& name : path) {
    if (!joined.empty()) joined += L'\\';
    joined += widen(name);
  }
  return joined;
}

class SystemKey : public RegistryKeyStore {
 public:
  explicit SystemKey(HKEY key) : key_(key) {}
  ~SystemKey() override { ::RegCloseKey(key_); }

  bool subkeyName(unsigned int index, std::string& name) override {
    wchar_t buffer[256];
    DWORD size = sizeof buffer / sizeof buffer[0];
    if (::RegEnumKeyExW(key_, index, buffer, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
    name = narrow(buffer, static_cast<int>(size));
    return true;
  }

  bool valueName(unsigned int index, std::string& name) override {
    std::wstring buffer(16384, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (::RegEnumValueW(key_, index, &buffer[0], &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      return false;
    name = narrow(buffer.c_str(), static_cast<int>(size));
    return true;
  }

  bool readValue(std::string const& name, RegistryValue& value) override {
    std::wstring const wide = widen(name);
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key_, wide.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key_, wide.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &got) !=
        ERROR_SUCCESS)
      return false;
    value.type = type;
    if (type == REG_DWORD) {
      if (got < sizeof(DWORD)) return false;
      DWORD number;
      std::memcpy(&number, data.data(), sizeof number);
      value.number = number;
    } else if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
      std::size_t units = got / sizeof(wchar_t);
      // A single text is stored with its ending zero (or without, by
      // careless writers); a list keeps the zero after each string.
      if (type != REG_MULTI_SZ)
        while (units > 0 && data[units - 1] == 0) --units;
      value.text = narrow(data.c_str(), static_cast<int>(units));
    }
    return true;
  }

  bool writeValue(std::string const& name, RegistryValue const& value) override {
    std::wstring const wide = widen(name);
    if (value.type == VALUE_NUMBER) {
      DWORD const number = value.number;
      return ::RegSetValueExW(key_, wide.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE const*>(&number),
                              sizeof number) == ERROR_SUCCESS;
    }
    std::wstring const text = widen(value.text);
    return ::RegSetValueExW(key_, wide.c_str(), 0, value.type, reinterpret_cast<BYTE const*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }

  bool removeValue(std::string const& name) override {
    return ::RegDeleteValueW(key_, widen(name).c_str()) == ERROR_SUCCESS;
  }

  bool removeSubkey(std::vector<std::string> const& path) override {
    if (path.empty()) return false;
    std::wstring const subkey = joinPath(path);
    HKEY probe;
    if (::RegOpenKeyExW(key_, subkey.c_str(), 0, KEY_READ, &probe) != ERROR_SUCCESS) return false;
    ::RegCloseKey(probe);
    return ::RegDeleteTreeW(key_, subkey.c_str()) == ERROR_SUCCESS;
  }

 private:
  HKEY const key_;
};

}  // namespace

std::unique_ptr<RegistryKeyStore> openRegistryKey(RegistryHive const& hive, std::vector<std::string> const& path,
                                                  bool create) {
  // The predefined keys are small negative numbers as handles.
  HKEY const root = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(hive.handle)));
  std::wstring const subkey = joinPath(path);
  HKEY key = nullptr;
  LSTATUS const status =
      create ? ::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                 nullptr, &key, nullptr)
             : ::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return nullptr;
  return std::unique_ptr<RegistryKeyStore>(new SystemKey(key));
}

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu
