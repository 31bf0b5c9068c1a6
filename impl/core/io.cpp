#include <zu/io.h>

// Anchors the root interface's virtual table in the library.
IBase::~IBase() {}
