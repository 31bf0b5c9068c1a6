// Base64: any text decodes; any bytes encode, in one call or in pieces, and
// decode back to themselves.
#include <zu/cypher.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  bool clean = false;
  zu::ByteArray const decoded = zu::cypher::IBase64::decode(fuzz::text(data, size), &clean);
  FUZZ_CHECK(decoded.size() <= size);
  (void)zu::cypher::IBase64::decode(fuzz::text(data, size), nullptr);

  zu::String const encoded = zu::cypher::IBase64::encode(data, static_cast<unsigned int>(size));
  bool encodedClean = false;
  FUZZ_CHECK(zu::cypher::IBase64::decode(encoded, &encodedClean) ==
             zu::ByteArray(data, static_cast<unsigned int>(size)));
  FUZZ_CHECK(encodedClean);

  // The same bytes fed in pieces whose lengths the first byte chooses.
  boost::shared_ptr<zu::cypher::IBase64> const coder = zu::cypher::IBase64::New();
  std::size_t const step = size ? data[0] % 7 + 1 : 1;
  std::size_t at = 0;
  do {
    std::size_t const n = at + step < size ? step : size - at;
    coder->update(data + at, static_cast<unsigned int>(n), at + n >= size);
    at += n;
  } while (at < size);
  // A full last group that waited for the final piece gets no line break;
  // in one call it may close a line like any other.
  zu::String const pieces = coder->result();
  FUZZ_CHECK(pieces == encoded || zu::String(pieces).append("\r\n") == encoded);
  FUZZ_CHECK(zu::cypher::IBase64::decode(pieces, nullptr) == zu::ByteArray(data, static_cast<unsigned int>(size)));
  return 0;
}
