// NRCoder: any text decodes; any bytes encode to a text without zero bytes
// that decodes back to them.
#include <cstring>

#include <zu/cypher.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  zu::ByteArray const decoded = zu::cypher::NRCoder::decode(fuzz::text(data, size));
  FUZZ_CHECK(decoded.size() <= size);

  zu::String const encoded = zu::cypher::NRCoder::encode(data, static_cast<unsigned int>(size));
  FUZZ_CHECK(encoded.length() >= size && encoded.length() <= 2 * size);
  FUZZ_CHECK(zu::cypher::NRCoder::decode(encoded) == zu::ByteArray(data, static_cast<unsigned int>(size)));
  return 0;
}
