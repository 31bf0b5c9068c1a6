// The console hook's event handler, reachable without a signal: the logoff
// event, for one, has no signal on this system.
#ifndef ZU_IMPL_CONSOLE_HOOK_H
#define ZU_IMPL_CONSOLE_HOOK_H

#include <zu/config.h>

namespace zu {
namespace app {
namespace __ {

// Handles one console control event as the hook's thread does: logs it and,
// for every event but logoff (5), sets the shutdown flag and releases one
// waiter. True when the event was taken, false when it is left to the next
// handler.
bool handleConsoleEvent(unsigned int event);

// Creates the hook's process-wide state; called at load.
void initializeConsoleHook();

}  // namespace __
}  // namespace app
}  // namespace zu

#endif
