// The core values' load-time set-up, called once by the library's start-up
// (init/library.cpp) before any host code runs.
#ifndef ZU_IMPL_CORE_STARTUP_H
#define ZU_IMPL_CORE_STARTUP_H

namespace zu {
namespace __ {

// Creates the URL family's shared empty values.
void initializeURL();

}  // namespace __
}  // namespace zu

#endif
