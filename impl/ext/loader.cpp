// Opening an outside library and resolving its functions, shared by the
// loaders of each library.
#include "ext/loader.h"

#include <zu/em.h>
#include <zu/string.h>

#include "diag/logging.h"
#include "platform/dynload_platform.h"

namespace zu {
namespace ext {

Resolver::Resolver(char const* soname) : soname_(soname), library_(nullptr) {
  library_ = __::platform::openSharedLibrary(soname, reason_);
}

Resolver::~Resolver() {
  // A library whose table is complete stays loaded for the rest of the
  // process; finish() has taken it over then.
  __::platform::closeSharedLibrary(library_);
}

void* Resolver::find(char const* name) {
  if (library_ == nullptr || !reason_.empty()) return nullptr;
  return __::platform::sharedLibrarySymbol(library_, name, reason_);
}

bool Resolver::finish(std::string& failure) {
  if (library_ != nullptr && reason_.empty()) {
    library_ = nullptr;
    return true;
  }
  failure = std::string(soname_) + " could not be loaded: " + reason_;
  return false;
}

std::string notBuiltIn(char const* soname, char const* option) {
  return std::string(soname) + " could not be loaded: not built in (zu was configured with " + option + "=OFF)";
}

void logOnce(std::atomic<bool>& logged, std::string const& failure) {
  if (!logged.exchange(true)) ZU_LOG(0, "[ERR ]", failure.c_str());
}

bool unavailable(void const* owner, std::string const& failure) {
  em::report(owner, ERROR_LIBRARY_UNAVAILABLE, String(failure.c_str()));
  return false;
}

}  // namespace ext
}  // namespace zu
