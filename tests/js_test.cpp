#include <zu/em.h>
#include <zu/js.h>
#include <zu/logger.h>
#include <zu/sys.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <boost/make_shared.hpp>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../impl/js/engine/spin_history.h"
#include "hidden_library.h"
#include "support/finalize.h"
#include "support/log_lines.h"

using namespace zu;
using namespace zu::js;
using zu::em::CatchError;

namespace {

void const* ownerOf(boost::shared_ptr<IValue> (*f)(String const&, String const&, unsigned int)) {
  return reinterpret_cast<void const*>(f);
}
void const* ownerOf(bool (*f)(String const&, String const&, unsigned int)) { return reinterpret_cast<void const*>(f); }
void const* ownerOf(boost::shared_ptr<IScript> (*f)(String const&, String const&, unsigned int)) {
  return reinterpret_cast<void const*>(f);
}

String textOf(boost::shared_ptr<IValue> const& value) { return value ? value->toString() : String("<null>"); }

}  // namespace

namespace zu {
void PrintTo(String const& s, std::ostream* out) { *out << '"' << s.cstr() << '"'; }
}  // namespace zu

namespace {

boost::shared_ptr<IValue> eval(char const* source) { return IScript::evalSource(source, "test.js", 1); }

class Js : public ::testing::Test {
 protected:
  void SetUp() override {
    context = IContext::New(false);
    use.reset(new UseContext(context));
  }
  void TearDown() override {
    use.reset();
    context.reset();
  }
  boost::shared_ptr<IContext> context;
  std::unique_ptr<UseContext> use;
};

}  // namespace

TEST(JsRuntime, HeapLimitIsRaisedToTheMinimumAndFixedOnceAContextExists) {
  setMaxRuntimeBytes(1000);
  EXPECT_EQ(0x80000u, maxRuntimeBytes());
  setMaxRuntimeBytes(2000000);
  EXPECT_EQ(2000000u, maxRuntimeBytes());
  boost::shared_ptr<IContext> context = IContext::New(false);
  setMaxRuntimeBytes(0x300000);
  EXPECT_EQ(2000000u, maxRuntimeBytes());
}

TEST(JsRuntime, CurrentContextFollowsNestedEnterAndLeave) {
  EXPECT_FALSE(UseContext::current());
  boost::shared_ptr<IContext> a = IContext::New(false);
  boost::shared_ptr<IContext> b = IContext::New(false);
  {
    UseContext useA(a);
    EXPECT_EQ(a, UseContext::current());
    {
      UseContext useB(b);
      EXPECT_EQ(b, UseContext::current());
      EXPECT_EQ(1, b->suspend());
      EXPECT_EQ(a, UseContext::current());
      EXPECT_EQ(0, b->suspend());
      b->resume(1);
      EXPECT_EQ(a, UseContext::current());
    }
    EXPECT_EQ(a, UseContext::current());
  }
  EXPECT_FALSE(UseContext::current());
}

TEST_F(Js, ScriptsRunRepeatedlyAndKeepTheirGlobalState) {
  EXPECT_TRUE(IScript::runSource("var n = 40;", "a.js", 1));
  boost::shared_ptr<IScript> script = IScript::compile("n = n + 1; n", "b.js", 1);
  ASSERT_TRUE(script);
  EXPECT_TRUE(script->run());
  EXPECT_EQ(42, script->eval()->toString().toInteger(10));
  EXPECT_EQ(String("43"), textOf(eval("n + 1")));
  // Each context has a global of its own.
  boost::shared_ptr<IContext> other = IContext::New(false);
  UseContext useOther(other);
  EXPECT_EQ(String("undefined"), textOf(eval("typeof n")));
  EXPECT_EQ(String("global"), other->global()->className());
}

TEST_F(Js, CompileErrorsAreReportedUnderTheCompileFunction) {
  CatchError guard(ownerOf(&IScript::compile));
  EXPECT_FALSE(IScript::compile("var a = 1;\nvar b = 2;\nvar c = ;\n", "a.js", 1));
  EXPECT_EQ(4u, guard.code());
  String text = guard.text();
  EXPECT_TRUE(text.startsWith("error(")) << text.cstr();
  EXPECT_NE(0xFFFFFFFFu, text.find("\nline: 3\n'var c = ;'")) << text.cstr();
  EXPECT_TRUE(text.endsWith(" at ';'")) << text.cstr();
}

TEST_F(Js, RuntimeErrorsAreReportedUnderTheirOwner) {
  {
    CatchError guard(ownerOf(&IScript::runSource));
    EXPECT_FALSE(IScript::runSource("var u;\nu();", "r.js", 10));
    EXPECT_EQ(3u, guard.code());
    EXPECT_TRUE(guard.text().startsWith("exception(")) << guard.text().cstr();
    EXPECT_NE(0xFFFFFFFFu, guard.text().find("u is not a function\nline: 11")) << guard.text().cstr();
  }
  {
    CatchError guard(ownerOf(&IScript::evalSource));
    EXPECT_FALSE(eval("throw 42"));
    EXPECT_EQ(3u, guard.code());
    EXPECT_TRUE(guard.text().startsWith("exception(")) << guard.text().cstr();
  }
  boost::shared_ptr<IScript> script = IScript::compile("throw new Error('boom')", "s.js", 1);
  ASSERT_TRUE(script);
  CatchError guard(script.get());
  EXPECT_FALSE(script->run());
  EXPECT_EQ(3u, guard.code());
  EXPECT_NE(0xFFFFFFFFu, guard.text().find(") boom\nline: 1")) << guard.text().cstr();
}

// Every value that code throws and nothing catches is an exception (3),
// whatever its type; failures that are not thrown values are errors (4).
TEST_F(Js, UncaughtThrownValuesAreExceptionsWhateverTheirType) {
  char const* const thrown[] = {"throw 42",
                                "throw 'text'",
                                "throw {code: 7}",
                                "throw new Error('boom')",
                                "throw new RangeError('range')",
                                "null.x",
                                "undefinedName + 1",
                                "new Array(-1)",
                                "eval('var = ;')",
                                "try { throw 1 } catch (e) { throw new TypeError('again') }"};
  for (char const* source : thrown) {
    CatchError guard(ownerOf(&IScript::evalSource));
    EXPECT_FALSE(eval(source)) << source;
    EXPECT_EQ(3u, guard.code()) << source;
    EXPECT_TRUE(guard.text().startsWith("exception(")) << source << ": " << guard.text().cstr();
  }
  {
    // A compile error is not a thrown value, in a one-shot source as in a
    // compiled script.
    CatchError guard(ownerOf(&IScript::evalSource));
    EXPECT_FALSE(eval("var = ;"));
    EXPECT_EQ(4u, guard.code());
    EXPECT_TRUE(guard.text().startsWith("error(")) << guard.text().cstr();
  }
  {
    // Nor is running out of memory, which scripts cannot catch.
    CatchError guard(ownerOf(&IScript::runSource));
    EXPECT_FALSE(IScript::runSource("var a = []; for (;;) a.push(new Array(1000).fill(1))", "oom.js", 1));
    EXPECT_EQ(4u, guard.code());
    EXPECT_TRUE(guard.text().startsWith("error(")) << guard.text().cstr();
    EXPECT_TRUE(IScript::runSource("a = null", "oom.js", 1));
    context->gc();
  }
  // A thrown value caught by the script is no failure.
  EXPECT_EQ(String("7"), textOf(eval("try { throw 7 } catch (e) { e }")));
}

TEST(JsRuntime, StrictContextsReportStrictModeErrors) {
  boost::shared_ptr<IContext> context = IContext::New(true);
  UseContext use(context);
  CatchError guard(ownerOf(&IScript::runSource));
  EXPECT_FALSE(IScript::runSource("undeclared = 1;", "s.js", 1));
  EXPECT_EQ(2u, guard.code());
  EXPECT_TRUE(guard.text().startsWith("strict(")) << guard.text().cstr();
  // Warnings arrive once, with code 1.
  CatchError warnings(ownerOf(&IScript::runSource));
  EXPECT_TRUE(IScript::runSource("function f() { return 1; 2; }", "w.js", 1));
  EXPECT_EQ(1u, warnings.code());
  EXPECT_TRUE(warnings.text().startsWith("warning(")) << warnings.text().cstr();
}

TEST_F(Js, BranchLimitStopsEndlessLoopsEvenInsideTryCatch) {
  EXPECT_EQ(0xFFFFFFFFu, context->maxBranches());
  EXPECT_EQ(String("200000"), textOf(eval("var i = 0; while (i < 200000) ++i; i")));
  context->setMaxBranches(1000);
  EXPECT_EQ(1000u, context->maxBranches());
  {
    CatchError guard(ownerOf(&IScript::runSource));
    EXPECT_FALSE(IScript::runSource("for (;;) { try { while (true) {} } catch (e) {} }", "loop.js", 1));
    EXPECT_EQ(4u, guard.code());
    EXPECT_NE(0xFFFFFFFFu, guard.text().find("max branches exceed, maybe an infinite loop")) << guard.text().cstr();
  }
  // Runs of one compiled script count together.
  boost::shared_ptr<IScript> script = IScript::compile("for (var k = 0; k < 600; ++k) {}", "c.js", 1);
  ASSERT_TRUE(script);
  EXPECT_TRUE(script->run());
  CatchError guard(script.get());
  EXPECT_FALSE(script->run());
  EXPECT_EQ(4u, guard.code());
  // The context works on after a stop.
  EXPECT_EQ(String("3"), textOf(eval("1 + 2")));
}

TEST_F(Js, ScriptIsCompiledAgainForAnotherContextOnAnotherThreadConcurrent) {
  boost::shared_ptr<IScript> script = IScript::compile("var t = (typeof t == 'number') ? t + 1 : 1; t * 10", "t.js", 1);
  ASSERT_TRUE(script);
  EXPECT_EQ(String("10"), textOf(script->eval()));
  std::atomic<bool> sameResult{false};
  struct Runner : sys::IRunnable {
    boost::shared_ptr<IScript> script;
    std::atomic<bool>* result;
    sys::SyncPoint done;
    void run() override {
      boost::shared_ptr<IContext> other = IContext::New(false);
      UseContext use(other);
      *result = script->eval()->toString() == String("10");
      done.signal();
    }
    void stop() override {}
  };
  boost::shared_ptr<Runner> runner = boost::make_shared<Runner>();
  runner->script = script;
  runner->result = &sameResult;
  boost::shared_ptr<sys::IThread> thread = sys::IThread::New(runner);
  runner->done.wait();
  thread->stop();
  EXPECT_TRUE(sameResult.load());
  // The same context used from another thread keeps the script's state.
  struct Second : sys::IRunnable {
    boost::shared_ptr<IContext> context;
    boost::shared_ptr<IScript> script;
    String result;
    void run() override {
      UseContext use(context);
      result = script->eval()->toString();
    }
    void stop() override {}
  };
  boost::shared_ptr<Second> second = boost::make_shared<Second>();
  second->context = context;
  second->script = script;
  use.reset();
  sys::IThread::New(second)->stop();
  EXPECT_EQ(String("20"), second->result);
}

TEST(JsRuntime, ThreadsTakeTurnsInOneContextConcurrent) {
  boost::shared_ptr<IContext> context = IContext::New(false);
  {
    UseContext use(context);
    ASSERT_TRUE(IScript::runSource("var c = 0", "c.js", 1));
  }
  struct Worker : sys::IRunnable {
    boost::shared_ptr<IContext> context;
    std::atomic<int> failures{0};
    void run() override {
      for (int i = 0; i < 20; ++i) {
        UseContext use(context);
        // Read and write in two calls: only the context's lock keeps
        // another thread from coming in between.
        boost::shared_ptr<IValue> c = IScript::evalSource("c", "c.js", 1);
        boost::shared_ptr<IObject> global = context->global();
        if (!c || !global->set("c", INumber::New(c->toString().toInteger(10) + 1))) ++failures;
      }
    }
    void stop() override {}
  };
  boost::shared_ptr<Worker> a = boost::make_shared<Worker>(), b = boost::make_shared<Worker>();
  a->context = b->context = context;
  boost::shared_ptr<sys::IThread> ta = sys::IThread::New(a), tb = sys::IThread::New(b);
  ta->stop();
  tb->stop();
  EXPECT_EQ(0, a->failures.load() + b->failures.load());
  UseContext use(context);
  EXPECT_EQ(String("40"), textOf(IScript::evalSource("c", "c.js", 1)));
}

TEST(JsRuntime, FinalizeEndsEngineThreadsConcurrent) {
  boost::shared_ptr<IContext> context = IContext::New(false);
  boost::shared_ptr<IObject> object;
  {
    UseContext use(context);
    object = IObject::New();
    EXPECT_TRUE(object->set("a", IBoolean::New(true)));
  }
  zu::finalize();
  // The context's engine is gone: operations fail instead of crashing.
  UseContext use(context);
  EXPECT_FALSE(IScript::runSource("1", "x.js", 1));
  EXPECT_FALSE(object->get("a"));
}

// ------------------------------------------------------------------ values

TEST_F(Js, PrimitiveValues) {
  EXPECT_EQ(String("undefined"), IUndefined::New()->toString());
  EXPECT_FALSE(IUndefined::New()->toBoolean());
  EXPECT_FALSE(INull::New()->toBoolean());
  EXPECT_EQ(String("null"), INull::New()->toString());
  EXPECT_EQ(String("true"), IBoolean::New(true)->toString());
  EXPECT_EQ(String("false"), IBoolean::New(false)->toString());
  EXPECT_TRUE(INumber::newNaN()->isNaN());
  boost::shared_ptr<INumber> minusInf = INumber::newInfinity(true);
  EXPECT_TRUE(minusInf->isNegativeInfinity());
  EXPECT_TRUE(minusInf->isInfinity());
  EXPECT_FALSE(minusInf->isPositiveInfinity());
  EXPECT_TRUE(INumber::newInfinity(false)->isPositiveInfinity());
  EXPECT_EQ(3, INumber::New(3.7)->toInt32());
  EXPECT_EQ(4294967295u, INumber::New(-1)->toUint32());
  EXPECT_EQ(String("2.5"), INumber::New(2.5)->toString());
  EXPECT_FALSE(INumber::New(0)->toBoolean());
  EXPECT_TRUE(INumber::New(-0.5)->toBoolean());
  // NaN is falsy, made here or by a script.
  EXPECT_FALSE(INumber::newNaN()->toBoolean());
  boost::shared_ptr<INumber> scriptNaN = boost::dynamic_pointer_cast<INumber>(eval("0/0"));
  ASSERT_TRUE(scriptNaN);
  EXPECT_TRUE(scriptNaN->isNaN());
  EXPECT_FALSE(scriptNaN->toBoolean());
  EXPECT_FALSE(INumber::New(1)->equals(INumber::New(1)));
  EXPECT_EQ(String("h\xC3\xA9llo"), IString::New("h\xC3\xA9llo")->value());
  EXPECT_FALSE(IString::New("")->toBoolean());
}

TEST_F(Js, ScriptResultsComeBackAsTheirKind) {
  EXPECT_TRUE(boost::dynamic_pointer_cast<IArray>(eval("[1, 2]")));
  boost::shared_ptr<IFunction> f = boost::dynamic_pointer_cast<IFunction>(eval("(function add(a, b) { return a + b; })"));
  ASSERT_TRUE(f);
  EXPECT_EQ(String("add"), f->name());
  EXPECT_EQ(String(""), boost::dynamic_pointer_cast<IFunction>(eval("(function () {})"))->name());
  boost::shared_ptr<IObject> o = boost::dynamic_pointer_cast<IObject>(eval("({a: 1})"));
  ASSERT_TRUE(o);
  EXPECT_FALSE(boost::dynamic_pointer_cast<IArray>(o));
  EXPECT_FALSE(boost::dynamic_pointer_cast<IFunction>(o));
  EXPECT_TRUE(boost::dynamic_pointer_cast<INull>(eval("null")));
  EXPECT_TRUE(boost::dynamic_pointer_cast<IUndefined>(eval("undefined")));
  EXPECT_EQ(String("\xE2\x82\xAC"), boost::dynamic_pointer_cast<IString>(eval("'\\u20ac'"))->value());
  EXPECT_TRUE(boost::dynamic_pointer_cast<IBoolean>(eval("1 < 2"))->value());
  EXPECT_EQ(7.5, boost::dynamic_pointer_cast<INumber>(eval("7.5"))->toDouble());
  // A symbol has no kind of its own; its string conversion fails.
  boost::shared_ptr<IValue> symbol = eval("Symbol('s')");
  ASSERT_TRUE(symbol);
  EXPECT_TRUE(symbol->toBoolean());
  EXPECT_EQ(String(""), symbol->toString());
  TArray<boost::shared_ptr<IValue> > args;
  args.append(INumber::New(2)).append(IString::New("x"));
  EXPECT_EQ(String("2x"), textOf(f->call(args)));
}

TEST_F(Js, ObjectProperties) {
  boost::shared_ptr<IObject> o = IObject::New();
  EXPECT_EQ(String("Object"), o->className());
  EXPECT_TRUE(o->set("a", IString::New("x")));
  boost::shared_ptr<IString> a = boost::dynamic_pointer_cast<IString>(o->get("a"));
  ASSERT_TRUE(a);
  EXPECT_EQ(String("x"), a->value());
  EXPECT_TRUE(boost::dynamic_pointer_cast<IUndefined>(o->get("missing")));
  EXPECT_TRUE(o->set("2", INumber::New(1)));
  EXPECT_TRUE(o->set("b", boost::shared_ptr<IValue>()));
  TArray<String> keys = o->keys();
  ASSERT_EQ(3u, keys.size());
  EXPECT_EQ(String("2"), keys[0]);
  EXPECT_EQ(String("a"), keys[1]);
  EXPECT_EQ(String("b"), keys[2]);
  EXPECT_EQ(1u, o->attributes("a"));  // enumerable only
  EXPECT_EQ(0u, o->attributes("missing"));
  EXPECT_TRUE(o->setAttributes("a", 1 | 2));
  EXPECT_EQ(3u, o->attributes("a"));
  EXPECT_TRUE(o->setAttributes("b", 1 | 4));
  EXPECT_FALSE(o->remove("b"));
  EXPECT_FALSE(o->setAttributes("b", 1));
  EXPECT_FALSE(o->setAttributes("missing", 1));
  EXPECT_TRUE(o->remove("2"));
  o->clear();
  ASSERT_EQ(1u, o->keys().size());  // the permanent one stays
  EXPECT_TRUE(o->equals(o));
  boost::shared_ptr<IObject> global = context->global();
  EXPECT_TRUE(global->set("shared", o));
  EXPECT_TRUE(o->equals(boost::dynamic_pointer_cast<IObject>(eval("shared"))));
  EXPECT_FALSE(o->equals(IObject::New()));
  EXPECT_EQ(String("[object Object]"), o->toString());
  // A value of another context is refused.
  boost::shared_ptr<IContext> other = IContext::New(false);
  boost::shared_ptr<IObject> foreign;
  {
    UseContext useOther(other);
    foreign = IObject::New();
  }
  EXPECT_FALSE(o->set("foreign", foreign));
  EXPECT_FALSE(o->equals(foreign));
}

TEST_F(Js, GarbageIsCollectedBeforeTheHeapLimitStopsScripts) {
  // Failing runs leave error objects behind, succeeding ones their scripts.
  bool ok = true;
  for (int i = 0; i < 25000 && ok; ++i) ok = !IScript::runSource("y = (y | 0) + 1", "fail.js", 1);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(IScript::runSource("var x = 0", "many.js", 1));
  for (int i = 0; i < 25000 && ok; ++i) ok = IScript::runSource("x = x + 1", "many.js", 1);
  EXPECT_TRUE(ok);
  EXPECT_EQ(String("25000"), textOf(eval("x")));
}

TEST_F(Js, DeepRecursionEndsInAnErrorNotACrash) {
  CatchError guard(ownerOf(&IScript::runSource));
  EXPECT_FALSE(IScript::runSource("function f(n) { return f(n + 1) + 1; } f(0)", "deep.js", 1));
  EXPECT_NE(0xFFFFFFFFu, guard.text().find("too much recursion")) << guard.text().cstr();
  EXPECT_EQ(String("3"), textOf(eval("1 + 2")));
}

TEST_F(Js, ObjectsSurviveGarbageCollection) {
  boost::shared_ptr<IObject> o = boost::dynamic_pointer_cast<IObject>(eval("({v: 'kept'})"));
  EXPECT_TRUE(IScript::runSource("for (var i = 0; i < 20000; ++i) ({x: i});", "g.js", 1));
  context->gc();
  EXPECT_EQ(String("kept"), o->get("v")->toString());
}

TEST_F(Js, Arrays) {
  boost::shared_ptr<IArray> array = IArray::New(3);
  EXPECT_EQ(3u, array->length());
  EXPECT_EQ(String("Array"), array->className());
  EXPECT_TRUE(array->set(5, INumber::New(9)));
  EXPECT_EQ(6u, array->length());
  EXPECT_EQ(String("9"), array->get(5)->toString());
  EXPECT_TRUE(boost::dynamic_pointer_cast<IUndefined>(array->get(0)));
  EXPECT_TRUE(array->remove(5));
  EXPECT_EQ(6u, array->length());
  EXPECT_TRUE(array->setLength(1));
  EXPECT_EQ(1u, array->length());
  EXPECT_TRUE(array->set("name", IString::New("n")));
  EXPECT_EQ(String("n"), array->get("name")->toString());
}

namespace {

boost::shared_ptr<IValue> sum(boost::shared_ptr<IObject> self, TArray<boost::shared_ptr<IValue> > const& arguments) {
  if (!self) return boost::shared_ptr<IValue>();
  double total = 0;
  for (unsigned int i = 0; i < arguments.size(); ++i) {
    boost::shared_ptr<INumber> n = boost::dynamic_pointer_cast<INumber>(arguments[i]);
    if (!n) return boost::shared_ptr<IValue>();
    total += n->toDouble();
  }
  // Values made inside a native function belong to the calling context.
  boost::shared_ptr<IObject> result = IObject::New();
  result->set("count", INumber::New(arguments.size()));
  result->set("total", INumber::New(total));
  return result;
}

boost::shared_ptr<IValue> callsBack(boost::shared_ptr<IObject> self, TArray<boost::shared_ptr<IValue> > const&) {
  // The calling context is current here, and entering it again is harmless.
  boost::shared_ptr<IContext> context = UseContext::current();
  if (!context) return boost::shared_ptr<IValue>();
  UseContext again(context);
  if (!context->global()->get("marker")) return boost::shared_ptr<IValue>();
  if (!IScript::runSource("var nested = 1", "nested.js", 1)) return boost::shared_ptr<IValue>();
  return self->get("marker");
}

}  // namespace

namespace {

// What a native function kept of its call.
struct Kept {
  boost::shared_ptr<IObject> self;
  boost::shared_ptr<IValue> first;
  TArray<boost::shared_ptr<IValue> > all;
};
Kept kept;

boost::shared_ptr<IValue> keeps(boost::shared_ptr<IObject> thisObject, TArray<boost::shared_ptr<IValue> > const& arguments) {
  kept.self = thisObject;
  if (arguments.size() > 0) kept.first = arguments[0];
  kept.all = arguments;
  return IUndefined::New();
}

}  // namespace

// Values a native function keeps stay valid after the call, whether it
// keeps a value or the whole argument array, through collections that move
// objects.
TEST_F(Js, NativeFunctionsMayKeepTheirArguments) {
  ASSERT_TRUE(context->global()->set("keep", IFunction::New("keep", &keeps, 2)));
  ASSERT_TRUE(IScript::runSource("var holder = {tag: 'h', keep: keep}; holder.keep({a: 1}, [5, 6]);", "k.js", 1));
  // Nothing in the script refers to the arguments any more.
  ASSERT_TRUE(IScript::runSource("holder = null; for (var i = 0; i < 20000; ++i) ({x: i});", "k.js", 1));
  context->gc();
  context->gc();
  ASSERT_TRUE(kept.self);
  EXPECT_EQ(String("h"), textOf(kept.self->get("tag")));
  boost::shared_ptr<IObject> first = boost::dynamic_pointer_cast<IObject>(kept.first);
  ASSERT_TRUE(first);
  EXPECT_EQ(String("1"), textOf(first->get("a")));
  ASSERT_EQ(2u, kept.all.size());
  boost::shared_ptr<IArray> second = boost::dynamic_pointer_cast<IArray>(kept.all[1]);
  ASSERT_TRUE(second);
  EXPECT_EQ(String("6"), textOf(second->get(1u)));
  kept = Kept();
}

TEST_F(Js, NativeFunctions) {
  boost::shared_ptr<IFunction> f = IFunction::New("sum", &sum, 3);
  EXPECT_EQ(String("sum"), f->name());
  ASSERT_TRUE(context->global()->set("sum", f));
  EXPECT_EQ(String("2,5"), textOf(eval("var r = sum(2, 3); r.count + ',' + r.total")));
  EXPECT_EQ(String("3"), textOf(eval("sum.length")));
  CatchError guard(ownerOf(&IScript::evalSource));
  EXPECT_FALSE(eval("sum(1, 'two')"));
  EXPECT_EQ(4u, guard.code());
  EXPECT_NE(0xFFFFFFFFu, guard.text().find("Native function failure")) << guard.text().cstr();
  EXPECT_EQ(String("caught"), textOf(eval("try { sum('x') } catch (e) { 'caught' }")));
  // `this` is the global object for a plain call, and the library can be
  // used from inside the native function.
  ASSERT_TRUE(context->global()->set("back", IFunction::New("back", &callsBack, 0)));
  EXPECT_EQ(String("G"), textOf(eval("var marker = 'G'; back()")));
  EXPECT_EQ(String("O"), textOf(eval("({marker: 'O', back: back}).back()")));
  TArray<boost::shared_ptr<IValue> > args;
  args.append(INumber::New(4));
  boost::shared_ptr<IObject> r = boost::dynamic_pointer_cast<IObject>(f->call(args));
  ASSERT_TRUE(r);
  EXPECT_EQ(String("4"), r->get("total")->toString());
}

namespace {

// Uses the engine the ways a binding does: makes an object, sets, reads
// and calls.
boost::shared_ptr<IValue> usesEngine(boost::shared_ptr<IObject> self, TArray<boost::shared_ptr<IValue> > const&) {
  boost::shared_ptr<IObject> object = IObject::New();
  boost::shared_ptr<IArray> array = IArray::New(1);
  boost::shared_ptr<IFunction> noop = boost::dynamic_pointer_cast<IFunction>(self->get("noop"));
  if (!object || !array || !noop || !object->set("a", INumber::New(1)) || !array->set(0u, object) || !array->get(0u) ||
      !noop->call(TArray<boost::shared_ptr<IValue> >()))
    return boost::shared_ptr<IValue>();
  return array;
}

}  // namespace

// A native function that works with the engine while a script calls it
// leaves the script's loop guard armed and its count running.
TEST_F(Js, BranchLimitStillStopsALoopAfterANativeFunctionUsedTheEngine) {
  ASSERT_TRUE(context->global()->set("uses", IFunction::New("uses", &usesEngine, 0)));
  ASSERT_TRUE(IScript::runSource("function noop() {}", "n.js", 1));
  context->setMaxBranches(1000);
  {
    CatchError guard(ownerOf(&IScript::runSource));
    EXPECT_FALSE(IScript::runSource("uses(); for (var i = 0; i < 5000000; ++i) {}", "after.js", 1));
    EXPECT_NE(0xFFFFFFFFu, guard.text().find("max branches exceed")) << guard.text().cstr();
  }
  {
    // The calls neither restart the count nor leave the loop unguarded
    // once the limit stops the function's own call into the script, whose
    // failure the loop catches.
    CatchError guard(ownerOf(&IScript::runSource));
    EXPECT_FALSE(IScript::runSource("for (var i = 0; i < 20000; ++i) { try { uses(); } catch (e) {} }", "each.js", 1));
    EXPECT_NE(0xFFFFFFFFu, guard.text().find("max branches exceed")) << guard.text().cstr();
  }
  EXPECT_EQ(String("3"), textOf(eval("1 + 2")));
}

namespace {

// What a process without a usable scripting module sees: every operation
// fails as it fails without a context, with code 100 and `expected` as the
// start of the text, the reason is logged once, and the rest of the
// library works.
void expectScriptingUnavailable(std::string const& expected) {
  boost::shared_ptr<zu::test::LogLines> lines = boost::make_shared<zu::test::LogLines>();
  zu::util::logger::setCallback(lines);
  {
    CatchError guard(reinterpret_cast<void const*>(&IContext::New));
    EXPECT_FALSE(IContext::New(false));
    EXPECT_EQ(100u, guard.code());
    EXPECT_TRUE(std::string(guard.text().cstr()).rfind(expected, 0) == 0) << guard.text().cstr();
  }
  {
    CatchError guard(reinterpret_cast<void const*>(&IContext::New));
    EXPECT_FALSE(IContext::New(true));
    EXPECT_EQ(100u, guard.code());
  }
  {
    CatchError guard(ownerOf(&IScript::runSource));
    EXPECT_FALSE(IScript::runSource("1", "x.js", 1));
    EXPECT_EQ(100u, guard.code());
  }
  EXPECT_FALSE(IScript::compile("1", "x.js", 1));
  EXPECT_FALSE(IScript::evalSource("1", "x.js", 1));
  EXPECT_FALSE(IUndefined::New());
  EXPECT_FALSE(IObject::New());
  EXPECT_FALSE(UseContext::current());
  setMaxRuntimeBytes(0x200000);
  EXPECT_EQ(0x200000u, maxRuntimeBytes());
  EXPECT_EQ(1, lines->count("[ERR ]"));
  EXPECT_EQ(1, lines->count(expected));
  zu::util::logger::setCallback(boost::weak_ptr<zu::util::logger::ILogCallback>());
  String text("still");
  text += " working";
  EXPECT_EQ(String("still working"), text);
}

}  // namespace

TEST(JsModule, MissingEngineLibraryFailsCleanly) {
  if (!zu_test::inHiddenChild()) {
    zu_test::rerunWithHidden({"libmozjs-102.so.0"});
    return;
  }
  expectScriptingUnavailable("libmozjs-102.so.0 could not be loaded: ");
}

TEST(JsModule, MissingModuleFailsCleanly) {
  if (!zu_test::inHiddenChild()) {
    // The module sits beside libzu.
    Dl_info info;
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(&IContext::New), &info));
    std::string module = info.dli_fname;
    module = module.substr(0, module.rfind('/') + 1) + "libzu-js.so";
    zu_test::rerunWithHidden({module});
    return;
  }
  expectScriptingUnavailable("libzu-js.so could not be loaded: ");
}

// The engine's library is opened privately: its own abort() does not
// replace the one the rest of the process calls.
TEST(JsModuleDeathTest, FailedAssertionEndsWithSIGABRTWithTheEngineLoaded) {
  EXPECT_EXIT(
      {
        boost::shared_ptr<IContext> context = IContext::New(false);
        if (context) UseContext(boost::shared_ptr<IContext>());
      },
      ::testing::KilledBySignal(SIGABRT), "Assertion failed: context");
}

// The hand-over to a context's engine thread spins for the other side only
// while spinning has paid off lately: one slow task must not end the
// spinning, a run of them must, and a free processor is noticed again.
TEST(JsHandOver, SpinningStopsAfterARunOfVainSpinsNotAfterOne) {
  auto triesIn = [](zu::js::impl::SpinHistory& history, int calls) {
    int tries = 0;
    for (int i = 0; i < calls; ++i) tries += history.worthTrying() ? 1 : 0;
    return tries;
  };
  zu::js::impl::SpinHistory history;
  EXPECT_EQ(64, triesIn(history, 64));
  // However long spinning has paid off, five spins in vain in a row end it.
  for (int i = 0; i < 100; ++i) history.record(true);
  history.record(false);
  EXPECT_EQ(64, triesIn(history, 64)) << "one vain spin among many good ones";
  for (int i = 0; i < 4; ++i) history.record(false);
  // Then one call in 32 still spins, and spins that pay off bring it back.
  EXPECT_EQ(2, triesIn(history, 64));
  history.record(true);
  EXPECT_EQ(64, triesIn(history, 64));
}
