// The operating-system side of loading the library's internal modules:
// where the library itself was loaded from and the system's dynamic
// loader. Free of operating-system headers; each system implements it in
// its platform folder.
#ifndef ZU_IMPL_MODULE_PLATFORM_H
#define ZU_IMPL_MODULE_PLATFORM_H

#include <string>

namespace zu {
namespace __ {
namespace platform {

// The folder of the file this library was loaded from, without a trailing
// separator; empty when the loader cannot tell.
std::string libraryDirectory();

// The file name of an internal module in libraryDirectory(), from its
// base name ("zu-js" gives ".../libzu-js.so").
std::string moduleFile(std::string const& directory, char const* baseName);

// Opens a shared library by file name or path and binds its symbols at
// once. Null on failure, with the loader's reason in `reason`. A library
// opened here is never closed: its code may have threads and exit
// handlers of its own.
void* openLibrary(std::string const& file, std::string* reason);

// The address of the exported symbol `name` of an opened library; null
// when it has none.
void* librarySymbol(void* library, char const* name);

}  // namespace platform
}  // namespace __
}  // namespace zu

#endif
