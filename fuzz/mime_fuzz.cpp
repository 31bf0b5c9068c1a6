// Header lines: each input line added to a block, the block written and
// read back, and lookups over it.
#include <zu/http.h>

#include <cstring>

#include "fuzz_common.h"

using zu::net::http::MIME;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string rest(reinterpret_cast<char const*>(data), size), line;
  MIME mime;
  unsigned int added = 0;
  while (fuzz::take(rest, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool const ok = mime.addLine(line.c_str());
    FUZZ_CHECK(ok == (line.find(": ") != std::string::npos && line.find(": ") < std::strlen(line.c_str())));
    if (ok) ++added;
  }
  FUZZ_CHECK(mime.size() == added);

  // Written lines read back as the same pairs, when no value holds a line
  // end of its own.
  std::string written = mime.toString().cstr(), back;
  MIME again;
  while (fuzz::take(written, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    again.addLine(line.c_str());
  }
  for (unsigned int i = 0; i < mime.size(); ++i) {
    zu::StringPair const& pair = mime.lines[i];
    (void)mime.get(pair.name, "");
    (void)mime.getValues(pair.name);
    FUZZ_CHECK(mime.contains(pair.name));
  }
  (void)mime.get("Content-Length", "0").toUnsigned();
  // The enumeration holds the values of its smallest bit field, 0 to 511;
  // other codes cannot be passed without undefined behaviour.
  (void)zu::net::http::HttpStatus::text(static_cast<zu::net::http::HttpStatus::E_Code>(size % 512));
  return 0;
}
