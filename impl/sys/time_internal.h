// Internals of the time family shared by its sources and the tests: the
// pure calendar arithmetic (calendar.h), what the platform supplies
// (time_platform.h: wall clock, zone offset, locale texts) and a
// replaceable tick source.
#ifndef ZU_IMPL_TIME_INTERNAL_H
#define ZU_IMPL_TIME_INTERNAL_H

#include <zu/config.h>
#include <zu/time.h>

#include "platform/time_platform.h"
#include "sys/calendar.h"

namespace zu {
namespace sys {
namespace __ {

// Replaces the clock behind Time::tickCount() (null restores the monotonic
// clock), so that tests can place the tick anywhere, a wrap included.
typedef unsigned int (*TickSource)();
void setTickSource(TickSource source);

}  // namespace __
}  // namespace sys
}  // namespace zu

#endif
