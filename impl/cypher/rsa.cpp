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

  // The written text read back as bytes: an odd digit count makes the
  // first digit a byte of its own.
  ByteArray toBytes() const { return ByteArray(toHex()); }

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

// Montgomery arithmetic modulo an odd m, on 64-bit digits (a quarter of
// the multiplications of 32-bit ones) with radix R = 2^(64k). Immutable
// once made: a key keeps one per modulus and shares it between threads.
class Montgomery {
 public:
  typedef std::uint64_t Digit;
  typedef unsigned __int128 Double;

  explicit Montgomery(BigNumber const& m) : k_((m.size() + 1) / 2), m_(digits(m)) {
    // -m^-1 mod 2^64 by Newton's iteration (each step doubles the bits).
    Digit inv = 1;
    for (int i = 0; i < 6; ++i) inv *= 2 - m_[0] * inv;
    n0_ = 0 - inv;
    BigNumber r;
    r.limbs().assign(2 * k_, 0);
    r.limbs().push_back(1);
    one_ = digits(BigNumber::mod(r, m));
    BigNumber r2;
    r2.limbs().assign(4 * k_, 0);
    r2.limbs().push_back(1);
    r2_ = digits(BigNumber::mod(r2, m));
  }

  std::size_t size() const { return k_; }
  std::vector<Digit> one() const { return one_; }

  // x (already below m) into Montgomery form.
  std::vector<Digit> in(BigNumber const& x, Digit* scratch) const {
    std::vector<Digit> out(k_);
    multiply(digits(x).data(), r2_.data(), out.data(), scratch);
    return out;
  }

  BigNumber out(std::vector<Digit> const& a, Digit* scratch) const {
    std::vector<Digit> unit(k_, 0), r(k_);
    unit[0] = 1;
    multiply(a.data(), unit.data(), r.data(), scratch);
    BigNumber n;
    n.limbs().resize(2 * k_);
    for (std::size_t i = 0; i < k_; ++i) {
      n.limbs()[2 * i] = static_cast<Limb>(r[i]);
      n.limbs()[2 * i + 1] = static_cast<Limb>(r[i] >> 32);
    }
    n.trim();
    return n;
  }

  // out = a * b / R mod m for a, b below m (out may be a or b); `t` holds
  // k + 2 digits of scratch.
  void multiply(Digit const* a, Digit const* b, Digit* out, Digit* t) const {
    Digit const* m = m_.data();
    std::size_t const k = k_;
    for (std::size_t i = 0; i < k + 2; ++i) t[i] = 0;
    for (std::size_t i = 0; i < k; ++i) {
      Double c = 0;
      Digit const bi = b[i];
      for (std::size_t j = 0; j < k; ++j) {
        c += Double(a[j]) * bi + t[j];
        t[j] = static_cast<Digit>(c);
        c >>= 64;
      }
      c += t[k];
      t[k] = static_cast<Digit>(c);
      t[k + 1] = static_cast<Digit>(c >> 64);
      Digit const q = t[0] * n0_;
      c = (Double(q) * m[0] + t[0]) >> 64;
      for (std::size_t j = 1; j < k; ++j) {
        c += Double(q) * m[j] + t[j];
        t[j - 1] = static_cast<Digit>(c);
        c >>= 64;
      }
      c += t[k];
      t[k - 1] = static_cast<Digit>(c);
      t[k] = t[k + 1] + static_cast<Digit>(c >> 64);
    }
    // t < 2m: one subtraction at most.
    bool geq = t[k] != 0;
    if (!geq) {
      geq = true;
      for (std::size_t i = k; i-- > 0;)
        if (t[i] != m[i]) {
          geq = t[i] > m[i];
          break;
        }
    }
    if (geq) {
      Digit borrow = 0;
      for (std::size_t i = 0; i < k; ++i) {
        Digit const d = t[i] - m[i] - borrow;
        borrow = (t[i] < m[i]) || (t[i] - m[i] < borrow);
        out[i] = d;
      }
    } else {
      for (std::size_t i = 0; i < k; ++i) out[i] = t[i];
    }
  }

  // b^x mod m for b below m and x not zero. The exponent's bits are taken
  // from the lowest up, the base squared after each bit but the last.
  BigNumber power(BigNumber const& b, BigNumber const& x) const {
    std::vector<Digit> scratch(k_ + 2);
    std::vector<Digit> acc = one_, sq = in(b, scratch.data());
    unsigned int const bits = x.bitLength();
    for (unsigned int i = 0; i < bits; ++i) {
      if (x.bit(i)) multiply(acc.data(), sq.data(), acc.data(), scratch.data());
      if (i + 1 < bits) multiply(sq.data(), sq.data(), sq.data(), scratch.data());
    }
    return out(acc, scratch.data());
  }

 private:
  std::vector<Digit> digits(BigNumber const& x) const {
    std::vector<Digit> v(k_, 0);
    for (std::size_t i = 0; i < k_; ++i) v[i] = Digit(x.limb(2 * i)) | Digit(x.limb(2 * i + 1)) << 32;
    return v;
  }

  std::size_t k_;
  std::vector<Digit> m_;
  Digit n0_;
  std::vector<Digit> one_, r2_;
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
