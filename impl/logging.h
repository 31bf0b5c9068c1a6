// The one way the library writes log lines: the level is tested first and
// the message is only built (with a string stream) when it will be written.
//
//   ZU_LOG(3, "[DBG1]", "connect " << host << " failed");
//   ZU_LOG_OBJ(0, "[ERR ]", *this, "read: " << why);   // "class zu::...: read: ..."
#ifndef ZU_IMPL_LOGGING_H
#define ZU_IMPL_LOGGING_H

#include <sstream>
#include <zu/logger.h>
#include <zu/string.h>
#include "classname.h"

namespace zu {
namespace __ {
// Lets Strings be streamed into log messages.
inline std::ostream& operator<<(std::ostream& out, String const& s) { return out << s.cstr(); }
}  // namespace __
}  // namespace zu

#define ZU_LOG(level, tag, stream_expr)                                        \
  do {                                                                         \
    if (::zu::util::logger::canLog(level)) {                                   \
      using ::zu::__::operator<<;                                              \
      std::ostringstream zu_log_stream_;                                       \
      zu_log_stream_ << stream_expr;                                           \
      ::zu::util::logger::output(tag, __FILE__, __LINE__, zu_log_stream_.str().c_str()); \
    }                                                                          \
  } while (0)

#define ZU_LOG_OBJ(level, tag, object, stream_expr) \
  ZU_LOG(level, tag, ::zu::__::className(object) << ": " << stream_expr)

#endif
