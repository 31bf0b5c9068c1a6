// Run-time loading of DLLs (LoadLibraryW), and where the library's own
// modules are: beside zu.dll itself.
#include "platform/dynload_platform.h"

#include "win32/wide.h"

namespace zu {
namespace __ {
namespace platform {

void* openSharedLibrary(char const* name, std::string& reason) {
  HMODULE const library = ::LoadLibraryW(win32::widen(name).c_str());
  if (!library) {
    reason = win32::errorText(::GetLastError());
    if (reason.empty()) reason = "unknown reason";
  }
  return reinterpret_cast<void*>(library);
}

void* sharedLibrarySymbol(void* library, char const* symbol, std::string& reason) {
  FARPROC const address = ::GetProcAddress(static_cast<HMODULE>(library), symbol);
  if (!address) {
    // The system's text does not name the function; the reason does.
    std::string const why = win32::errorText(::GetLastError());
    reason = std::string("no symbol ") + symbol + (why.empty() ? "" : ": " + why);
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

void closeSharedLibrary(void* library) {
  if (library) ::FreeLibrary(static_cast<HMODULE>(library));
}

std::string libraryDirectory() {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void const*>(&libraryDirectory)), &self))
    return std::string();
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD const n = ::GetModuleFileNameW(self, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  std::string const file = win32::narrow(buffer);
  std::size_t const separator = file.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : file.substr(0, separator);
}

std::string moduleFileName(char const* baseName) { return std::string(baseName) + ".dll"; }

std::string moduleFile(std::string const& directory, char const* baseName) {
  std::string file = directory;
  if (!file.empty() && file.back() != '\\' && file.back() != '/') file += '\\';
  return file + moduleFileName(baseName);
}

}  // namespace platform
}  // namespace __
}  // namespace zu
