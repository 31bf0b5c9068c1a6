// URL parsing: absolute text, and relative text against a base, then the
// encoded text read back. Input: "text" or "base\ntext".
#include <zu/url.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string rest(reinterpret_cast<char const*>(data), size), first, second;
  fuzz::take(rest, first);
  bool const relative = fuzz::take(rest, second);
  zu::URL const base(first.c_str());
  zu::URL const url = relative ? zu::URL(second.c_str(), base) : base;

  zu::String const encoded = url.toString();
  zu::URL const again(encoded);
  (void)again.toString(true);
  (void)url.getQuery("a", "d", true);
  zu::URL copy = url;
  copy.setQuery("k", "v", true);
  copy.eraseQuery("a");
  copy.setPath(url.getFragment());
  (void)copy.toString();

  // Decoding never reads past the text and never grows it.
  zu::String const decoded = zu::URL::decode(fuzz::text(data, size));
  FUZZ_CHECK(decoded.length() <= fuzz::text(data, size).length());
  // Encoding is undone by decoding.
  zu::String const plain = fuzz::text(data, size);
  FUZZ_CHECK(zu::URL::decode(zu::URL::encode(plain)) == plain);
  return 0;
}
