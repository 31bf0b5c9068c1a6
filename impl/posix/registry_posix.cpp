// Registry keys on POSIX systems, which have no registry: the library's own
// store of files, kept in the user's data folder.
#include "platform/registry_platform.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "app/file_registry.h"

namespace zu {
namespace app {
namespace __ {
namespace platform {

namespace {

// $ZU_REGISTRY_ROOT, else $XDG_DATA_HOME/zu/registry (an absolute
// $XDG_DATA_HOME only), else $HOME/.local/share/zu/registry; "" when no home
// is known.
std::string registryRoot() {
  char const* root = ::getenv("ZU_REGISTRY_ROOT");
  if (root && *root) return root;
  char const* data = ::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return std::string(data) + "/zu/registry";
  std::string home;
  if (char const* h = ::getenv("HOME")) home = h;
  if (home.empty()) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
      home = found->pw_dir;
  }
  if (home.empty()) return std::string();
  return home + "/.local/share/zu/registry";
}

}  // namespace

std::unique_ptr<RegistryKeyStore> openRegistryKey(RegistryHive const& hive, std::vector<std::string> const& path,
                                                  bool create) {
  std::string const root = registryRoot();
  if (root.empty()) return nullptr;
  return openFileRegistryKey(root, hive, path, create);
}

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu
