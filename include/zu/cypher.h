// zu::cypher: the MD5 digest, the Base64 text encoding and NRCoder, the
// library's escape that turns any bytes into a text without zero bytes.
#ifndef ZU_CYPHER_H
#define ZU_CYPHER_H

#include <boost/shared_ptr.hpp>
#include <zu/bytearray.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace cypher {

// MD5 (RFC 1321) over a message fed in pieces. An object serves one thread
// at a time; the static functions may run on any threads at once.
class ZU_API IMD5 : public IBase {
 public:
  // As the pointer form on data.ptr() and data.size().
  virtual void update(ByteArray const& data, bool final) = 0;
  // Feeds `len` bytes of `data` (null only when len is 0: assertion). The
  // first piece after a completed message starts a new one and empties
  // the result; a final piece completes the digest.
  virtual void update(void const* data, unsigned int len, bool final) = 0;
  // The 16-byte digest of the last completed message; empty while a
  // message is under way or before any was completed.
  virtual ByteArray result() const = 0;
  // Forgets the message under way and the result.
  virtual void reset() = 0;

  static boost::shared_ptr<IMD5> New();
  // The digest of `len` bytes in one call.
  static ByteArray digest(void const* data, unsigned int len);
  static ByteArray digest(ByteArray const& data);
};

// Base64 (the RFC 4648 alphabet, "=" padding) over bytes fed in pieces.
// Lines are cut after 76 characters with CR LF; a line that ends with the
// final group (the padded one, or a full group that waited for the final
// piece) gets no line break. One thread at a time per object.
class ZU_API IBase64 : public IBase {
 public:
  // As the pointer form on data.ptr() and data.size().
  virtual void update(ByteArray const& data, bool final) = 0;
  // Feeds `len` bytes of `data` (null only when len is 0: assertion). The
  // first piece of a message that holds bytes empties the result; a final
  // piece pads the text and makes it the result.
  virtual void update(void const* data, unsigned int len, bool final) = 0;
  // The text of the last completed message.
  virtual String result() const = 0;
  // Forgets the bytes fed, the text built and the result.
  virtual void reset() = 0;

  static boost::shared_ptr<IBase64> New();
  // The text of `len` bytes in one call.
  static String encode(void const* data, unsigned int len);
  static String encode(ByteArray const& data);
  // The bytes of `text`. CR and LF are skipped; "=" in the fourth place,
  // or "==" in the third and fourth, ends the text; missing padding is
  // accepted and a byte left incomplete at the end is dropped. Any other
  // character (blanks included) and a misplaced "=" are skipped, and then
  // *clean (when `clean` is not null) is set to false, otherwise to true.
  static ByteArray decode(String const& text, bool* clean);
};

// Escapes bytes into a text without zero bytes: 0x00 becomes "_0", "_"
// becomes "__", every other byte stands for itself (also 0x80 and above).
class ZU_API NRCoder {
 public:
  // `data` may be null only when len is 0 (assertion).
  static String encode(void const* data, unsigned int len);
  static String encode(ByteArray const& data);
  // Never fails: an underscore followed by anything but "_" or "0", or
  // at the very end, stands for itself.
  static ByteArray decode(String const& text);
};

}  // namespace cypher
}  // namespace zu

#endif
