// The scripting module's own parts, shared by its two sources: the
// engine thread of a context, the process-wide engine state and the
// conversions between engine values and value objects.
//
// An engine context can only be used on the thread that made it, so every
// context owns a library thread (an Engine) that makes the engine context,
// runs every engine call handed to it and destroys the engine context when
// it stops. Engine objects referenced by value objects are rooted by the
// Engine, which frees every remaining root when it stops: a value object
// never touches the engine except through a task on its engine thread.
#ifndef ZU_IMPL_JS_ENGINE_H
#define ZU_IMPL_JS_ENGINE_H

#include <zu/js.h>
#include <zu/sys.h>

#include "js/engine/spin_history.h"
#include "js/js_module.h"

#include <atomic>
#include <chrono>
#include <boost/enable_shared_from_this.hpp>
#include <boost/weak_ptr.hpp>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

// g++ 12 takes the engine's stack roots, which link themselves into a list
// in the engine context, for dangling pointers.
#pragma GCC diagnostic ignored "-Wdangling-pointer"

#include <js/CompilationAndEvaluation.h>
#include <js/Conversions.h>
#include <js/Initialization.h>
#include <js/RootingAPI.h>
#include <js/Value.h>
#include <jsapi.h>

namespace zu {
namespace js {
namespace impl {

class Context;

// libzu's services to the module.
extern Host const* host;

// The value factories of the module's table.
boost::shared_ptr<IUndefined> newUndefined();
boost::shared_ptr<INull> newNull();
boost::shared_ptr<IBoolean> newBoolean(bool value);
boost::shared_ptr<INumber> newNumber(double value);
boost::shared_ptr<IString> newString(String const& text);
boost::shared_ptr<IObject> newObject();
boost::shared_ptr<IArray> newArray(unsigned int length);
boost::shared_ptr<IFunction> newFunction(String const& name, NativeFunction function, unsigned int argumentCount);

// Process-wide engine state, made with the first context.
struct Runtime {
  sys::Mutex mutex;
  // Whether the engine library has been initialised (once per process).
  std::atomic<bool> initialised{false};
  std::atomic<unsigned int> maxBytes{0x100000};
  // Engine threads whose engine context exists: the engine library is shut
  // down at unload only when none is left.
  std::atomic<int> liveEngines{0};
  String const undefinedText{"undefined"};
  String const nullText{"null"};
  String const trueText{"true"};
  String const falseText{"false"};

  ~Runtime();
};
Runtime& runtime();

// One failure or warning turned into the library's code and text.
struct Report {
  unsigned int code;
  std::string text;
};
typedef std::vector<Report> Reports;

// Hands `reports` to the calling thread's guards for `owner` and the log.
void deliver(void const* owner, Reports const& reports);

// A task for the engine thread: a callable borrowed for the time of one
// hand-over (the caller waits for it), so that handing a lambda over costs
// no allocation.
class Task {
 public:
  template <class F>
  Task(F const& function)  // NOLINT(google-explicit-constructor)
      : object_(&function), call_([](void const* object) { (*static_cast<F const*>(object))(); }) {}
  void operator()() const { call_(object_); }

 private:
  void const* object_;
  void (*call_)(void const*);
};

class Engine : public sys::IRunnable {
 public:
  explicit Engine(bool strict);
  ~Engine() override;

  void run() override;
  void stop() override;

  // Waits until the engine context exists (or could not be made).
  void waitReady();

  // Runs `task` on the engine thread and waits for it; runs it at once when
  // called there. Reports the task collects are returned in `reports`.
  // False, without running it, once the engine has stopped.
  bool execute(Task task, Reports* reports = nullptr);

  bool onThread() const;
  unsigned int threadId() const { return threadId_.load(); }

  // Engine-thread members.
  JSContext* cx() const { return cx_; }
  JS::HandleObject global() const { return *global_; }
  bool strict() const { return strict_; }
  JS::PersistentRootedValue* addRoot(JS::HandleValue value);
  void removeRoot(JS::PersistentRootedValue* root);
  // Any thread: frees `root` now on the engine thread, else before the
  // engine's next task, without waiting for the engine.
  void releaseRoot(JS::PersistentRootedValue* root);
  JS::PersistentRooted<JSScript*>* addScript(JSScript* script);
  void removeScript(JS::PersistentRooted<JSScript*>* script);
  // The context this engine belongs to; null while it is being destroyed.
  boost::shared_ptr<Context> owner() const { return owner_.lock(); }
  void setOwner(boost::shared_ptr<Context> const& owner) { owner_ = owner; }

  // Turns the pending exception (or the one the loop guard took aside)
  // into a report of the running task; clears it. A value thrown by
  // running code is an exception (code 3); a compile error (`compiling`),
  // the loop guard's stop, running out of memory and a failed native
  // function are errors (code 4).
  void takeError(bool compiling = false);
  // Adds a report of the running task from an engine report.
  void addReport(JSErrorReport const* report, char const* fallbackMessage, bool thrown);
  // Marks the pending exception as a native function's failure rather
  // than a value thrown by code.
  void markNativeFailure();
  // Adds a report with a text made here.
  void addReport(unsigned int code, std::string const& text);

  // The loop guard, around every run of script code; pairs nest. `key`
  // names what runs (a compiled script, or null for anything run once) for
  // counting over consecutive runs.
  void armGuard(void const* key);
  void disarmGuard();
  std::atomic<unsigned int> maxBranches{0xFFFFFFFF};

 private:
  struct Job {
    Task task;
    Reports* reports;
    // Set by the engine thread, under the mutex, when the task has run.
    std::atomic<bool> done{false};
    // Set by the caller, under the mutex, when it stops spinning and
    // waits on `finished_`.
    bool parked = false;
  };

  static bool interruptCallback(JSContext* cx);
  static void warningReporter(JSContext* cx, JSErrorReport* report);
  void runTask(Task task, Reports* reports);
  // Spins until `ready` holds or the spin budget is spent, when `history`
  // says spinning is worth it; true when `ready` holds.
  template <class Ready>
  static bool spinUntil(SpinHistory& history, std::chrono::nanoseconds budget, Ready const& ready);
  void collectWhenFull();
  void createEngineContext();
  void destroyEngineContext();

  bool const strict_;
  boost::weak_ptr<Context> owner_;
  std::atomic<unsigned int> threadId_{0};
  JSContext* cx_ = nullptr;
  JS::PersistentRootedObject* global_ = nullptr;
  std::unordered_set<JS::PersistentRootedValue*> roots_;
  std::unordered_set<JS::PersistentRooted<JSScript*>*> scripts_;
  JS::PersistentRootedValue* stash_ = nullptr;
  JS::PersistentRootedValue* nativeFailure_ = nullptr;
  Reports collected_;
  uint32_t liveAfterCollection_ = 0;

  // Loop guard state (engine thread only).
  bool guardArmed_ = false;
  unsigned int guardDepth_ = 0;
  void const* lastScript_ = nullptr;
  unsigned int branchCount_ = 0;

  // Task hand-over.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::deque<Job*> queue_;
  // Roots released by other threads, freed before the next task.
  std::vector<JS::PersistentRootedValue*> released_;
  // queue_.size(), readable without the mutex while the engine thread
  // spins for the next task.
  std::atomic<unsigned int> queued_{0};
  SpinHistory engineSpins_;
  SpinHistory callerSpins_;
  // The engine thread waits on `wake_`: a new task must notify it.
  bool engineParked_ = false;
  bool ready_ = false;
  bool stopping_ = false;
  bool ended_ = false;
  // stopping_, readable without the mutex from the interrupt callback.
  std::atomic<bool> stopRequested_{false};
};

class Context : public IContext, public boost::enable_shared_from_this<Context> {
 public:
  Context(boost::shared_ptr<Engine> const& engine, boost::shared_ptr<sys::IThread> const& thread);
  ~Context() override;

  boost::shared_ptr<IObject> global() override;
  void gc() override;
  void setMaxBranches(unsigned int limit) override;
  unsigned int maxBranches() const override;
  void enter() override;
  void leave() override;
  int suspend() override;
  void resume(int depth) override;

  Engine& engine() const { return *engine_; }
  boost::shared_ptr<Engine> const& enginePtr() const { return engine_; }

  struct UseRecord {
    UseRecord* previous = nullptr;
    boost::shared_ptr<Context> self;
  };

 private:
  boost::shared_ptr<Engine> const engine_;
  boost::shared_ptr<sys::IThread> const thread_;
  sys::Mutex lock_;
  UseRecord useRecord_;
  UseRecord* suspended_ = nullptr;
};

// The calling thread's current context: the one it entered last, or on an
// engine thread the context that owns it. Null when there is none.
boost::shared_ptr<Context> currentContext();
// As currentContext(), but a missing context is a programming error.
boost::shared_ptr<Context> requireContext();

// Hands value objects to the engine. Every value class derives from it.
class IInternalValue : public IBase {
 public:
  // Stores the engine value in `out`; false when the value belongs to
  // another engine. Engine thread only.
  virtual bool engineValue(Engine& engine, JS::MutableHandleValue out) const = 0;
};

// `value` as an engine value of `engine`: a null value gives undefined.
bool toEngine(Engine& engine, boost::shared_ptr<IValue> const& value, JS::MutableHandleValue out);
// A new value object for an engine value. Engine thread only. A
// `borrowed` object value relies on `value`'s own root until it is kept.
boost::shared_ptr<IValue> fromEngine(Engine& engine, boost::shared_ptr<Context> const& context, JS::HandleValue value,
                                     bool borrowed = false);

// UTF-8 text of an engine string; empty when it cannot be converted.
std::string utf8(JSContext* cx, JSString* string);

}  // namespace impl
}  // namespace js
}  // namespace zu

#endif
