#include <zu/array.h>
#include <zu/string.h>

#include <atomic>
#include <climits>
#include <cwchar>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <malloc.h>
#define ZU_TEST_BLOCK_SIZE(p) _msize(p)
#else
#include <malloc.h>
#define ZU_TEST_BLOCK_SIZE(p) malloc_usable_size(p)
#endif

using zu::String;
using zu::TArray;

namespace {

unsigned int const npos = 0xFFFFFFFF;

std::vector<std::string> pieces(TArray<String> const& a) {
  std::vector<std::string> out;
  for (String const& s : a) out.push_back(s.cstr());
  return out;
}

using V = std::vector<std::string>;

}  // namespace

// --- construction ----------------------------------------------------------

TEST(StringConstruct, EmptyFormsAreEmptyAndNeverNull) {
  String a, b(""), c(static_cast<char const*>(nullptr)), d(static_cast<wchar_t const*>(nullptr));
  for (String const* s : {&a, &b, &c, &d}) {
    EXPECT_TRUE(s->empty());
    EXPECT_EQ(0u, s->length());
    ASSERT_NE(nullptr, s->cstr());
    EXPECT_STREQ("", s->cstr());
  }
  EXPECT_TRUE(a.unique());
}

TEST(StringConstruct, TextStopsAtLengthOrNul) {
  EXPECT_STREQ("abc", String("abcdef", 3).cstr());
  char const withNul[] = {'a', 'b', 0, 'c', 'd'};
  EXPECT_STREQ("ab", String(withNul, 5).cstr());
  EXPECT_TRUE(String("abc", 0).empty());
}

TEST(StringConstruct, NumbersInEveryBase) {
  EXPECT_STREQ("FF", String(255, 16).cstr());
  EXPECT_STREQ("-FF", String(-255, 16).cstr());
  EXPECT_STREQ("0", String(0, 2).cstr());
  EXPECT_STREQ("-2147483648", String(INT_MIN).cstr());
  EXPECT_STREQ("4294967295", String(UINT_MAX).cstr());
  EXPECT_STREQ("-9223372036854775808", String(INT64_MIN).cstr());
  EXPECT_STREQ("18446744073709551615", String(UINT64_MAX).cstr());
  EXPECT_STREQ("3W5E11264SGSF", String(UINT64_MAX, 36).cstr());
  EXPECT_STREQ("-1000000000000000000000000000000000000000000000000000000000000000",
               String(INT64_MIN, 2).cstr());
  // long long literals pick the 64-bit forms instead of being ambiguous.
  EXPECT_STREQ("-9223372036854775808", String(-9223372036854775807LL - 1).cstr());
  EXPECT_STREQ("FFFFFFFFFFFFFFFF", String(0xFFFFFFFFFFFFFFFFULL, 16).cstr());
  EXPECT_STREQ("1.50", String(1.5, 2).cstr());
  EXPECT_STREQ("1.500000", String(1.5).cstr());
  EXPECT_STREQ("-2", String(-1.5, 0).cstr());
}

TEST(StringDeathTest, BaseOutOfRangeAsserts) {
  EXPECT_DEATH(String(5, 1), "base >= 2 && base <= 36");
  EXPECT_DEATH(String(std::uint64_t(5), 37), "base >= 2 && base <= 36");
  EXPECT_DEATH(String("1").toUnsigned(37), "base >= 2 && base <= 36");
  EXPECT_DEATH(String("1").toInt64(1), "base >= 2 && base <= 36");
  EXPECT_DEATH(String("1").toUnsigned64(37), "base >= 2 && base <= 36");
  EXPECT_DEATH(String("1").toInteger(0), "base >= 2 && base <= 36");
}

TEST(StringDeathTest, NullArgumentsAssertWithTheirNames) {
  String s("abc");
  char const* null = nullptr;
  EXPECT_DEATH(s.find(null), "Assertion failed: cstr, file string.cpp");
  EXPECT_DEATH(s.splice(null, 0, 1), "Assertion failed: cstr");
  EXPECT_DEATH(s.findOneOf(null), "Assertion failed: chars");
  EXPECT_DEATH(s.compare(null), "Assertion failed: other");
  EXPECT_DEATH(s.tokenise(null), "Assertion failed: separators");
  EXPECT_DEATH(s.replace(null, "x"), "Assertion failed: target");
  EXPECT_DEATH(s.replace("a", null), "Assertion failed: subs");
  EXPECT_DEATH(String::printf(null), "Assertion failed: fmt");
}

// --- wide text -------------------------------------------------------------

TEST(StringWide, EncodesEachUnitByItself) {
  wchar_t const e[] = {0xE9, 0};
  String s(e);
  ASSERT_EQ(2u, s.length());
  EXPECT_EQ(0xC3, static_cast<unsigned char>(s.cstr()[0]));
  EXPECT_EQ(0xA9, static_cast<unsigned char>(s.cstr()[1]));
  boost::shared_array<wchar_t> back = s.toUTF16();
  EXPECT_EQ(0xE9, back[0]);
  EXPECT_EQ(0, back[1]);

  // A shared array converts the same way.
  boost::shared_array<wchar_t> arr(new wchar_t[3]{L'h', L'i', 0});
  EXPECT_STREQ("hi", String(arr).cstr());
}

#if WCHAR_MAX > 0xFFFF
TEST(StringWide, Utf32UnitsAreCodePoints) {
  wchar_t const mixed[] = {L'a', 0x7FF, 0x800, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF, 0};
  String m(mixed);
  EXPECT_EQ(1u + 2 + 3 + 3 + 4 + 4 + 4, m.length());
  EXPECT_STREQ("a\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", m.cstr());
  boost::shared_array<wchar_t> r = m.toUTF16();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(mixed[i], r[i]) << i;

  // A length limit converts the same way.
  EXPECT_STREQ("a\xDF\xBF", String(mixed, 2).cstr());
  // Surrogate units are encoded one by one, a pair included; units beyond
  // Unicode become U+FFFD.
  wchar_t const odd[] = {0xD83D, static_cast<wchar_t>(0x110000), 0xD83D, 0xDE00, 0};
  EXPECT_STREQ("\xED\xA0\xBD\xEF\xBF\xBD\xED\xA0\xBD\xED\xB8\x80", String(odd).cstr());
}
#else
TEST(StringWide, Utf16SurrogatePairsAreOneCodePoint) {
  wchar_t const mixed[] = {L'a', 0x7FF, 0x800, 0xFFFF, 0xD800, 0xDC00, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF, 0};
  String m(mixed);
  EXPECT_EQ(1u + 2 + 3 + 3 + 4 + 4 + 4, m.length());
  EXPECT_STREQ("a\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", m.cstr());
  boost::shared_array<wchar_t> r = m.toUTF16();
  for (int i = 0; i < 11; ++i) EXPECT_EQ(mixed[i], r[i]) << i;
  // A lone surrogate, high or low, is encoded by itself, and so is a high
  // one whose low half the length limit cuts off.
  wchar_t const odd[] = {0xD83D, L'x', 0xDE00, 0};
  EXPECT_STREQ("\xED\xA0\xBDx\xED\xB8\x80", String(odd).cstr());
  wchar_t const pair[] = {L'a', 0xD83D, 0xDE00, 0};
  EXPECT_STREQ("a\xED\xA0\xBD", String(pair, 2).cstr());
}
#endif

TEST(StringWide, MalformedUtf8) {
  auto units = [](char const* text) {
    boost::shared_array<wchar_t> w = String(text).toUTF16();
    std::vector<unsigned int> out;
    for (int i = 0; w[i]; ++i) out.push_back(static_cast<unsigned int>(w[i]));
    return out;
  };
  using U = std::vector<unsigned int>;
  // A stray continuation byte skips six bytes and gives 0xFFFF...
  EXPECT_EQ((U{0xFFFF, 'z'}), units("\x80" "abcdez"));
  // ...or ends the text when six bytes are not there.
  EXPECT_EQ((U{'a'}), units("a\x80" "bc"));
  // Truncated two- and three-byte sequences at the end give nothing.
  EXPECT_EQ((U{'a'}), units("a\xC3"));
  EXPECT_EQ((U{'a'}), units("a\xE2\x82"));
  // A truncated four-byte sequence ends the text.
  EXPECT_EQ((U{'a'}), units("a\xF0\x9F\x98"));
  // Five- and six-byte forms and 0xFE/0xFF give 0xFFFF.
  EXPECT_EQ((U{0xFFFF, 'x'}), units("\xF8\x88\x80\x80\x80x"));
  EXPECT_EQ((U{0xFFFF, 'x'}), units("\xFE\x80\x80\x80\x80\x80x"));
  // Output is length()+1 units long and NUL-terminated even when all decodes.
  boost::shared_array<wchar_t> w = String("abc").toUTF16();
  EXPECT_EQ(0, w[3]);
}

// --- numbers ----------------------------------------------------------------

TEST(StringParse, StandardConversions) {
  EXPECT_EQ(0, String().toInteger());
  EXPECT_EQ(-42, String("  -42abc").toInteger());
  EXPECT_EQ(INT_MIN, String("-2147483648").toInteger());
  EXPECT_EQ(INT_MAX, String("99999999999").toInteger());  // saturates
  EXPECT_EQ(INT_MIN, String("-99999999999").toInteger());
  EXPECT_EQ(0u, String("- 1").toUnsigned());
  EXPECT_EQ(4294967295u, String("4294967296").toUnsigned());  // saturates
  EXPECT_EQ(4294967295u, String("-1").toUnsigned());
  EXPECT_EQ(35u, String("z").toUnsigned(36));
  EXPECT_DOUBLE_EQ(1.25, String(" 1.25e0x").toReal());
  EXPECT_DOUBLE_EQ(0.0, String().toReal());
}

TEST(StringParse, Own64BitParser) {
  EXPECT_EQ(-12, String("  -12x").toInt64());
  EXPECT_EQ(12, String("\t+12").toInt64());
  EXPECT_EQ(0, String("+-12").toInt64());
  EXPECT_EQ(0u, String("-1").toUnsigned64());
  EXPECT_EQ(0u, String("+1").toUnsigned64());
  EXPECT_EQ(255, String("ff").toInt64(16));
  EXPECT_EQ(5, String("1012").toInt64(2));
  EXPECT_EQ(INT64_MIN, String("-9223372036854775808").toInt64());
  EXPECT_EQ(UINT64_MAX, String("18446744073709551615").toUnsigned64());
  // No overflow detection: 2^64 wraps to 0, 2^64+5 to 5.
  EXPECT_EQ(0u, String("18446744073709551616").toUnsigned64());
  EXPECT_EQ(5u, String("18446744073709551621").toUnsigned64());
  EXPECT_EQ(INT64_MIN, String("9223372036854775808").toInt64());
  // Round trips at the extremes in every base.
  for (unsigned int base = 2; base <= 36; ++base) {
    EXPECT_EQ(INT64_MIN, String(INT64_MIN, base).toInt64(base)) << base;
    EXPECT_EQ(UINT64_MAX, String(UINT64_MAX, base).toUnsigned64(base)) << base;
  }
}

// --- searches ---------------------------------------------------------------

TEST(StringSearch, FindAtTheBoundaries) {
  String s("abc");
  EXPECT_EQ(0u, s.find(""));
  EXPECT_EQ(0u, s.find("", 5));
  EXPECT_EQ(1u, s.find("b"));
  EXPECT_EQ(1u, s.find("B", 0, true));
  EXPECT_EQ(npos, s.find("B"));
  EXPECT_EQ(npos, s.find("bc", 2));
  EXPECT_EQ(npos, s.find("abcd"));
  EXPECT_EQ(npos, s.find("c", npos));
  // Windows with an equal byte sum but other bytes are rejected.
  EXPECT_EQ(3u, String("adxbc").find("bc"));  // "ad" sums like "bc"
  EXPECT_EQ(5u, String("xacc abd").find("abd"));  // "acc" sums like "abd"
  EXPECT_EQ(7u, String("xyzAbABab").find("ab"));  // "Ab"/"AB" sum alike, differ by case
  EXPECT_EQ(3u, String("xyzAbABab").find("ab", 0, true));
  EXPECT_EQ(5u, String("xyzAbABab").find("AB", 4));
}

// The search against a plain reference, over texts long enough for the
// block-wise filter, with needles cut from the text and from a small
// alphabet, in both case modes.
TEST(StringSearch, AgreesWithAPlainSearch) {
  auto fold = [](std::string t) {
    for (char& c : t)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return t;
  };
  std::uint32_t x = 12345;
  auto next = [&x](std::uint32_t range) {
    x = x * 1103515245u + 12345u;
    return (x >> 16) % range;
  };
  char const alphabet[] = "abAB\xe9 ~";
  for (int round = 0; round < 400; ++round) {
    std::string text;
    std::size_t const length = next(300);
    for (std::size_t i = 0; i < length; ++i) text.push_back(alphabet[next(sizeof alphabet - 1)]);
    std::string needle;
    if (round % 3 == 0 && length > 0) {
      std::size_t a = next(static_cast<std::uint32_t>(length));
      needle = text.substr(a, 1 + next(round % 2 ? 280 : 6));
    } else {
      std::size_t const n = 1 + next(round % 7 == 1 ? 270 : 4);
      for (std::size_t i = 0; i < n; ++i) needle.push_back(alphabet[next(sizeof alphabet - 1)]);
    }
    String const s(text.c_str());
    for (bool ignoreCase : {false, true}) {
      std::string const t = ignoreCase ? fold(text) : text;
      std::string const nd = ignoreCase ? fold(needle) : needle;
      for (unsigned int from : {0u, 1u, 17u, static_cast<unsigned int>(length / 2)}) {
        std::size_t expected = t.find(nd, from);
        EXPECT_EQ(expected == std::string::npos ? npos : expected, s.find(needle.c_str(), from, ignoreCase))
            << round << " " << ignoreCase << " " << from;
        std::size_t last = t.rfind(nd, from);
        EXPECT_EQ(last == std::string::npos ? npos : last, s.findLast(needle.c_str(), from, ignoreCase))
            << round << " " << ignoreCase << " " << from;
      }
      std::size_t last = t.rfind(nd);
      EXPECT_EQ(last == std::string::npos ? npos : last, s.findLast(needle.c_str(), npos, ignoreCase));
    }
  }
}

TEST(StringSearch, FindLastAtTheBoundaries) {
  String s("abca");
  EXPECT_EQ(3u, s.findLast("a"));
  EXPECT_EQ(0u, s.findLast('a', 2));
  EXPECT_EQ(3u, s.findLast('a'));
  EXPECT_EQ(3u, s.findLast('A', npos, true));
  EXPECT_EQ(npos, String().findLast('a'));
  EXPECT_EQ(npos, s.findLast("abcab"));
  EXPECT_EQ(2u, s.findLast("", 2));
  EXPECT_EQ(4u, s.findLast(""));
}

TEST(StringSearch, SingleBytesAndSets) {
  String s("Hello, World");
  EXPECT_EQ(4u, s.find('o'));
  EXPECT_EQ(8u, s.find('o', 5));
  EXPECT_EQ(npos, s.find('o', 12));
  EXPECT_EQ(7u, s.find('w', 0, true));
  EXPECT_EQ(npos, s.find('w'));
  EXPECT_EQ(5u, s.findOneOf(", "));
  EXPECT_EQ(7u, s.findOneOf("xw", 0, true));
  EXPECT_EQ(npos, s.findOneOf("xw"));
  EXPECT_EQ(npos, s.findOneOf(""));
  EXPECT_EQ(npos, s.findOneOf("H", 12));
  // Bytes above 0x7F are matched as themselves.
  EXPECT_EQ(1u, String("a\xE9").findOneOf("\xE9"));
}

TEST(StringCompare, PrefixesSuffixesAndOrder) {
  String s("Hello");
  EXPECT_TRUE(s.startsWith(""));
  EXPECT_TRUE(s.startsWith("He"));
  EXPECT_FALSE(s.startsWith("he"));
  EXPECT_TRUE(s.startsWith("he", true));
  EXPECT_FALSE(s.startsWith("Hello!"));
  EXPECT_TRUE(s.endsWith(""));
  EXPECT_TRUE(s.endsWith("llo"));
  EXPECT_TRUE(s.endsWith("LLO", true));
  EXPECT_FALSE(s.endsWith("LLO"));
  EXPECT_FALSE(s.endsWith("xHello"));
  EXPECT_FALSE(String().endsWith("a"));

  EXPECT_EQ(0, s.compare("Hello"));
  EXPECT_GT(s.compare("Hell"), 0);
  EXPECT_EQ(0, s.compare("hELLO", true));
  EXPECT_EQ(0, String().compare(""));
  EXPECT_GT(String("\xE9").compare("e"), 0);  // bytes compare unsigned
  EXPECT_LT(String("_").compare("a", true), 0);  // folds to lower case
  EXPECT_TRUE(String("a") < String("b"));
}

// --- copies -----------------------------------------------------------------

TEST(StringCopies, MidLeftRight) {
  String s("abcdef");
  EXPECT_STREQ("cd", s.mid(2, 2).cstr());
  EXPECT_STREQ("cdef", s.mid(2).cstr());
  EXPECT_STREQ("", s.mid(6).cstr());
  EXPECT_STREQ("", s.mid(2, 0).cstr());
  EXPECT_STREQ("ab", s.left(2).cstr());
  EXPECT_STREQ("abcdef", s.left(100).cstr());
  EXPECT_STREQ("ef", s.right(2).cstr());
  EXPECT_TRUE(s.mid(0).unique());  // mid is always a fresh copy
  String whole = s.right(6);
  EXPECT_EQ(s.cstr(), whole.cstr());  // shares when not shorter
  EXPECT_STREQ("", s.right(0).cstr());
}

TEST(StringCopies, TrimAndCaseCopiesLeaveTheOriginal) {
  String s(" \t\r\n\v\fMiXed \xE9 \n");
  EXPECT_STREQ("MiXed \xE9 \n", s.toLeftTrimed().cstr());
  EXPECT_STREQ(" \t\r\n\v\fMiXed \xE9", s.toRightTrimed().cstr());
  EXPECT_STREQ("MiXed \xE9", s.toTrimed().cstr());
  EXPECT_STREQ(" \t\r\n\v\fMIXED \xE9 \n", s.toUpper().cstr());
  EXPECT_STREQ(" \t\r\n\v\fmixed \xE9 \n", s.toLower().cstr());
  EXPECT_STREQ(" \t\r\n\v\fMiXed \xE9 \n", s.cstr());
  EXPECT_TRUE(String(" \t ").toTrimed().empty());
}

TEST(StringLines, EveryTerminator) {
  EXPECT_TRUE(String().lines().empty());
  EXPECT_EQ((V{"a", "b"}), pieces(String("a\r\nb\n").lines()));
  EXPECT_EQ((V{"a\rb"}), pieces(String("a\rb").lines()));
  EXPECT_EQ((V{"a", "", "b"}), pieces(String("a\n\nb").lines()));
  EXPECT_EQ((V{"a", "b"}), pieces(String("a\r\r\nb").lines()));
  EXPECT_EQ((V{"a\r"}), pieces(String("a\r").lines()));
  EXPECT_EQ((V{"a\r\r"}), pieces(String("a\r\r").lines()));
  EXPECT_EQ((V{"a\r", "b"}), pieces(String("a\r\r\r\nb").lines()));
  EXPECT_EQ((V{""}), pieces(String("\n").lines()));
  EXPECT_EQ((V{"", ""}), pieces(String("\r\n\n").lines()));
}

TEST(StringTokenise, KeepEmptyOrNot) {
  EXPECT_EQ((V{"a", "b"}), pieces(String("a,,b").tokenise(",")));
  EXPECT_EQ((V{"a", "", "b"}), pieces(String("a,,b").tokenise(",", true)));
  EXPECT_EQ((V{"a"}), pieces(String(",a,").tokenise(',')));
  EXPECT_EQ((V{"", "a", ""}), pieces(String(",a,").tokenise(',', true)));
  EXPECT_EQ((V{}), pieces(String(",,,").tokenise(",")));
  EXPECT_EQ((V{"", "", "", ""}), pieces(String(",,,").tokenise(",", true)));
  EXPECT_EQ((V{}), pieces(String("abc").tokenise("")));
  EXPECT_EQ((V{}), pieces(String().tokenise(",", true)));
  EXPECT_EQ((V{"a", "b", "c"}), pieces(String("a b\tc").tokenise(String(" \t"))));
  EXPECT_EQ((V{"a", "b", "c"}), pieces(String("aXbxc").tokenise("x", false, true)));
  EXPECT_EQ((V{"aX", "c"}), pieces(String("aXbc").tokenise('b')));
  EXPECT_EQ((V{}), pieces(String("abc").tokenise('\0')));
}

// --- mutators and copy-on-write --------------------------------------------

TEST(StringMutate, AppendAndConcatenate) {
  String s;
  s.append("ab").append('c').append(String("de")).append("").append('\0');
  s.append(static_cast<char const*>(nullptr));
  EXPECT_STREQ("abcde", s.cstr());
  s += "f";
  s += 'g';
  s += String("h");
  EXPECT_STREQ("abcdefgh", s.cstr());
  EXPECT_STREQ("xy", (String("x") + "y").cstr());
  EXPECT_STREQ("xy", ("x" + String("y")).cstr());
  EXPECT_STREQ("xy", (String("x") + 'y').cstr());
}

// A text built a byte at a time moves to a larger block a few dozen times
// over a million appends, not at every append: its block grows
// geometrically, which keeps a run of appends linear. The block's size is
// read from the allocator.
TEST(StringMutate, AppendsGrowTheBlockGeometrically) {
  String s;
  s.append(std::string(64, 'x'));  // past the stub's own room: a block of its own
  std::size_t blockSize = ZU_TEST_BLOCK_SIZE(const_cast<char*>(s.cstr()));
  unsigned int growths = 0;
  for (int i = 0; i < 1000000; ++i) {
    s.append('y');
    std::size_t const size = ZU_TEST_BLOCK_SIZE(const_cast<char*>(s.cstr()));
    if (size != blockSize) ++growths;
    blockSize = size;
  }
  EXPECT_EQ(1000064u, s.length());
  EXPECT_GE(blockSize, s.length() + 1);
  EXPECT_LE(growths, 40u);
  // The same for appends of several bytes.
  String words;
  words.append(std::string(64, 'x'));
  blockSize = ZU_TEST_BLOCK_SIZE(const_cast<char*>(words.cstr()));
  growths = 0;
  for (int i = 0; i < 100000; ++i) {
    words.append("word ");
    std::size_t const size = ZU_TEST_BLOCK_SIZE(const_cast<char*>(words.cstr()));
    if (size != blockSize) ++growths;
    blockSize = size;
  }
  EXPECT_LE(growths, 40u);
}

TEST(StringMutate, SpliceEraseAndReplace) {
  EXPECT_STREQ("abcZ", String("abc").splice("Z", 10, 1).cstr());
  EXPECT_STREQ("aZc", String("abc").splice("Z", 1, 1).cstr());
  EXPECT_STREQ("aZ", String("abc").splice('Z', 1, npos).cstr());
  EXPECT_STREQ("ac", String("abc").splice('\0', 1, 1).cstr());
  EXPECT_STREQ("Zabc", String("abc").splice(String("Z"), 0, 0).cstr());
  EXPECT_STREQ("Z", String().splice("Z", 0, 5).cstr());
  EXPECT_STREQ("", String("abc").splice("", 0, npos).cstr());
  EXPECT_STREQ("a", String("abc").erase(1).cstr());
  EXPECT_STREQ("bc", String("abc").erase(0, 1).cstr());

  String r("aXa");
  EXPECT_TRUE(r.replace("a", "aa"));
  EXPECT_STREQ("aaXaa", r.cstr());
  String one("a-a-a");
  EXPECT_TRUE(one.replace("a", "bb", false, 1));
  EXPECT_STREQ("a-bb-a", one.cstr());
  String shrink("xxAxxBxx");
  EXPECT_TRUE(shrink.replace("xx", "-"));
  EXPECT_STREQ("-A-B-", shrink.cstr());
  String gone("abab");
  EXPECT_TRUE(gone.replace(String("AB"), String(""), true, 0, true));
  EXPECT_TRUE(gone.empty());
  String none("abc");
  EXPECT_FALSE(none.replace("x", "y"));
  EXPECT_FALSE(none.replace("a", "y", true, 3));
  EXPECT_FALSE(none.replace("", "y"));  // an empty target changes nothing
  EXPECT_STREQ("abc", none.cstr());
  String overlap("aaaa");
  EXPECT_TRUE(overlap.replace("aa", "b"));
  EXPECT_STREQ("bb", overlap.cstr());
}

TEST(StringMutate, TrimAndCaseInPlace) {
  String s("  x y  ");
  EXPECT_STREQ("x y  ", String(s).leftTrim().cstr());
  EXPECT_STREQ("  x y", String(s).rightTrim().cstr());
  EXPECT_STREQ("x y", s.trim().cstr());
  EXPECT_STREQ("X Y", s.makeUpper().cstr());
  EXPECT_STREQ("x y", s.makeLower().cstr());
  EXPECT_TRUE(String("   ").leftTrim().empty());
}

TEST(StringMutate, GetBufferAndMakeCompact) {
  String s;
  char* b = s.getBuffer(10);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(0, b[i]);
  b[0] = 'h';
  b[1] = 'i';
  EXPECT_EQ(2u, s.length());
  EXPECT_STREQ("hi", s.makeCompact().cstr());
  EXPECT_TRUE(s.unique());

  String longer("abcdef");
  char const* before = longer.cstr();
  EXPECT_EQ(before, longer.getBuffer(3));  // long enough: unchanged
  EXPECT_STREQ("abcdef", longer.getBuffer(8));
}

// The length is kept beside the text; every mutator must leave it true,
// whether the text sits in place, was shared, or grew by doubling.
TEST(StringLength, FollowsEveryMutatorAgainstAModel) {
  String s;
  std::string model;
  std::uint32_t x = 12345;
  auto next = [&x](std::uint32_t n) {
    x = x * 1103515245u + 12345u;
    return (x >> 16) % n;
  };
  std::vector<String> keep;  // copies that make the next change detach
  for (int step = 0; step < 4000; ++step) {
    if (next(5) == 0) keep.push_back(s);
    if (keep.size() > 4) keep.erase(keep.begin());
    unsigned int const pos = static_cast<unsigned int>(next(static_cast<std::uint32_t>(model.size()) + 3));
    unsigned int const count = next(4);
    switch (next(9)) {
      case 0: case 1: case 2: {
        char const c = static_cast<char>('a' + next(26));
        s.append(c);
        model += c;
        break;
      }
      case 3: s.append("xyz"); model += "xyz"; break;
      case 4:
        s.splice("PQ", pos, count);
        if (pos >= model.size()) model += "PQ"; else model.replace(pos, count, "PQ");
        break;
      case 5:
        s.erase(pos, count);
        if (pos < model.size()) model.erase(pos, count);
        break;
      case 6:
        s.append("  ").rightTrim();
        while (!model.empty() && model.back() == ' ') model.pop_back();
        break;
      case 7:
        if (next(8) == 0) { s.makeCompact(); }
        else { s.replace("PQ", "R"); std::size_t p; while ((p = model.find("PQ")) != std::string::npos) model.replace(p, 2, "R"); }
        break;
      case 8:
        if (model.size() > 300) { s.erase(0, 200); model.erase(0, 200); }
        break;
    }
    ASSERT_EQ(model.size(), s.length()) << step;
    ASSERT_EQ(model, s.cstr()) << step;
  }
  String sole("  lead");
  sole.leftTrim();
  EXPECT_EQ(4u, sole.length());
  EXPECT_EQ(4u, String(sole).makeUpper().length());
  EXPECT_EQ(7u, String::printf("%s-%d", "ab", 1234).length());
  wchar_t const wide[] = {0xE9, 'x', 0};
  EXPECT_EQ(3u, String(wide).length());
}

// What the caller writes through getBuffer counts, up to the first NUL,
// until the next mutator; the mutator measures it once.
TEST(StringLength, GetBufferWritesCountUntilTheNextMutator) {
  String s("abc");
  char* b = s.getBuffer(10);
  std::memcpy(b + 3, "def", 3);
  EXPECT_EQ(6u, s.length());
  b[7] = 'z';  // behind a NUL: not part of the text
  EXPECT_EQ(6u, s.length());
  s.append('g');
  EXPECT_STREQ("abcdefg", s.cstr());
  EXPECT_EQ(7u, s.length());
  s.append("hi");
  EXPECT_EQ(9u, s.length());

  // Shortening through the buffer of a long enough text.
  String t("hello world");
  t.getBuffer(5)[2] = 0;
  EXPECT_EQ(2u, t.length());
  EXPECT_EQ(1u, t.find('e'));
  EXPECT_EQ(npos, t.find('o'));
  t.append("x");
  EXPECT_STREQ("hex", t.cstr());

  // A copy taken after the writes sees them; a change to either detaches.
  String u;
  std::strcpy(u.getBuffer(50), "written");
  String v(u);
  EXPECT_EQ(7u, v.length());
  v.append('!');
  EXPECT_STREQ("written", u.cstr());
  EXPECT_EQ(7u, u.length());
  EXPECT_EQ(8u, v.length());
  EXPECT_STREQ("written", u.makeCompact().cstr());
  EXPECT_EQ(7u, u.length());

  // Writes filling the whole buffer, then byte appends into spare room.
  String w;
  std::memset(w.getBuffer(100), 'q', 100);
  EXPECT_EQ(100u, w.length());
  for (int i = 0; i < 100; ++i) w.append('r');
  EXPECT_EQ(std::string(100, 'q') + std::string(100, 'r'), w.cstr());
}

TEST(StringMutate, PrintfGrowsToFit) {
  EXPECT_STREQ("x=5 y=ab", String::printf("x=%d y=%s", 5, "ab").cstr());
  std::string big(1000, 'q');
  EXPECT_STREQ(big.c_str(), String::printf("%s", big.c_str()).cstr());
  EXPECT_STREQ("7-7", String::printf(String("%d-%d"), 7, 7).cstr());
  // The text form of the format: alone, from a std::string, and with a
  // text object among the arguments.
  EXPECT_STREQ("100%", String::printf(String("100%%")).cstr());
  EXPECT_STREQ("8/zu", String::printf(std::string("%d/%s"), 8, String("zu")).cstr());
  String const shared("%s|%s");
  EXPECT_STREQ("a|b", String::printf(shared, "a", std::string("b")).cstr());
  for (std::size_t n = 0; n < 100; ++n) {
    std::string const text(n, 'p');
    ASSERT_STREQ(text.c_str(), String::printf("%s", text.c_str()).cstr()) << n;
  }
  // A wide character the "C" locale cannot encode: an error no buffer size
  // cures, so the result is empty rather than an endless retry.
  wchar_t const unencodable[] = {0x20AC, 0};
  EXPECT_STREQ("", String::printf("%ls", unencodable).cstr());
}

// One change applied to a string, and the text it should leave.
struct ChangeCase {
  char const* name;
  void (*apply)(String&);
  char const* expected;
};

// Every mutator, applied to a copy, leaves the original alone; and every
// mutator whose argument is the string's own text reads it before writing.
TEST(StringCopyOnWrite, MutatedCopyNeverChangesTheOriginal) {
  ChangeCase const cases[] = {
      {"append", [](String& s) { s.append("!"); }, " Abc !"},
      {"appendChar", [](String& s) { s.append('!'); }, " Abc !"},
      {"splice", [](String& s) { s.splice("Z", 1, 1); }, " Zbc "},
      {"spliceGrow", [](String& s) { s.splice("ZZZZ", 1, 1); }, " ZZZZbc "},
      {"erase", [](String& s) { s.erase(1, 2); }, " c "},
      {"replace", [](String& s) { s.replace("b", "XX"); }, " AXXc "},
      {"replaceShrink", [](String& s) { s.replace("bc", "_"); }, " A_ "},
      {"leftTrim", [](String& s) { s.leftTrim(); }, "Abc "},
      {"rightTrim", [](String& s) { s.rightTrim(); }, " Abc"},
      {"trim", [](String& s) { s.trim(); }, "Abc"},
      {"makeUpper", [](String& s) { s.makeUpper(); }, " ABC "},
      {"makeLower", [](String& s) { s.makeLower(); }, " abc "},
      {"getBuffer", [](String& s) { s.getBuffer(2)[0] = '#'; }, "#Abc "},
      {"getBufferGrow", [](String& s) { s.getBuffer(20)[5] = '#'; }, " Abc #"},
      {"makeCompact", [](String& s) { s.makeCompact(); }, " Abc "},
      {"assign", [](String& s) { s = "new"; }, "new"},
  };
  for (ChangeCase const& c : cases) {
    String original(" Abc ");
    String copy(original);
    EXPECT_EQ(original.cstr(), copy.cstr()) << c.name;  // shared before
    c.apply(copy);
    EXPECT_STREQ(" Abc ", original.cstr()) << c.name;
    EXPECT_STREQ(c.expected, copy.cstr()) << c.name;
    EXPECT_TRUE(copy.unique()) << c.name;
    EXPECT_TRUE(original.unique()) << c.name;
  }
}

TEST(StringCopyOnWrite, SoleOwnerChangesInPlace) {
  String s("abcdef");
  char const* before = s.cstr();
  s.splice("X", 1, 2);
  EXPECT_EQ(before, s.cstr());
  s.rightTrim();
  s.makeUpper();
  s.erase(0, 1);
  EXPECT_EQ(before, s.cstr());
  EXPECT_STREQ("XDEF", s.cstr());
}

TEST(StringCopyOnWrite, ArgumentInsideOwnBufferIsReadFirst) {
  struct Case {
    void (*apply)(String&);
    char const* expected;
  };
  Case const cases[] = {
      {[](String& s) { s.append(s); }, "abcdefghabcdefgh"},
      {[](String& s) { s.append(s.cstr() + 4); }, "abcdefghefgh"},
      {[](String& s) { s.splice(s.cstr() + 2, 0, 1); }, "cdefghbcdefgh"},
      {[](String& s) { s.splice(s, 8, 0); }, "abcdefghabcdefgh"},
      {[](String& s) { s.replace(s.cstr() + 4, "X"); }, "abcdX"},  // target inside
      {[](String& s) { s.replace("b", s.cstr() + 6); }, "aghcdefgh"},  // subs inside
      {[](String& s) { s = s.cstr() + 2; }, "cdefgh"},
      // Behind the NUL, in the spare room getBuffer left.
      {[](String& s) { std::strcpy(s.getBuffer(100) + 50, "xyz"), s.append(s.cstr() + 50); }, "abcdefghxyz"},
  };
  for (Case const& c : cases) {
    String s("abcdefgh");
    c.apply(s);
    EXPECT_STREQ(c.expected, s.cstr());
  }
}

// Short and long texts are kept differently; every length from empty to
// well past any short-text limit must survive growth, shrinking, sharing
// and self-reference.
TEST(StringCopyOnWrite, EveryLengthSurvivesGrowthAndShrinking) {
  std::string expected;
  String grown;
  for (int i = 0; i < 120; ++i) {
    String before(grown);  // shared: the append must copy
    char const c = static_cast<char>('a' + i % 26);
    grown.append(c);
    expected += c;
    ASSERT_STREQ(expected.c_str(), grown.cstr()) << i;
    ASSERT_EQ(expected.size() - 1, before.length()) << i;

    String sole(expected.c_str());
    sole.append(sole.cstr() + sole.length() / 2);  // reads its own text
    ASSERT_EQ(expected + expected.substr(expected.size() / 2), sole.cstr()) << i;

    String compact(expected.c_str());
    compact.getBuffer(200);
    compact.erase(static_cast<unsigned int>(expected.size() / 2));
    compact.makeCompact();
    ASSERT_EQ(expected.substr(0, expected.size() / 2), compact.cstr()) << i;
    String number(static_cast<std::uint64_t>(i) * 0x9E3779B97F4A7C15ull, 2);
    ASSERT_EQ(static_cast<std::uint64_t>(i) * 0x9E3779B97F4A7C15ull, number.toUnsigned64(2)) << i;
  }
  for (int size = 0; size < 80; ++size) {
    String s("ab");
    char* b = s.getBuffer(static_cast<unsigned int>(size));
    std::memset(b + 2, 'z', size > 2 ? size - 2 : 0);
    EXPECT_EQ(size > 2 ? unsigned(size) : 2u, s.length()) << size;
    if (size > 10) {
      // Behind the NUL of a short text, in the room getBuffer left.
      b[5] = 0;
      std::strcpy(b + 7, "q");
      s.append(b + 7);
      EXPECT_STREQ("abzzzq", s.cstr()) << size;
    }
  }
}

TEST(StringCopyOnWrite, MoveLeavesAUsableEmptyString) {
  String a("text");
  String b(std::move(a));
  EXPECT_STREQ("text", b.cstr());
  EXPECT_STREQ("", a.cstr());  // NOLINT(bugprone-use-after-move)
  a.append("again");
  EXPECT_STREQ("again", a.cstr());
  String c;
  c = std::move(b);
  EXPECT_STREQ("text", c.cstr());
  EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move)
  b.getBuffer(3)[0] = 'z';
  EXPECT_STREQ("z", b.cstr());
  String d(std::move(c));
  c.makeCompact().makeUpper().trim();  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(c.empty());
}

// Empty strings (default-made, made from "", cut to nothing) may hold no
// stub at all: every change must work on each, and a copy changed must
// leave the other empty.
TEST(StringCopyOnWrite, EveryChangeWorksOnEachFormOfTheEmptyString) {
  ChangeCase const cases[] = {
      {"append", [](String& s) { s.append("ab"); }, "ab"},
      {"appendChar", [](String& s) { s.append('x'); }, "x"},
      {"appendString", [](String& s) { s += String("cd"); }, "cd"},
      {"splice", [](String& s) { s.splice("Z", 0, 0); }, "Z"},
      {"erase", [](String& s) { s.erase(0, 1); }, ""},
      {"replace", [](String& s) { s.replace("a", "b"); }, ""},
      {"trim", [](String& s) { s.trim(); }, ""},
      {"makeUpper", [](String& s) { s.makeUpper(); }, ""},
      {"getBuffer", [](String& s) { std::strcpy(s.getBuffer(3), "ok"); }, "ok"},
      {"makeCompact", [](String& s) { s.makeCompact(); }, ""},
      {"assign", [](String& s) { s = "new"; }, "new"},
  };
  for (ChangeCase const& c : cases) {
    String moved("gone");
    String taker(std::move(moved));
    String forms[] = {String(), String(""), String("abc").mid(3), String("abc", 0), moved};  // NOLINT
    for (String& form : forms) {
      String copy(form);
      c.apply(copy);
      EXPECT_STREQ(c.expected, copy.cstr()) << c.name;
      EXPECT_EQ(std::strlen(c.expected), copy.length()) << c.name;
      EXPECT_TRUE(form.empty()) << c.name;
      EXPECT_STREQ("", form.cstr()) << c.name;
      c.apply(form);
      EXPECT_STREQ(c.expected, form.cstr()) << c.name;
    }
  }
  EXPECT_EQ(0, String().compare(String("")));
  EXPECT_EQ(npos, String().find("a"));
}

TEST(StringConcurrent, CopiesSharedBetweenThreads) {
  String const shared(std::string(1000, 'x').c_str());
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, &bad, t] {
      for (int i = 0; i < 2000; ++i) {
        String mine(shared);
        String other = mine;
        if (i % 3 == t % 3) other.append('y');
        if (mine.length() != 1000 || shared.length() != 1000) ++bad;
        if ((i % 3 == t % 3) && other.length() != 1001) ++bad;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_TRUE(shared.unique());
}

// A string whose last other holder was on another thread becomes the sole
// owner and changes in place; the other thread's reads happen before that.
TEST(StringConcurrent, InPlaceChangeAfterAnotherThreadLetGo) {
  for (int round = 0; round < 200; ++round) {
    String s("shared text");
    std::atomic<std::size_t> seen{0};
    std::thread reader([copy = s, &seen] { seen = copy.length() + copy.find("text"); });
    while (!s.unique()) std::this_thread::yield();
    char const* before = s.cstr();
    s.makeUpper();
    EXPECT_EQ(before, s.cstr());
    reader.join();
    EXPECT_EQ(11u + 7u, seen.load());
    EXPECT_STREQ("SHARED TEXT", s.cstr());
  }
}

// --- beside the standard library ---------------------------------------------

TEST(StringStd, ConvertsBothWays) {
  std::string const text("std text");
  String s = text;  // implicit, as a std::string argument is passed
  EXPECT_STREQ("std text", s.cstr());
  EXPECT_EQ(8u, s.length());
  EXPECT_EQ(text, s.str());
  EXPECT_EQ(std::string_view("std text"), s.view());
  std::string_view const part = std::string_view(text).substr(4, 3);
  EXPECT_STREQ("tex", String(part).cstr());  // a view need not end in NUL
  EXPECT_STREQ("ab", String(std::string("ab\0cd", 5)).cstr());  // a String ends at a NUL
  EXPECT_EQ("", String().str());
  EXPECT_TRUE(String().view().empty());
}

TEST(StringStd, ComparesAndConcatenatesWithStdString) {
  String const s("abc");
  std::string const same("abc"), more("abd");
  EXPECT_TRUE(s == same);
  EXPECT_TRUE(same == s);
  EXPECT_TRUE(s != more);
  EXPECT_TRUE(more != s);
  EXPECT_TRUE(s < more);
  EXPECT_FALSE(more < s);
  EXPECT_TRUE(std::string("abb") < s);
  EXPECT_FALSE(s < same);
  EXPECT_FALSE(s == std::string("ab"));
  EXPECT_STREQ("abcabd", (s + more).cstr());
  EXPECT_STREQ("abdabc", (more + s).cstr());
  String t("x");
  t += more;
  EXPECT_STREQ("xabd", t.cstr());
  EXPECT_STREQ("xabd!", (String(t) + std::string("!")).cstr());
}

TEST(StringStd, StreamsAndHashes) {
  std::ostringstream out;
  out << String("ab") << '|' << std::setw(4) << String("c") << '|' << String();
  EXPECT_EQ("ab|   c|", out.str());

  std::unordered_map<String, int> counts;
  for (char const* word : {"to", "be", "or", "not", "to", "be"}) ++counts[String(word)];
  EXPECT_EQ(2, counts[String("to")]);
  EXPECT_EQ(1, counts[String("not")]);
  EXPECT_EQ(4u, counts.size());
  EXPECT_EQ(std::hash<String>()(String("same")), std::hash<String>()(String(std::string("same"))));
}

// Appending to a String that is about to go away reuses its buffer.
TEST(StringStd, MoveAppendingCopiesNoBuffer) {
  String a("start");
  char const* buffer = a.cstr();
  String b = std::move(a) + "-" + String("x") + std::string("y") + 'z';
  EXPECT_STREQ("start-xyz", b.cstr());
  EXPECT_EQ(buffer, b.cstr());

  String big(std::string(100, 'q'));
  String sum;
  char const* text = big.cstr();
  sum += std::move(big);  // an empty string takes the appended buffer
  EXPECT_EQ(text, sum.cstr());
  EXPECT_EQ(100u, sum.length());

  String kept("kept");
  String copy(kept);
  String joined = std::move(copy) + "!";  // shared: detaches, the other keeps its text
  EXPECT_STREQ("kept", kept.cstr());
  EXPECT_STREQ("kept!", joined.cstr());
}

TEST(StringStd, PrintfTakesTextObjectsAsText) {
  String const name("zu");
  std::string const other("std");
  EXPECT_STREQ("zu/std/7", String::printf("%s/%s/%d", name, other, 7).cstr());
  EXPECT_STREQ("[zu]", String::printf(String("[%s]"), name).cstr());
  EXPECT_STREQ("5 zu", String::printf("%d %s", 5, String("zu").cstr()).cstr());
  EXPECT_STREQ(std::string(300, 'w').c_str(), String::printf("%s", String(std::string(300, 'w'))).cstr());
}

// Calls that compiled before keep their meaning.
TEST(StringStd, EarlierCallsKeepTheirMeaning) {
  String a = "x";
  EXPECT_STREQ("x", a.cstr());
  EXPECT_STREQ("0", String(0).cstr());
  EXPECT_STREQ("99", String('c').cstr());  // a char is a number, as before
  EXPECT_STREQ("101", String(5u, 2).cstr());
  EXPECT_STREQ("-1", String(-1LL).cstr());
  a = "y";
  EXPECT_STREQ("y", a.cstr());
  EXPECT_TRUE(a == "y");
  EXPECT_STREQ("y1", (a + "1").cstr());
  EXPECT_STREQ("3", String::printf("%d", 3).cstr());
  static_assert(!std::is_convertible<std::string_view, String>::value, "a view converts only when asked");
  static_assert(!std::is_convertible<int, String>::value, "numbers convert only when asked");
  static_assert(std::is_convertible<std::string, String>::value, "std::string passes as a String");
}
