// The XML family's private parts: the cache of storage blocks, the table of
// names, and the growth of output buffers.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../impl/core/byte_buffer.h"
#include "../impl/xml/storage.h"

using zu::String;
using zu::xml::impl::BlockCache;
using zu::xml::impl::NameTable;
using zu::xml::impl::Storage;

namespace {

void* block(std::size_t size) { return std::malloc(size); }

}  // namespace

TEST(XmlBlockCache, ABlockTakenOutFreesItsRoomForGood) {
  BlockCache cache(16, 100);
  void* const a = block(40);
  void* const b = block(40);
  void* const c = block(40);
  EXPECT_TRUE(cache.give(a, 40));
  EXPECT_TRUE(cache.give(b, 40));
  EXPECT_FALSE(cache.give(c, 40)) << "120 bytes would pass the limit";
  void* const taken = cache.take(40);
  EXPECT_TRUE(taken == a || taken == b);
  EXPECT_TRUE(cache.give(c, 40)) << "the block taken no longer counts";
  for (int i = 0; i < 100; ++i) {
    void* const again = cache.take(40);
    ASSERT_TRUE(again);
    ASSERT_TRUE(cache.give(again, 40)) << "round " << i;
  }
  std::free(taken);
}

TEST(XmlBlockCache, KeepsBlocksFromTheSmallestSizeUpToTheLimitAndHandsOutExactSizes) {
  BlockCache cache(16, 100);
  void* const small = block(15);
  EXPECT_FALSE(cache.give(small, 15));
  std::free(small);
  void* const big = block(101);
  EXPECT_FALSE(cache.give(big, 101));
  std::free(big);
  void* const a = block(16);
  void* const b = block(84);
  EXPECT_TRUE(cache.give(a, 16));
  EXPECT_TRUE(cache.give(b, 84)) << "exactly the limit is kept";
  EXPECT_EQ(nullptr, cache.take(17));
  EXPECT_EQ(nullptr, cache.take(83));
  EXPECT_EQ(b, cache.take(84));
  EXPECT_EQ(a, cache.take(16));
  EXPECT_EQ(nullptr, cache.take(16));
  std::free(a);
  std::free(b);

  BlockCache off(16, 0);  // the sanitizers' cache: keeps nothing
  void* const d = block(64);
  EXPECT_FALSE(off.give(d, 64));
  EXPECT_EQ(nullptr, off.take(64));
  std::free(d);
}

TEST(XmlNameTable, EqualNamesStayOneStringAsTheTableGrows) {
  Storage* const storage = Storage::New();
  {
    NameTable names;
    std::vector<std::string> texts;
    std::vector<String const*> first;
    for (int i = 0; i < 2000; ++i) {
      texts.push_back("name" + std::to_string(i));
      first.push_back(names.intern(*storage, texts.back().c_str()));
      ASSERT_EQ(texts.back(), first.back()->cstr());
    }
    int moved = 0;
    for (int i = 0; i < 2000; ++i) moved += names.intern(*storage, texts[i].c_str()) != first[i];
    EXPECT_EQ(0, moved);
    EXPECT_NE(first[0], first[1]);
    EXPECT_EQ("", std::string(names.intern(*storage, "")->cstr()));
    EXPECT_EQ(names.intern(*storage, ""), names.intern(*storage, ""));

    names.clear();  // the next document starts afresh
    EXPECT_NE(first[5], names.intern(*storage, texts[5].c_str()));
  }
  storage->close();
}

TEST(XmlNameTable, NamesPastTheBoundGetAStringEach) {
  Storage* const storage = Storage::New();
  {
    NameTable names;
    std::vector<std::string> texts;
    for (int i = 0; i < 4096; ++i) texts.push_back("n" + std::to_string(i));
    std::vector<String const*> kept;
    for (std::string const& text : texts) kept.push_back(names.intern(*storage, text.c_str()));
    EXPECT_EQ(kept[4095], names.intern(*storage, texts[4095].c_str())) << "the 4096th name is still kept";
    String const* const past = names.intern(*storage, "beyond");
    EXPECT_EQ("beyond", std::string(past->cstr()));
    EXPECT_NE(past, names.intern(*storage, "beyond"));
    EXPECT_EQ(kept[17], names.intern(*storage, texts[17].c_str())) << "names kept before stay shared";
  }
  storage->close();
}

TEST(XmlStorage, BlocksGrowForLargeRequestsAndKeepAlignment) {
  Storage* const storage = Storage::New();
  // Past the largest block size (1 MB), and then small pieces again.
  std::size_t const big = (std::size_t(3) << 20) + 5;
  char* const large = static_cast<char*>(storage->allocate(big, 1));
  std::fill(large, large + big, 'x');
  for (std::size_t align : {1u, 8u, 16u, 64u}) {
    void* const room = storage->allocate(24, align);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(room) % align);
    std::fill(static_cast<char*>(room), static_cast<char*>(room) + 24, 'y');
  }
  char const* const copy = storage->copy("abc", 2);
  EXPECT_EQ(std::string("ab"), copy);
  EXPECT_EQ('x', large[big - 1]);
  storage->close();
}

// ---- Sizes that must never wrap

typedef zu::__::ByteBuffer<> Buffer;

TEST(ByteBufferGrowth, DoublesWithinTheLimitAndNeverWraps) {
  std::size_t const L = Buffer::largest;
  EXPECT_EQ(0xFFFFFFFEu, L);
  EXPECT_EQ(256u, Buffer::grownCapacity(0, 0, 1, L));
  EXPECT_EQ(512u, Buffer::grownCapacity(256, 256, 1, L));
  EXPECT_EQ(5000u, Buffer::grownCapacity(256, 256, 4744, L)) << "more than double when asked";
  EXPECT_EQ(L, Buffer::grownCapacity(0x80000000u, 0x80000000u, 1, L)) << "doubling would pass 4 GiB";
  EXPECT_EQ(L, Buffer::grownCapacity(0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, L)) << "exactly the limit";
  EXPECT_EQ(0u, Buffer::grownCapacity(L, L, 1, L));
  EXPECT_EQ(0u, Buffer::grownCapacity(0, 0, L + 1, L));
  EXPECT_EQ(0u, Buffer::grownCapacity(256, 10, SIZE_MAX, L)) << "used + extra would wrap";
  EXPECT_EQ(SIZE_MAX, Buffer::grownCapacity(SIZE_MAX / 2 + 1, 1, 1, SIZE_MAX)) << "doubling would wrap";
  EXPECT_EQ(100u, Buffer::grownCapacity(0, 0, 1, 100)) << "a limit below the first 256";
}

TEST(ByteBufferGrowth, ARequestPastTheLimitThrowsAndLeavesTheBufferAsItWas) {
  Buffer buffer;
  buffer.limit(300);
  buffer.append(std::string(200, 'a').data(), 200);
  buffer.spaces(100);
  EXPECT_THROW(buffer.append('c'), std::length_error);
  EXPECT_THROW(buffer.reserve(1), std::length_error);
  EXPECT_EQ(300u, buffer.size());
  EXPECT_EQ('a', buffer.data()[199]);
  EXPECT_EQ(' ', buffer.back());

  // Never below what is held; room inside the object is given up too.
  Buffer full;
  full.append(std::string(1000, 'x').data(), 1000);
  full.limit(10);
  EXPECT_THROW(full.append('y'), std::length_error);
  EXPECT_EQ(1000u, full.size());
  zu::__::ByteBuffer<16> inside;
  inside.limit(8);
  inside.append("12345678", 8);
  EXPECT_THROW(inside.append('9'), std::length_error);
  EXPECT_EQ(std::string("12345678"), std::string(inside.data(), inside.size()));
}
