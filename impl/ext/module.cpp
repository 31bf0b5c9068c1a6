// The internal modules beside libzu (scripting, UDT): opened on first use,
// with one report of why when they cannot be.
#include "ext/module.h"

#include <zu/em.h>

#include "diag/logging.h"
#include "platform/dynload_platform.h"

namespace zu {
namespace __ {

Module::Module(Description const& description, void const* host) : description_(description), host_(host) {}

std::string Module::loadFailure(std::string const& what, std::string const& reason) {
  return what + " could not be loaded: " + reason;
}

void const* Module::table() {
  void const* table = table_.load(std::memory_order_acquire);
  if (table || tried_.load(std::memory_order_acquire)) return table;
  bool failedNow = false;
  {
    sys::ScopedLock lock(lock_);
    if (!tried_.load(std::memory_order_relaxed)) {
      open();
      failedNow = !failure_.empty();
      tried_.store(true, std::memory_order_release);
    }
  }
  // Logged once the attempt is over and outside the lock, so that a log
  // callback may itself use the family (and find it unavailable).
  if (failedNow) ZU_LOG(0, "[ERR ]", failure_);
  return table_.load(std::memory_order_acquire);
}

void Module::open() {
  if (!description_.builtIn) {
    failure_ = std::string(description_.family) + " was not built in (" + description_.option + " was off)";
    return;
  }
  // The outside library first, by its versioned name, so that a missing
  // one is named as such rather than as a module that failed to load.
  // The module then finds it already loaded.
  std::string reason;
  if (!platform::openSharedLibrary(description_.library, reason)) {
    failure_ = loadFailure(description_.library, reason);
    return;
  }
  std::string const directory = platform::libraryDirectory();
  std::string const file = platform::moduleFile(directory.empty() ? std::string(".") : directory, description_.module);
  std::string const name = platform::moduleFileName(description_.module);
  void* module = platform::openSharedLibrary(file.c_str(), reason);
  if (!module) {
    failure_ = loadFailure(name, reason);
    return;
  }
  std::string missing;
  Entry const entry = reinterpret_cast<Entry>(platform::sharedLibrarySymbol(module, description_.entry, missing));
  if (!entry) {
    failure_ = loadFailure(name, std::string("it has no entry point ") + description_.entry);
    return;
  }
  void const* table = entry(host_);
  if (!table) {
    failure_ = loadFailure(name, "it was built for another version of libzu");
    return;
  }
  table_.store(table, std::memory_order_release);
}

std::string Module::failure() const {
  if (!tried_.load(std::memory_order_acquire)) return std::string();
  return failure_;
}

void Module::reportFailure(void const* owner) const {
  if (!em::catching(owner)) return;
  em::report(owner, 100, String(failure().c_str()));
}

}  // namespace __
}  // namespace zu
