// Load-time set-up of the library's process-wide state.
//
// Each family keeps its process-wide state behind an accessor function that
// builds it on first use (a function-local static), and declares the
// function that calls it in the family's own private header. The one
// load-time initialiser in library.cpp calls those functions in a fixed
// order, so the state exists, in that order, before any host code runs, and
// is destroyed in the reverse order at unload. No other file of the library
// defines namespace-scope objects with constructors or destructors: add the
// family's initialiser to the list in library.cpp instead.
#ifndef ZU_IMPL_INIT_LIBRARY_H
#define ZU_IMPL_INIT_LIBRARY_H

namespace zu {
namespace __ {

// Runs the load-time initialisers once; called by the library's static
// initialiser and harmless to call again.
void initializeLibrary();

}  // namespace __
}  // namespace zu

#endif
