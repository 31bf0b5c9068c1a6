// RSA key texts. Input: lines "x", "n", "message hex" for the two-number
// key, or five lines "p", "q", "e", "extra", "message hex" for the prime
// form. The numbers are cut to 1024 bits so that one run stays short.
#include <zu/cypher.h>

#include "fuzz_common.h"

namespace {
zu::String number(std::string const& text) { return text.substr(0, 256).c_str(); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string rest(reinterpret_cast<char const*>(data), size), piece;
  std::string pieces[5];
  int n = 0;
  while (n < 5 && fuzz::take(rest, piece)) pieces[n++] = piece;
  boost::shared_ptr<zu::cypher::IRSA> key;
  zu::ByteArray message;
  if (n <= 3) {
    key = zu::cypher::IRSA::New(number(pieces[0]), number(pieces[1]));
    message = zu::ByteArray(number(pieces[2]));
  } else {
    key = zu::cypher::IRSA::New(number(pieces[0]), number(pieces[1]), number(pieces[2]), number(pieces[3]));
    message = zu::ByteArray(number(pieces[4]));
  }
  FUZZ_CHECK(key);
  (void)key->transform(message);
  (void)key->transform(zu::ByteArray());
  return 0;
}
