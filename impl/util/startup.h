// The utilities' load-time set-up, called once by the library's start-up
// (init/library.cpp).
#ifndef ZU_IMPL_UTIL_STARTUP_H
#define ZU_IMPL_UTIL_STARTUP_H

namespace zu {
namespace __ {

// Creates the shared random generator.
void initializeRandom();
// Creates the UUID generator's state.
void initializeUUIDs();

}  // namespace __
}  // namespace zu

#endif
