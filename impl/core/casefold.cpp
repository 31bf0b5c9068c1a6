// Simple Unicode case folding: a table of runs over the code points that
// have a simple folding, and the UTF-8 comparison that uses it.
#include "core/casefold.h"

#include <cstdint>

namespace zu {
namespace __ {

namespace {

// `length` + 1 code points from `first` on fold by adding `delta`; with a
// stride of 2 only every second one does (upper and lower case alternate).
struct FoldRun {
  std::uint32_t first;
  std::uint16_t length;
  std::int32_t delta;
  std::uint8_t stride;
};

// Generated from the Unicode 14 case-folding data, statuses C and S.
FoldRun const foldRuns[] = {
    {0x0041, 25, 32, 1}, {0x00B5, 0, 775, 1}, {0x00C0, 22, 32, 1}, {0x00D8, 6, 32, 1},
    {0x0100, 46, 1, 2}, {0x0132, 4, 1, 2}, {0x0139, 14, 1, 2}, {0x014A, 44, 1, 2},
    {0x0178, 0, -121, 1}, {0x0179, 4, 1, 2}, {0x017F, 0, -268, 1}, {0x0181, 0, 210, 1},
    {0x0182, 2, 1, 2}, {0x0186, 0, 206, 1}, {0x0187, 0, 1, 1}, {0x0189, 1, 205, 1},
    {0x018B, 0, 1, 1}, {0x018E, 0, 79, 1}, {0x018F, 0, 202, 1}, {0x0190, 0, 203, 1},
    {0x0191, 0, 1, 1}, {0x0193, 0, 205, 1}, {0x0194, 0, 207, 1}, {0x0196, 0, 211, 1},
    {0x0197, 0, 209, 1}, {0x0198, 0, 1, 1}, {0x019C, 0, 211, 1}, {0x019D, 0, 213, 1},
    {0x019F, 0, 214, 1}, {0x01A0, 4, 1, 2}, {0x01A6, 0, 218, 1}, {0x01A7, 0, 1, 1},
    {0x01A9, 0, 218, 1}, {0x01AC, 0, 1, 1}, {0x01AE, 0, 218, 1}, {0x01AF, 0, 1, 1},
    {0x01B1, 1, 217, 1}, {0x01B3, 2, 1, 2}, {0x01B7, 0, 219, 1}, {0x01B8, 0, 1, 1},
    {0x01BC, 0, 1, 1}, {0x01C4, 0, 2, 1}, {0x01C5, 0, 1, 1}, {0x01C7, 0, 2, 1}, {0x01C8, 0, 1, 1},
    {0x01CA, 0, 2, 1}, {0x01CB, 16, 1, 2}, {0x01DE, 16, 1, 2}, {0x01F1, 0, 2, 1}, {0x01F2, 2, 1, 2},
    {0x01F6, 0, -97, 1}, {0x01F7, 0, -56, 1}, {0x01F8, 38, 1, 2}, {0x0220, 0, -130, 1},
    {0x0222, 16, 1, 2}, {0x023A, 0, 10795, 1}, {0x023B, 0, 1, 1}, {0x023D, 0, -163, 1},
    {0x023E, 0, 10792, 1}, {0x0241, 0, 1, 1}, {0x0243, 0, -195, 1}, {0x0244, 0, 69, 1},
    {0x0245, 0, 71, 1}, {0x0246, 8, 1, 2}, {0x0345, 0, 116, 1}, {0x0370, 2, 1, 2},
    {0x0376, 0, 1, 1}, {0x037F, 0, 116, 1}, {0x0386, 0, 38, 1}, {0x0388, 2, 37, 1},
    {0x038C, 0, 64, 1}, {0x038E, 1, 63, 1}, {0x0391, 16, 32, 1}, {0x03A3, 8, 32, 1},
    {0x03C2, 0, 1, 1}, {0x03CF, 0, 8, 1}, {0x03D0, 0, -30, 1}, {0x03D1, 0, -25, 1},
    {0x03D5, 0, -15, 1}, {0x03D6, 0, -22, 1}, {0x03D8, 22, 1, 2}, {0x03F0, 0, -54, 1},
    {0x03F1, 0, -48, 1}, {0x03F4, 0, -60, 1}, {0x03F5, 0, -64, 1}, {0x03F7, 0, 1, 1},
    {0x03F9, 0, -7, 1}, {0x03FA, 0, 1, 1}, {0x03FD, 2, -130, 1}, {0x0400, 15, 80, 1},
    {0x0410, 31, 32, 1}, {0x0460, 32, 1, 2}, {0x048A, 52, 1, 2}, {0x04C0, 0, 15, 1},
    {0x04C1, 12, 1, 2}, {0x04D0, 94, 1, 2}, {0x0531, 37, 48, 1}, {0x10A0, 37, 7264, 1},
    {0x10C7, 0, 7264, 1}, {0x10CD, 0, 7264, 1}, {0x13F8, 5, -8, 1}, {0x1C80, 0, -6222, 1},
    {0x1C81, 0, -6221, 1}, {0x1C82, 0, -6212, 1}, {0x1C83, 1, -6210, 1}, {0x1C85, 0, -6211, 1},
    {0x1C86, 0, -6204, 1}, {0x1C87, 0, -6180, 1}, {0x1C88, 0, 35267, 1}, {0x1C90, 42, -3008, 1},
    {0x1CBD, 2, -3008, 1}, {0x1E00, 148, 1, 2}, {0x1E9B, 0, -58, 1}, {0x1E9E, 0, -7615, 1},
    {0x1EA0, 94, 1, 2}, {0x1F08, 7, -8, 1}, {0x1F18, 5, -8, 1}, {0x1F28, 7, -8, 1},
    {0x1F38, 7, -8, 1}, {0x1F48, 5, -8, 1}, {0x1F59, 6, -8, 2}, {0x1F68, 7, -8, 1},
    {0x1F88, 7, -8, 1}, {0x1F98, 7, -8, 1}, {0x1FA8, 7, -8, 1}, {0x1FB8, 1, -8, 1},
    {0x1FBA, 1, -74, 1}, {0x1FBC, 0, -9, 1}, {0x1FBE, 0, -7173, 1}, {0x1FC8, 3, -86, 1},
    {0x1FCC, 0, -9, 1}, {0x1FD8, 1, -8, 1}, {0x1FDA, 1, -100, 1}, {0x1FE8, 1, -8, 1},
    {0x1FEA, 1, -112, 1}, {0x1FEC, 0, -7, 1}, {0x1FF8, 1, -128, 1}, {0x1FFA, 1, -126, 1},
    {0x1FFC, 0, -9, 1}, {0x2126, 0, -7517, 1}, {0x212A, 0, -8383, 1}, {0x212B, 0, -8262, 1},
    {0x2132, 0, 28, 1}, {0x2160, 15, 16, 1}, {0x2183, 0, 1, 1}, {0x24B6, 25, 26, 1},
    {0x2C00, 47, 48, 1}, {0x2C60, 0, 1, 1}, {0x2C62, 0, -10743, 1}, {0x2C63, 0, -3814, 1},
    {0x2C64, 0, -10727, 1}, {0x2C67, 4, 1, 2}, {0x2C6D, 0, -10780, 1}, {0x2C6E, 0, -10749, 1},
    {0x2C6F, 0, -10783, 1}, {0x2C70, 0, -10782, 1}, {0x2C72, 0, 1, 1}, {0x2C75, 0, 1, 1},
    {0x2C7E, 1, -10815, 1}, {0x2C80, 98, 1, 2}, {0x2CEB, 2, 1, 2}, {0x2CF2, 0, 1, 1},
    {0xA640, 44, 1, 2}, {0xA680, 26, 1, 2}, {0xA722, 12, 1, 2}, {0xA732, 60, 1, 2},
    {0xA779, 2, 1, 2}, {0xA77D, 0, -35332, 1}, {0xA77E, 8, 1, 2}, {0xA78B, 0, 1, 1},
    {0xA78D, 0, -42280, 1}, {0xA790, 2, 1, 2}, {0xA796, 18, 1, 2}, {0xA7AA, 0, -42308, 1},
    {0xA7AB, 0, -42319, 1}, {0xA7AC, 0, -42315, 1}, {0xA7AD, 0, -42305, 1}, {0xA7AE, 0, -42308, 1},
    {0xA7B0, 0, -42258, 1}, {0xA7B1, 0, -42282, 1}, {0xA7B2, 0, -42261, 1}, {0xA7B3, 0, 928, 1},
    {0xA7B4, 14, 1, 2}, {0xA7C4, 0, -48, 1}, {0xA7C5, 0, -42307, 1}, {0xA7C6, 0, -35384, 1},
    {0xA7C7, 2, 1, 2}, {0xA7D0, 0, 1, 1}, {0xA7D6, 2, 1, 2}, {0xA7F5, 0, 1, 1},
    {0xAB70, 79, -38864, 1}, {0xFF21, 25, 32, 1}, {0x10400, 39, 40, 1}, {0x104B0, 35, 40, 1},
    {0x10570, 10, 39, 1}, {0x1057C, 14, 39, 1}, {0x1058C, 6, 39, 1}, {0x10594, 1, 39, 1},
    {0x10C80, 50, 64, 1}, {0x118A0, 31, 32, 1}, {0x16E40, 31, 32, 1}, {0x1E900, 33, 34, 1},
};

std::size_t const foldRunCount = sizeof foldRuns / sizeof foldRuns[0];

// The code point at `text[i]`, advancing `i`; an invalid or cut sequence
// gives its first byte as 0x110000 plus the byte.
unsigned int nextCodePoint(char const* text, std::size_t size, std::size_t& i) {
  unsigned int const lead = static_cast<unsigned char>(text[i]);
  std::size_t extra;
  unsigned int value, minimum;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, value = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return 0x110000u + lead;
  }
  if (size - i <= extra) {
    ++i;
    return 0x110000u + lead;
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    unsigned int const next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return 0x110000u + lead;
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++i;
    return 0x110000u + lead;
  }
  i += extra + 1;
  return value;
}

// The comparison key of one code point.
unsigned int foldKey(unsigned int codePoint) {
  unsigned int const folded = codePoint < 0x110000u ? foldCase(codePoint) : codePoint;
  return folded >= 'a' && folded <= 'z' ? folded - 32 : folded;
}

}  // namespace

unsigned int foldCase(unsigned int codePoint) {
  if (codePoint < 'A') return codePoint;
  if (codePoint <= 'Z') return codePoint + 32;
  if (codePoint < 0xB5) return codePoint;
  std::size_t low = 0, high = foldRunCount;
  while (low < high) {
    std::size_t const middle = (low + high) / 2;
    FoldRun const& run = foldRuns[middle];
    if (codePoint < run.first) {
      high = middle;
    } else if (codePoint > run.first + run.length) {
      low = middle + 1;
    } else {
      if ((codePoint - run.first) % run.stride != 0) return codePoint;
      return static_cast<unsigned int>(static_cast<std::int64_t>(codePoint) + run.delta);
    }
  }
  return codePoint;
}

int compareFolded(char const* a, std::size_t aSize, char const* b, std::size_t bSize) {
  std::size_t i = 0, j = 0;
  while (i < aSize && j < bSize) {
    unsigned char const x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[j]);
    unsigned int kx, ky;
    if ((x | y) < 0x80) {
      // Both ASCII: the common case without decoding.
      kx = x >= 'a' && x <= 'z' ? x - 32u : x;
      ky = y >= 'a' && y <= 'z' ? y - 32u : y;
      ++i, ++j;
    } else {
      kx = foldKey(nextCodePoint(a, aSize, i));
      ky = foldKey(nextCodePoint(b, bSize, j));
    }
    if (kx != ky) return kx < ky ? -1 : 1;
  }
  if (i < aSize) return 1;
  if (j < bSize) return -1;
  return 0;
}

}  // namespace __
}  // namespace zu
