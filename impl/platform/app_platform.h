// The operating-system layer under the application services: console
// control signals, and the place of the registry store. Free of operating-system headers; app_posix.cpp implements it for
// Linux and other POSIX systems.
#ifndef ZU_IMPL_APP_PLATFORM_H
#define ZU_IMPL_APP_PLATFORM_H

#include <string>
#include <vector>

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

// Routes SIGINT, SIGQUIT, SIGHUP and SIGTERM into the process-wide event
// pipe as events 0, 1, 2 and 6. Only the first successful call changes
// anything; false when the pipe or a handler could not be set up.
bool installConsoleSignals();

// Reads console events from the event pipe on one thread; another thread
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
  int wake_[2];
};

// Where the registry store lives (its files go through the file layer,
// file_platform.h).

// $ZU_REGISTRY_ROOT, else $XDG_DATA_HOME/zu/registry (an absolute
// $XDG_DATA_HOME only), else $HOME/.local/share/zu/registry; "" when no home
// is known.
std::string registryRoot();

// The process id, for names of temporary entries.
unsigned int processId();

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu

#endif
