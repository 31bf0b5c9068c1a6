// Free-form date text, and the same input as a time pattern.
#include <zu/time.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  zu::String const input = fuzz::text(data, size);
  zu::sys::Time const parsed(input);
  if (parsed.toSeconds() != -1) {
    zu::sys::Time::Detail const d = parsed.detail(0);
    FUZZ_CHECK(d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= 31 && d.hour >= 0 && d.hour <= 23);
    (void)parsed.toString(zu::sys::HttpDate, 0);
    (void)parsed.toString(zu::sys::IsoExtended, -1);
  }
  if (size < 256) (void)zu::sys::Time(86400 * 365).toString(input, 480);
  return 0;
}
