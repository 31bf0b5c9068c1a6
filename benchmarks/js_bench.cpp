// Script contexts against the raw engine API on the same engine, in one
// binary: a small compiled script, a compile-and-run of a source, native
// function calls from a script, and object property access from C++.
//
// zu runs every engine call on the context's engine thread, so its figures
// include a hand-over between threads; the raw side runs on the benchmark's
// own thread.
#include <zu/js.h>
#include <zu/sys.h>

#include <benchmark/benchmark.h>

// g++ 12 takes the engine's stack roots for dangling pointers.
#pragma GCC diagnostic ignored "-Wdangling-pointer"

#include <js/CompilationAndEvaluation.h>
#include <js/Initialization.h>
#include <js/SourceText.h>
#include <jsapi.h>
#include <jsfriendapi.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "support/main.h"

namespace {

char const* const smallScript = "var x = (x | 0) + 1";
char const* const nativeLoop = "for (var i = 0; i < 100; ++i) f(i, 2)";

// ------------------------------------------------------------------ zu

struct ZuSide {
  boost::shared_ptr<zu::js::IContext> context = zu::js::IContext::New(false);
};

std::unique_ptr<ZuSide>& zuHolder() {
  static std::unique_ptr<ZuSide> side;
  return side;
}

ZuSide& zuSide() {
  if (!zuHolder()) zuHolder().reset(new ZuSide);
  return *zuHolder();
}

boost::shared_ptr<zu::js::IValue> zuAdd(boost::shared_ptr<zu::js::IObject>,
                                        zu::TArray<boost::shared_ptr<zu::js::IValue> > const& arguments) {
  double total = 0;
  for (unsigned int i = 0; i < arguments.size(); ++i) {
    boost::shared_ptr<zu::js::INumber> n = boost::dynamic_pointer_cast<zu::js::INumber>(arguments[i]);
    if (n) total += n->toDouble();
  }
  return zu::js::INumber::New(total);
}

void BM_ZuCompiledScript(benchmark::State& state) {
  zu::js::UseContext use(zuSide().context);
  boost::shared_ptr<zu::js::IScript> script = zu::js::IScript::compile(smallScript, "bench.js", 1);
  for (auto _ : state) benchmark::DoNotOptimize(script->run());
}
BENCHMARK(BM_ZuCompiledScript);

void BM_ZuRunSource(benchmark::State& state) {
  zu::js::UseContext use(zuSide().context);
  for (auto _ : state) benchmark::DoNotOptimize(zu::js::IScript::runSource(smallScript, "bench.js", 1));
}
BENCHMARK(BM_ZuRunSource);

void BM_ZuNativeCalls100(benchmark::State& state) {
  zu::js::UseContext use(zuSide().context);
  zuSide().context->global()->set("f", zu::js::IFunction::New("f", &zuAdd, 2));
  boost::shared_ptr<zu::js::IScript> script = zu::js::IScript::compile(nativeLoop, "bench.js", 1);
  for (auto _ : state) benchmark::DoNotOptimize(script->run());
}
BENCHMARK(BM_ZuNativeCalls100);

void BM_ZuPropertyGetSet(benchmark::State& state) {
  zu::js::UseContext use(zuSide().context);
  boost::shared_ptr<zu::js::IObject> object = zu::js::IObject::New();
  boost::shared_ptr<zu::js::INumber> one = zu::js::INumber::New(1);
  for (auto _ : state) {
    object->set("a", one);
    benchmark::DoNotOptimize(object->get("a"));
  }
}
BENCHMARK(BM_ZuPropertyGetSet);

// One call of a native function from C++: into the engine, out to the
// native function and back with its result.
void BM_ZuNativeRoundTrip(benchmark::State& state) {
  zu::js::UseContext use(zuSide().context);
  boost::shared_ptr<zu::js::IFunction> f = zu::js::IFunction::New("f", &zuAdd, 2);
  zu::TArray<boost::shared_ptr<zu::js::IValue> > arguments;
  arguments.append(zu::js::INumber::New(1));
  arguments.append(zu::js::INumber::New(2));
  for (auto _ : state) benchmark::DoNotOptimize(f->call(arguments));
}
BENCHMARK(BM_ZuNativeRoundTrip);

// ------------------------------------------------------------------ hand-over

// The yardstick for the engine thread's hand-over: a task passed to a
// second thread and its completion passed back with a mutex and a
// condition variable, with nothing else done.
void BM_CondVarRoundTrip(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable done;
  bool pending = false;
  bool stop = false;
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      while (!pending && !stop) wake.wait(lock);
      if (stop) return;
      pending = false;
      done.notify_one();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    pending = true;
    wake.notify_one();
    while (pending) done.wait(lock);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  wake.notify_one();
  worker.join();
}
BENCHMARK(BM_CondVarRoundTrip);

// ------------------------------------------------------------------ raw

JSClass const rawGlobalClass = {"global", JSCLASS_GLOBAL_FLAGS, &JS::DefaultGlobalClassOps, nullptr, nullptr, nullptr};

// An engine context on the benchmark's thread (the library has already
// initialised the engine for its own contexts).
struct RawSide {
  JSContext* cx = nullptr;
  std::unique_ptr<JS::PersistentRootedObject> global;

  RawSide() {
    zuSide();
    cx = JS_NewContext(0x100000);
    JS_SetNativeStackQuota(cx, 0x40000);
    JS::InitSelfHostedCode(cx);
    JS::RealmOptions options;
    global.reset(new JS::PersistentRootedObject(
        cx, JS_NewGlobalObject(cx, &rawGlobalClass, nullptr, JS::FireOnNewGlobalHook, options)));
    JS::EnterRealm(cx, *global);
    JS::InitRealmStandardClasses(cx);
  }
  ~RawSide() {
    JS::LeaveRealm(cx, nullptr);
    global.reset();
    JS_DestroyContext(cx);
  }
};

std::unique_ptr<RawSide>& rawHolder() {
  static std::unique_ptr<RawSide> side;
  return side;
}

RawSide& rawSide() {
  if (!rawHolder()) rawHolder().reset(new RawSide);
  return *rawHolder();
}

JSScript* rawCompile(JSContext* cx, char const* source) {
  JS::CompileOptions options(cx);
  options.setFileAndLine("bench.js", 1);
  JS::SourceText<mozilla::Utf8Unit> text;
  if (!text.init(cx, source, std::strlen(source), JS::SourceOwnership::Borrowed)) return nullptr;
  return JS::Compile(cx, options, text);
}

// The engine does not collect on its own before its heap limit stops
// scripts; the library collects between tasks once the heap is three
// quarters full, and the raw side does the same.
void rawCollectWhenFull(JSContext* cx) {
  if (JS_GetGCParameter(cx, JSGC_BYTES) >= JS_GetGCParameter(cx, JSGC_MAX_BYTES) / 4 * 3) JS_GC(cx);
}

bool rawAdd(JSContext*, unsigned argc, JS::Value* vp) {
  JS::CallArgs args = JS::CallArgsFromVp(argc, vp);
  double total = 0;
  for (unsigned int i = 0; i < args.length(); ++i)
    if (args[i].isNumber()) total += args[i].toNumber();
  args.rval().setNumber(total);
  return true;
}

void BM_RawCompiledScript(benchmark::State& state) {
  JSContext* cx = rawSide().cx;
  JS::RootedScript script(cx, rawCompile(cx, smallScript));
  JS::RootedValue result(cx);
  for (auto _ : state) {
    benchmark::DoNotOptimize(JS_ExecuteScript(cx, script, &result));
    rawCollectWhenFull(cx);
  }
}
BENCHMARK(BM_RawCompiledScript);

void BM_RawEvaluate(benchmark::State& state) {
  JSContext* cx = rawSide().cx;
  JS::RootedValue result(cx);
  for (auto _ : state) {
    JS::CompileOptions options(cx);
    options.setFileAndLine("bench.js", 1);
    JS::SourceText<mozilla::Utf8Unit> text;
    bool ok = text.init(cx, smallScript, std::strlen(smallScript), JS::SourceOwnership::Borrowed) &&
              JS::Evaluate(cx, options, text, &result);
    benchmark::DoNotOptimize(ok);
    rawCollectWhenFull(cx);
  }
}
BENCHMARK(BM_RawEvaluate);

void BM_RawNativeCalls100(benchmark::State& state) {
  JSContext* cx = rawSide().cx;
  JS_DefineFunction(cx, *rawSide().global, "f", &rawAdd, 2, 0);
  JS::RootedScript script(cx, rawCompile(cx, nativeLoop));
  JS::RootedValue result(cx);
  for (auto _ : state) {
    benchmark::DoNotOptimize(JS_ExecuteScript(cx, script, &result));
    rawCollectWhenFull(cx);
  }
}
BENCHMARK(BM_RawNativeCalls100);

void BM_RawPropertyGetSet(benchmark::State& state) {
  JSContext* cx = rawSide().cx;
  JS::RootedObject object(cx, JS_NewPlainObject(cx));
  JS::RootedValue one(cx, JS::Int32Value(1));
  JS::RootedValue value(cx);
  for (auto _ : state) {
    JS_SetProperty(cx, object, "a", one);
    benchmark::DoNotOptimize(JS_GetProperty(cx, object, "a", &value));
    rawCollectWhenFull(cx);
  }
}
BENCHMARK(BM_RawPropertyGetSet);

void BM_RawNativeRoundTrip(benchmark::State& state) {
  JSContext* cx = rawSide().cx;
  JS::RootedValue f(cx, JS::ObjectValue(*JS_GetFunctionObject(JS_NewFunction(cx, &rawAdd, 2, 0, "f"))));
  JS::RootedValueVector arguments(cx);
  (void)arguments.append(JS::NumberValue(1));
  (void)arguments.append(JS::NumberValue(2));
  JS::RootedValue result(cx);
  for (auto _ : state) {
    benchmark::DoNotOptimize(JS_CallFunctionValue(cx, *rawSide().global, f, arguments, &result));
    rawCollectWhenFull(cx);
  }
}
BENCHMARK(BM_RawNativeRoundTrip);

}  // namespace

int main(int argc, char** argv) {
  return zu_bench::runThenFinalize(argc, argv, [] {
    // Engine contexts go before the library shuts the engine down.
    rawHolder().reset();
    zuHolder().reset();
  });
}
