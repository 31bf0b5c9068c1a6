// The networking family's load-time set-up, called once by the library's
// start-up (init/library.cpp).
#ifndef ZU_IMPL_NET_STARTUP_H
#define ZU_IMPL_NET_STARTUP_H

namespace zu {
namespace __ {

// Creates the reactors' process-wide state (the pool and the load lock).
void initializeReactors();
// Creates the state behind the UDT module; the module is opened on first
// use.
void initializeUDT();

}  // namespace __
}  // namespace zu

#endif
