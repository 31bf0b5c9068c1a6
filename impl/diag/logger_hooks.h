// The logger's private entry points: its load-time set-up and the source of
// the current time, which tests replace to cross midnight.
#ifndef ZU_IMPL_LOGGER_HOOKS_H
#define ZU_IMPL_LOGGER_HOOKS_H

#include <zu/config.h>
#include <zu/time.h>

namespace zu {
namespace util {
namespace logger {
namespace __ {

// Creates the logger state (level 3, time stamps on); called at load.
void initialize();

// Writes the buffered lines (LOG_OPTION_BUFFERED) now.
void flush();

// Called by zu::finalize() after the library's threads have ended: drops the
// flush timer and writes the buffered lines.
void finalize();

typedef sys::Time (*Clock)();
// Replaces Time::now for the logger's time stamps and day changes; null
// restores it.
void setClock(Clock clock);

}  // namespace __
}  // namespace logger
}  // namespace util
}  // namespace zu

#endif
