// Run-time loading of shared libraries through the dynamic linker (dlopen),
// and where the library's own modules are: beside libzu itself.
// Each library is opened with local symbols, so that two of them may define
// the same names.
#include "platform/dynload_platform.h"

#include <dlfcn.h>

namespace zu {
namespace __ {
namespace platform {

namespace {
std::string lastReason() {
  char const* const text = dlerror();
  return text ? std::string(text) : std::string("unknown reason");
}
}  // namespace

void* openSharedLibrary(char const* name, std::string& reason) {
  // Every symbol resolved now, so that a broken library fails here and not
  // at some later call; kept local, so that two libraries exporting the
  // same names (SQLite and SQLCipher, say) never meet.
  void* const library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) reason = lastReason();
  return library;
}

void* sharedLibrarySymbol(void* library, char const* symbol, std::string& reason) {
  dlerror();
  void* const address = dlsym(library, symbol);
  if (address == nullptr) reason = lastReason();
  return address;
}

void closeSharedLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

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

std::string moduleFileName(char const* baseName) { return std::string("lib") + baseName + ".so"; }

std::string moduleFile(std::string const& directory, char const* baseName) {
  std::string file = directory;
  if (!file.empty() && file.back() != '/') file += '/';
  return file + moduleFileName(baseName);
}

}  // namespace platform
}  // namespace __
}  // namespace zu
