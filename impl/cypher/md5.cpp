// MD5 digests, one-shot and incremental; kept for the formats that still
// name MD5, not for security.
#include <zu/cypher.h>

#include <boost/make_shared.hpp>
#include <cstdint>
#include <cstring>

#include "core/assertion.h"

namespace zu {
namespace cypher {
namespace impl {

namespace {

inline std::uint32_t rotl(std::uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// The four round steps of RFC 1321, with F and G written in the forms
// that need one operation less than the textbook ones.
inline void ff(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
  a = b + rotl(a + (d ^ (b & (c ^ d))) + x + t, s);
}
inline void gg(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
  a = b + rotl(a + (c ^ (d & (b ^ c))) + x + t, s);
}
inline void hh(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
  a = b + rotl(a + (b ^ c ^ d) + x + t, s);
}
inline void ii(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
  a = b + rotl(a + (c ^ (b | ~d)) + x + t, s);
}

// Little-endian whatever the host: the compiler turns this into one load.
inline std::uint32_t load32(unsigned char const* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

inline void store32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

void transform(std::uint32_t state[4], unsigned char const* block) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = load32(block + 4 * i);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  ff(a, b, c, d, x[0], 7, 0xd76aa478);
  ff(d, a, b, c, x[1], 12, 0xe8c7b756);
  ff(c, d, a, b, x[2], 17, 0x242070db);
  ff(b, c, d, a, x[3], 22, 0xc1bdceee);
  ff(a, b, c, d, x[4], 7, 0xf57c0faf);
  ff(d, a, b, c, x[5], 12, 0x4787c62a);
  ff(c, d, a, b, x[6], 17, 0xa8304613);
  ff(b, c, d, a, x[7], 22, 0xfd469501);
  ff(a, b, c, d, x[8], 7, 0x698098d8);
  ff(d, a, b, c, x[9], 12, 0x8b44f7af);
  ff(c, d, a, b, x[10], 17, 0xffff5bb1);
  ff(b, c, d, a, x[11], 22, 0x895cd7be);
  ff(a, b, c, d, x[12], 7, 0x6b901122);
  ff(d, a, b, c, x[13], 12, 0xfd987193);
  ff(c, d, a, b, x[14], 17, 0xa679438e);
  ff(b, c, d, a, x[15], 22, 0x49b40821);

  gg(a, b, c, d, x[1], 5, 0xf61e2562);
  gg(d, a, b, c, x[6], 9, 0xc040b340);
  gg(c, d, a, b, x[11], 14, 0x265e5a51);
  gg(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  gg(a, b, c, d, x[5], 5, 0xd62f105d);
  gg(d, a, b, c, x[10], 9, 0x02441453);
  gg(c, d, a, b, x[15], 14, 0xd8a1e681);
  gg(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  gg(a, b, c, d, x[9], 5, 0x21e1cde6);
  gg(d, a, b, c, x[14], 9, 0xc33707d6);
  gg(c, d, a, b, x[3], 14, 0xf4d50d87);
  gg(b, c, d, a, x[8], 20, 0x455a14ed);
  gg(a, b, c, d, x[13], 5, 0xa9e3e905);
  gg(d, a, b, c, x[2], 9, 0xfcefa3f8);
  gg(c, d, a, b, x[7], 14, 0x676f02d9);
  gg(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  hh(a, b, c, d, x[5], 4, 0xfffa3942);
  hh(d, a, b, c, x[8], 11, 0x8771f681);
  hh(c, d, a, b, x[11], 16, 0x6d9d6122);
  hh(b, c, d, a, x[14], 23, 0xfde5380c);
  hh(a, b, c, d, x[1], 4, 0xa4beea44);
  hh(d, a, b, c, x[4], 11, 0x4bdecfa9);
  hh(c, d, a, b, x[7], 16, 0xf6bb4b60);
  hh(b, c, d, a, x[10], 23, 0xbebfbc70);
  hh(a, b, c, d, x[13], 4, 0x289b7ec6);
  hh(d, a, b, c, x[0], 11, 0xeaa127fa);
  hh(c, d, a, b, x[3], 16, 0xd4ef3085);
  hh(b, c, d, a, x[6], 23, 0x04881d05);
  hh(a, b, c, d, x[9], 4, 0xd9d4d039);
  hh(d, a, b, c, x[12], 11, 0xe6db99e5);
  hh(c, d, a, b, x[15], 16, 0x1fa27cf8);
  hh(b, c, d, a, x[2], 23, 0xc4ac5665);

  ii(a, b, c, d, x[0], 6, 0xf4292244);
  ii(d, a, b, c, x[7], 10, 0x432aff97);
  ii(c, d, a, b, x[14], 15, 0xab9423a7);
  ii(b, c, d, a, x[5], 21, 0xfc93a039);
  ii(a, b, c, d, x[12], 6, 0x655b59c3);
  ii(d, a, b, c, x[3], 10, 0x8f0ccc92);
  ii(c, d, a, b, x[10], 15, 0xffeff47d);
  ii(b, c, d, a, x[1], 21, 0x85845dd1);
  ii(a, b, c, d, x[8], 6, 0x6fa87e4f);
  ii(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  ii(c, d, a, b, x[6], 15, 0xa3014314);
  ii(b, c, d, a, x[13], 21, 0x4e0811a1);
  ii(a, b, c, d, x[4], 6, 0xf7537e82);
  ii(d, a, b, c, x[11], 10, 0xbd3af235);
  ii(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  ii(b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

class MD5 : public IMD5 {
 public:
  void update(ByteArray const& data, bool final) override { update(data.ptr(), data.size(), final); }

  void update(void const* data, unsigned int len, bool final) override {
    ZU_ASSERT((len > 0 && data) || len == 0, "(len>0 && clear) || len == 0");
    if (!running_) {
      state_[0] = 0x67452301;
      state_[1] = 0xEFCDAB89;
      state_[2] = 0x98BADCFE;
      state_[3] = 0x10325476;
      bits_ = 0;
      running_ = true;
      result_ = ByteArray();
    }
    feed(static_cast<unsigned char const*>(data), len);
    if (final) finish();
  }

  ByteArray result() const override { return result_; }

  void reset() override {
    running_ = false;
    bits_ = 0;
    result_ = ByteArray();
  }

 private:
  void feed(unsigned char const* p, unsigned int n) {
    if (n == 0) return;  // p may be null then
    unsigned int have = static_cast<unsigned int>(bits_ >> 3) & 63;
    bits_ += std::uint64_t(n) << 3;
    if (have) {
      unsigned int const take = n < 64 - have ? n : 64 - have;
      std::memcpy(block_ + have, p, take);
      p += take;
      n -= take;
      if (have + take < 64) return;
      transform(state_, block_);
    }
    // Whole blocks are hashed where they lie, without a copy.
    for (; n >= 64; p += 64, n -= 64) transform(state_, p);
    if (n) std::memcpy(block_, p, n);
  }

  void finish() {
    unsigned char tail[72] = {0x80};
    unsigned int const have = static_cast<unsigned int>(bits_ >> 3) & 63;
    unsigned int const padding = have < 56 ? 56 - have : 120 - have;
    std::uint64_t const bits = bits_;
    for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<unsigned char>(bits >> (8 * i));
    feed(tail, padding + 8);
    ByteArray digest(16);
    unsigned char* out = digest.getBuffer(16);
    for (int i = 0; i < 4; ++i) store32(out + 4 * i, state_[i]);
    result_ = digest;
    running_ = false;
    // The message may have been key material: leave none of it behind.
    std::memset(block_, 0, sizeof block_);
  }

  bool running_ = false;
  std::uint32_t state_[4] = {0, 0, 0, 0};
  std::uint64_t bits_ = 0;  // message length in bits, modulo 2^64
  unsigned char block_[64];
  ByteArray result_;
};

}  // namespace impl

boost::shared_ptr<IMD5> IMD5::New() { return boost::make_shared<impl::MD5>(); }

ByteArray IMD5::digest(void const* data, unsigned int len) {
  impl::MD5 md5;
  md5.update(data, len, true);
  return md5.result();
}

ByteArray IMD5::digest(ByteArray const& data) { return digest(data.ptr(), data.size()); }

}  // namespace cypher
}  // namespace zu
