// Hexadecimal byte texts: ByteArray(String) either refuses the text or
// gives bytes whose hexadecimal form reads back as the same bytes.
#include <zu/bytearray.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  zu::String const input = fuzz::text(data, size);
  zu::ByteArray const bytes(input);
  FUZZ_CHECK(bytes.size() == (input.length() + 1) / 2 || bytes.empty());
  zu::String const hex = bytes.toHex();
  FUZZ_CHECK(hex.length() == 2 * bytes.size());
  FUZZ_CHECK(zu::ByteArray(hex) == bytes);
  if (!bytes.empty()) FUZZ_CHECK(hex.compare(input, true) == 0 || input.length() % 2 == 1);
  return 0;
}
