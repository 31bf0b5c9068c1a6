#include <zu/cypher.h>

#include <boost/make_shared.hpp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace zu {
namespace cypher {
namespace impl {

namespace {

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
  static BigNumber fromHex(String const& text) {
    BigNumber n;
    unsigned int end = text.length();
    while (end > 0) {
      unsigned int const start = end > 8 ? end - 8 : 0;
      n.limbs_.push_back(text.mid(start, end - start).toUnsigned(16));
      end = start;
    }
    n.trim();
    return n;
  }

  // Big-endian bytes; leading zero bytes add nothing.
  static BigNumber fromBytes(unsigned char const* p, unsigned int size) {
    BigNumber n;
    n.limbs_.assign((size + 3) / 4, 0);
    for (unsigned int i = 0; i < size; ++i) {
      unsigned int const bit = 8 * (size - 1 - i);
      n.limbs_[bit / 32] |= Limb(p[i]) << (bit % 32);
    }
    n.trim();
    return n;
  }

  // The top limb without leading zeros ("0" for zero), every other limb as
  // exactly 8 digits; all lower case.
  String toHex() const {
    if (limbs_.empty()) return String("0");
    std::vector<char> text(limbs_.size() * 8 + 1);
    char* p = text.data();
    p += std::snprintf(p, 9, "%x", limbs_.back());
    for (std::size_t i = limbs_.size() - 1; i-- > 0;) p += std::snprintf(p, 9, "%08x", limbs_[i]);
    return String(text.data());
  }

  // The written text read back as bytes (an odd digit count makes the
  // first digit a byte of its own): the big-endian bytes without leading
  // zeros, one zero byte for zero.
  ByteArray toBytes() const {
    if (limbs_.empty()) return ByteArray(1u, 0);
    unsigned int const size = (bitLength() + 7) / 8;
    std::vector<unsigned char> bytes(size);
    for (unsigned int i = 0; i < size; ++i) {
      unsigned int const bit = 8 * (size - 1 - i);
      bytes[i] = static_cast<unsigned char>(limbs_[bit / 32] >> (bit % 32));
    }
    return ByteArray(bytes.data(), size);
  }

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

  static int compare(BigNumber const& a, BigNumber const& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;)
      if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
    return 0;
  }

  static BigNumber add(BigNumber const& a, BigNumber const& b) {
    BigNumber r;
    std::size_t const n = a.size() > b.size() ? a.size() : b.size();
    r.limbs_.resize(n + 1);
    Wide carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
      carry += Wide(a.limb(i)) + b.limb(i);
      r.limbs_[i] = static_cast<Limb>(carry);
      carry >>= 32;
    }
    r.limbs_[n] = static_cast<Limb>(carry);
    r.trim();
    return r;
  }

  // a - b for b <= a.
  static BigNumber subtract(BigNumber const& a, BigNumber const& b) {
    BigNumber r;
    r.limbs_.resize(a.size());
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      std::int64_t t = std::int64_t(a.limbs_[i]) - b.limb(i) - borrow;
      borrow = t < 0;
      r.limbs_[i] = static_cast<Limb>(t);
    }
    r.trim();
    return r;
  }

  static BigNumber multiply(BigNumber const& a, BigNumber const& b) {
    BigNumber r;
    if (a.isZero() || b.isZero()) return r;
    r.limbs_.assign(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
      Wide carry = 0;
      for (std::size_t j = 0; j < b.size(); ++j) {
        carry += Wide(a.limbs_[i]) * b.limbs_[j] + r.limbs_[i + j];
        r.limbs_[i + j] = static_cast<Limb>(carry);
        carry >>= 32;
      }
      r.limbs_[i + b.size()] = static_cast<Limb>(carry);
    }
    r.trim();
    return r;
  }

  // u = q * v + r with r < v; v must not be zero. Knuth's algorithm D on
  // 32-bit digits.
  static void divide(BigNumber const& u, BigNumber const& v, BigNumber* q, BigNumber* r) {
    if (compare(u, v) < 0) {
      if (q) *q = BigNumber();
      if (r) *r = u;
      return;
    }
    std::size_t const n = v.size(), m = u.size();
    if (n == 1) {
      BigNumber quotient;
      quotient.limbs_.resize(m);
      Wide rest = 0;
      for (std::size_t i = m; i-- > 0;) {
        Wide const cur = rest << 32 | u.limbs_[i];
        quotient.limbs_[i] = static_cast<Limb>(cur / v.limbs_[0]);
        rest = cur % v.limbs_[0];
      }
      quotient.trim();
      if (q) *q = quotient;
      if (r) *r = BigNumber(static_cast<Limb>(rest));
      return;
    }
    // Normalise so that the divisor's top limb has its high bit set.
    int const s = __builtin_clz(v.limbs_.back());
    std::vector<Limb> vn(n), un(m + 1);
    for (std::size_t i = n - 1; i > 0; --i)
      vn[i] = s ? (v.limbs_[i] << s | v.limbs_[i - 1] >> (32 - s)) : v.limbs_[i];
    vn[0] = v.limbs_[0] << s;
    un[m] = s ? u.limbs_[m - 1] >> (32 - s) : 0;
    for (std::size_t i = m - 1; i > 0; --i)
      un[i] = s ? (u.limbs_[i] << s | u.limbs_[i - 1] >> (32 - s)) : u.limbs_[i];
    un[0] = u.limbs_[0] << s;

    BigNumber quotient;
    quotient.limbs_.assign(m - n + 1, 0);
    Wide const base = Wide(1) << 32;
    for (std::size_t j = m - n + 1; j-- > 0;) {
      Wide const top = Wide(un[j + n]) << 32 | un[j + n - 1];
      Wide qhat = top / vn[n - 1];
      Wide rhat = top % vn[n - 1];
      while (qhat >= base || qhat * vn[n - 2] > (rhat << 32 | un[j + n - 2])) {
        --qhat;
        rhat += vn[n - 1];
        if (rhat >= base) break;
      }
      // un[j .. j+n] -= qhat * vn
      std::int64_t k = 0, t;
      for (std::size_t i = 0; i < n; ++i) {
        Wide const p = qhat * vn[i];
        t = std::int64_t(un[i + j]) - k - std::int64_t(p & 0xFFFFFFFFu);
        un[i + j] = static_cast<Limb>(t);
        k = std::int64_t(p >> 32) - (t >> 32);
      }
      t = std::int64_t(un[j + n]) - k;
      un[j + n] = static_cast<Limb>(t);
      if (t < 0) {
        // qhat was one too large: add the divisor back.
        --qhat;
        Wide c = 0;
        for (std::size_t i = 0; i < n; ++i) {
          c += Wide(un[i + j]) + vn[i];
          un[i + j] = static_cast<Limb>(c);
          c >>= 32;
        }
        un[j + n] += static_cast<Limb>(c);
      }
      quotient.limbs_[j] = static_cast<Limb>(qhat);
    }
    quotient.trim();
    if (q) *q = quotient;
    if (r) {
      BigNumber rest;
      rest.limbs_.resize(n);
      for (std::size_t i = 0; i < n; ++i)
        rest.limbs_[i] = s ? (un[i] >> s | un[i + 1] << (32 - s)) : un[i];
      rest.trim();
      *r = rest;
    }
  }

  static BigNumber mod(BigNumber const& a, BigNumber const& m) {
    BigNumber r;
    divide(a, m, nullptr, &r);
    return r;
  }

  // a^-1 mod m (extended Euclid with the coefficients kept modulo m);
  // false when a and m share a factor or m < 2.
  static bool inverse(BigNumber const& a, BigNumber const& m, BigNumber& result) {
    if (compare(m, BigNumber(2)) < 0) return false;
    BigNumber r0 = m, r1 = mod(a, m);
    BigNumber t0, t1(1);
    while (!r1.isZero()) {
      BigNumber q, r2;
      divide(r0, r1, &q, &r2);
      // t2 = t0 - q * t1 (mod m)
      BigNumber const qt = mod(multiply(q, t1), m);
      BigNumber const t2 = compare(t0, qt) >= 0 ? subtract(t0, qt) : subtract(add(t0, m), qt);
      r0 = r1;
      r1 = r2;
      t0 = t1;
      t1 = t2;
    }
    if (compare(r0, BigNumber(1)) != 0) return false;
    result = t0;
    return true;
  }

  std::vector<Limb>& limbs() { return limbs_; }
  void trim() {
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
  }

 private:
  std::vector<Limb> limbs_;
};

#if defined(__x86_64__) && defined(__GNUC__)
// Whether the processor has MULX (BMI2) and ADCX/ADOX (ADX): two carry
// chains in one row of multiply-adds, each step without waiting for the
// other's carry.
bool haveCarryChains() {
  static bool const have = __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("adx");
  return have;
}

// t[0..15] += q * m[0..15] + carryIn (added at t[0]); returns the digit
// carried out of t[15]. ADCX adds the low halves along the carry flag, ADOX
// the high halves of the previous step along the overflow flag.
inline std::uint64_t multiplyAddRow16(std::uint64_t* t, std::uint64_t const* m, std::uint64_t q,
                                      std::uint64_t carryIn) {
  std::uint64_t acc, lo, hi, zero = 0;
  std::uint64_t previous = carryIn;
  __asm__(
      "xorl %k[acc], %k[acc]\n\t"  // clears both flags
#define ZU_RSA_STEP(j)                          \
  "mulx " #j "*8(%[m]), %[lo], %[hi]\n\t"      \
  "movq " #j "*8(%[t]), %[acc]\n\t"            \
  "adcx %[lo], %[acc]\n\t"                     \
  "adox %[previous], %[acc]\n\t"               \
  "movq %[acc], " #j "*8(%[t])\n\t"            \
  "movq %[hi], %[previous]\n\t"
      ZU_RSA_STEP(0) ZU_RSA_STEP(1) ZU_RSA_STEP(2) ZU_RSA_STEP(3) ZU_RSA_STEP(4) ZU_RSA_STEP(5)
      ZU_RSA_STEP(6) ZU_RSA_STEP(7) ZU_RSA_STEP(8) ZU_RSA_STEP(9) ZU_RSA_STEP(10) ZU_RSA_STEP(11)
      ZU_RSA_STEP(12) ZU_RSA_STEP(13) ZU_RSA_STEP(14) ZU_RSA_STEP(15)
#undef ZU_RSA_STEP
      // The last high half with both pending carries; it cannot overflow.
      "adcx %[zero], %[previous]\n\t"
      "adox %[zero], %[previous]\n\t"
      : [acc] "=&r"(acc), [lo] "=&r"(lo), [hi] "=&r"(hi), [previous] "+&r"(previous)
      : [t] "r"(t), [m] "r"(m), "d"(q), [zero] "r"(zero)
      : "cc", "memory");
  return previous;
}
#else
bool haveCarryChains() { return false; }
inline std::uint64_t multiplyAddRow16(std::uint64_t*, std::uint64_t const*, std::uint64_t, std::uint64_t) {
  return 0;
}
#endif

// Montgomery arithmetic modulo an odd m, on 64-bit digits (a quarter of
// the multiplications of 32-bit ones) with radix R = 2^(64k). Products are
// formed whole, then reduced; squares form each cross product once.
// Immutable once made: a key keeps one per modulus and shares it between
// threads.
class Montgomery {
 public:
  typedef std::uint64_t Digit;
  typedef unsigned __int128 Double;

  explicit Montgomery(BigNumber const& m) : k_((m.size() + 1) / 2), m_(digits(m)) {
    // -m^-1 mod 2^64 by Newton's iteration (each step doubles the bits).
    Digit inv = 1;
    for (int i = 0; i < 6; ++i) inv *= 2 - m_[0] * inv;
    n0_ = 0 - inv;
    BigNumber r2;
    r2.limbs().assign(4 * k_, 0);
    r2.limbs().push_back(1);
    r2_ = digits(BigNumber::mod(r2, m));
  }

  // b^x mod m for b below m and x not zero: left to right, with a sliding
  // window over the exponent's bits and a table of the base's odd powers.
  BigNumber power(BigNumber const& b, BigNumber const& x) const {
    // The usual halves of 2048- and 4096-bit keys get loops of a fixed
    // length, which the compiler unrolls.
    switch (k_) {
      case 8: return power<8>(b, x);
      case 16: return power<16>(b, x);
      case 32: return power<32>(b, x);
      default: return power<0>(b, x);
    }
  }

 private:
  // K is the digit count, or 0 for any (then k_).
  template <std::size_t K>
  BigNumber power(BigNumber const& b, BigNumber const& x) const {
    std::size_t const k = K ? K : k_;
    unsigned int const bits = x.bitLength();
    unsigned int const window = bits > 671 ? 6 : bits > 239 ? 5 : bits > 79 ? 4 : bits > 23 ? 3 : 1;
    std::size_t const entries = std::size_t(1) << (window - 1);
    // One block: the table, the accumulator, a square and the scratch.
    std::vector<Digit> block(k * (entries + 2) + 2 * k + 1);
    Digit* const table = block.data();
    Digit* const acc = table + k * entries;
    Digit* const b2 = acc + k;
    Digit* const t = b2 + k;

    std::vector<Digit> const base = digits(b);
    multiply<K>(base.data(), r2_.data(), table, t);
    if (entries > 1) {
      square<K>(table, b2, t);
      for (std::size_t i = 1; i < entries; ++i) multiply<K>(table + (i - 1) * k, b2, table + i * k, t);
    }

    bool started = false;
    int i = int(bits) - 1;
    while (i >= 0) {
      if (!x.bit(unsigned(i))) {
        square<K>(acc, acc, t);
        --i;
        continue;
      }
      // The longest window of at most `window` bits from bit i down that
      // ends in a set bit.
      int low = i - int(window) + 1;
      if (low < 0) low = 0;
      while (!x.bit(unsigned(low))) ++low;
      unsigned int value = 0;
      for (int j = i; j >= low; --j) value = value << 1 | unsigned(x.bit(unsigned(j)));
      Digit const* const power = table + (value >> 1) * k;
      if (!started) {
        for (std::size_t j = 0; j < k; ++j) acc[j] = power[j];
        started = true;
      } else {
        for (int j = i; j >= low; --j) square<K>(acc, acc, t);
        multiply<K>(acc, power, acc, t);
      }
      i = low - 1;
    }
    // Out of Montgomery form: one reduction of the bare value.
    for (std::size_t j = 0; j < k; ++j) t[j] = acc[j];
    for (std::size_t j = k; j < 2 * k; ++j) t[j] = 0;
    reduce<K>(t, acc);
    BigNumber n;
    n.limbs().resize(2 * k);
    for (std::size_t j = 0; j < k; ++j) {
      n.limbs()[2 * j] = static_cast<Limb>(acc[j]);
      n.limbs()[2 * j + 1] = static_cast<Limb>(acc[j] >> 32);
    }
    n.trim();
    return n;
  }

  // out = a * b / R mod m for a, b below m (out may be a or b); `t` holds
  // 2k + 1 digits of scratch.
  template <std::size_t K>
  void multiply(Digit const* a, Digit const* b, Digit* out, Digit* t) const {
    std::size_t const k = K ? K : k_;
    if (K != 0 && K % 2 == 0) {
      // Two rows at once: their carries form two independent chains, which
      // the processor overlaps.
      for (std::size_t j = 0; j < 2 * k; ++j) t[j] = 0;
      for (std::size_t i = 0; i < k; i += 2) {
        Digit const a0 = a[i], a1 = a[i + 1];
        Digit* const row = t + i;
        Double c0 = Double(a0) * b[0] + row[0];
        row[0] = static_cast<Digit>(c0);
        c0 >>= 64;
        Double c1 = 0;
        for (std::size_t j = 1; j < k; ++j) {
          c0 += Double(a0) * b[j] + row[j];
          Digit const x = static_cast<Digit>(c0);
          c0 >>= 64;
          c1 += Double(a1) * b[j - 1] + x;
          row[j] = static_cast<Digit>(c1);
          c1 >>= 64;
        }
        c1 += Double(a1) * b[k - 1] + static_cast<Digit>(c0);
        row[k] = static_cast<Digit>(c1);
        row[k + 1] = static_cast<Digit>(c1 >> 64);
      }
      reduce<K>(t, out);
      return;
    }
    Digit const a0 = a[0];
    {
      Double c = 0;
      for (std::size_t j = 0; j < k; ++j) {
        c += Double(a0) * b[j];
        t[j] = static_cast<Digit>(c);
        c >>= 64;
      }
      t[k] = static_cast<Digit>(c);
    }
    for (std::size_t i = 1; i < k; ++i) {
      Digit const ai = a[i];
      Digit* const row = t + i;
      Double c = 0;
      for (std::size_t j = 0; j < k; ++j) {
        c += Double(ai) * b[j] + row[j];
        row[j] = static_cast<Digit>(c);
        c >>= 64;
      }
      row[k] = static_cast<Digit>(c);
    }
    reduce<K>(t, out);
  }

  // out = a * a / R mod m; `t` as for multiply.
  template <std::size_t K>
  void square(Digit const* a, Digit* out, Digit* t) const {
    std::size_t const k = K ? K : k_;
    // The cross products a[i] a[j], i < j, once each.
    for (std::size_t j = 0; j < 2 * k; ++j) t[j] = 0;
    std::size_t first = 0;
    if (K != 0) {
      // Two rows at once, as in multiply; the second row starts two digits
      // further on.
      for (; first + 2 < k; first += 2) {
        std::size_t const i = first, n = k - i - 1;
        Digit const a0 = a[i], a1 = a[i + 1];
        Digit* const row = t + 2 * i + 1;
        Double c0 = Double(a0) * a[i + 1] + row[0];
        row[0] = static_cast<Digit>(c0);
        c0 >>= 64;
        c0 += Double(a0) * a[i + 2] + row[1];
        row[1] = static_cast<Digit>(c0);
        c0 >>= 64;
        Double c1 = 0;
        for (std::size_t j = 2; j < n; ++j) {
          c0 += Double(a0) * a[i + 1 + j] + row[j];
          Digit const x = static_cast<Digit>(c0);
          c0 >>= 64;
          c1 += Double(a1) * a[i + j] + x;
          row[j] = static_cast<Digit>(c1);
          c1 >>= 64;
        }
        c1 += Double(a1) * a[k - 1] + static_cast<Digit>(c0);
        row[n] = static_cast<Digit>(c1);
        row[n + 1] = static_cast<Digit>(c1 >> 64);
      }
    }
    for (std::size_t i = first; i + 1 < k; ++i) {
      Digit const ai = a[i];
      Digit* const row = t + 2 * i + 1;
      Double c = 0;
      std::size_t const n = k - i - 1;
      for (std::size_t j = 0; j < n; ++j) {
        c += Double(ai) * a[i + 1 + j] + row[j];
        row[j] = static_cast<Digit>(c);
        c >>= 64;
      }
      row[n] = static_cast<Digit>(c);
    }
    // Doubled, plus the squares on the diagonal.
    Digit shifted = 0;
    Double c = 0;
    for (std::size_t i = 0; i < k; ++i) {
      Double const sq = Double(a[i]) * a[i];
      Digit const lo = t[2 * i], hi = t[2 * i + 1];
      Digit const dlo = lo << 1 | shifted;
      Digit const dhi = hi << 1 | lo >> 63;
      shifted = hi >> 63;
      c += Double(dlo) + static_cast<Digit>(sq);
      t[2 * i] = static_cast<Digit>(c);
      c >>= 64;
      c += Double(dhi) + static_cast<Digit>(sq >> 64);
      t[2 * i + 1] = static_cast<Digit>(c);
      c >>= 64;
    }
    reduce<K>(t, out);
  }

  // out = t / R mod m for t (2k digits) below m R; t is overwritten.
  template <std::size_t K>
  void reduce(Digit* t, Digit* out) const {
    std::size_t const k = K ? K : k_;
    Digit const* const m = m_.data();
    Digit top = 0;
    if (K != 0 && K % 16 == 0 && haveCarryChains()) {
      for (std::size_t i = 0; i < k; ++i) {
        Digit* const row = t + i;
        Digit const q = row[0] * n0_;
        Digit carry = 0;
        for (std::size_t j = 0; j < k; j += 16) carry = multiplyAddRow16(row + j, m + j, q, carry);
        Double const s = Double(row[k]) + carry + top;
        row[k] = static_cast<Digit>(s);
        top = static_cast<Digit>(s >> 64);
      }
    } else if (K != 0 && K % 2 == 0) {
      // Two rows at once, as in multiply: the second row's factor depends
      // only on the first row's first two digits.
      for (std::size_t i = 0; i < k; i += 2) {
        Digit* const row = t + i;
        Digit const q0 = row[0] * n0_;
        Double c0 = (Double(q0) * m[0] + row[0]) >> 64;
        c0 += Double(q0) * m[1] + row[1];
        Digit const x1 = static_cast<Digit>(c0);
        c0 >>= 64;
        Digit const q1 = x1 * n0_;
        Double c1 = (Double(q1) * m[0] + x1) >> 64;
#pragma GCC unroll 16
        for (std::size_t j = 2; j < k; ++j) {
          c0 += Double(q0) * m[j] + row[j];
          Digit const x = static_cast<Digit>(c0);
          c0 >>= 64;
          c1 += Double(q1) * m[j - 1] + x;
          row[j] = static_cast<Digit>(c1);
          c1 >>= 64;
        }
        Double const s0 = Double(row[k]) + static_cast<Digit>(c0) + top;
        c1 += Double(q1) * m[k - 1] + static_cast<Digit>(s0);
        row[k] = static_cast<Digit>(c1);
        c1 >>= 64;
        Double const s1 = Double(row[k + 1]) + static_cast<Digit>(c1) + static_cast<Digit>(s0 >> 64);
        row[k + 1] = static_cast<Digit>(s1);
        top = static_cast<Digit>(s1 >> 64);
      }
    } else {
      for (std::size_t i = 0; i < k; ++i) {
        Digit* const row = t + i;
        Digit const q = row[0] * n0_;
        Double c = 0;
        for (std::size_t j = 0; j < k; ++j) {
          c += Double(q) * m[j] + row[j];
          row[j] = static_cast<Digit>(c);
          c >>= 64;
        }
        Double const s = Double(row[k]) + static_cast<Digit>(c) + top;
        row[k] = static_cast<Digit>(s);
        top = static_cast<Digit>(s >> 64);
      }
    }
    // t / R < 2m: one subtraction at most.
    Digit const* const r = t + k;
    bool geq = top != 0;
    if (!geq) {
      geq = true;
      for (std::size_t i = k; i-- > 0;)
        if (r[i] != m[i]) {
          geq = r[i] > m[i];
          break;
        }
    }
    if (geq) {
      Digit borrow = 0;
      for (std::size_t i = 0; i < k; ++i) {
        Double const d = Double(r[i]) - m[i] - borrow;
        out[i] = static_cast<Digit>(d);
        borrow = static_cast<Digit>(d >> 64) & 1;
      }
    } else {
      for (std::size_t i = 0; i < k; ++i) out[i] = r[i];
    }
  }

  std::vector<Digit> digits(BigNumber const& x) const {
    std::vector<Digit> v(k_, 0);
    for (std::size_t i = 0; i < k_; ++i) v[i] = Digit(x.limb(2 * i)) | Digit(x.limb(2 * i + 1)) << 32;
    return v;
  }

  std::size_t k_;
  std::vector<Digit> m_;
  Digit n0_;
  std::vector<Digit> r2_;
};

// b^x mod m with the modulus' Montgomery context, when it has one (odd m),
// else by plain multiplication and division. m must not be zero.
BigNumber powerMod(BigNumber const& b, BigNumber const& x, BigNumber const& m, Montgomery const* mont) {
  if (BigNumber::compare(m, BigNumber(1)) == 0) return BigNumber();
  BigNumber const base = BigNumber::mod(b, m);
  unsigned int const bits = x.bitLength();
  if (bits == 0) return BigNumber(1);  // x^0, also 0^0
  if (mont) return mont->power(base, x);
  BigNumber acc(1), sq = base;
  for (unsigned int i = 0; i < bits; ++i) {
    if (x.bit(i)) acc = BigNumber::mod(BigNumber::multiply(acc, sq), m);
    if (i + 1 < bits) sq = BigNumber::mod(BigNumber::multiply(sq, sq), m);
  }
  return acc;
}

// A Montgomery context for an odd modulus above 1, else none.
std::unique_ptr<Montgomery> contextFor(BigNumber const& m) {
  if (!m.isOdd() || BigNumber::compare(m, BigNumber(1)) == 0) return nullptr;
  return std::unique_ptr<Montgomery>(new Montgomery(m));
}

}  // namespace

class RSA : public IRSA {
 public:
  RSA(BigNumber n, BigNumber x) : n_(std::move(n)), x_(std::move(x)), mont_(contextFor(n_)) {}

  ByteArray transform(ByteArray const& message) override {
    if (n_.isZero()) return ByteArray();  // no modulus, no result
    BigNumber const m = BigNumber::fromBytes(message.ptr(), message.size());
    return powerMod(m, x_, n_, mont_.get()).toBytes();
  }

 private:
  BigNumber n_, x_;
  std::unique_ptr<Montgomery> mont_;
};

class RSA_PQ : public IRSA {
 public:
  RSA_PQ(BigNumber extra, BigNumber e, BigNumber p, BigNumber q)
      : extra_(std::move(extra)), e_(std::move(e)), p_(std::move(p)), q_(std::move(q)) {
    BigNumber const one(1);
    if (BigNumber::compare(p_, one) <= 0 || BigNumber::compare(q_, one) <= 0) return;
    BigNumber const p1 = BigNumber::subtract(p_, one), q1 = BigNumber::subtract(q_, one);
    BigNumber d;
    if (!BigNumber::inverse(e_, BigNumber::multiply(p1, q1), d)) return;
    if (!BigNumber::inverse(p_, q_, pInv_)) return;
    dP_ = BigNumber::mod(d, p1);
    dQ_ = BigNumber::mod(d, q1);
    monP_ = contextFor(p_);
    monQ_ = contextFor(q_);
    usable_ = true;
  }

  ByteArray transform(ByteArray const& message) override {
    if (!usable_) return ByteArray();
    BigNumber const m = BigNumber::fromBytes(message.ptr(), message.size());
    BigNumber const m1 = powerMod(m, dP_, p_, monP_.get());
    BigNumber const m2 = powerMod(m, dQ_, q_, monQ_.get());
    // h = (m2 - m1) pInv mod q. m1 is reduced modulo q first: with p > q,
    // m1 may exceed m2 + q.
    BigNumber const m1q = BigNumber::mod(m1, q_);
    BigNumber const diff = BigNumber::compare(m2, m1q) >= 0 ? BigNumber::subtract(m2, m1q)
                                                            : BigNumber::subtract(BigNumber::add(m2, q_), m1q);
    BigNumber const h = BigNumber::mod(BigNumber::multiply(diff, pInv_), q_);
    return BigNumber::add(m1, BigNumber::multiply(p_, h)).toBytes();
  }

 private:
  BigNumber extra_;  // kept with the key, never used
  BigNumber e_, p_, q_;
  BigNumber pInv_, dP_, dQ_;
  std::unique_ptr<Montgomery> monP_, monQ_;
  // False for keys outside the supported forms (a prime below 2, e without
  // an inverse modulo (p-1)(q-1), p without one modulo q).
  bool usable_ = false;
};

}  // namespace impl

boost::shared_ptr<IRSA> IRSA::New(String const& x, String const& n) {
  return boost::make_shared<impl::RSA>(impl::BigNumber::fromHex(n), impl::BigNumber::fromHex(x));
}

boost::shared_ptr<IRSA> IRSA::New(String const& p, String const& q, String const& e, String const& extra) {
  return boost::make_shared<impl::RSA_PQ>(impl::BigNumber::fromHex(extra), impl::BigNumber::fromHex(e),
                                          impl::BigNumber::fromHex(p), impl::BigNumber::fromHex(q));
}

}  // namespace cypher
}  // namespace zu
