// Library start-up: the subsystems' shared state made at load, in
// dependency order, before any other static object of the library runs;
// and the check at unload that no library thread is left.
#include "init/library.h"

#include <zu/net.h>

#include "app/console_hook.h"
#include "app/startup.h"
#include "core/startup.h"
#include "diag/logger_hooks.h"
#include "js/startup.h"
#include "net/startup.h"
#include "platform/platform.h"
#include "platform/socket_platform.h"
#include "sys/startup.h"
#include "util/startup.h"

namespace zu {
namespace __ {

void initializeLibrary() {
  static bool done = false;
  if (done) return;
  done = true;
  // Families add their initialisers here, in dependency order.
  initializeURL();
  sys::__::initializeTime();
  util::logger::__::initialize();
  sys::__::initializeProperties();
  initializeRandom();
  initializeUUIDs();
  sys::__::initializeThreads();
  app::__::initializeConsoleHook();
  sys::__::initializeTimers();
  initializeScripting();
  initializeUDT();
  net::IP::loopback();
  net::impl::initializeSocketPlatform();
  initializeReactors();
}

namespace {
struct LoadTimeInit {
  LoadTimeInit() {
    initializeLibrary();
    checkedAtExit = platform::atProcessExit(&sys::__::checkThreadsAtUnload);
  }
  // Runs before the state made above is destroyed (it was complete before
  // this object was), while a thread that is still ending can use it.
  ~LoadTimeInit() {
    if (!checkedAtExit) sys::__::checkThreadsAtUnload();
  }
  bool checkedAtExit = false;
};
// init_priority runs this before the ordinary static objects of the library.
LoadTimeInit loadTimeInit __attribute__((init_priority(200)));
}  // namespace

}  // namespace __
}  // namespace zu
