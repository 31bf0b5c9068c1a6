// zu::ByteArray: a resizable block of bytes shared between copies until one
// of them changes (copy-on-write). The block is always exactly size() bytes.
#ifndef ZU_BYTEARRAY_H
#define ZU_BYTEARRAY_H

#include <type_traits>
#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/string.h>

namespace zu {

namespace __ {
// A malloc'ed block of exactly `size` bytes (null when size is 0).
struct ByteArrayStub {
  unsigned char* data;
  unsigned int size;
};
}  // namespace __

class ZU_API ByteArray {
 public:
  ByteArray();
  // `size` bytes of unspecified content.
  explicit ByteArray(unsigned int size);
  ByteArray(unsigned int size, unsigned char fill);  // `size` bytes of `fill`
  // Hexadecimal digits in either case, high nibble first; an odd count
  // makes the first digit a byte of its own. Any other character gives an
  // empty array.
  explicit ByteArray(String const& hex);
  // A copy of `size` bytes at `data` (nothing for a null pointer). Only
  // pointers bind here, so that ByteArray(0, fill) stays size and fill.
  template <class P, typename std::enable_if<std::is_pointer<P>::value || std::is_null_pointer<P>::value,
                                             int>::type = 0>
  ByteArray(P data, unsigned int size) : ByteArray(CopyOf(), static_cast<void const*>(data), size) {}

  ByteArray(ByteArray const&) = default;  // shares the bytes until either side changes
  ByteArray(ByteArray&& other) noexcept;  // takes the bytes; `other` is left empty
  ByteArray& operator=(ByteArray const&) = default;  // shares the bytes until either side changes
  ByteArray& operator=(ByteArray&& other) noexcept;  // takes the bytes; `other` is left empty

  unsigned int size() const;  // the number of bytes
  bool empty() const;  // size() == 0
  // Read-only view; may be null when empty.
  unsigned char const* ptr() const;
  // A shorter array sorts first; equal sizes compare bytewise as unsigned.
  int compare(ByteArray const& other) const;
  // Two lower-case hexadecimal digits per byte.
  String toHex() const;

  // Kept bytes keep their values; new bytes are unspecified (first form)
  // or `fill` (second form).
  void resize(unsigned int size);
  void resize(unsigned int size, unsigned char fill);  // new bytes are `fill`
  // Detaches, grows to at least `size` bytes (never shrinks) and returns
  // the writable block.
  unsigned char* getBuffer(unsigned int size);
  unsigned char* getBuffer(unsigned int size, unsigned char fill);  // new bytes are `fill`

 private:
  struct CopyOf {};
  ByteArray(CopyOf, void const* data, unsigned int size);

  boost::shared_ptr<__::ByteArrayStub> stub_;
};

inline bool operator==(ByteArray const& a, ByteArray const& b) { return a.compare(b) == 0; }  // same size and bytes
inline bool operator!=(ByteArray const& a, ByteArray const& b) { return a.compare(b) != 0; }  // not ==
inline bool operator<(ByteArray const& a, ByteArray const& b) { return a.compare(b) < 0; }  // in compare() order

}  // namespace zu

#endif
