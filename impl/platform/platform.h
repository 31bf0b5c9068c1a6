// The operating-system layer under the system services: clocks, sleeping,
// thread identity, priorities and thread creation. This header is free of
// operating-system headers; each supported system implements it in its own
// file (platform_posix.cpp for Linux and other POSIX systems), so another
// system can be added beside it without touching the callers.
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

// The calling thread's scheduling niceness: 0 normal, negative for more
// processor time, positive for less.
int threadNice();

// The system's message for error number `code`, in English whatever the
// process locale is; empty for 0 and for numbers the system does not know.
std::string systemMessage(unsigned int code);

// Sets the calling thread's niceness; false when the system refuses (for
// instance raising priority without the privilege to).
bool setThreadNice(int nice);

// The niceness used for the library's High and Low thread priorities.
enum { HighPriorityNice = -15, LowPriorityNice = 5 };

// Starts a detached thread running entry(argument) with at least
// `stackSize` bytes of stack (0: the system default). False when the system
// cannot create the thread; entry is then never called.
bool startThread(void (*entry)(void*), void* argument, unsigned int stackSize);

// The size of the calling thread's stack mapping in bytes (for the thread
// that started the process, its current limit); 0 when the system cannot
// tell.
std::size_t currentThreadStackSize();

// Registers handlers run around a fork of the process: `prepare` in the
// parent just before it, `parent` in the parent and `child` in the new
// process just after it (on the forking thread). Any may be null. False
// when the system refuses.
bool atFork(void (*prepare)(), void (*parent)(), void (*child)());

// The program file of the process (empty when it cannot be read).
std::string executablePath();

// The arguments the process was started with, program name first.
std::vector<std::string> commandLineArguments();

// The running system: kernel name, release and machine ("Linux",
// "6.1.0-18-amd64", "x86_64"); empty texts when unknown.
struct SystemName {
  std::string name;
  std::string release;
  std::string machine;
};
SystemName systemName();

// The name of the user the process runs as; empty when unknown.
std::string userName();

// The user's documents folder: $XDG_DOCUMENTS_DIR, else $HOME/Documents when
// it exists, else $HOME; empty when none is known.
std::string userDocuments();

// $TMPDIR, else "/tmp".
std::string temporaryDirectory();

}  // namespace platform
}  // namespace __
}  // namespace zu

#endif
