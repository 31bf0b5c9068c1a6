// The free-form date parser behind Time(String). The accepted forms are
// described at the top of date_parser.cpp.
#ifndef ZU_IMPL_DATE_PARSER_H
#define ZU_IMPL_DATE_PARSER_H

#include <cstdint>
#include <zu/config.h>

namespace zu {
namespace sys {
namespace __ {

// Seconds since the epoch of `text` read relative to `now` (seconds since
// the epoch) in a local zone `localOffset` minutes east of UTC, or -1 when
// the text is no date. Reads no clock, so results are reproducible.
std::int64_t parseDate(char const* text, std::int64_t now, int localOffset);

}  // namespace __
}  // namespace sys
}  // namespace zu

#endif
