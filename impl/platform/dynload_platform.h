// Opening shared libraries at run time and finding their functions, for
// the loaders of the outside libraries and of the library's own modules.
// Free of operating-system headers.
#ifndef ZU_IMPL_DYNLOAD_PLATFORM_H
#define ZU_IMPL_DYNLOAD_PLATFORM_H

#include <string>

namespace zu {
namespace __ {
namespace platform {

// Opens the library `name` (a file name the system's loader searches for,
// such as a versioned soname), its symbols kept private to this handle.
// Null on failure, with the loader's reason in `reason`.
void* openSharedLibrary(char const* name, std::string& reason);

// The address of `symbol` in `library`; null when it has none, with the
// loader's reason in `reason`.
void* sharedLibrarySymbol(void* library, char const* symbol, std::string& reason);

// Releases a handle from openSharedLibrary.
void closeSharedLibrary(void* library);

// The folder of the file this library was loaded from, without a trailing
// separator; empty when the loader cannot tell.
std::string libraryDirectory();
// The file name of an internal module, from its base name ("zu-js" gives
// "libzu-js.so" on Linux, "zu-js.dll" on Windows).
std::string moduleFileName(char const* baseName);
// That file in `directory`.
std::string moduleFile(std::string const& directory, char const* baseName);

}  // namespace platform
}  // namespace __
}  // namespace zu

#endif
