// Load-time set-up of the library's process-wide state.
//
// Each family keeps its process-wide state behind an accessor function that
// builds it on first use (a function-local static). The one load-time
// initialiser in library.cpp calls those accessors in a fixed order, so the
// state exists, in that order, before any host code runs, and is destroyed in
// the reverse order at unload. No other file of the library defines
// namespace-scope objects with constructors or destructors: add the family's
// accessor to the list in library.cpp instead.
#ifndef ZU_IMPL_LIBRARY_H
#define ZU_IMPL_LIBRARY_H

namespace zu {
namespace __ {

// Runs the load-time initialisers once; called by the library's static
// initialiser and harmless to call again.
void initializeLibrary();

}  // namespace __

// The families' state accessors, called by initializeLibrary().
namespace __ {
void initializeURL();
void initializeTimers();
void initializeProperties();
void initializeRandom();
void initializeUUIDs();
void initializeScripting();
void initializeUDT();
}  // namespace __

namespace sys {
namespace impl {
class ThreadRegistry;
ThreadRegistry& threadRegistry();
}  // namespace impl
}  // namespace sys

}  // namespace zu

#endif
