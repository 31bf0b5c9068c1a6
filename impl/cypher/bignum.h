// Arbitrary-precision unsigned arithmetic for RSA: numbers of any size,
// and exponentiation modulo a number through Montgomery's reduction.
#ifndef ZU_IMPL_CYPHER_BIGNUM_H
#define ZU_IMPL_CYPHER_BIGNUM_H

#include <zu/bytearray.h>
#include <zu/string.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zu {
namespace cypher {
namespace impl {

typedef std::uint32_t Limb;
typedef std::uint64_t Wide;

// An unsigned integer of any size: 32-bit limbs, least significant first,
// without zero limbs at the top (zero has no limbs).
class BigNumber {
 public:
  BigNumber() = default;
  explicit BigNumber(Limb v) {
    if (v) limbs_.push_back(v);
  }

  // Hexadecimal text cut into 8-digit pieces from the right; each piece is
  // read as String::toUnsigned reads base 16.
  static BigNumber fromHex(String const& text);

  // Big-endian bytes; leading zero bytes add nothing.
  static BigNumber fromBytes(unsigned char const* p, unsigned int size);

  // The top limb without leading zeros ("0" for zero), every other limb as
  // exactly 8 digits; all lower case.
  String toHex() const;

  // The written text read back as bytes (an odd digit count makes the
  // first digit a byte of its own): the big-endian bytes without leading
  // zeros, one zero byte for zero.
  ByteArray toBytes() const;

  bool isZero() const { return limbs_.empty(); }
  bool isOdd() const { return !limbs_.empty() && (limbs_[0] & 1); }
  std::size_t size() const { return limbs_.size(); }
  Limb limb(std::size_t i) const { return i < limbs_.size() ? limbs_[i] : 0; }
  Limb const* data() const { return limbs_.data(); }

  unsigned int bitLength() const {
    if (limbs_.empty()) return 0;
    return static_cast<unsigned int>(32 * limbs_.size() - __builtin_clz(limbs_.back()));
  }
  bool bit(unsigned int i) const { return (limb(i / 32) >> (i % 32)) & 1; }

  static int compare(BigNumber const& a, BigNumber const& b);

  static BigNumber add(BigNumber const& a, BigNumber const& b);

  // a - b for b <= a.
  static BigNumber subtract(BigNumber const& a, BigNumber const& b);

  static BigNumber multiply(BigNumber const& a, BigNumber const& b);

  // u = q * v + r with r < v; v must not be zero. Knuth's algorithm D on
  // 32-bit digits.
  static void divide(BigNumber const& u, BigNumber const& v, BigNumber* q, BigNumber* r);

  static BigNumber mod(BigNumber const& a, BigNumber const& m);

  // a^-1 mod m (extended Euclid with the coefficients kept modulo m);
  // false when a and m share a factor or m < 2.
  static bool inverse(BigNumber const& a, BigNumber const& m, BigNumber& result);

  std::vector<Limb>& limbs() { return limbs_; }
  void trim() {
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
  }

 private:
  std::vector<Limb> limbs_;
};

// The unsigned type that holds the product of two digits.
template <class Digit>
struct DoubleDigit;
template <>
struct DoubleDigit<std::uint32_t> {
  typedef std::uint64_t Type;
};
#ifdef __SIZEOF_INT128__
template <>
struct DoubleDigit<std::uint64_t> {
  typedef unsigned __int128 Type;
};
#endif

// Montgomery arithmetic modulo an odd m above 1, on digits of `Digit`
// (std::uint32_t, or std::uint64_t where the compiler has a 128-bit
// product) with radix R = 2^(bits of a digit * k). Products are formed
// whole, then reduced; squares form each cross product once. Immutable once
// made: a key keeps one per modulus and shares it between threads.
template <class Digit>
class Montgomery {
 public:
  explicit Montgomery(BigNumber const& m);

  // b^x mod m for b below m and x not zero: left to right, with a sliding
  // window over the exponent's bits and a table of the base's odd powers.
  BigNumber power(BigNumber const& b, BigNumber const& x) const;

 private:
  typedef typename DoubleDigit<Digit>::Type Double;
  static constexpr unsigned int digitBits = 8 * sizeof(Digit);
  static constexpr std::size_t limbsPerDigit = sizeof(Digit) / sizeof(Limb);

  template <std::size_t K>
  BigNumber power(BigNumber const& b, BigNumber const& x) const;
  template <std::size_t K>
  void multiply(Digit const* a, Digit const* b, Digit* out, Digit* t) const;
  template <std::size_t K>
  void square(Digit const* a, Digit* out, Digit* t) const;
  template <std::size_t K>
  void reduce(Digit* t, Digit* out) const;
  std::vector<Digit> digits(BigNumber const& x) const;

  std::size_t k_;
  std::vector<Digit> m_;
  Digit n0_;
  std::vector<Digit> r2_;
};

// The digits RSA works on: 64 bits where the compiler has a 128-bit product
// (a quarter of the multiplications of 32-bit ones), else 32 bits, whose
// products fit the standard 64-bit type (32-bit targets).
#ifdef __SIZEOF_INT128__
typedef Montgomery<std::uint64_t> ModularContext;
#else
typedef Montgomery<std::uint32_t> ModularContext;
#endif

// b^x mod m with the modulus' Montgomery context, when it has one (odd m),
// else by plain multiplication and division. m must not be zero.
BigNumber powerMod(BigNumber const& b, BigNumber const& x, BigNumber const& m, ModularContext const* mont);

// A Montgomery context for an odd modulus above 1, else none.
std::unique_ptr<ModularContext> contextFor(BigNumber const& m);

}  // namespace impl
}  // namespace cypher
}  // namespace zu

#endif
