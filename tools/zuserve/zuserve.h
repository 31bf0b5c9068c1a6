// What every part of zuserve shares: the names it uses from the library,
// its log lines and its configuration fault.
#ifndef ZUSERVE_ZUSERVE_H
#define ZUSERVE_ZUSERVE_H

#include <stdexcept>

#include <boost/shared_ptr.hpp>
#include <zu/array.h>
#include <zu/http.h>
#include <zu/js.h>
#include <zu/logger.h>
#include <zu/string.h>

namespace zuserve {

using boost::shared_ptr;
using zu::String;
using zu::StringPair;
using zu::TArray;
namespace http = zu::net::http;
namespace js = zu::js;
namespace logger = zu::util::logger;

// A configuration fault: reported as one line on standard error, exit 2.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A line in the log at `level` under `tag`.
void log(unsigned int level, char const* tag, String const& text);
void logError(String const& text);
void logInfo(String const& text);

}  // namespace zuserve

#endif
