// Arbitrary-precision arithmetic: the numbers' operations (schoolbook
// products, Knuth's division, Euclid's inverse) and Montgomery
// exponentiation, with products formed whole and then reduced.
#include "cypher/bignum.h"

#include <cstdio>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace zu {
namespace cypher {
namespace impl {

BigNumber BigNumber::fromHex(String const& text) {
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

BigNumber BigNumber::fromBytes(unsigned char const* p, unsigned int size) {
  BigNumber n;
  n.limbs_.assign((size + 3) / 4, 0);
  for (unsigned int i = 0; i < size; ++i) {
    unsigned int const bit = 8 * (size - 1 - i);
    n.limbs_[bit / 32] |= Limb(p[i]) << (bit % 32);
  }
  n.trim();
  return n;
}

String BigNumber::toHex() const {
  if (limbs_.empty()) return String("0");
  std::vector<char> text(limbs_.size() * 8 + 1);
  char* p = text.data();
  p += std::snprintf(p, 9, "%x", limbs_.back());
  for (std::size_t i = limbs_.size() - 1; i-- > 0;) p += std::snprintf(p, 9, "%08x", limbs_[i]);
  return String(text.data());
}

ByteArray BigNumber::toBytes() const {
  if (limbs_.empty()) return ByteArray(1u, 0);
  unsigned int const size = (bitLength() + 7) / 8;
  std::vector<unsigned char> bytes(size);
  for (unsigned int i = 0; i < size; ++i) {
    unsigned int const bit = 8 * (size - 1 - i);
    bytes[i] = static_cast<unsigned char>(limbs_[bit / 32] >> (bit % 32));
  }
  return ByteArray(bytes.data(), size);
}

int BigNumber::compare(BigNumber const& a, BigNumber const& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = a.size(); i-- > 0;)
    if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
  return 0;
}

BigNumber BigNumber::add(BigNumber const& a, BigNumber const& b) {
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

BigNumber BigNumber::subtract(BigNumber const& a, BigNumber const& b) {
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

BigNumber BigNumber::multiply(BigNumber const& a, BigNumber const& b) {
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

void BigNumber::divide(BigNumber const& u, BigNumber const& v, BigNumber* q, BigNumber* r) {
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

BigNumber BigNumber::mod(BigNumber const& a, BigNumber const& m) {
  BigNumber r;
  divide(a, m, nullptr, &r);
  return r;
}

bool BigNumber::inverse(BigNumber const& a, BigNumber const& m, BigNumber& result) {
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

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
// Whether the processor has MULX (BMI2) and ADCX/ADOX (ADX): two carry
// chains in one row of multiply-adds, each step without waiting for the
// other's carry.
bool haveCarryChains() {
  // Read from CPUID leaf 7 (EBX bit 8 BMI2, bit 19 ADX): not every
  // compiler's __builtin_cpu_supports knows "adx".
  static bool const have = [] {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & (1u << 8)) != 0 && (ebx & (1u << 19)) != 0;
  }();
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

}  // namespace

template <class Digit>
Montgomery<Digit>::Montgomery(BigNumber const& m)
    : k_((m.size() + limbsPerDigit - 1) / limbsPerDigit), m_(digits(m)) {
  // -m^-1 mod 2^digitBits by Newton's iteration (each step doubles the
  // bits: six reach 64).
  Digit inv = 1;
  for (int i = 0; i < 6; ++i) inv *= 2 - m_[0] * inv;
  n0_ = 0 - inv;
  BigNumber r2;
  r2.limbs().assign(2 * k_ * limbsPerDigit, 0);
  r2.limbs().push_back(1);
  r2_ = digits(BigNumber::mod(r2, m));
}

template <class Digit>
BigNumber Montgomery<Digit>::power(BigNumber const& b, BigNumber const& x) const {
  // The usual halves of 2048- and 4096-bit keys get loops of a fixed
  // length, which the compiler unrolls.
  switch (k_ * digitBits) {
    case 512: return power<512 / digitBits>(b, x);
    case 1024: return power<1024 / digitBits>(b, x);
    case 2048: return power<2048 / digitBits>(b, x);
    default: return power<0>(b, x);
  }
}

// K is the digit count, or 0 for any (then k_).
template <class Digit>
template <std::size_t K>
BigNumber Montgomery<Digit>::power(BigNumber const& b, BigNumber const& x) const {
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
  n.limbs().resize(limbsPerDigit * k);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t l = 0; l < limbsPerDigit; ++l)
      n.limbs()[limbsPerDigit * j + l] = static_cast<Limb>(acc[j] >> (32 * l));
  n.trim();
  return n;
}

// out = a * b / R mod m for a, b below m (out may be a or b); `t` holds
// 2k + 1 digits of scratch.
template <class Digit>
template <std::size_t K>
void Montgomery<Digit>::multiply(Digit const* a, Digit const* b, Digit* out, Digit* t) const {
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
      c0 >>= digitBits;
      Double c1 = 0;
      for (std::size_t j = 1; j < k; ++j) {
        c0 += Double(a0) * b[j] + row[j];
        Digit const x = static_cast<Digit>(c0);
        c0 >>= digitBits;
        c1 += Double(a1) * b[j - 1] + x;
        row[j] = static_cast<Digit>(c1);
        c1 >>= digitBits;
      }
      c1 += Double(a1) * b[k - 1] + static_cast<Digit>(c0);
      row[k] = static_cast<Digit>(c1);
      row[k + 1] = static_cast<Digit>(c1 >> digitBits);
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
      c >>= digitBits;
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
      c >>= digitBits;
    }
    row[k] = static_cast<Digit>(c);
  }
  reduce<K>(t, out);
}

// out = a * a / R mod m; `t` as for multiply.
template <class Digit>
template <std::size_t K>
void Montgomery<Digit>::square(Digit const* a, Digit* out, Digit* t) const {
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
      c0 >>= digitBits;
      c0 += Double(a0) * a[i + 2] + row[1];
      row[1] = static_cast<Digit>(c0);
      c0 >>= digitBits;
      Double c1 = 0;
      for (std::size_t j = 2; j < n; ++j) {
        c0 += Double(a0) * a[i + 1 + j] + row[j];
        Digit const x = static_cast<Digit>(c0);
        c0 >>= digitBits;
        c1 += Double(a1) * a[i + j] + x;
        row[j] = static_cast<Digit>(c1);
        c1 >>= digitBits;
      }
      c1 += Double(a1) * a[k - 1] + static_cast<Digit>(c0);
      row[n] = static_cast<Digit>(c1);
      row[n + 1] = static_cast<Digit>(c1 >> digitBits);
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
      c >>= digitBits;
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
    Digit const dhi = hi << 1 | lo >> (digitBits - 1);
    shifted = hi >> (digitBits - 1);
    c += Double(dlo) + static_cast<Digit>(sq);
    t[2 * i] = static_cast<Digit>(c);
    c >>= digitBits;
    c += Double(dhi) + static_cast<Digit>(sq >> digitBits);
    t[2 * i + 1] = static_cast<Digit>(c);
    c >>= digitBits;
  }
  reduce<K>(t, out);
}

// out = t / R mod m for t (2k digits) below m R; t is overwritten.
template <class Digit>
template <std::size_t K>
void Montgomery<Digit>::reduce(Digit* t, Digit* out) const {
  std::size_t const k = K ? K : k_;
  Digit const* const m = m_.data();
  Digit top = 0;
  bool reduced = false;
  if constexpr (sizeof(Digit) == sizeof(std::uint64_t)) {
    if (K != 0 && K % 16 == 0 && haveCarryChains()) {
      for (std::size_t i = 0; i < k; ++i) {
        Digit* const row = t + i;
        Digit const q = row[0] * n0_;
        Digit carry = 0;
        for (std::size_t j = 0; j < k; j += 16) carry = multiplyAddRow16(row + j, m + j, q, carry);
        Double const s = Double(row[k]) + carry + top;
        row[k] = static_cast<Digit>(s);
        top = static_cast<Digit>(s >> digitBits);
      }
      reduced = true;
    }
  }
  if (reduced) {
  } else if (K != 0 && K % 2 == 0) {
    // Two rows at once, as in multiply: the second row's factor depends
    // only on the first row's first two digits.
    for (std::size_t i = 0; i < k; i += 2) {
      Digit* const row = t + i;
      Digit const q0 = row[0] * n0_;
      Double c0 = (Double(q0) * m[0] + row[0]) >> digitBits;
      c0 += Double(q0) * m[1] + row[1];
      Digit const x1 = static_cast<Digit>(c0);
      c0 >>= digitBits;
      Digit const q1 = x1 * n0_;
      Double c1 = (Double(q1) * m[0] + x1) >> digitBits;
#pragma GCC unroll 16
      for (std::size_t j = 2; j < k; ++j) {
        c0 += Double(q0) * m[j] + row[j];
        Digit const x = static_cast<Digit>(c0);
        c0 >>= digitBits;
        c1 += Double(q1) * m[j - 1] + x;
        row[j] = static_cast<Digit>(c1);
        c1 >>= digitBits;
      }
      Double const s0 = Double(row[k]) + static_cast<Digit>(c0) + top;
      c1 += Double(q1) * m[k - 1] + static_cast<Digit>(s0);
      row[k] = static_cast<Digit>(c1);
      c1 >>= digitBits;
      Double const s1 = Double(row[k + 1]) + static_cast<Digit>(c1) + static_cast<Digit>(s0 >> digitBits);
      row[k + 1] = static_cast<Digit>(s1);
      top = static_cast<Digit>(s1 >> digitBits);
    }
  } else {
    for (std::size_t i = 0; i < k; ++i) {
      Digit* const row = t + i;
      Digit const q = row[0] * n0_;
      Double c = 0;
      for (std::size_t j = 0; j < k; ++j) {
        c += Double(q) * m[j] + row[j];
        row[j] = static_cast<Digit>(c);
        c >>= digitBits;
      }
      Double const s = Double(row[k]) + static_cast<Digit>(c) + top;
      row[k] = static_cast<Digit>(s);
      top = static_cast<Digit>(s >> digitBits);
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
      borrow = static_cast<Digit>(d >> digitBits) & 1;
    }
  } else {
    for (std::size_t i = 0; i < k; ++i) out[i] = r[i];
  }
}

template <class Digit>
std::vector<Digit> Montgomery<Digit>::digits(BigNumber const& x) const {
  std::vector<Digit> v(k_, 0);
  for (std::size_t i = 0; i < k_; ++i)
    for (std::size_t l = 0; l < limbsPerDigit; ++l) v[i] |= Digit(x.limb(limbsPerDigit * i + l)) << (32 * l);
  return v;
}

template class Montgomery<std::uint32_t>;
#ifdef __SIZEOF_INT128__
template class Montgomery<std::uint64_t>;
#endif

BigNumber powerMod(BigNumber const& b, BigNumber const& x, BigNumber const& m, ModularContext const* mont) {
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

std::unique_ptr<ModularContext> contextFor(BigNumber const& m) {
  if (!m.isOdd() || BigNumber::compare(m, BigNumber(1)) == 0) return nullptr;
  return std::unique_ptr<ModularContext>(new ModularContext(m));
}

}  // namespace impl
}  // namespace cypher
}  // namespace zu
