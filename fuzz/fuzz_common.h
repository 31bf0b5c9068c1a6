// Helpers shared by the fuzz targets.
#ifndef ZU_FUZZ_COMMON_H
#define ZU_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zu/logger.h>
#include <zu/string.h>

namespace fuzz {

// The input as text. String stops at a NUL byte, as every caller's text
// does; the fuzzer still mutates past it, which is harmless.
inline zu::String text(std::uint8_t const* data, std::size_t size) {
  return zu::String(reinterpret_cast<char const*>(data), static_cast<unsigned int>(size));
}

// Cuts the input into pieces at a separator byte (the pieces of a
// multi-argument call), keeping the separator out of every piece.
inline bool take(std::string& rest, std::string& piece, char separator = '\n') {
  if (rest.empty()) return false;
  std::size_t const at = rest.find(separator);
  piece = rest.substr(0, at);
  rest = at == std::string::npos ? std::string() : rest.substr(at + 1);
  return true;
}

// A broken property of the code under test: abort, so that the fuzzer keeps
// the input.
#define FUZZ_CHECK(condition)                                                           \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

}  // namespace fuzz

// Every log line is still built, so the code that formats what a peer sent
// is fuzzed too, but written to /dev/null rather than over the fuzzer's
// own output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zu::util::logger::setLevel(5);
  zu::util::logger::setOptions(zu::util::logger::LOG_OPTION_APPEND, 0);
  zu::util::logger::setFilePath("/dev/null");
  return 0;
}

#endif
