// NRCoder: any bytes escaped into a text without zero bytes, so they fit a
// NUL-terminated String, and back.
#include <zu/cypher.h>

#include <cstring>
#include <new>

#include "core/assertion.h"

namespace zu {
namespace cypher {

String NRCoder::encode(void const* data, unsigned int len) {
  ZU_ASSERT(data || len == 0, "clear");
  if (len == 0) return String();
  unsigned char const* p = static_cast<unsigned char const*>(data);
  // Sized exactly in a first pass: each escaped byte takes two characters.
  std::size_t size = len;
  for (unsigned int i = 0; i < len; ++i) size += (p[i] == 0 || p[i] == '_');
  if (size >= 0xFFFFFFFF) throw std::bad_alloc();  // String lengths are 32-bit
  String text;
  char* out = text.getBuffer(static_cast<unsigned int>(size));
  for (unsigned int i = 0; i < len; ++i) {
    unsigned char const b = p[i];
    if (b == 0) {
      *out++ = '_';
      *out++ = '0';
    } else if (b == '_') {
      *out++ = '_';
      *out++ = '_';
    } else {
      *out++ = static_cast<char>(b);
    }
  }
  return text;
}

String NRCoder::encode(ByteArray const& data) { return encode(data.ptr(), data.size()); }

ByteArray NRCoder::decode(String const& text) {
  char const* s = text.cstr();
  std::size_t const length = std::strlen(s);
  if (length == 0) return ByteArray();
  ByteArray bytes(static_cast<unsigned int>(length));
  unsigned char* out = bytes.getBuffer(0);
  std::size_t count = 0;
  for (std::size_t i = 0; i < length;) {
    char const c = s[i];
    if (c == '_' && i + 1 < length && (s[i + 1] == '_' || s[i + 1] == '0')) {
      out[count++] = s[i + 1] == '_' ? '_' : 0;
      i += 2;
    } else {
      // Any other byte, and an underscore that escapes nothing, stands for
      // itself.
      out[count++] = static_cast<unsigned char>(c);
      ++i;
    }
  }
  bytes.resize(static_cast<unsigned int>(count));
  return bytes;
}

}  // namespace cypher
}  // namespace zu
