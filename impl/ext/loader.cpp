// Opening an outside library and resolving its functions, shared by the
// loaders of each library.
#include "ext/loader.h"

#include <zu/em.h>
#include <zu/string.h>

#include "diag/logging.h"
#include "platform/dynload_platform.h"

namespace zu {
namespace ext {

Resolver::Resolver(char const* soname, char const* companion)
    : soname_(soname), library_(nullptr), companion_(nullptr) {
  library_ = __::platform::openSharedLibrary(soname, reason_);
  if (library_ != nullptr && companion != nullptr) {
    std::string why;
    companion_ = __::platform::openSharedLibrary(companion, why);
    if (companion_ == nullptr) reason_ = std::string(companion) + ": " + why;
  }
}

Resolver::~Resolver() {
  // Libraries whose table is complete stay loaded for the rest of the
  // process; finish() has taken them over then.
  __::platform::closeSharedLibrary(companion_);
  __::platform::closeSharedLibrary(library_);
}

void* Resolver::find(char const* name) {
  if (library_ == nullptr || !reason_.empty()) return nullptr;
  if (companion_ != nullptr) {
    std::string notHere;
    if (void* const function = __::platform::sharedLibrarySymbol(library_, name, notHere)) return function;
    return __::platform::sharedLibrarySymbol(companion_, name, reason_);
  }
  return __::platform::sharedLibrarySymbol(library_, name, reason_);
}

bool Resolver::finish(std::string& failure) {
  if (library_ != nullptr && reason_.empty()) {
    library_ = nullptr;
    companion_ = nullptr;
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
