// The table between libzu and its UDT module, libzu-udt.so, which holds
// the socket class written against the UDT library.
#ifndef ZU_IMPL_NET_UDT_MODULE_H
#define ZU_IMPL_NET_UDT_MODULE_H

#include <zu/socket.h>

namespace zu {
namespace net {
namespace impl {

// Raised whenever the table changes.
unsigned int const udtModuleVersion = 1;

// The module's entry point: `extern "C" UDTModuleTable const* <name>(unsigned int const* version)`.
#define ZU_UDT_MODULE_ENTRY zu_udt_module_entry

struct UDTModuleTable {
  unsigned int version;
  // A closed socket.
  boost::shared_ptr<IUDTSocket> (*newSocket)();
  // Releases the UDT library's threads and sockets.
  void (*finalize)();
};

}  // namespace impl
}  // namespace net
}  // namespace zu

#endif
