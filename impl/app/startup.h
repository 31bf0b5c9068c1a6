// The application support's load-time set-up, called once by the library's
// start-up (init/library.cpp). The console hook's is in console_hook.h.
#ifndef ZU_IMPL_APP_STARTUP_H
#define ZU_IMPL_APP_STARTUP_H

namespace zu {
namespace sys {
namespace __ {

// Fills the process property table (zu::sys::getProperty) with its
// load-time values.
void initializeProperties();

}  // namespace __
}  // namespace sys
}  // namespace zu

#endif
