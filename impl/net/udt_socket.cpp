// UDT sockets in libzu: the socket class written against the UDT library
// lives in the UDT module (libzu-udt.so, opened on first use). When the
// module cannot be had, sockets are made that fail every operation with a
// report naming what could not be loaded.
#include <zu/em.h>
#include <zu/socket.h>

#include <boost/make_shared.hpp>

#include "ext/module.h"
#include "net/udt_module.h"
#include "net/startup.h"
#include "platform/shared_library.h"

#ifndef ZU_WITH_UDT
#define ZU_WITH_UDT 1
#endif

namespace zu {
namespace net {
namespace impl {

namespace {

unsigned int const udtHost = udtModuleVersion;

__::Module::Description const description = {__::platform::UDT_LIBRARY, "zu-udt", "zu_udt_module_entry", "UDT",
                                              "ZU_WITH_UDT", ZU_WITH_UDT != 0};

__::Module& udtModule() {
  static __::Module module(description, &udtHost);
  return module;
}

// A socket of a process without the UDT module: always closed, and every
// operation that would need the UDT library fails as it fails on a closed
// socket, with the loader's reason as the report.
class UnavailableUDTSocket : public IUDTSocket, public func::IIO {
 public:
  func::IIO* toIO() override { return this; }
  bool connect(unsigned short, IP const&, unsigned short, IP const&) override { return failed(); }
  bool listen(unsigned short, IP const&, int) override { return failed(); }
  boost::shared_ptr<IUDTSocket> accept(Address*) override {
    failed();
    return boost::shared_ptr<IUDTSocket>();
  }
  bool isOpen() override { return false; }
  int close() override { return -1; }
  Address localAddress() override {
    failed();
    return Address{IP(), 0};
  }
  Address remoteAddress() override {
    failed();
    return Address{IP(), 0};
  }
  unsigned int read(void*, unsigned int) override {
    failed();
    return 0;
  }
  unsigned int write(void const*, unsigned int) override {
    failed();
    return 0;
  }

 private:
  bool failed() {
    udtModule().reportFailure(static_cast<IUDTSocket const*>(this));
    return false;
  }
};

}  // namespace

}  // namespace impl

boost::shared_ptr<IUDTSocket> IUDTSocket::New() {
  impl::UDTModuleTable const* table = static_cast<impl::UDTModuleTable const*>(impl::udtModule().table());
  if (!table) return boost::make_shared<impl::UnavailableUDTSocket>();
  return table->newSocket();
}

void IUDTSocket::finalize() {
  // Nothing to release when the UDT library was never loaded.
  impl::UDTModuleTable const* table = static_cast<impl::UDTModuleTable const*>(impl::udtModule().tableIfOpen());
  if (table) table->finalize();
}

}  // namespace net

void __::initializeUDT() { net::impl::udtModule(); }

}  // namespace zu
