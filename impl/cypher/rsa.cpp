// RSA with the library's own big-number arithmetic (bignum.h), so that no
// outside crypto library is needed.
#include <zu/cypher.h>

#include <boost/make_shared.hpp>
#include <memory>

#include "cypher/bignum.h"

namespace zu {
namespace cypher {
namespace impl {

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
  std::unique_ptr<ModularContext> mont_;
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
  std::unique_ptr<ModularContext> monP_, monQ_;
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
