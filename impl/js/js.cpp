// The scripting family's entry points in libzu. Everything written against
// the JavaScript engine lives in the scripting module (libzu-js.so, opened
// on first use); these functions forward to it, and fail cleanly, with a
// report naming what could not be loaded, when it cannot be had.
#include <zu/js.h>

#include <limits>

#include "core/assertion.h"
#include "ext/module.h"
#include "js/js_module.h"
#include "platform/platform.h"
#include "platform/shared_library.h"
#include "js/startup.h"

#ifndef ZU_WITH_JS
#define ZU_WITH_JS 1
#endif

namespace zu {
namespace js {
namespace impl {

namespace {

Host const host = {moduleVersion, &__::platform::currentThreadStackSize};

__::Module::Description const description = {__::platform::MOZJS_LIBRARY, "zu-js", "zu_js_module_entry", "scripting",
                                              "ZU_WITH_JS", ZU_WITH_JS != 0};

struct State {
  sys::Mutex mutex;
  unsigned int maxBytes = 0x100000;
  // Set by the first context made: the heap limit is fixed from then on.
  bool limitFixed = false;
  __::Module module{description, &host};
};

State& state() {
  static State state;
  return state;
}

// The module's table, opening the module when needed; null after a report
// to `owner` when it cannot be had.
ModuleTable const* table(void const* owner) {
  ModuleTable const* table = static_cast<ModuleTable const*>(state().module.table());
  if (!table) state().module.reportFailure(owner);
  return table;
}

template <class F>
void const* ownerOf(F function) {
  return reinterpret_cast<void const*>(function);
}

}  // namespace

}  // namespace impl

void setMaxRuntimeBytes(unsigned int bytes) {
  impl::State& state = impl::state();
  sys::ScopedLock lock(state.mutex);
  if (state.limitFixed) return;
  state.maxBytes = bytes < 0x80000 ? 0x80000 : bytes;
}

unsigned int maxRuntimeBytes() {
  impl::State& state = impl::state();
  sys::ScopedLock lock(state.mutex);
  return state.maxBytes;
}

boost::shared_ptr<IContext> IContext::New(bool strict) {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&IContext::New));
  if (!table) return boost::shared_ptr<IContext>();
  unsigned int bytes;
  {
    impl::State& state = impl::state();
    sys::ScopedLock lock(state.mutex);
    state.limitFixed = true;
    bytes = state.maxBytes;
  }
  return table->newContext(strict, bytes);
}

UseContext::UseContext(boost::shared_ptr<IContext> const& context) : context_(context) {
  ZU_ASSERT(context_, "context");
  context_->enter();
}

UseContext::~UseContext() { context_->leave(); }

boost::shared_ptr<IContext> UseContext::current() {
  // No context can exist before the module is open.
  impl::ModuleTable const* table = static_cast<impl::ModuleTable const*>(impl::state().module.tableIfOpen());
  return table ? table->currentContext() : boost::shared_ptr<IContext>();
}

boost::shared_ptr<IScript> IScript::compile(String const& source, String const& name, unsigned int line) {
  void const* owner = impl::ownerOf(&IScript::compile);
  impl::ModuleTable const* table = impl::table(owner);
  return table ? table->compile(owner, source, name, line) : boost::shared_ptr<IScript>();
}

boost::shared_ptr<IValue> IScript::evalSource(String const& source, String const& name, unsigned int line) {
  void const* owner = impl::ownerOf(&IScript::evalSource);
  impl::ModuleTable const* table = impl::table(owner);
  return table ? table->evalSource(owner, source, name, line) : boost::shared_ptr<IValue>();
}

bool IScript::runSource(String const& source, String const& name, unsigned int line) {
  void const* owner = impl::ownerOf(&IScript::runSource);
  impl::ModuleTable const* table = impl::table(owner);
  return table && table->runSource(owner, source, name, line);
}

// The value factories report a missing module under their own address.
boost::shared_ptr<IUndefined> IUndefined::New() {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&IUndefined::New));
  return table ? table->newUndefined() : boost::shared_ptr<IUndefined>();
}

boost::shared_ptr<INull> INull::New() {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&INull::New));
  return table ? table->newNull() : boost::shared_ptr<INull>();
}

boost::shared_ptr<IBoolean> IBoolean::New(bool value) {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&IBoolean::New));
  return table ? table->newBoolean(value) : boost::shared_ptr<IBoolean>();
}

boost::shared_ptr<INumber> INumber::New(double value) {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&INumber::New));
  return table ? table->newNumber(value) : boost::shared_ptr<INumber>();
}

boost::shared_ptr<INumber> INumber::newNaN() {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&INumber::newNaN));
  return table ? table->newNumber(std::numeric_limits<double>::quiet_NaN()) : boost::shared_ptr<INumber>();
}

boost::shared_ptr<INumber> INumber::newInfinity(bool negative) {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&INumber::newInfinity));
  double const infinity = std::numeric_limits<double>::infinity();
  return table ? table->newNumber(negative ? -infinity : infinity) : boost::shared_ptr<INumber>();
}

boost::shared_ptr<IString> IString::New(String const& text) {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&IString::New));
  return table ? table->newString(text) : boost::shared_ptr<IString>();
}

boost::shared_ptr<IObject> IObject::New() {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&IObject::New));
  return table ? table->newObject() : boost::shared_ptr<IObject>();
}

boost::shared_ptr<IArray> IArray::New(unsigned int length) {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&IArray::New));
  return table ? table->newArray(length) : boost::shared_ptr<IArray>();
}

boost::shared_ptr<IFunction> IFunction::New(String const& name, NativeFunction function, unsigned int argumentCount) {
  impl::ModuleTable const* table = impl::table(impl::ownerOf(&IFunction::New));
  return table ? table->newFunction(name, function, argumentCount) : boost::shared_ptr<IFunction>();
}

}  // namespace js

void __::initializeScripting() { js::impl::state(); }

}  // namespace zu
