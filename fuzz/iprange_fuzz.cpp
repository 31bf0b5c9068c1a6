// IP range texts: one range, a set of them, and single addresses; every
// range read back from its own text is the same range.
#include <zu/net.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  zu::String const input = fuzz::text(data, size);
  zu::net::IPRange const range(input);
  FUZZ_CHECK(range.start().value() <= range.end().value());
  if (!range.empty()) {
    FUZZ_CHECK(zu::net::IPRange(range.toString(true)).equalTo(range));
    FUZZ_CHECK(zu::net::IPRange(range.toString(false)).equalTo(range));
  }
  zu::net::IPRanges ranges;
  ranges.fromString(input);
  zu::String const bounds = ranges.toString(true);
  zu::net::IPRanges again;
  again.fromString(bounds);
  FUZZ_CHECK(again.toString(true) == bounds);
  if (!range.empty()) FUZZ_CHECK(ranges.includes(range.start()) || input.find(';') != 0xFFFFFFFF ||
                                 input.find(',') != 0xFFFFFFFF || input.find('|') != 0xFFFFFFFF ||
                                 input.find('\n') != 0xFFFFFFFF || input.find('\r') != 0xFFFFFFFF);
  zu::net::IP const ip(input);
  FUZZ_CHECK(zu::net::IP(ip.toDotNotation()).value() == ip.value());
  return 0;
}
