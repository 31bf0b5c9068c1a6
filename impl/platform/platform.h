// The operating-system layer under the system services: clocks, sleeping,
// thread identity, priorities and thread creation, and what the property
// table tells about the program, the system and the user. This header is
// free of operating-system headers; each supported system implements it in
// its own file (posix/platform_posix.cpp, win32/platform_win32.cpp), so a
// system is added beside the others without touching the callers.
//
// Text is UTF-8 throughout; a system with wide calls converts at the call.
#ifndef ZU_IMPL_PLATFORM_H
#define ZU_IMPL_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zu {
namespace __ {
namespace platform {

// Milliseconds of a monotonic clock (unaffected by wall-clock changes),
// truncated to 32 bits: the value wraps after about 49.7 days, so compare
// ticks by unsigned difference only.
unsigned int monotonicMilliseconds();

// Nanoseconds of the same monotonic clock, not truncated.
std::uint64_t monotonicNanoseconds();

// Nanoseconds since 1970-01-01 UTC of the system's wall clock (negative
// before it).
std::int64_t wallClockNanoseconds();

// Suspends the calling thread for `milliseconds`, resuming the sleep after
// signal interruptions so the whole span passes. 0xFFFFFFFF never returns.
void sleepMilliseconds(unsigned int milliseconds);

// Gives the processor to another ready thread, if there is one.
void yieldThread();

// The calling thread's system-wide id (on Linux the kernel's thread id,
// which `ps -L` and /proc show). Unique among live threads only: an id can
// be reused once its thread has ended.
unsigned int currentThreadId();

// The process id.
unsigned int processId();

// Thread priorities as the library asks for them.
enum PriorityLevel { PRIORITY_LOWER = -1, PRIORITY_NORMAL = 0, PRIORITY_HIGHER = 1 };

// The calling thread's priority against normal: 0 normal, above 0 when the
// thread gets more processor time than normal, below 0 when it gets less.
int threadPriority();

// Gives the calling thread the system's priority for `level` (on Windows
// time-critical, normal or below normal; on POSIX a niceness of -15, 0 or
// 5); false when the system refuses (for instance raising priority without
// the privilege to).
bool setThreadPriority(PriorityLevel level);

// The system's message for its error code `code`, in English whatever the
// process locale is; empty for 0 and for codes the system does not know.
std::string systemMessage(unsigned int code);

// Starts a detached thread running entry(argument) with at least
// `stackSize` bytes of stack (0: the system default). False when the system
// cannot create the thread; entry is then never called.
bool startThread(void (*entry)(void*), void* argument, unsigned int stackSize);

// The size of the calling thread's stack mapping in bytes (for the thread
// that started the process, its current limit); 0 when the system cannot
// tell.
std::size_t currentThreadStackSize();

// Calls call(argument) on the calling thread when it ends, the last one
// registered first. A call may register more; they run in the same round.
void atThreadExit(void (*call)(void*), void* argument);

// A new T owned by the calling thread: destroyed by atThreadExit.
template <class T>
T* newThreadObject() {
  T* const object = new T();
  atThreadExit([](void* p) { delete static_cast<T*>(p); }, object);
  return object;
}

// Registers handlers run around a fork of the process: `prepare` in the
// parent just before it, `parent` in the parent and `child` in the new
// process just after it (on the forking thread). Any may be null. False
// when the system refuses; a system without fork (Windows) accepts and
// never calls them.
bool atFork(void (*prepare)(), void (*parent)(), void (*child)());

// Runs `handler` when the process exits, while its other threads still run.
// False when the library's own static destruction is that point already
// (POSIX systems: exit ends no thread before it); Windows ends every other
// thread before a library's static objects go, so there the handler runs
// from the C runtime's exit handlers, and the library stays loaded until
// the process ends.
bool atProcessExit(void (*handler)());

// The program file of the process (empty when it cannot be read).
std::string executablePath();

// The command line of the process as one text: the system's own where it
// keeps one (Windows), else the arguments joined by blanks and quoted so
// that the library's argument parser gives them back unchanged.
std::string commandLine();

// The running system as the property table shows it: "os.name" (such as
// "Linux 6.1.0-18-amd64" or "Windows 7 Service Pack 1"), "os.version"
// ("v6.1.0", "v6.1.7601") and "os.arch" ("x64", "x86", "arm", ..., "?").
struct SystemDescription {
  std::string name;
  std::string version;
  std::string arch;
};
SystemDescription describeSystem();

// The name of the user the process runs as; empty when unknown.
std::string userName();

// The user's documents folder (on POSIX $XDG_DOCUMENTS_DIR, else
// $HOME/Documents when it exists, else $HOME); empty when none is known.
std::string userDocuments();

// The temporary folder (on POSIX $TMPDIR, else "/tmp").
std::string temporaryDirectory();

}  // namespace platform
}  // namespace __
}  // namespace zu

// ZU_THREAD_OBJECT(T, name); declares `name`, a T of the calling thread,
// made on the thread's first pass and destroyed when the thread ends (a
// function-local "static thread_local T name;"). mingw-w64 destroys
// thread_local objects after their thread's storage is freed; there the
// object lives on the heap behind a thread_local pointer and is destroyed by
// atThreadExit, which runs first.
#if defined(_WIN32)
#define ZU_THREAD_OBJECT(T, name)                                                      \
  static thread_local T* name##Object = nullptr;                                       \
  if (!name##Object) name##Object = ::zu::__::platform::newThreadObject<T>();          \
  T& name = *name##Object
#else
#define ZU_THREAD_OBJECT(T, name) static thread_local T name
#endif

#endif
