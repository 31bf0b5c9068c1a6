// The operating-system layer under the console hook: the system's console
// control events, routed to a reader on a library thread. Free of
// operating-system headers; each system's file (posix/app_posix.cpp,
// win32/app_win32.cpp) implements it.
#ifndef ZU_IMPL_APP_PLATFORM_H
#define ZU_IMPL_APP_PLATFORM_H

#include <memory>

namespace zu {
namespace app {
namespace __ {
namespace platform {

// Console control events as the hook numbers them.
enum {
  CONSOLE_CTRL_C = 0,
  CONSOLE_CTRL_BREAK = 1,
  CONSOLE_CTRL_CLOSE = 2,
  CONSOLE_CTRL_LOGOFF = 5,
  CONSOLE_CTRL_SHUTDOWN = 6
};

// Routes the system's console control events into the process-wide event
// queue that ConsoleEventReader reads (on POSIX the signals SIGINT, SIGQUIT,
// SIGHUP and SIGTERM, as events 0, 1, 2 and 6). Only the first successful
// call changes anything; false when the queue or a handler could not be set
// up.
bool installConsoleSignals();

// Reads console events from the event queue on one thread; another thread
// ends a wait with wake(). Events not read stay queued for the next reader.
class ConsoleEventReader {
 public:
  ConsoleEventReader();
  ~ConsoleEventReader();
  ConsoleEventReader(ConsoleEventReader const&) = delete;
  ConsoleEventReader& operator=(ConsoleEventReader const&) = delete;

  // Blocks for the next event (0..255); -1 once wake() was called or when
  // waiting failed.
  int next();
  // Makes the current and every later next() return -1. Async-signal-safe.
  void wake();

 private:
  // What the system needs to wake a waiting reader (on POSIX a pipe).
  struct Waker;
  std::unique_ptr<Waker> waker_;
};

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu

#endif
