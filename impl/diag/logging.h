// The one way the library writes log lines: the level is tested first and
// the message is only built (with a string stream) when it will be written.
//
//   ZU_LOG(3, "[DBG1]", "connect " << host << " failed");
//   ZU_LOG_OBJ(0, "[ERR ]", *this, "read: " << why);   // "class zu::...: read: ..."
#ifndef ZU_IMPL_LOGGING_H
#define ZU_IMPL_LOGGING_H

#include <zu/logger.h>
#include <zu/string.h>
#include "core/classname.h"

#define ZU_LOG_OBJ(level, tag, object, stream_expr) \
  ZU_LOG(level, tag, ::zu::__::className(object) << ": " << stream_expr)

#endif
