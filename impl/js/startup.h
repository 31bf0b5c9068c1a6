// The scripting family's load-time set-up, called once by the library's
// start-up (init/library.cpp).
#ifndef ZU_IMPL_JS_STARTUP_H
#define ZU_IMPL_JS_STARTUP_H

namespace zu {
namespace __ {

// Creates the state behind the scripting module (its loader and texts); the
// module itself is opened on first use.
void initializeScripting();

}  // namespace __
}  // namespace zu

#endif
