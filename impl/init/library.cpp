// Library start-up: the subsystems' shared state made at load, in
// dependency order, before any other static object of the library runs.
#include "sys/library.h"
#include "net/reactor.h"
#include "platform/socket_platform.h"

#include <zu/net.h>

#include "app/console_hook.h"
#include "diag/logger_hooks.h"
#include "sys/time_internal.h"

namespace zu {
namespace __ {

void initializeLibrary() {
  static bool done = false;
  if (done) return;
  done = true;
  // Families add their state accessors here, in dependency order.
  initializeURL();
  sys::__::initializeTime();
  zu::util::logger::__::initialize();
  initializeProperties();
  initializeRandom();
  initializeUUIDs();
  sys::impl::threadRegistry();
  app::__::initializeConsoleHook();
  initializeTimers();
  initializeScripting();
  initializeUDT();
  net::IP::loopback();
  net::impl::initializeSocketPlatform();
  net::impl::initializeReactors();
}

namespace {
struct LoadTimeInit {
  LoadTimeInit() { initializeLibrary(); }
};
// init_priority runs this before the ordinary static objects of the library.
LoadTimeInit loadTimeInit __attribute__((init_priority(200)));
}  // namespace

}  // namespace __
}  // namespace zu
