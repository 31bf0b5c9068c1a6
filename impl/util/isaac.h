// The ISAAC generator of Robert J. Jenkins Jr. (1996), 32-bit words with a
// 256-word state, as published with its reference program: init() is its
// randinit with the result words as seed material, generate() its isaac().
#ifndef ZU_IMPL_ISAAC_H
#define ZU_IMPL_ISAAC_H

#include <cstdint>

namespace zu {
namespace util {
namespace impl {

struct Isaac {
  std::uint32_t results[256];
  std::uint32_t memory[256];
  std::uint32_t a = 0, b = 0, c = 0;

  // Mixes the seed material in results[] into the state and generates the
  // first batch into results[].
  void init() {
    a = b = c = 0;
    std::uint32_t s[8];
    for (std::uint32_t& v : s) v = 0x9E3779B9u;
    for (int i = 0; i < 4; ++i) mix(s);
    for (int i = 0; i < 256; i += 8) {
      for (int k = 0; k < 8; ++k) s[k] += results[i + k];
      mix(s);
      for (int k = 0; k < 8; ++k) memory[i + k] = s[k];
    }
    for (int i = 0; i < 256; i += 8) {
      for (int k = 0; k < 8; ++k) s[k] += memory[i + k];
      mix(s);
      for (int k = 0; k < 8; ++k) memory[i + k] = s[k];
    }
    generate();
  }

  // The next 256 results.
  void generate() {
    std::uint32_t x, y;
    std::uint32_t aa = a, bb = b + (++c);
    int i = 0;
    // The first half of the memory pairs with the second and vice versa.
    for (; i < 128; i += 4) {
      step(aa << 13, aa, bb, i, i + 128, x, y);
      step(aa >> 6, aa, bb, i + 1, i + 129, x, y);
      step(aa << 2, aa, bb, i + 2, i + 130, x, y);
      step(aa >> 16, aa, bb, i + 3, i + 131, x, y);
    }
    for (; i < 256; i += 4) {
      step(aa << 13, aa, bb, i, i - 128, x, y);
      step(aa >> 6, aa, bb, i + 1, i - 127, x, y);
      step(aa << 2, aa, bb, i + 2, i - 126, x, y);
      step(aa >> 16, aa, bb, i + 3, i - 125, x, y);
    }
    a = aa;
    b = bb;
  }

 private:
  static void mix(std::uint32_t (&s)[8]) {
    s[0] ^= s[1] << 11; s[3] += s[0]; s[1] += s[2];
    s[1] ^= s[2] >> 2;  s[4] += s[1]; s[2] += s[3];
    s[2] ^= s[3] << 8;  s[5] += s[2]; s[3] += s[4];
    s[3] ^= s[4] >> 16; s[6] += s[3]; s[4] += s[5];
    s[4] ^= s[5] << 10; s[7] += s[4]; s[5] += s[6];
    s[5] ^= s[6] >> 4;  s[0] += s[5]; s[6] += s[7];
    s[6] ^= s[7] << 8;  s[1] += s[6]; s[7] += s[0];
    s[7] ^= s[0] >> 9;  s[2] += s[7]; s[0] += s[1];
  }

  void step(std::uint32_t mixed, std::uint32_t& aa, std::uint32_t& bb, int m, int m2, std::uint32_t& x,
            std::uint32_t& y) {
    x = memory[m];
    aa = (aa ^ mixed) + memory[m2];
    memory[m] = y = memory[(x >> 2) & 255] + aa + bb;
    results[m] = bb = memory[(y >> 10) & 255] + x;
  }
};

}  // namespace impl
}  // namespace util
}  // namespace zu

#endif
