// Finding and opening the internal modules on POSIX systems: they live in
// the folder libzu was loaded from.
#include "platform/module_platform.h"

#include <dlfcn.h>

namespace zu {
namespace __ {
namespace platform {

std::string libraryDirectory() {
  Dl_info info;
  // Any function of this library names the file it was loaded from.
  if (dladdr(reinterpret_cast<void*>(&libraryDirectory), &info) == 0 || !info.dli_fname) return std::string();
  std::string const file(info.dli_fname);
  std::string::size_type const slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

std::string moduleFile(std::string const& directory, char const* baseName) {
  std::string file = directory;
  if (!file.empty() && file.back() != '/') file += '/';
  file += "lib";
  file += baseName;
  file += ".so";
  return file;
}

void* openLibrary(std::string const& file, std::string* reason) {
  // RTLD_LOCAL keeps the library's symbols (SpiderMonkey's own abort(),
  // say) out of the process's global scope.
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library && reason) {
    char const* error = dlerror();
    *reason = error ? error : "unknown loader error";
  }
  return library;
}

void* librarySymbol(void* library, char const* name) {
  if (!library) return nullptr;
  return dlsym(library, name);
}

}  // namespace platform
}  // namespace __
}  // namespace zu
