// The TEA block cipher and TEAx, which enciphers messages of any length
// and keeps their length.
#include <zu/cypher.h>
#include <zu/util.h>

#include <boost/make_shared.hpp>
#include <cstring>

#include "core/assertion.h"

namespace zu {
namespace cypher {

namespace {

std::uint32_t const delta = 0x9E3779B9u;

inline std::uint32_t loadLE(unsigned char const* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

inline std::uint32_t loadBE(unsigned char const* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

inline void storeBE(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

TEA::TEA() : k0_(0), k1_(0), k2_(0), k3_(0) {}

void TEA::setKey(void const* key) {
  if (!key) {
    k0_ = k1_ = k2_ = k3_ = 0;
    return;
  }
  unsigned char const* k = static_cast<unsigned char const*>(key);
  k0_ = loadLE(k);
  k1_ = loadLE(k + 4);
  k2_ = loadLE(k + 8);
  k3_ = loadLE(k + 12);
}

void TEA::encodeBlock(void const* in, void* out) const {
  unsigned char const* i = static_cast<unsigned char const*>(in);
  std::uint32_t y = loadBE(i), z = loadBE(i + 4), sum = 0;
  for (int n = 0; n < 32; ++n) {
    sum += delta;
    y += ((z << 4) + k0_) ^ (z + sum) ^ ((z >> 5) + k1_);
    z += ((y << 4) + k2_) ^ (y + sum) ^ ((y >> 5) + k3_);
  }
  unsigned char* o = static_cast<unsigned char*>(out);
  storeBE(o, y);
  storeBE(o + 4, z);
}

void TEA::decodeBlock(void const* in, void* out) const {
  unsigned char const* i = static_cast<unsigned char const*>(in);
  std::uint32_t y = loadBE(i), z = loadBE(i + 4), sum = delta * 32u;
  for (int n = 0; n < 32; ++n) {
    z -= ((y << 4) + k2_) ^ (y + sum) ^ ((y >> 5) + k3_);
    y -= ((z << 4) + k0_) ^ (z + sum) ^ ((z >> 5) + k1_);
    sum -= delta;
  }
  unsigned char* o = static_cast<unsigned char*>(out);
  storeBE(o, y);
  storeBE(o + 4, z);
}

namespace impl {

class TEAx : public ITEAx {
 public:
  void setKey(ByteArray const& key) override { setKey(key.ptr(), key.size()); }

  void setKey(void const* key, unsigned int len) override {
    if (!key || len == 0) {
      for (std::uint32_t& k : key_) k = 0;
      table_ = ByteArray();
      return;
    }
    ByteArray const digest = IMD5::digest(key, len);
    for (int i = 0; i < 4; ++i) key_[i] = loadLE(digest.ptr() + 4 * i);
    table_ = IMD5::digest(digest);
  }

  ByteArray encode(ByteArray const& clear) override {
    ByteArray out(clear.size());
    if (clear.size()) encode(clear.ptr(), out.getBuffer(0), clear.size());
    return out;
  }

  void encode(void const* clear, void* coded, unsigned int len) override {
    ZU_ASSERT(clear, "clear");
    ZU_ASSERT(coded, "coded");
    run(static_cast<unsigned char const*>(clear), static_cast<unsigned char*>(coded), len, true);
  }

  ByteArray decode(ByteArray const& coded) override {
    ByteArray out(coded.size());
    if (coded.size()) decode(coded.ptr(), out.getBuffer(0), coded.size());
    return out;
  }

  void decode(void const* coded, void* clear, unsigned int len) override {
    ZU_ASSERT(clear, "clear");
    ZU_ASSERT(coded, "coded");
    run(static_cast<unsigned char const*>(coded), static_cast<unsigned char*>(clear), len, false);
  }

 private:
  void run(unsigned char const* in, unsigned char* out, unsigned int len, bool encoding) const {
    if (table_.empty()) {
      if (in != out && len) std::memmove(out, in, len);
      return;
    }
    unsigned int const whole = len & ~7u;
    unsigned int at = 0;
    // Eight blocks side by side: independent lanes the compiler can keep in
    // one vector register each.
    for (; at + 64 <= whole; at += 64) crypt<8>(in + at, out + at, encoding);
    for (; at < whole; at += 8) crypt<1>(in + at, out + at, encoding);
    // The tail mix is its own inverse; its index starts at len mod 16, so
    // equal tails of messages of different lengths come out differently.
    unsigned char const* t = table_.ptr();
    for (unsigned int i = 0; whole + i < len; ++i) {
      unsigned int const j = (i + len) % 16;
      out[whole + i] = static_cast<unsigned char>(in[whole + i] ^ t[t[j] % 16]);
    }
  }

  template <int lanes>
  void crypt(unsigned char const* in, unsigned char* out, bool encoding) const {
    std::uint32_t y[lanes], z[lanes];
    for (int l = 0; l < lanes; ++l) {
      y[l] = loadBE(in + 8 * l);
      z[l] = loadBE(in + 8 * l + 4);
    }
    std::uint32_t const k0 = key_[0], k1 = key_[1], k2 = key_[2], k3 = key_[3];
    if (encoding) {
      std::uint32_t sum = 0;
      for (int n = 0; n < 32; ++n) {
        sum += delta;
        for (int l = 0; l < lanes; ++l) y[l] += ((z[l] << 4) + k0) ^ (z[l] + sum) ^ ((z[l] >> 5) + k1);
        for (int l = 0; l < lanes; ++l) z[l] += ((y[l] << 4) + k2) ^ (y[l] + sum) ^ ((y[l] >> 5) + k3);
      }
    } else {
      std::uint32_t sum = delta * 32u;
      for (int n = 0; n < 32; ++n) {
        for (int l = 0; l < lanes; ++l) z[l] -= ((y[l] << 4) + k2) ^ (y[l] + sum) ^ ((y[l] >> 5) + k3);
        for (int l = 0; l < lanes; ++l) y[l] -= ((z[l] << 4) + k0) ^ (z[l] + sum) ^ ((z[l] >> 5) + k1);
        sum -= delta;
      }
    }
    for (int l = 0; l < lanes; ++l) {
      storeBE(out + 8 * l, y[l]);
      storeBE(out + 8 * l + 4, z[l]);
    }
  }

  // The block cipher's key words (the same as a TEA keyed with MD5(key)),
  // kept here so that whole runs of blocks are enciphered inline.
  std::uint32_t key_[4] = {0, 0, 0, 0};
  ByteArray table_;  // empty while no key is set
};

}  // namespace impl

boost::shared_ptr<ITEAx> ITEAx::New() { return boost::make_shared<impl::TEAx>(); }

boost::shared_ptr<ITEAx> ITEAx::New(void const* key, unsigned int len) {
  boost::shared_ptr<ITEAx> x = boost::make_shared<impl::TEAx>();
  x->setKey(key, len);
  return x;
}

boost::shared_ptr<ITEAx> ITEAx::New(ByteArray const& key) { return New(key.ptr(), key.size()); }

ByteArray randKey(unsigned int n) {
  ByteArray key(n);
  if (n == 0) return key;
  unsigned char* p = key.getBuffer(0);
  for (unsigned int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(util::IRandom::number());
  return key;
}

}  // namespace cypher
}  // namespace zu
