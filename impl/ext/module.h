// The library's internal modules: small shared libraries installed beside
// libzu that hold the code written against an outside C++ library
// (libzu-js.so over SpiderMonkey, libzu-udt.so over UDT). libzu itself
// never links those libraries, so a program that does not use scripting or
// UDT neither loads them at start nor needs them installed.
//
// A module is opened the first time its family is used, once, under a
// lock, and reached through one C entry point that takes the services of
// libzu the module needs (a table of its own) and returns the module's
// table of operations. When anything is missing, the family fails its
// operations cleanly: each reports code 100 with a text naming what could
// not be loaded and why, and the first failure is logged at "[ERR ]".
#ifndef ZU_IMPL_EXT_MODULE_H
#define ZU_IMPL_EXT_MODULE_H

#include <zu/sys.h>

#include <atomic>
#include <string>

namespace zu {
namespace __ {

class Module {
 public:
  // The entry point: gets libzu's services, gives the module's table, or
  // null when the module was built for another version of the tables.
  typedef void const* (*Entry)(void const* host);

  struct Description {
    // The outside library's versioned file name ("libmozjs-102.so.0").
    char const* library;
    // The module's base name ("zu-js" for libzu-js.so).
    char const* module;
    // The name of the module's entry point.
    char const* entry;
    // What the family is called in the text of a build without it, and
    // the build option that leaves it out.
    char const* family;
    char const* option;
    // False when the build left the module out.
    bool builtIn;
  };

  Module(Description const& description, void const* host);
  Module(Module const&) = delete;
  Module& operator=(Module const&) = delete;

  // The module's table, opening the module on the first call; null when
  // it cannot be had (failure() says why).
  void const* table();
  // The table when the module has been opened already; never opens it.
  void const* tableIfOpen() const { return table_.load(std::memory_order_acquire); }
  // Why the module is unavailable; empty until an attempt has failed.
  std::string failure() const;
  // Reports failure() with code 100 to the calling thread's guard for
  // `owner`.
  void reportFailure(void const* owner) const;

  // The text of a failed load: "<what> could not be loaded: <reason>".
  static std::string loadFailure(std::string const& what, std::string const& reason);

 private:
  void open();

  Description const description_;
  void const* const host_;
  sys::Mutex lock_;
  std::atomic<void const*> table_{nullptr};
  std::atomic<bool> tried_{false};
  std::string failure_;
};

}  // namespace __
}  // namespace zu

#endif
