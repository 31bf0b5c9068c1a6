// zu::cypher: the TEA block cipher and the length-keeping TEAx message
// cipher, random keys, the MD5 digest, the Base64 text encoding, NRCoder (the
// library's escape that turns any bytes into a text without zero bytes) and
// the raw RSA function.
#ifndef ZU_CYPHER_H
#define ZU_CYPHER_H

#include <boost/shared_ptr.hpp>
#include <cstdint>
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

  static boost::shared_ptr<IMD5> New();  // a digest with no message under way
  // The digest of `len` bytes in one call.
  static ByteArray digest(void const* data, unsigned int len);
  static ByteArray digest(ByteArray const& data);  // the same for `data`
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

  static boost::shared_ptr<IBase64> New();  // an encoder with no bytes fed
  // The text of `len` bytes in one call.
  static String encode(void const* data, unsigned int len);
  static String encode(ByteArray const& data);  // the same for `data`
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
  static String encode(ByteArray const& data);  // the same for `data`
  // Never fails: an underscore followed by anything but "_" or "0", or
  // at the very end, stands for itself.
  static ByteArray decode(String const& text);
};

// The Tiny Encryption Algorithm (32 cycles, delta 0x9E3779B9) on single
// 8-byte blocks. The key is read as four little-endian words, a block as two
// big-endian words. Enciphering never changes the object, so one keyed TEA
// may serve several threads at once.
class ZU_API TEA {
 public:
  // The zero key.
  TEA();
  // The 16 bytes at `key`; a null pointer sets the zero key.
  void setKey(void const* key);
  // One block from `in` to `out` (both 8 bytes; they may be the same).
  void encodeBlock(void const* in, void* out) const;
  void decodeBlock(void const* in, void* out) const;  // the reverse of encodeBlock

 private:
  std::uint32_t k0_, k1_, k2_, k3_;
};

// Enciphers messages of any length with a key of any length; the output is
// exactly as long as the input (no padding, no length, no integrity check).
// Whole 8-byte blocks go through TEA keyed with MD5(key), each by itself;
// the last 0 to 7 bytes are mixed with a table MD5(MD5(key)). Without a key
// the data are copied through. setKey must not overlap any other call;
// enciphering may run on several threads at once.
class ZU_API ITEAx : public IBase {
 public:
  // Keys the cipher with `key`; an empty key clears it.
  virtual void setKey(ByteArray const& key) = 0;
  // A null `key` or a `len` of 0 clears the key.
  virtual void setKey(void const* key, unsigned int len) = 0;
  // A new array as long as `clear`.
  virtual ByteArray encode(ByteArray const& clear) = 0;
  // `len` bytes from `clear` to `coded` (may be the same buffer); neither
  // may be null, not even for a len of 0 (assertions "clear", "coded").
  virtual void encode(void const* clear, void* coded, unsigned int len) = 0;
  virtual ByteArray decode(ByteArray const& coded) = 0;  // the reverse of encode(ByteArray)
  // `len` bytes from `coded` to `clear`; the same assertions.
  virtual void decode(void const* coded, void* clear, unsigned int len) = 0;

  // Without a key: copies data through.
  static boost::shared_ptr<ITEAx> New();
  static boost::shared_ptr<ITEAx> New(void const* key, unsigned int len);  // keyed with `len` bytes of `key`
  static boost::shared_ptr<ITEAx> New(ByteArray const& key);  // keyed with `key`
};

// `n` random bytes, each the low byte of one zu::util::IRandom::number().
// Not suitable where an attacker must not predict the bytes.
ZU_API ByteArray randKey(unsigned int n);

// The raw RSA function: the input bytes, read as one big-endian number m,
// give m^x mod n, written back as bytes (leading zero bytes of the input do
// not survive; the output is the result's hexadecimal text read back, so a
// result with an odd digit count starts with a byte below 0x10). No padding:
// the caller keeps m below the modulus (a larger m is reduced). Immutable;
// transform may run on several threads at once.
class ZU_API IRSA : public IBase {
 public:
  // The function applied to `message`, as above.
  virtual ByteArray transform(ByteArray const& message) = 0;

  // Exponent `x` and modulus `n` as hexadecimal text.
  static boost::shared_ptr<IRSA> New(String const& x, String const& n);
  // The private function of the key with primes `p`, `q` and public
  // exponent `e`, computed through the Chinese remainder theorem; `extra`
  // is parsed and kept with the key but takes no part. All hexadecimal.
  static boost::shared_ptr<IRSA> New(String const& p, String const& q, String const& e, String const& extra);
};

}  // namespace cypher
}  // namespace zu

#endif
