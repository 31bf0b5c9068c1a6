// Sizes are 32 bits wide in the values and byte queues: a request past that
// limit stops at the assertion or is cut to the limit, and a growth near it
// never wraps into a small block. Most of these limits would take more than
// 4 GiB to reach through the public interface, so the arithmetic behind
// them is tested directly; the ones that can be reached cheaply are tested
// through the values.
#include <zu/array.h>
#include <zu/string.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "../impl/core/sizes.h"
#include "../impl/core/string_storage.h"

using zu::String;
using zu::TArray;

namespace {

std::uint64_t const limit = 0xFFFFFFFF;

}  // namespace

TEST(SizesDeathTest, SumsStopAtTheAssertionPastTheirLimit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EQ(0xFFFFFFFEu, zu::__::checkedSum(0xFFFFFFFD, 1, 0xFFFFFFFE, "sum"));
  EXPECT_EQ(0xFFFFFFFEu, zu::__::checkedSum(0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFE, "sum"));
  EXPECT_TRUE(zu::__::sumFits(0, limit, limit));
  EXPECT_FALSE(zu::__::sumFits(1, limit, limit));
  EXPECT_FALSE(zu::__::sumFits(limit + 1, 0, limit));
  // 2^32 would be 0 in 32 bits.
  EXPECT_DEATH(zu::__::checkedSum(0x80000000, 0x80000000, limit, "the sum"), "Assertion failed: the sum");
  EXPECT_DEATH(zu::__::checkedSum(0xFFFFFFFE, 1, 0xFFFFFFFE, "the sum"), "Assertion failed: the sum");
  // A String's block: its length, the bytes to add and the NUL.
  EXPECT_EQ(0xFFFFFFFFu, zu::__::storage::textBytes(0xFFFFFFF0, 14));
  EXPECT_DEATH(zu::__::storage::textBytes(0xFFFFFFF0, 15), "length <= 0xFFFFFFFE");
  EXPECT_DEATH(zu::__::storage::textBytes(0x10, 0x100000000ull), "length <= 0xFFFFFFFE");
}

TEST(Sizes, GrowthIsGeometricAndStopsAtTheLimit) {
  EXPECT_EQ(200u, zu::__::grownSize(100, 101, limit, 1)) << "doubled";
  EXPECT_EQ(150u, zu::__::grownSize(100, 101, limit, 2)) << "by half";
  EXPECT_EQ(300u, zu::__::grownSize(100, 300, limit, 1)) << "what is needed, when more";
  EXPECT_EQ(1u, zu::__::grownSize(0, 1, limit, 1));
  // Doubling or adding half past 4 GiB: the limit, never a wrapped size.
  EXPECT_EQ(limit, zu::__::grownSize(0x80000000, 0x80000001, limit, 1));
  EXPECT_EQ(limit, zu::__::grownSize(0xC0000000, 0xC0000001, limit, 2));
  EXPECT_EQ(limit, zu::__::grownSize(limit - 1, limit, limit, 1));
}

TEST(Sizes, RingPositionsPastTwoGibibytesDoNotWrap) {
  unsigned int const capacity = 0xFFFFFFF0;
  EXPECT_EQ(0x10000010u, zu::__::ringIndex(0xF0000000, 0x20000000, capacity));
  EXPECT_EQ(0xF0000000u, zu::__::ringIndex(0xF0000000, capacity, capacity)) << "a whole turn";
  EXPECT_EQ(0xFFFFFFEFu, zu::__::ringIndex(0xFFFFFFEE, 1, capacity));
  EXPECT_EQ(0u, zu::__::ringIndex(0xFFFFFFEF, 1, capacity));
  for (std::uint64_t head : {0ull, 1ull, 5ull, 0x7FFFFFFFull, 0xFFFFFFEFull})
    for (std::uint64_t offset : {0ull, 1ull, 0x80000000ull, 0xFFFFFFEFull, 0xFFFFFFF0ull})
      EXPECT_EQ((head + offset) % capacity, zu::__::ringIndex(unsigned(head), unsigned(offset), capacity))
          << head << " + " << offset;
  EXPECT_EQ(2u, zu::__::ringIndex(3, 4, 5));
}

// The limits a String reaches without 4 GiB of text.
TEST(SizesDeathTest, StringsRefuseLengthsPastTheirLimit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  String s("abc");
  EXPECT_DEATH(s.getBuffer(0xFFFFFFFF), "length <= 0xFFFFFFFE");
  EXPECT_NE(nullptr, s.getBuffer(100));
  // 65,536 bytes each replaced by 65,536 bytes make exactly 2^32.
  EXPECT_DEATH(
      {
        String text(std::string(0x10000, 'a'));
        text.replace("a", std::string(0x10000, 'b').c_str(), true);
      },
      "length <= 0xFFFFFFFE");
  EXPECT_DEATH(
      {
        String text(std::string(0x10000, 'a'));
        String const shared = text;  // the result goes to a new block
        text.replace("a", std::string(0x10000, 'b').c_str(), true);
      },
      "length <= 0xFFFFFFFE");
}

// A standard text longer than 4 GiB is not cut to its length modulo 2^32;
// a String stops at the first NUL, so the view's bytes past it are never
// read.
TEST(Sizes, AStandardTextPastFourGibibytesIsNotCutModuloTheLimit) {
  char const text[] = "abcdefgh";
  std::string_view const huge(text, static_cast<std::size_t>(0x100000003ull));
  EXPECT_STREQ("abcdefgh", String(huge).cstr());
}

TEST(SizesDeathTest, ArraysStopAtTheAssertionPastTheirLimit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  zu::__::checkArrayGrowth(0xFFFFFFFE, 1);
  zu::__::checkArrayGrowth(0, 0xFFFFFFFF);
  EXPECT_DEATH(zu::__::checkArrayGrowth(0xFFFFFFFF, 1), "size\\(\\) \\+ n <= 0xFFFFFFFF");
  EXPECT_DEATH(zu::__::checkArrayGrowth(1, 0xFFFFFFFF), "size\\(\\) \\+ n <= 0xFFFFFFFF");
  EXPECT_DEATH(zu::__::checkArrayGrowth(0x100000000ull, 0), "size\\(\\) \\+ n <= 0xFFFFFFFF");
  TArray<int> small;
  small.append(1).append(small);
  EXPECT_EQ(2u, small.size());
}
