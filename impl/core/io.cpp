// The root I/O interface. It has no code of its own: this file only gives
// its virtual table one home, in the library.
#include <zu/io.h>

// Anchors the root interface's virtual table in the library.
IBase::~IBase() {}
