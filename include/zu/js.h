// zu::js: script contexts, compiled scripts and the typed values that cross
// between the caller and the JavaScript engine.
//
// Each context owns one engine thread on which every engine call for that
// context runs; callers on any thread hand their work to it and wait (each
// call is one hand-over, a microsecond or so while a processor is free).
//
// The engine library is loaded on first use. When it cannot be (or the
// library was built without scripting), IContext::New, the script functions
// and the value factories return null or false and report code 100 with a
// text naming what could not be loaded and the loader's reason
// ("libmozjs-102.so.0 could not be loaded: ..."). A
// thread makes a context current with enter()/leave() (or a UseContext
// guard); the factories of this header work in the calling thread's current
// context. Inside a native function, the context that called it is current.
#ifndef ZU_JS_H
#define ZU_JS_H

#include <boost/shared_ptr.hpp>
#include <zu/array.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace js {

class IValue;
class IObject;

// The engine heap limit of every context, in bytes: 0x100000 unless set
// before the first context is made; values below 0x80000 are raised to it.
// Changes after the first context has been made have no effect.
ZU_API void setMaxRuntimeBytes(unsigned int bytes);
ZU_API unsigned int maxRuntimeBytes();  // the limit in force

// A script context: a global object, an engine thread, the limits.
class ZU_API IContext : public IBase {
 public:
  // The context's global object.
  virtual boost::shared_ptr<IObject> global() = 0;
  // Runs the engine's garbage collector for this context.
  virtual void gc() = 0;
  // Stops a running script once it has made `limit` loop iterations and
  // function entries (counted together over consecutive runs of one
  // compiled script); NO_LIMIT, the default, sets no limit.
  virtual void setMaxBranches(unsigned int limit) = 0;
  virtual unsigned int maxBranches() const = 0;  // as set; NO_LIMIT to start with
  // Makes this context the calling thread's current one, waiting while
  // another thread has entered it. Pairs with leave() in LIFO order.
  virtual void enter() = 0;
  virtual void leave() = 0;  // undoes the latest enter()
  // Takes this context off the thread's chain while keeping it locked;
  // returns 1 when it was the current one, else 0 and changes nothing.
  virtual int suspend() = 0;
  // Puts a suspended context back as the thread's current one.
  virtual void resume(int depth) = 0;

  // A context with its own global object; `strict` compiles every script
  // in strict mode. Null, after a report, when the engine cannot be loaded.
  static boost::shared_ptr<IContext> New(bool strict);
};

// The calling thread's context chain. An object of this class enters a
// context for its lifetime.
class ZU_API UseContext {
 public:
  explicit UseContext(boost::shared_ptr<IContext> const& context);  // enters `context`
  ~UseContext();  // leaves it
  UseContext(UseContext const&) = delete;
  UseContext& operator=(UseContext const&) = delete;

  // The context most recently entered on this thread and not left; null
  // when none.
  static boost::shared_ptr<IContext> current();

 private:
  boost::shared_ptr<IContext> context_;
};

// A compiled script. Failures are reported under the script object (run,
// eval) or under the address of the static operation: code 1 warning, 2
// strict-mode error, 3 exception (any value thrown and not caught: an Error,
// the engine's own TypeError or ReferenceError, a number), 4 error (what is
// not a thrown value: a compile error, running out of memory, the loop
// guard's stop, a native function that fails); the text is the kind,
// "(number) ", the engine's message, "\nline: N" and, for compile errors, the
// source line and the text from the offending token on.
class ZU_API IScript : public IBase {
 public:
  // Runs the script in the current context; false on failure.
  virtual bool run() = 0;
  // Runs the script and returns its completion value; null on failure.
  virtual boost::shared_ptr<IValue> eval() = 0;

  // Null on a compile error. `name` and `line` place the text in reports.
  static boost::shared_ptr<IScript> compile(String const& source, String const& name, unsigned int line);
  static boost::shared_ptr<IValue> evalSource(String const& source, String const& name, unsigned int line);  // compile, eval
  static bool runSource(String const& source, String const& name, unsigned int line);  // compile, run
};

// A script value. Values of objects keep the engine object alive while
// they live; a value belongs to the context it was made in.
class ZU_API IValue : public IBase {
 public:
  virtual bool toBoolean() const = 0;  // the script's own truth rule (ToBoolean)
  // The engine's string conversion; empty when it fails.
  virtual String toString() const = 0;
};

// The value undefined.
class ZU_API IUndefined : public IValue {
 public:
  static boost::shared_ptr<IUndefined> New();  // undefined
};

// The value null.
class ZU_API INull : public IValue {
 public:
  static boost::shared_ptr<INull> New();  // null
};

// A boolean value.
class ZU_API IBoolean : public IValue {
 public:
  virtual bool value() const = 0;  // true or false
  static boost::shared_ptr<IBoolean> New(bool value);  // true or false
};

// A number value (a double).
class ZU_API INumber : public IValue {
 public:
  virtual bool isNaN() const = 0;  // not a number
  virtual bool isInfinity() const = 0;  // an infinity of either sign
  virtual bool isPositiveInfinity() const = 0;  // +Infinity
  virtual bool isNegativeInfinity() const = 0;  // -Infinity
  virtual double toDouble() const = 0;  // the value itself
  // ECMAScript ToInt32 and ToUint32 (modulo 2^32, NaN and infinities 0).
  virtual int toInt32() const = 0;
  virtual unsigned int toUint32() const = 0;  // ToUint32
  // Always false: compare numbers through toDouble().
  virtual bool equals(boost::shared_ptr<INumber> other) const = 0;

  static boost::shared_ptr<INumber> New(double value);  // that number
  static boost::shared_ptr<INumber> newNaN();  // NaN
  // Negative infinity when `negative`, else positive infinity.
  static boost::shared_ptr<INumber> newInfinity(bool negative);
};

// A string value, UTF-8 on this side.
class ZU_API IString : public IValue {
 public:
  virtual String value() const = 0;  // the text
  static boost::shared_ptr<IString> New(String const& text);  // that text
};

// Operations that fail in the engine (a throwing getter, a frozen object)
// give null, false or 0 and report the reason under the object.
class ZU_API IObject : public IValue {
 public:
  // True when `other` is the very same engine object.
  virtual bool equals(boost::shared_ptr<IObject> other) const = 0;
  // The engine class name ("Object", "Array", "Function", "global", ...).
  virtual String className() const = 0;
  // Deletes every own property that can be deleted.
  virtual void clear() = 0;
  // Own enumerable string keys: integer keys ascending, then insertion order.
  virtual TArray<String> keys() const = 0;
  // The property's value (an IUndefined when missing); null on failure.
  virtual boost::shared_ptr<IValue> get(String const& name) const = 0;
  // A null value stores undefined. False on failure or when `value`
  // belongs to another context.
  virtual bool set(String const& name, boost::shared_ptr<IValue> value) = 0;
  // False when the property cannot be deleted.
  virtual bool remove(String const& name) = 0;
  // The engine attribute bits of an own property: 0x1 enumerable,
  // 0x2 read-only, 0x4 permanent; 0 when there is no such property.
  virtual unsigned int attributes(String const& name) const = 0;
  // Redefines an own property with these attribute bits; false when the
  // property is missing or permanent.
  virtual bool setAttributes(String const& name, unsigned int attributes) = 0;

  // A new empty object.
  static boost::shared_ptr<IObject> New();
};

// An Array object; indices from 0.
class ZU_API IArray : public IObject {
 public:
  using IObject::get;
  using IObject::remove;
  using IObject::set;

  virtual unsigned int length() const = 0;  // the length property
  virtual bool setLength(unsigned int length) = 0;  // truncates or adds holes
  virtual boost::shared_ptr<IValue> get(unsigned int index) const = 0;  // as IObject::get
  virtual bool set(unsigned int index, boost::shared_ptr<IValue> value) = 0;  // as IObject::set
  // Leaves a hole; the length stays.
  virtual bool remove(unsigned int index) = 0;

  static boost::shared_ptr<IArray> New(unsigned int length);  // `length` holes
};

// A function the caller implements for scripts. `thisObject` is the
// object the script called it on (the global object for a plain call);
// `arguments` holds exactly what the script passed. A null result makes the
// call throw the error "Native function failure" into the script.
typedef boost::shared_ptr<IValue> (*NativeFunction)(boost::shared_ptr<IObject> thisObject,
                                                    TArray<boost::shared_ptr<IValue> > const& arguments);

// A function object, scripted or native.
class ZU_API IFunction : public IObject {
 public:
  // The function's own name; empty for an anonymous function.
  virtual String name() const = 0;
  // Calls the function with the global object as `this`; null arguments
  // pass undefined. Null on failure, reported under this function.
  virtual boost::shared_ptr<IValue> call(TArray<boost::shared_ptr<IValue> > const& args) = 0;

  // A function calling `function`, not attached to any object.
  static boost::shared_ptr<IFunction> New(String const& name, NativeFunction function, unsigned int argumentCount);
};

}  // namespace js
}  // namespace zu

#endif
