// zu::finalize(): the library's shutdown, run by the host before it leaves.
#include <zu/sys.h>

#include "diag/logger_hooks.h"
#include "sys/startup.h"

namespace zu {

void finalize() {
  sys::__::stopThreads();
  // Buffered log lines, the last of them written by the threads just ended.
  util::logger::__::finalize();
}

}  // namespace zu
