// Script contexts and compiled scripts: the engine thread of each context,
// the thread's chain of entered contexts, error reports and the loop guard;
// and the module's entry point.
#include "js/engine/engine.h"

#include <zu/em.h>

#include <boost/make_shared.hpp>
#include <cstring>
#include <chrono>
#include <map>
#include <thread>

#include <js/ErrorReport.h>
#include <js/Exception.h>
#include <js/GlobalObject.h>
#include <js/Interrupt.h>
#include <js/SourceText.h>
#include <js/Warnings.h>

#include "core/assertion.h"
#include "diag/logging.h"
#include "platform/shared_library.h"

namespace zu {
namespace js {
namespace impl {

// libzu's services, set by the entry point.
Host const* host = nullptr;

namespace {

// Engine threads run on the 256 KiB stacks of the library's threads.
unsigned int const engineStackSize = 0x40000;
// Room left below the engine's recursion limit for the library's own frames
// (a native function and what it calls).
unsigned int const stackReserve = 0x10000;

// The engine's stack quota for the calling thread. The engine measures from
// the top of the thread's stack mapping, and part of that mapping may hold
// thread-local data rather than stack (ThreadSanitizer keeps most of a
// megabyte there), so the quota puts the recursion limit `stackReserve`
// above the real bottom of the mapping rather than a fixed distance below
// the top.
std::size_t stackQuota() {
  std::size_t size = host->threadStackSize();
  if (size == 0) size = engineStackSize;
  return size > 2 * stackReserve ? size - stackReserve : size / 2;
}

JSClass const globalClass = {"global", JSCLASS_GLOBAL_FLAGS, &JS::DefaultGlobalClassOps, nullptr, nullptr, nullptr};

// The thread's chain of entered contexts.
thread_local Context::UseRecord* currentUse = nullptr;
// Set on an engine thread: the engine it runs.
thread_local Engine* threadEngine = nullptr;

char const* const maxBranchesText = "max branches exceed, maybe an infinite loop";

// Engine errors that strict mode adds to what sloppy code allows.
bool isStrictModeError(char const* name) {
  static char const* const names[] = {"JSMSG_UNDECLARED_VAR",         "JSMSG_BAD_STRICT_ASSIGN",
                                      "JSMSG_BAD_STRICT_ASSIGN_ARGUMENTS", "JSMSG_BAD_STRICT_ASSIGN_EVAL",
                                      "JSMSG_DEPRECATED_DELETE_OPERAND", "JSMSG_DEPRECATED_OCTAL_LITERAL",
                                      "JSMSG_DEPRECATED_OCTAL_ESCAPE", "JSMSG_DUPLICATE_FORMAL",
                                      "JSMSG_STRICT_CODE_WITH",       "JSMSG_CANT_DELETE",
                                      "JSMSG_READ_ONLY"};
  if (!name) return false;
  for (char const* candidate : names)
    if (std::strcmp(candidate, name) == 0) return true;
  return false;
}

void appendUtf8(std::string& out, char16_t const* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    unsigned int c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

// Initialises the engine library once per process.
void initialiseEngineLibrary(unsigned int maxBytes) {
  Runtime& state = runtime();
  if (state.initialised.load()) return;
  sys::ScopedLock lock(state.mutex);
  if (state.initialised.load()) return;
  state.maxBytes.store(maxBytes);
  bool const ok = JS_Init();
  ZU_ASSERT(ok, "_runtime");
  state.initialised.store(true);
}

}  // namespace

Runtime::~Runtime() {
  // An engine context still alive at unload belongs to a thread that was
  // never stopped; shutting the engine down under it would crash it.
  if (initialised.load() && liveEngines.load() == 0) JS_ShutDown();
}

Runtime& runtime() {
  static Runtime state;
  return state;
}

std::string utf8(JSContext* cx, JSString* string) {
  if (!string) return std::string();
  JS::RootedString rooted(cx, string);
  JS::UniqueChars chars = JS_EncodeStringToUTF8(cx, rooted);
  if (!chars) {
    JS_ClearPendingException(cx);
    return std::string();
  }
  return std::string(chars.get());
}

void deliver(void const* owner, Reports const& reports) {
  for (Report const& report : reports) {
    ZU_LOG(5, "[DBG3]", "JS " << report.text);
    em::report(owner, report.code, String(report.text.c_str()));
  }
}

// ---------------------------------------------------------------- Engine

Engine::Engine(bool strict) : strict_(strict) {}

Engine::~Engine() = default;

bool Engine::onThread() const { return threadEngine == this; }

void Engine::createEngineContext() {
  cx_ = JS_NewContext(runtime().maxBytes.load());
  ZU_ASSERT(cx_ != nullptr, "_handle!= NULL");
  runtime().liveEngines.fetch_add(1);
  JS_SetNativeStackQuota(cx_, stackQuota());
  bool ok = JS::InitSelfHostedCode(cx_);
  ZU_ASSERT(ok, "_handle!= NULL");
  JS_SetContextPrivate(cx_, this);
  JS::SetWarningReporter(cx_, &Engine::warningReporter);
  JS_AddInterruptCallback(cx_, &Engine::interruptCallback);

  JS::RealmOptions options;
  JS::RootedObject global(cx_, JS_NewGlobalObject(cx_, &globalClass, nullptr, JS::FireOnNewGlobalHook, options));
  ZU_ASSERT(global, "_handle!= NULL");
  global_ = new JS::PersistentRootedObject(cx_, global);
  // The engine thread stays in the global's realm for its whole life.
  JS::EnterRealm(cx_, global);
  ok = JS::InitRealmStandardClasses(cx_);
  ZU_ASSERT(ok, "_handle!= NULL");
  stash_ = new JS::PersistentRootedValue(cx_);
  nativeFailure_ = new JS::PersistentRootedValue(cx_);
}

void Engine::destroyEngineContext() {
  {
    // What was released is among roots_.
    std::lock_guard<std::mutex> lock(mutex_);
    released_.clear();
  }
  for (JS::PersistentRootedValue* root : roots_) delete root;
  roots_.clear();
  for (JS::PersistentRooted<JSScript*>* script : scripts_) delete script;
  scripts_.clear();
  delete stash_;
  stash_ = nullptr;
  delete nativeFailure_;
  nativeFailure_ = nullptr;
  JS::LeaveRealm(cx_, nullptr);
  delete global_;
  global_ = nullptr;
  JS_DestroyContext(cx_);
  cx_ = nullptr;
  runtime().liveEngines.fetch_sub(1);
}

void Engine::collectWhenFull() {
  // The engine lets garbage pile up to its heap limit and then fails the
  // next allocation with "out of memory" rather than collecting, so a heap
  // three quarters full is collected between tasks. When live data alone
  // fills that much, the next collection waits until half of what was left
  // free has been used, so that not every task pays for one.
  uint32_t const used = JS_GetGCParameter(cx_, JSGC_BYTES);
  uint32_t const limit = JS_GetGCParameter(cx_, JSGC_MAX_BYTES);
  uint32_t threshold = limit / 4 * 3;
  if (liveAfterCollection_ < limit && liveAfterCollection_ + (limit - liveAfterCollection_) / 2 > threshold)
    threshold = liveAfterCollection_ + (limit - liveAfterCollection_) / 2;
  if (used < threshold) return;
  JS_GC(cx_);
  liveAfterCollection_ = JS_GetGCParameter(cx_, JSGC_BYTES);
}

// Handing a task to the engine thread and its completion back through a
// mutex and condition variables costs two thread wake-ups, each several
// microseconds and more on a loaded machine. Both sides therefore first
// spin for a short while: the engine thread for the next task after one
// ends, the caller for the end of its task. With a second core free a
// hand-over then costs a few cache-line transfers. After a short budget
// both park on the condition variables.
namespace {
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}
}  // namespace

template <class Ready>
bool Engine::spinUntil(SpinHistory& history, std::chrono::nanoseconds budget, Ready const& ready) {
  // With one processor the other side cannot run while this one spins.
  static bool const severalProcessors = std::thread::hardware_concurrency() > 1;
  if (!severalProcessors || !history.worthTrying()) return ready();
  // A plain spin for the first 20 microseconds, longer than most tasks
  // take (a yield is a system call, a microsecond or more on a virtual
  // machine, which a hand-over would otherwise pay each time it is
  // noticed late); then the processor is offered to other threads between
  // looks, in case the other side waits for this very processor. Spins
  // that keep ending in vain are stopped by the history.
  std::chrono::steady_clock::time_point const start = std::chrono::steady_clock::now();
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      if (ready()) {
        history.record(true);
        return true;
      }
      cpuRelax();
    }
    std::chrono::nanoseconds const spent = std::chrono::steady_clock::now() - start;
    if (spent > budget) break;
    if (spent > std::chrono::microseconds(20)) std::this_thread::yield();
  }
  bool const late = ready();
  history.record(late);
  return late;
}

void Engine::run() {
  threadEngine = this;
  threadId_.store(sys::IThread::currentId());
  createEngineContext();
  std::unique_lock<std::mutex> lock(mutex_);
  ready_ = true;
  finished_.notify_all();
  for (;;) {
    if (queue_.empty()) {
      if (stopping_) break;
      lock.unlock();
      // Long enough for a caller that was woken from parking to come back
      // with its next task: after that both sides spin.
      spinUntil(engineSpins_, std::chrono::microseconds(50), [this] {
        return queued_.load(std::memory_order_acquire) != 0 || stopRequested_.load(std::memory_order_relaxed);
      });
      lock.lock();
      while (queue_.empty() && !stopping_) {
        engineParked_ = true;
        wake_.wait(lock);
        engineParked_ = false;
      }
      continue;
    }
    Job* job = queue_.front();
    queue_.pop_front();
    queued_.fetch_sub(1, std::memory_order_relaxed);
    std::vector<JS::PersistentRootedValue*> released;
    if (!released_.empty()) released.swap(released_);
    lock.unlock();
    for (JS::PersistentRootedValue* root : released) removeRoot(root);
    runTask(job->task, job->reports);
    collectWhenFull();
    lock.lock();
    // The caller may return as soon as `done` is set: `job` is not
    // touched after that.
    bool const parked = job->parked;
    job->done.store(true, std::memory_order_release);
    if (parked) finished_.notify_all();
  }
  // Tasks are no longer accepted; nobody waits for this engine any more.
  ended_ = true;
  lock.unlock();
  destroyEngineContext();
  threadEngine = nullptr;
}

void Engine::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  stopping_ = true;
  stopRequested_.store(true);
  // Ends a script that is running now at its next loop iteration.
  if (ready_) JS_RequestInterruptCallback(cx_);
  wake_.notify_all();
}

void Engine::waitReady() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!ready_) finished_.wait(lock);
}

bool Engine::execute(Task task, Reports* reports) {
  if (onThread()) {
    runTask(task, reports);
    return true;
  }
  Job job{task, reports};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || ended_ || !ready_) return false;
    queue_.push_back(&job);
    queued_.fetch_add(1, std::memory_order_release);
    if (engineParked_) wake_.notify_one();
  }
  // Long enough for a short task, short enough that a spin in vain costs
  // less than the wake-up it tries to save.
  if (spinUntil(callerSpins_, std::chrono::microseconds(10),
                [&job] { return job.done.load(std::memory_order_acquire); }))
    return true;
  std::unique_lock<std::mutex> lock(mutex_);
  job.parked = true;
  while (!job.done.load(std::memory_order_acquire)) finished_.wait(lock);
  return true;
}

void Engine::runTask(Task task, Reports* reports) {
  // A task run from inside another (a native function calling back into
  // the library) keeps its reports apart from the outer task's.
  Reports outer;
  outer.swap(collected_);
  task();
  if (reports) reports->swap(collected_);
  collected_.swap(outer);
}

JS::PersistentRootedValue* Engine::addRoot(JS::HandleValue value) {
  JS::PersistentRootedValue* root = new JS::PersistentRootedValue(cx_, value);
  roots_.insert(root);
  return root;
}

void Engine::removeRoot(JS::PersistentRootedValue* root) {
  if (roots_.erase(root)) delete root;
}

void Engine::releaseRoot(JS::PersistentRootedValue* root) {
  if (onThread()) {
    removeRoot(root);
    return;
  }
  // After the engine has ended every root is gone with it.
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ended_) released_.push_back(root);
}

JS::PersistentRooted<JSScript*>* Engine::addScript(JSScript* script) {
  JS::PersistentRooted<JSScript*>* root = new JS::PersistentRooted<JSScript*>(cx_, script);
  scripts_.insert(root);
  return root;
}

void Engine::removeScript(JS::PersistentRooted<JSScript*>* script) {
  if (scripts_.erase(script)) delete script;
}

void Engine::addReport(unsigned int code, std::string const& text) { collected_.push_back(Report{code, text}); }

void Engine::addReport(JSErrorReport const* report, char const* fallbackMessage, bool thrown) {
  char const* kind = "error";
  unsigned int code = 4;
  char const* name = report->errorMessageName;
  if (report->isWarning()) {
    kind = "warning";
    code = 1;
  } else if (strict_ && isStrictModeError(name)) {
    kind = "strict";
    code = 2;
  } else if (thrown) {
    // Whatever its type: a thrown number, an Error object, or the
    // engine's own TypeError raised by script code.
    kind = "exception";
    code = 3;
  }
  std::string text(kind);
  text += '(';
  text += std::to_string(report->errorNumber);
  text += ") ";
  char const* message = report->message().c_str();
  if (!message || !*message) message = fallbackMessage;
  if (message) text += message;
  text += "\nline: ";
  text += std::to_string(report->lineno);
  if (char16_t const* line = report->linebuf()) {
    std::size_t const length = report->linebufLength();
    text += "\n'";
    appendUtf8(text, line, length);
    text += '\'';
    std::size_t const token = report->tokenOffset();
    if (token < length) {
      text += " at '";
      appendUtf8(text, line + token, length - token);
      text += '\'';
    }
  }
  // The engine delivers some warnings twice in a row.
  if (!collected_.empty() && collected_.back().code == code && collected_.back().text == text) return;
  collected_.push_back(Report{code, text});
}

void Engine::takeError(bool compiling) {
  // Failures that are not values thrown by code: compile errors, the loop
  // guard's stop, running out of memory and a native function that failed
  // without throwing.
  bool thrown = !compiling;
  if (!stash_->isUndefined()) {
    JS_SetPendingException(cx_, *stash_);
    stash_->setUndefined();
    thrown = false;
  }
  if (!JS_IsExceptionPending(cx_)) return;
  if (JS_IsThrowingOutOfMemory(cx_)) thrown = false;
  JS::ExceptionStack exception(cx_);
  if (!JS::StealPendingExceptionStack(cx_, &exception)) {
    JS_ClearPendingException(cx_);
    return;
  }
  if (!nativeFailure_->isUndefined()) {
    if (exception.exception() == *nativeFailure_) thrown = false;
    nativeFailure_->setUndefined();
  }
  JS::ErrorReportBuilder builder(cx_);
  if (!builder.init(cx_, exception, JS::ErrorReportBuilder::WithSideEffects) || !builder.report()) {
    JS_ClearPendingException(cx_);
    addReport(4, "error(0) unknown error\nline: 0");
    return;
  }
  addReport(builder.report(), builder.toStringResult().c_str(), thrown);
}

void Engine::markNativeFailure() {
  JS::RootedValue exception(cx_);
  if (JS_GetPendingException(cx_, &exception)) nativeFailure_->set(exception);
}

void Engine::warningReporter(JSContext* cx, JSErrorReport* report) {
  Engine* engine = static_cast<Engine*>(JS_GetContextPrivate(cx));
  if (!engine || !report) return;
  // The loop guard's own stop raises this; its error is reported instead.
  if (report->errorMessageName && std::strcmp(report->errorMessageName, "JSMSG_TERMINATED") == 0) return;
  engine->addReport(report, nullptr, false);
}

void Engine::armGuard(void const* key) {
  // A run inside another (a native function using the engine while a
  // script calls it) counts against the outer run and leaves its guard as
  // it is: disarming or restarting it there would let the outer script
  // loop on unguarded once the native function returns.
  if (guardDepth_++ > 0) return;
  if (maxBranches.load() == 0xFFFFFFFF) return;
  // The count goes on over consecutive runs of one compiled script;
  // anything else (keyed null) starts it again.
  if (!key || key != lastScript_) {
    lastScript_ = key;
    branchCount_ = 0;
  }
  guardArmed_ = true;
  JS_RequestInterruptCallback(cx_);
}

void Engine::disarmGuard() {
  if (--guardDepth_ == 0) guardArmed_ = false;
}

bool Engine::interruptCallback(JSContext* cx) {
  Engine* engine = static_cast<Engine*>(JS_GetContextPrivate(cx));
  ZU_ASSERT(engine != nullptr, "thisPtr != NULL");
  if (engine->stopRequested_.load(std::memory_order_relaxed)) return false;
  if (!engine->guardArmed_) return true;
  if (++engine->branchCount_ >= engine->maxBranches.load()) {
    // A pending exception could be caught by the script, which would then
    // loop on; it is taken aside and reported once the script has ended.
    JS_ReportErrorASCII(cx, "%s", maxBranchesText);
    JS::RootedValue exception(cx);
    if (JS_GetPendingException(cx, &exception)) engine->stash_->set(exception);
    JS_ClearPendingException(cx);
    // The run that was stopped may be nested in a script that called a
    // native function: that script stops too, at its next check, rather
    // than catching the function's failure and going on unguarded.
    JS_RequestInterruptCallback(cx);
    return false;
  }
  JS_RequestInterruptCallback(cx);
  return true;
}

// ---------------------------------------------------------------- Context

Context::Context(boost::shared_ptr<Engine> const& engine, boost::shared_ptr<sys::IThread> const& thread)
    : engine_(engine), thread_(thread) {}

Context::~Context() {
  // Stops the engine thread, which destroys the engine context and every
  // root; on the engine thread itself it ends after the running task.
  thread_->stop();
  engine_->stop();
}

boost::shared_ptr<IObject> Context::global() {
  bool const entered = !currentContext();
  if (entered) enter();
  boost::shared_ptr<IObject> result;
  boost::shared_ptr<Context> self = shared_from_this();
  engine_->execute([&] {
    JS::RootedValue value(engine_->cx(), JS::ObjectValue(*engine_->global()));
    result = boost::dynamic_pointer_cast<IObject>(fromEngine(*engine_, self, value));
  });
  if (entered) leave();
  return result;
}

void Context::gc() {
  engine_->execute([&] { JS_GC(engine_->cx()); });
}

void Context::setMaxBranches(unsigned int limit) { engine_->maxBranches.store(limit); }

unsigned int Context::maxBranches() const { return engine_->maxBranches.load(); }

void Context::enter() {
  // On its own engine thread (a native function) the context is current
  // already, and the thread that called into the script holds its lock.
  if (engine_->onThread()) return;
  lock_.lock();
  useRecord_.self = shared_from_this();
  useRecord_.previous = currentUse;
  currentUse = &useRecord_;
}

void Context::leave() {
  if (engine_->onThread()) return;
  currentUse = useRecord_.previous;
  useRecord_.previous = nullptr;
  // `self` may hold the last reference: drop it after the lock.
  boost::shared_ptr<Context> self;
  self.swap(useRecord_.self);
  lock_.unlock();
}

int Context::suspend() {
  if (currentUse != &useRecord_) {
    suspended_ = nullptr;
    return 0;
  }
  suspended_ = &useRecord_;
  currentUse = useRecord_.previous;
  return 1;
}

void Context::resume(int /*depth*/) {
  if (suspended_ == &useRecord_) currentUse = &useRecord_;
  suspended_ = nullptr;
}

boost::shared_ptr<Context> currentContext() {
  if (currentUse) return currentUse->self;
  if (threadEngine) return threadEngine->owner();
  return boost::shared_ptr<Context>();
}

boost::shared_ptr<Context> requireContext() {
  boost::shared_ptr<Context> context = currentContext();
  if (!context) {
    ZU_LOG(0, "[ERR ]", "not in js context");
    ZU_ASSERT(context, "not in js context");
  }
  return context;
}

// ---------------------------------------------------------------- Script

class Script : public IScript {
 public:
  Script(String const& source, String const& name, unsigned int line, boost::shared_ptr<Context> const& context)
      : source(source), name(name), line(line), context(context) {}
  ~Script() override;

  bool run() override;
  boost::shared_ptr<IValue> eval() override;

  // Records `script`, compiled by `engine` on its thread.
  void store(Engine& engine, boost::shared_ptr<Engine> const& owner, JSScript* script);

 private:
  struct Compiled {
    boost::weak_ptr<Engine> engine;
    JS::PersistentRooted<JSScript*>* script;
  };

  // Runs the script on the current context; `result` gets the value.
  bool execute(boost::shared_ptr<IValue>* result);
  JSScript* scriptFor(Engine& engine, boost::shared_ptr<Engine> const& owner);

  // Engine thread id -> the script compiled there.
  std::map<unsigned int, Compiled> compiled;
  sys::Mutex compiledLock;
  String const source;
  String const name;
  unsigned int const line;
  boost::shared_ptr<IContext> const context;
};

namespace {

JSScript* compileOn(Engine& engine, String const& source, String const& name, unsigned int line) {
  JSContext* cx = engine.cx();
  JS::CompileOptions options(cx);
  options.setFileAndLine(name.cstr(), line);
  if (engine.strict()) options.setForceStrictMode();
  JS::SourceText<mozilla::Utf8Unit> text;
  if (!text.init(cx, source.cstr(), source.length(), JS::SourceOwnership::Borrowed)) {
    engine.takeError(true);
    return nullptr;
  }
  JSScript* script = JS::Compile(cx, options, text);
  if (!script) engine.takeError(true);
  return script;
}

// Evaluates `source` once on the current context.
bool evaluate(void const* owner, String const& source, String const& name, unsigned int line,
              boost::shared_ptr<IValue>* result) {
  boost::shared_ptr<Context> context = requireContext();
  Engine& engine = context->engine();
  bool ok = false;
  Reports reports;
  engine.execute(
      [&] {
        JSContext* cx = engine.cx();
        // Compiled apart from running, so that a compile error is told
        // from a value the code throws.
        JS::RootedScript script(cx, compileOn(engine, source, name, line));
        if (!script) return;
        JS::RootedValue value(cx);
        engine.armGuard(nullptr);
        ok = JS_ExecuteScript(cx, script, &value);
        engine.disarmGuard();
        if (!ok) {
          engine.takeError();
          return;
        }
        if (result) *result = fromEngine(engine, context, value);
      },
      &reports);
  deliver(owner, reports);
  return ok;
}

}  // namespace

Script::~Script() {
  for (auto& entry : compiled) {
    if (boost::shared_ptr<Engine> engine = entry.second.engine.lock()) {
      JS::PersistentRooted<JSScript*>* script = entry.second.script;
      engine->execute([&] { engine->removeScript(script); });
    }
  }
}

void Script::store(Engine& engine, boost::shared_ptr<Engine> const& owner, JSScript* script) {
  sys::ScopedLock lock(compiledLock);
  Compiled& entry = compiled[engine.threadId()];
  entry.engine = owner;
  entry.script = engine.addScript(script);
}

JSScript* Script::scriptFor(Engine& engine, boost::shared_ptr<Engine> const& owner) {
  sys::ScopedLock lock(compiledLock);
  Compiled& entry = compiled[engine.threadId()];
  // Thread ids are reused: an entry of an engine that has gone is stale.
  if (entry.script && entry.engine.lock() == owner) return entry.script->get();
  entry.engine = owner;
  JSScript* script = compileOn(engine, source, name, line);
  ZU_ASSERT(script, "*script");
  entry.script = engine.addScript(script);
  return script;
}

bool Script::execute(boost::shared_ptr<IValue>* result) {
  boost::shared_ptr<Context> current = requireContext();
  Engine& engine = current->engine();
  bool ok = false;
  Reports reports;
  engine.execute(
      [&] {
        JSContext* cx = engine.cx();
        JS::RootedScript script(cx, scriptFor(engine, current->enginePtr()));
        JS::RootedValue value(cx);
        engine.armGuard(this);
        ok = JS_ExecuteScript(cx, script, &value);
        engine.disarmGuard();
        if (!ok) {
          engine.takeError();
          return;
        }
        if (result) *result = fromEngine(engine, current, value);
      },
      &reports);
  deliver(static_cast<IScript const*>(this), reports);
  return ok;
}

bool Script::run() { return execute(nullptr); }

boost::shared_ptr<IValue> Script::eval() {
  boost::shared_ptr<IValue> result;
  execute(&result);
  return result;
}

namespace {

boost::shared_ptr<IContext> newContext(bool strict, unsigned int maxBytes) {
  initialiseEngineLibrary(maxBytes);
  boost::shared_ptr<Engine> engine = boost::make_shared<Engine>(strict);
  boost::shared_ptr<sys::IThread> thread = sys::IThread::New(engine, sys::Normal, engineStackSize);
  engine->waitReady();
  boost::shared_ptr<Context> context = boost::make_shared<Context>(engine, thread);
  engine->setOwner(context);
  return context;
}

boost::shared_ptr<IContext> current() { return currentContext(); }

boost::shared_ptr<IScript> compile(void const* owner, String const& source, String const& name, unsigned int line) {
  boost::shared_ptr<Context> context = requireContext();
  Engine& engine = context->engine();
  boost::shared_ptr<Script> script;
  Reports reports;
  engine.execute(
      [&] {
        JSScript* compiled = compileOn(engine, source, name, line);
        if (!compiled) return;
        script = boost::make_shared<Script>(source, name, line, context);
        script->store(engine, context->enginePtr(), compiled);
      },
      &reports);
  deliver(owner, reports);
  return script;
}

boost::shared_ptr<IValue> evalSource(void const* owner, String const& source, String const& name, unsigned int line) {
  boost::shared_ptr<IValue> result;
  evaluate(owner, source, name, line, &result);
  return result;
}

bool runSource(void const* owner, String const& source, String const& name, unsigned int line) {
  return evaluate(owner, source, name, line, nullptr);
}

}  // namespace

}  // namespace impl
}  // namespace js
}  // namespace zu

ZU_MODULE_ENTRY_POINT void const* ZU_JS_MODULE_ENTRY(void const* host) {
  using namespace zu::js::impl;
  Host const* services = static_cast<Host const*>(host);
  if (!services || services->version != moduleVersion) return nullptr;
  zu::js::impl::host = services;
  static ModuleTable const table = {moduleVersion, &newContext, &current,     &compile,     &evalSource,
                                    &runSource,    &newUndefined, &newNull,  &newBoolean,  &newNumber,
                                    &newString,    &newObject,    &newArray, &newFunction};
  return &table;
}
