// The system services' load-time set-up and shutdown, called by the
// library's start-up and by zu::finalize() (init/).
#ifndef ZU_IMPL_SYS_STARTUP_H
#define ZU_IMPL_SYS_STARTUP_H

namespace zu {
namespace sys {
namespace __ {

// Creates the time family's state (the tick source, the cache of locale
// texts).
void initializeTime();
// Creates the registry of library threads.
void initializeThreads();
// Creates the timer reactors' registry.
void initializeTimers();

// Asks every registered library thread to stop and waits until all of them
// have ended (but the calling one, when it is a library thread).
void stopThreads();

// Called when the library unloads: waits a while for library threads that
// are already on their way out, then asserts "_map.empty()" if any thread is
// still registered (the host did not call zu::finalize()).
void checkThreadsAtUnload();

}  // namespace __
}  // namespace sys
}  // namespace zu

#endif
