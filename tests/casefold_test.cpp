#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/casefold.h"

using zu::__::compareFolded;
using zu::__::foldCase;

namespace {

int compare(std::string const& a, std::string const& b) {
  int const r = compareFolded(a.data(), a.size(), b.data(), b.size());
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace

TEST(CaseFold, SimpleFoldingOfCommonScripts) {
  EXPECT_EQ(unsigned('a'), foldCase('A'));
  EXPECT_EQ(unsigned('z'), foldCase('Z'));
  EXPECT_EQ(unsigned('@'), foldCase('@'));
  EXPECT_EQ(unsigned('['), foldCase('['));
  EXPECT_EQ(0xFCu, foldCase(0xDC));      // U with diaeresis
  EXPECT_EQ(0xDFu, foldCase(0xDF));      // sharp s has a full folding only
  EXPECT_EQ(0xDFu, foldCase(0x1E9E));    // capital sharp s
  EXPECT_EQ(0xF7u, foldCase(0xF7));      // division sign between the letters
  EXPECT_EQ(0xD7u, foldCase(0xD7));      // multiplication sign
  EXPECT_EQ(0x3BCu, foldCase(0xB5));     // micro sign to Greek mu
  EXPECT_EQ(0xFFu, foldCase(0x178));     // Y with diaeresis
  EXPECT_EQ(0x101u, foldCase(0x100));    // Latin Extended-A alternates
  EXPECT_EQ(0x101u, foldCase(0x101));
  EXPECT_EQ(0x17Eu, foldCase(0x17D));
  EXPECT_EQ(unsigned('s'), foldCase(0x17F));  // long s
  EXPECT_EQ(0x1C6u, foldCase(0x1C4));    // DZ with caron, all three forms
  EXPECT_EQ(0x1C6u, foldCase(0x1C5));
  EXPECT_EQ(0x3B1u, foldCase(0x391));    // Greek
  EXPECT_EQ(0x3C3u, foldCase(0x3C2));    // final sigma
  EXPECT_EQ(0x3C9u, foldCase(0x3A9));
  EXPECT_EQ(0x430u, foldCase(0x410));    // Cyrillic
  EXPECT_EQ(0x450u, foldCase(0x400));
  EXPECT_EQ(0x44Fu, foldCase(0x42F));
  EXPECT_EQ(0x561u, foldCase(0x531));    // Armenian
  EXPECT_EQ(0x2D00u, foldCase(0x10A0));  // Georgian
  EXPECT_EQ(0x1E01u, foldCase(0x1E00));  // Latin Extended Additional
  EXPECT_EQ(unsigned('k'), foldCase(0x212A));  // Kelvin sign
  EXPECT_EQ(0xFF41u, foldCase(0xFF21));  // full-width A
  EXPECT_EQ(0x10428u, foldCase(0x10400));      // Deseret, beyond the BMP
  EXPECT_EQ(0x130u, foldCase(0x130));    // dotted I folds only in Turkic rules
  EXPECT_EQ(0x10FFFFu, foldCase(0x10FFFF));
}

TEST(CaseFold, CompareMatchesEveryLetterAndKeepsTheAsciiOrder) {
  EXPECT_EQ(0, compare("GR\xC3\x9C\xC3\x9F" "E", "gr\xC3\xBC\xC3\x9F" "e"));  // GRÜßE, grüße
  EXPECT_EQ(0, compare("\xC3\x9Cmlaut", "\xC3\xBCMLAUT"));                     // Ümlaut, üMLAUT
  EXPECT_EQ(0, compare("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x99\xCE\x91", "\xCF\x83\xCE\xBF\xCF\x86\xCE\xB9\xCE\xB1"));
  EXPECT_EQ(0, compare("\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0", "\xD0\xBC\xD0\x9E\xD0\xA1\xD0\x9A\xD0\x92\xD0\x90"));
  EXPECT_EQ(0, compare("\xE2\x84\xAA", "k"));  // Kelvin sign
  EXPECT_NE(0, compare("\xC3\x9F", "ss"));    // simple folding: sharp s is no "ss"
  EXPECT_NE(0, compare("\xC3\xBC", "u"));
  EXPECT_EQ(0, compare("", ""));
  EXPECT_EQ(-1, compare("", "a"));
  EXPECT_EQ(1, compare("ab", "A"));

  // ASCII names compare as upper case: '_' sorts after the letters, '@'
  // before them, whatever their case.
  EXPECT_EQ(-1, compare("b", "_"));
  EXPECT_EQ(-1, compare("B", "_"));
  EXPECT_EQ(1, compare("a", "@"));
  EXPECT_EQ(-1, compare("Alpha", "beta"));
  EXPECT_EQ(-1, compare("alpha", "BETA"));
  EXPECT_EQ(1, compare("z", "Y"));
  // Every ASCII pair in the order of an upper-case comparison.
  for (int x = 1; x < 128; ++x) {
    for (int y = 1; y < 128; ++y) {
      int const ux = x >= 'a' && x <= 'z' ? x - 32 : x, uy = y >= 'a' && y <= 'z' ? y - 32 : y;
      int const expected = ux < uy ? -1 : (ux > uy ? 1 : 0);
      ASSERT_EQ(expected, compare(std::string(1, char(x)), std::string(1, char(y)))) << x << " " << y;
    }
  }

  // Letters beyond ASCII sort by their folded code point, after ASCII.
  EXPECT_EQ(1, compare("\xC3\x80", "z"));               // À after z
  EXPECT_EQ(-1, compare("\xC3\x80", "\xC3\xA1"));       // À before á
  EXPECT_EQ(-1, compare("\xC3\xA0", "\xC3\x81"));       // à before Á
}

TEST(CaseFold, InvalidBytesCompareByThemselvesAfterEveryCodePoint) {
  EXPECT_EQ(0, compare("a\xFF", "A\xFF"));
  EXPECT_NE(0, compare("\xFE", "\xFF"));
  EXPECT_EQ(1, compare("\xC3", "\xF4\x8F\xBF\xBF"));  // a cut sequence after U+10FFFF
  EXPECT_EQ(1, compare("\xC0\x80", "\xC3\x80"));      // an overlong form is no code point
  EXPECT_EQ(1, compare("\xED\xA0\x80", "\xEF\xBF\xBF"));  // nor a surrogate
  // A cut sequence at the end never reads past the text.
  std::string const cut("\xE2\x84", 2);
  EXPECT_EQ(1, compare(cut, "k"));
  EXPECT_NE(0, compare(cut, std::string("\xE2\x84\xAA")));
}
