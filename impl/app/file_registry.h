// The library's own store of registry keys, in files: what the registry
// keys stand on where the system has no registry (see
// platform/registry_platform.h). Built on the file layer alone, so it
// works on every system.
#ifndef ZU_IMPL_APP_FILE_REGISTRY_H
#define ZU_IMPL_APP_FILE_REGISTRY_H

#include <memory>
#include <string>
#include <vector>

#include "platform/registry_platform.h"

namespace zu {
namespace app {
namespace __ {

// Opens the key `path` of `hive` in the store at the directory `root`, as
// platform::openRegistryKey does; a key opened without `create` creates
// nothing, not even the store.
std::unique_ptr<platform::RegistryKeyStore> openFileRegistryKey(std::string const& root,
                                                                platform::RegistryHive const& hive,
                                                                std::vector<std::string> const& path, bool create);

}  // namespace __
}  // namespace app
}  // namespace zu

#endif
