// Script values: the value classes, conversions between engine values and
// value objects, and native functions.
//
// Undefined, null, booleans, numbers and strings are kept on the caller's
// side (a string as its UTF-8 text), so reading them never waits for the
// engine thread; objects stay in the engine, rooted while their value object
// lives, and every operation on them is a task on their engine thread.
#include "js/engine/engine.h"

#include <zu/em.h>

#include <boost/container/small_vector.hpp>
#include <boost/make_shared.hpp>
#include <cmath>
#include <limits>

#include <js/Array.h>
#include <js/PropertyAndElement.h>
#include <js/PropertyDescriptor.h>
#include <jsfriendapi.h>

#include "core/assertion.h"
#include "diag/logging.h"

namespace zu {
namespace js {
namespace impl {

namespace {

// The engine's property id for a UTF-8 name (an index for "0", "1", ...).
bool nameToId(JSContext* cx, String const& name, JS::MutableHandleId id) {
  JS::RootedString string(cx, JS_NewStringCopyUTF8N(cx, JS::UTF8Chars(name.cstr(), name.length())));
  return string && JS_StringToId(cx, string, id);
}

// Runs `task` on the engine of a value and hands what it reports to the
// calling thread's guards for `owner`.
bool onEngine(Engine& engine, void const* owner, Task task) {
  Reports reports;
  bool const ran = engine.execute(task, &reports);
  deliver(owner, reports);
  return ran;
}

}  // namespace

class Undefined : public IUndefined, public IInternalValue {
 public:
  bool toBoolean() const override { return false; }
  String toString() const override { return runtime().undefinedText; }
  bool engineValue(Engine&, JS::MutableHandleValue out) const override {
    out.setUndefined();
    return true;
  }
};

class Null : public INull, public IInternalValue {
 public:
  bool toBoolean() const override { return false; }
  String toString() const override { return runtime().nullText; }
  bool engineValue(Engine&, JS::MutableHandleValue out) const override {
    out.setNull();
    return true;
  }
};

class Boolean : public IBoolean, public IInternalValue {
 public:
  explicit Boolean(bool value) : value_(value) {}
  bool toBoolean() const override { return value_; }
  String toString() const override { return value_ ? runtime().trueText : runtime().falseText; }
  bool value() const override { return value_; }
  bool engineValue(Engine&, JS::MutableHandleValue out) const override {
    out.setBoolean(value_);
    return true;
  }

 private:
  bool const value_;
};

class Number : public INumber, public IInternalValue {
 public:
  Number(double value, boost::shared_ptr<IContext> const& context) : value_(value), context_(context) {}

  bool toBoolean() const override { return value_ != 0 && !std::isnan(value_); }
  String toString() const override {
    // The engine's number formatting, on the engine thread of the context.
    boost::shared_ptr<Context> context = boost::static_pointer_cast<Context>(context_);
    std::string text;
    if (!context) return String();
    Engine& engine = context->engine();
    onEngine(engine, static_cast<IValue const*>(this), [&] {
      JS::RootedValue value(engine.cx(), JS::NumberValue(value_));
      text = utf8(engine.cx(), JS::ToString(engine.cx(), value));
    });
    return String(text.c_str());
  }
  bool isNaN() const override { return std::isnan(value_); }
  bool isInfinity() const override { return isPositiveInfinity() || isNegativeInfinity(); }
  bool isPositiveInfinity() const override { return value_ == std::numeric_limits<double>::infinity(); }
  bool isNegativeInfinity() const override { return value_ == -std::numeric_limits<double>::infinity(); }
  double toDouble() const override { return value_; }
  int toInt32() const override { return JS::ToInt32(value_); }
  unsigned int toUint32() const override { return JS::ToUint32(value_); }
  bool equals(boost::shared_ptr<INumber>) const override { return false; }
  bool engineValue(Engine&, JS::MutableHandleValue out) const override {
    out.set(JS::NumberValue(value_));
    return true;
  }

 private:
  double const value_;
  boost::shared_ptr<IContext> const context_;
};

class _String : public IString, public IInternalValue {
 public:
  _String(String const& value, boost::shared_ptr<IContext> const& context) : value_(value), context_(context) {}

  bool toBoolean() const override { return !value_.empty(); }
  String toString() const override { return value_; }
  String value() const override { return value_; }
  bool engineValue(Engine& engine, JS::MutableHandleValue out) const override {
    JSString* string = JS_NewStringCopyUTF8N(engine.cx(), JS::UTF8Chars(value_.cstr(), value_.length()));
    if (!string) {
      engine.takeError();
      return false;
    }
    out.setString(string);
    return true;
  }

 private:
  String const value_;
  boost::shared_ptr<IContext> const context_;
};

// A value the library has no interface for (a symbol, a big integer).
class Other : public IValue, public IInternalValue {
 public:
  Other(Engine& engine, JS::HandleValue value, boost::shared_ptr<Context> const& context)
      : value_(engine.addRoot(value)), context_(context) {}
  ~Other() override { context_->engine().releaseRoot(value_); }
  bool toBoolean() const override {
    bool result = false;
    Engine& engine = context_->engine();
    engine.execute([&] { result = JS::ToBoolean(*value_); });
    return result;
  }
  String toString() const override {
    std::string text;
    Engine& engine = context_->engine();
    onEngine(engine, static_cast<IValue const*>(this), [&] {
      JSString* string = JS::ToString(engine.cx(), *value_);
      if (!string) {
        engine.takeError();
        return;
      }
      text = utf8(engine.cx(), string);
    });
    return String(text.c_str());
  }
  bool engineValue(Engine& engine, JS::MutableHandleValue out) const override {
    if (&engine != &context_->engine()) return false;
    out.set(*value_);
    return true;
  }

 private:
  JS::PersistentRootedValue* const value_;
  boost::shared_ptr<Context> const context_;
};

// The engine side of an object value, shared by objects, arrays and
// functions.
class ObjectCore {
 public:
  // A `borrowed` value is already rooted by the engine (a native
  // function's arguments, for the time of the call): it gets a root of its
  // own only if it is kept longer (keep()).
  ObjectCore(Engine& engine, JS::HandleValue value, boost::shared_ptr<Context> const& context, bool borrowed)
      : root_(borrowed ? nullptr : engine.addRoot(value)),
        value_(borrowed ? value.address() : root_->address()),
        context_(context) {}
  ~ObjectCore() {
    if (root_) context_->engine().releaseRoot(root_);
  }
  ObjectCore(ObjectCore const&) = delete;
  ObjectCore& operator=(ObjectCore const&) = delete;

  Engine& engine() const { return context_->engine(); }
  // The value, for the engine thread.
  JS::Value const& value() const { return *value_; }
  boost::shared_ptr<Context> const& context() const { return context_; }
  // The object, for the engine thread.
  JSObject* object() const { return &value_->toObject(); }
  // Gives a borrowed value a root of its own. Engine thread only.
  void keep() {
    if (root_) return;
    root_ = engine().addRoot(JS::HandleValue::fromMarkedLocation(value_));
    value_ = root_->address();
  }

 private:
  JS::PersistentRootedValue* root_;
  JS::Value const* value_;
  boost::shared_ptr<Context> const context_;
};

// The IObject operations over an ObjectCore; `I` is the interface served.
template <class I>
class ObjectBase : public I, public IInternalValue, public ObjectCore {
 public:
  ObjectBase(Engine& engine, JS::HandleValue value, boost::shared_ptr<Context> const& context, bool borrowed = false)
      : ObjectCore(engine, value, context, borrowed) {}

  bool toBoolean() const override { return true; }

  String toString() const override {
    std::string text;
    Engine& engine = this->engine();
    run([&] {
      JS::RootedValue value(engine.cx(), this->value());
      JSString* string = JS::ToString(engine.cx(), value);
      if (!string) {
        engine.takeError();
        return;
      }
      text = utf8(engine.cx(), string);
    });
    return String(text.c_str());
  }

  bool equals(boost::shared_ptr<IObject> other) const override {
    ObjectCore const* core = dynamic_cast<ObjectCore const*>(other.get());
    if (!core || &core->engine() != &engine()) return false;
    bool same = false;
    engine().execute([&] { same = object() == core->object(); });
    return same;
  }

  String className() const override {
    std::string name;
    engine().execute([&] {
      JSClass const* clasp = JS::GetClass(object());
      if (clasp && clasp->name) name = clasp->name;
    });
    return String(name.c_str());
  }

  void clear() override {
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedIdVector ids(cx);
      if (!::js::GetPropertyKeys(cx, object, JSITER_OWNONLY | JSITER_HIDDEN | JSITER_SYMBOLS, &ids)) {
        engine.takeError();
        return;
      }
      for (std::size_t i = 0; i < ids.length(); ++i) {
        JS::ObjectOpResult result;
        if (!JS_DeletePropertyById(cx, object, ids[i], result)) engine.takeError();
      }
    });
  }

  TArray<String> keys() const override {
    TArray<String> keys;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::Rooted<JS::IdVector> ids(cx, JS::IdVector(cx));
      if (!JS_Enumerate(cx, object, &ids)) {
        engine.takeError();
        return;
      }
      JS::RootedValue key(cx);
      for (std::size_t i = 0; i < ids.length(); ++i) {
        if (!JS_IdToValue(cx, ids[i], &key)) {
          JS_ClearPendingException(cx);
          continue;
        }
        JSString* string = JS::ToString(cx, key);
        if (!string) {
          JS_ClearPendingException(cx);
          continue;
        }
        keys.append(String(utf8(cx, string).c_str()));
      }
    });
    return keys;
  }

  boost::shared_ptr<IValue> get(String const& name) const override {
    boost::shared_ptr<IValue> result;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedId id(cx);
      JS::RootedValue value(cx);
      engine.armGuard(nullptr);
      bool const ok = nameToId(cx, name, &id) && JS_GetPropertyById(cx, object, id, &value);
      engine.disarmGuard();
      if (!ok) {
        engine.takeError();
        return;
      }
      result = fromEngine(engine, context(), value);
    });
    return result;
  }

  bool set(String const& name, boost::shared_ptr<IValue> value) override {
    bool ok = false;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedId id(cx);
      JS::RootedValue v(cx);
      if (!toEngine(engine, value, &v)) return;
      engine.armGuard(nullptr);
      ok = nameToId(cx, name, &id) && JS_SetPropertyById(cx, object, id, v);
      engine.disarmGuard();
      if (!ok) engine.takeError();
    });
    return ok;
  }

  bool remove(String const& name) override {
    bool ok = false;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedId id(cx);
      JS::ObjectOpResult result;
      if (!nameToId(cx, name, &id) || !JS_DeletePropertyById(cx, object, id, result)) {
        engine.takeError();
        return;
      }
      ok = result.ok();
    });
    return ok;
  }

  unsigned int attributes(String const& name) const override {
    unsigned int attributes = 0;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedId id(cx);
      JS::Rooted<mozilla::Maybe<JS::PropertyDescriptor>> descriptor(cx);
      if (!nameToId(cx, name, &id) || !JS_GetOwnPropertyDescriptorById(cx, object, id, &descriptor)) {
        engine.takeError();
        return;
      }
      if (descriptor.isNothing()) return;
      attributes = descriptorAttributes(*descriptor);
    });
    return attributes;
  }

  bool setAttributes(String const& name, unsigned int attributes) override {
    bool ok = false;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedId id(cx);
      JS::Rooted<mozilla::Maybe<JS::PropertyDescriptor>> descriptor(cx);
      if (!nameToId(cx, name, &id) || !JS_GetOwnPropertyDescriptorById(cx, object, id, &descriptor)) {
        engine.takeError();
        return;
      }
      if (descriptor.isNothing()) return;
      unsigned int const flags = attributes & (JSPROP_ENUMERATE | JSPROP_READONLY | JSPROP_PERMANENT);
      JS::Rooted<JS::PropertyDescriptor> redefined(cx);
      if (descriptor->isAccessorDescriptor()) {
        redefined = JS::PropertyDescriptor::Accessor(descriptor->getter(), descriptor->setter(),
                                                     flags & ~JSPROP_READONLY);
      } else {
        redefined = JS::PropertyDescriptor::Data(descriptor->value(), flags);
      }
      JS::ObjectOpResult result;
      if (!JS_DefinePropertyById(cx, object, id, redefined, result)) {
        engine.takeError();
        return;
      }
      ok = result.ok();
    });
    return ok;
  }

  bool engineValue(Engine& engine, JS::MutableHandleValue out) const override {
    if (&engine != &this->engine()) return false;
    out.set(value());
    return true;
  }

 protected:
  // Runs `task` on the object's engine; reports go to this object.
  bool run(Task task) const {
    return onEngine(engine(), static_cast<IValue const*>(static_cast<I const*>(this)), task);
  }

 private:
  static unsigned int descriptorAttributes(JS::PropertyDescriptor const& descriptor) {
    unsigned int bits = 0;
    if (descriptor.enumerable()) bits |= JSPROP_ENUMERATE;
    if (descriptor.isDataDescriptor() && !descriptor.writable()) bits |= JSPROP_READONLY;
    if (!descriptor.configurable()) bits |= JSPROP_PERMANENT;
    return bits;
  }
};

class Object : public ObjectBase<IObject> {
 public:
  using ObjectBase<IObject>::ObjectBase;
};

class Array : public ObjectBase<IArray> {
 public:
  using ObjectBase<IArray>::ObjectBase;
  using ObjectBase<IArray>::get;
  using ObjectBase<IArray>::set;
  using ObjectBase<IArray>::remove;

  unsigned int length() const override {
    uint32_t length = 0;
    Engine& engine = this->engine();
    run([&] {
      JS::RootedObject object(engine.cx(), this->object());
      if (!JS::GetArrayLength(engine.cx(), object, &length)) engine.takeError();
    });
    return length;
  }

  bool setLength(unsigned int length) override {
    bool ok = false;
    Engine& engine = this->engine();
    run([&] {
      JS::RootedObject object(engine.cx(), this->object());
      ok = JS::SetArrayLength(engine.cx(), object, length);
      if (!ok) engine.takeError();
    });
    return ok;
  }

  boost::shared_ptr<IValue> get(unsigned int index) const override {
    boost::shared_ptr<IValue> result;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedValue value(cx);
      engine.armGuard(nullptr);
      bool const ok = JS_GetElement(cx, object, index, &value);
      engine.disarmGuard();
      if (!ok) {
        engine.takeError();
        return;
      }
      result = fromEngine(engine, context(), value);
    });
    return result;
  }

  bool set(unsigned int index, boost::shared_ptr<IValue> value) override {
    bool ok = false;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedObject object(cx, this->object());
      JS::RootedValue v(cx);
      if (!toEngine(engine, value, &v)) return;
      engine.armGuard(nullptr);
      ok = JS_SetElement(cx, object, index, v);
      engine.disarmGuard();
      if (!ok) engine.takeError();
    });
    return ok;
  }

  bool remove(unsigned int index) override {
    bool ok = false;
    Engine& engine = this->engine();
    run([&] {
      JS::RootedObject object(engine.cx(), this->object());
      JS::ObjectOpResult result;
      if (!JS_DeleteElement(engine.cx(), object, index, result)) {
        engine.takeError();
        return;
      }
      ok = result.ok();
    });
    return ok;
  }
};

class Function : public ObjectBase<IFunction> {
 public:
  using ObjectBase<IFunction>::ObjectBase;

  String name() const override {
    std::string name;
    Engine& engine = this->engine();
    engine.execute([&] {
      JSFunction* function = JS_GetObjectFunction(object());
      if (function) name = utf8(engine.cx(), JS_GetFunctionId(function));
    });
    return String(name.c_str());
  }

  boost::shared_ptr<IValue> call(TArray<boost::shared_ptr<IValue> > const& args) override {
    boost::shared_ptr<IValue> result;
    Engine& engine = this->engine();
    run([&] {
      JSContext* cx = engine.cx();
      JS::RootedValueVector values(cx);
      JS::RootedValue v(cx);
      for (unsigned int i = 0; i < args.size(); ++i) {
        if (!toEngine(engine, args[i], &v)) return;
        if (!values.append(v)) {
          engine.takeError();
          return;
        }
      }
      JS::RootedValue function(cx, value());
      JS::RootedValue value(cx);
      engine.armGuard(nullptr);
      bool const ok = JS_CallFunctionValue(cx, engine.global(), function, values, &value);
      engine.disarmGuard();
      if (!ok) {
        engine.takeError();
        return;
      }
      result = fromEngine(engine, context(), value);
    });
    return result;
  }
};

bool toEngine(Engine& engine, boost::shared_ptr<IValue> const& value, JS::MutableHandleValue out) {
  if (!value) {
    out.setUndefined();
    return true;
  }
  IInternalValue const* internal = dynamic_cast<IInternalValue const*>(value.get());
  return internal && internal->engineValue(engine, out);
}

boost::shared_ptr<IValue> fromEngine(Engine& engine, boost::shared_ptr<Context> const& context,
                                     JS::HandleValue value, bool borrowed) {
  // A context being destroyed has no values any more.
  if (!context) return boost::shared_ptr<IValue>();
  if (value.isUndefined()) return boost::make_shared<Undefined>();
  if (value.isNull()) return boost::make_shared<Null>();
  if (value.isBoolean()) return boost::make_shared<Boolean>(value.toBoolean());
  if (value.isNumber()) return boost::make_shared<Number>(value.toNumber(), context);
  if (value.isString()) return boost::make_shared<_String>(String(utf8(engine.cx(), value.toString()).c_str()), context);
  if (value.isObject()) {
    JSContext* cx = engine.cx();
    JS::RootedObject object(cx, &value.toObject());
    bool isArray = false;
    if (!JS::IsArrayObject(cx, object, &isArray)) JS_ClearPendingException(cx);
    if (isArray) return boost::make_shared<Array>(engine, value, context, borrowed);
    if (JS_ObjectIsFunction(object)) return boost::make_shared<Function>(engine, value, context, borrowed);
    return boost::make_shared<Object>(engine, value, context, borrowed);
  }
  // Symbols and big integers: values without a kind of their own.
  return boost::make_shared<Other>(engine, value, context);
}

namespace {

// The engine's entry into a native function: the function pointer sits in
// the engine function's reserved slot.
bool trampoline(JSContext* cx, unsigned argc, JS::Value* vp) {
  JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
  Engine* engine = static_cast<Engine*>(JS_GetContextPrivate(cx));
  ZU_ASSERT(engine != nullptr, "fp != NULL");
  JS::Value const& slot = ::js::GetFunctionNativeReserved(&args.callee(), 0);
  NativeFunction function = reinterpret_cast<NativeFunction>(slot.toPrivate());
  ZU_ASSERT(function != nullptr, "fp->fun->priv != NULL");
  boost::shared_ptr<Context> context = engine->owner();

  // Objects are handed to the function over the call's own rooted slots;
  // those the function keeps beyond the call get roots of their own after
  // it (most functions keep none, so most calls make no root at all).
  boost::container::small_vector<boost::weak_ptr<IValue>, 4> borrowed;
  TArray<boost::shared_ptr<IValue> > arguments;
  for (unsigned int i = 0; i < args.length(); ++i) {
    boost::shared_ptr<IValue> value = fromEngine(*engine, context, args[i], true);
    if (args[i].isObject()) borrowed.emplace_back(value);
    arguments.append(value);
  }
  JS::RootedObject thisObject(cx);
  if (!args.computeThis(cx, &thisObject)) return false;
  JS::RootedValue thisValue(cx, JS::ObjectValue(*thisObject));
  boost::shared_ptr<IObject> self = boost::dynamic_pointer_cast<IObject>(fromEngine(*engine, context, thisValue, true));
  borrowed.emplace_back(self);

  boost::shared_ptr<IValue> result;
  try {
    result = function(self, arguments);
  } catch (...) {
    // An exception must not unwind through the engine's frames.
    result.reset();
  }
  bool const ok = result && toEngine(*engine, result, args.rval());
  result.reset();
  self.reset();
  arguments.clear();
  for (boost::weak_ptr<IValue> const& value : borrowed) {
    if (boost::shared_ptr<IValue> kept = value.lock()) {
      if (ObjectCore* core = dynamic_cast<ObjectCore*>(kept.get())) core->keep();
    }
  }
  if (!ok) {
    JS_ReportErrorASCII(cx, "Native function failure");
    engine->markNativeFailure();
    return false;
  }
  return true;
}

// A new value of `context` made by `make` on its engine thread.
template <class T, class Make>
boost::shared_ptr<T> make(char const* what, Make const& make) {
  boost::shared_ptr<Context> context = requireContext();
  Engine& engine = context->engine();
  boost::shared_ptr<T> result;
  engine.execute([&] {
    JSObject* object = make(engine.cx());
    ZU_ASSERT(object != nullptr, what);
    JS::RootedValue value(engine.cx(), JS::ObjectValue(*object));
    result = boost::dynamic_pointer_cast<T>(fromEngine(engine, context, value));
  });
  return result;
}

}  // namespace

boost::shared_ptr<IUndefined> newUndefined() { return boost::make_shared<Undefined>(); }

boost::shared_ptr<INull> newNull() { return boost::make_shared<Null>(); }

boost::shared_ptr<IBoolean> newBoolean(bool value) { return boost::make_shared<Boolean>(value); }

boost::shared_ptr<INumber> newNumber(double value) { return boost::make_shared<Number>(value, requireContext()); }

boost::shared_ptr<IString> newString(String const& text) { return boost::make_shared<_String>(text, requireContext()); }

boost::shared_ptr<IObject> newObject() {
  return make<IObject>("obj != NULL", [](JSContext* cx) { return JS_NewPlainObject(cx); });
}

boost::shared_ptr<IArray> newArray(unsigned int length) {
  return make<IArray>("obj != NULL", [length](JSContext* cx) { return JS::NewArrayObject(cx, length); });
}

boost::shared_ptr<IFunction> newFunction(String const& name, NativeFunction function, unsigned int argumentCount) {
  ZU_ASSERT(function != nullptr, "func");
  return make<IFunction>("jsf != NULL", [&](JSContext* cx) -> JSObject* {
    JSFunction* made = nullptr;
    if (name.empty()) {
      made = ::js::NewFunctionWithReserved(cx, &trampoline, argumentCount, 0, nullptr);
    } else {
      JS::RootedId id(cx);
      if (nameToId(cx, name, &id)) made = ::js::NewFunctionByIdWithReserved(cx, &trampoline, argumentCount, 0, id);
    }
    if (!made) return nullptr;
    JSObject* object = JS_GetFunctionObject(made);
    ::js::SetFunctionNativeReserved(object, 0, JS::PrivateValue(reinterpret_cast<void*>(function)));
    return object;
  });
}

}  // namespace impl
}  // namespace js
}  // namespace zu
