#include <zu/bytearray.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using zu::ByteArray;
using zu::String;

namespace {

std::vector<unsigned int> bytes(ByteArray const& a) {
  std::vector<unsigned int> out;
  for (unsigned int i = 0; i < a.size(); ++i) out.push_back(a.ptr()[i]);
  return out;
}

using B = std::vector<unsigned int>;

}  // namespace

TEST(ByteArrayConstruct, SizesAndFills) {
  ByteArray empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(0u, empty.size());
  EXPECT_EQ(4u, ByteArray(4).size());
  EXPECT_EQ((B{7, 7, 7}), bytes(ByteArray(3, 7)));
  EXPECT_TRUE(ByteArray(0, 7).empty());  // size and fill, not a null pointer
  unsigned char const raw[] = {1, 2, 0, 3};
  EXPECT_EQ((B{1, 2, 0, 3}), bytes(ByteArray(raw, 4)));
  EXPECT_TRUE(ByteArray(nullptr, 4).empty());
  EXPECT_TRUE(ByteArray(raw, 0).empty());
}

TEST(ByteArrayHex, ParsesPairsAndALeadingHalfByte) {
  EXPECT_EQ((B{0x0A, 0x1B}), bytes(ByteArray(String("0a1B"))));
  EXPECT_EQ((B{0x0A, 0xBC}), bytes(ByteArray(String("abc"))));
  EXPECT_EQ((B{0x0F}), bytes(ByteArray(String("F"))));
  EXPECT_EQ((B{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}),
            bytes(ByteArray(String("0123456789abcdef"))));
  EXPECT_TRUE(ByteArray(String("")).empty());
  // Any other character, wherever it is, empties the whole result.
  EXPECT_TRUE(ByteArray(String("0g")).empty());
  EXPECT_TRUE(ByteArray(String("g")).empty());
  EXPECT_TRUE(ByteArray(String("x12")).empty());
  EXPECT_TRUE(ByteArray(String("1234 ")).empty());
  EXPECT_TRUE(ByteArray(String("12-4")).empty());
}

TEST(ByteArrayHex, ToHexRoundTrips) {
  unsigned char const raw[] = {0x00, 0xFF};
  EXPECT_STREQ("00ff", ByteArray(raw, 2).toHex().cstr());
  EXPECT_STREQ("", ByteArray().toHex().cstr());
  std::vector<unsigned char> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  ByteArray a(all.data(), 256);
  String hex = a.toHex();
  EXPECT_EQ(512u, hex.length());
  EXPECT_EQ(a, ByteArray(hex));
  EXPECT_EQ(a, ByteArray(hex.toUpper()));
}

TEST(ByteArrayCompare, SizeFirstThenUnsignedBytes) {
  unsigned char const one[] = {0x01}, two[] = {0x02}, zeros[] = {0, 0}, high[] = {0x80};
  EXPECT_EQ(-1, ByteArray(one, 1).compare(ByteArray(zeros, 2)));
  EXPECT_EQ(1, ByteArray(zeros, 2).compare(ByteArray(one, 1)));
  EXPECT_EQ(1, ByteArray(two, 1).compare(ByteArray(one, 1)));
  EXPECT_EQ(1, ByteArray(high, 1).compare(ByteArray(one, 1)));
  EXPECT_EQ(0, ByteArray(two, 1).compare(ByteArray(two, 1)));
  EXPECT_EQ(0, ByteArray().compare(ByteArray()));
  EXPECT_TRUE(ByteArray(one, 1) < ByteArray(two, 1));
  EXPECT_TRUE(ByteArray(one, 1) != ByteArray(two, 1));
}

TEST(ByteArrayResize, KeepsBytesAndFillsGrowth) {
  ByteArray a(2, 9);
  a.resize(4, 1);
  EXPECT_EQ((B{9, 9, 1, 1}), bytes(a));
  a.resize(1);
  EXPECT_EQ((B{9}), bytes(a));
  a.resize(0);
  EXPECT_TRUE(a.empty());
  a.resize(2, 5);
  EXPECT_EQ((B{5, 5}), bytes(a));

  unsigned char* p = a.getBuffer(1);  // never shrinks
  EXPECT_EQ(2u, a.size());
  p[0] = 3;
  p = a.getBuffer(3, 8);
  EXPECT_EQ((B{3, 5, 8}), bytes(a));
}

TEST(ByteArrayCopyOnWrite, MutatedCopyLeavesTheOriginal) {
  ByteArray original(3, 1);
  {
    ByteArray copy(original);
    EXPECT_EQ(original.ptr(), copy.ptr());
    copy.getBuffer(0)[0] = 42;  // same size: still a private copy
    EXPECT_EQ((B{1, 1, 1}), bytes(original));
    EXPECT_EQ((B{42, 1, 1}), bytes(copy));
  }
  {
    ByteArray copy(original);
    copy.getBuffer(5, 2)[4] = 7;
    EXPECT_EQ((B{1, 1, 1}), bytes(original));
    EXPECT_EQ((B{1, 1, 1, 2, 7}), bytes(copy));
  }
  {
    ByteArray copy(original);
    copy.resize(3);
    EXPECT_NE(original.ptr(), copy.ptr());
    copy.resize(1);
    EXPECT_EQ(3u, original.size());
  }
  {
    ByteArray copy = original;
    ByteArray moved(std::move(copy));
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move)
    copy.resize(2, 4);
    EXPECT_EQ((B{4, 4}), bytes(copy));
    moved = std::move(copy);
    EXPECT_EQ((B{4, 4}), bytes(moved));
    EXPECT_EQ((B{1, 1, 1}), bytes(original));
  }
}

TEST(ByteArrayConcurrent, CopiesSharedBetweenThreads) {
  ByteArray const shared(1024, 0x5A);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ByteArray mine(shared);
        mine.getBuffer(1024)[i % 1024] = 0;
        if (shared.ptr()[i % 1024] != 0x5A || mine.ptr()[i % 1024] != 0) ++bad;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, bad.load());
}
