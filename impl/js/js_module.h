// The tables between libzu and its scripting module, libzu-js.so, which
// holds everything written against the JavaScript engine. libzu keeps the
// public entry points and forwards them here; the module's classes
// implement the public interfaces, so the values and contexts it returns
// are used directly.
#ifndef ZU_IMPL_JS_MODULE_H
#define ZU_IMPL_JS_MODULE_H

#include <cstddef>
#include <zu/js.h>

namespace zu {
namespace js {
namespace impl {

// Raised whenever either table changes.
unsigned int const moduleVersion = 1;

// The module's entry point: `extern "C" ModuleTable const* <name>(Host const*)`.
#define ZU_JS_MODULE_ENTRY zu_js_module_entry

// What libzu gives the module.
struct Host {
  unsigned int version;
  // The size of the calling thread's stack mapping; 0 when unknown.
  std::size_t (*threadStackSize)();
};

// What the module gives libzu. The owners are where reports go.
struct ModuleTable {
  unsigned int version;
  boost::shared_ptr<IContext> (*newContext)(bool strict, unsigned int maxBytes);
  // The calling thread's current context; null when none.
  boost::shared_ptr<IContext> (*currentContext)();
  boost::shared_ptr<IScript> (*compile)(void const* owner, String const& source, String const& name, unsigned int line);
  boost::shared_ptr<IValue> (*evalSource)(void const* owner, String const& source, String const& name, unsigned int line);
  bool (*runSource)(void const* owner, String const& source, String const& name, unsigned int line);
  boost::shared_ptr<IUndefined> (*newUndefined)();
  boost::shared_ptr<INull> (*newNull)();
  boost::shared_ptr<IBoolean> (*newBoolean)(bool value);
  boost::shared_ptr<INumber> (*newNumber)(double value);
  boost::shared_ptr<IString> (*newString)(String const& text);
  boost::shared_ptr<IObject> (*newObject)();
  boost::shared_ptr<IArray> (*newArray)(unsigned int length);
  boost::shared_ptr<IFunction> (*newFunction)(String const& name, NativeFunction function, unsigned int argumentCount);
};

}  // namespace impl
}  // namespace js
}  // namespace zu

#endif
