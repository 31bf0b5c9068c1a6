// The XML family's private parts: the cache of storage blocks, the table of
// names, the growth of output buffers and item arrays, and the length limit
// of texts, which the tests lower so as to reach it without gigabytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <zu/em.h>
#include <zu/xml.h>

#include "../impl/core/byte_buffer.h"
#include "../impl/xml/limits.h"
#include "../impl/xml/nodes.h"
#include "../impl/xml/storage.h"

using zu::String;
using zu::xml::IDocument;
using zu::xml::IElement;
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

TEST(XmlSlab, GrowthStopsAtTheLargestCount) {
  typedef zu::xml::impl::Slab<int> Slab;
  EXPECT_EQ(1u, Slab::grownCapacity(0));
  EXPECT_EQ(2u, Slab::grownCapacity(1));
  EXPECT_EQ(0x80000000u, Slab::grownCapacity(0x40000000u));
  EXPECT_EQ(0xFFFFFFFEu, Slab::grownCapacity(0x80000000u)) << "doubling would wrap to 0";
  EXPECT_EQ(0u, Slab::grownCapacity(0xFFFFFFFEu));
}

// ---- The length limit of texts, lowered

namespace {

struct TextLimit {
  std::size_t const before = zu::xml::impl::textLimit;
  explicit TextLimit(std::size_t most) { zu::xml::impl::textLimit = most; }
  ~TextLimit() { zu::xml::impl::textLimit = before; }
};

struct Lines : zu::func::IIO {
  std::vector<std::string> blocks;
  unsigned int read(void*, unsigned int) override { return 0; }
  unsigned int write(void const* data, unsigned int size) override {
    blocks.emplace_back(static_cast<char const*>(data), size);
    return size;
  }
};

// Writes `size` bytes in one block through whatever stream it is given;
// with `careless`, says it did whatever the stream took.
struct Wide : zu::xml::INode {
  std::size_t size = 0;
  bool careless = false;
  boost::shared_ptr<IElement> parent() const override { return {}; }
  boost::shared_ptr<INode> clone() const override {
    auto copy = boost::make_shared<Wide>();
    copy->size = size;
    copy->careless = careless;
    return copy;
  }
  bool write(zu::func::IIO& out, unsigned int, unsigned int) const override {
    std::string const bytes(size, 'w');
    return out.write(bytes.data(), size) == size || careless;
  }
  String toString(unsigned int) const override { return ""; }
  String text() const override { return ""; }
  void setText(String const&) override {}
};

}  // namespace

TEST(XmlTextLimit, OutputPastTheLimitFailsAndLeavesTheStringAsItWas) {
  boost::shared_ptr<IDocument> doc = IDocument::New("r", "", "", "");
  doc->root()->addText(String(std::string(50, 'x').c_str()));
  String whole;
  ASSERT_TRUE(doc->save(whole, 1));
  std::size_t const size = whole.length();  // the declaration is 39 bytes, the text's line 52
  {
    TextLimit limit(size);
    String out;
    EXPECT_TRUE(doc->save(out, 1));
    EXPECT_EQ(whole, out);
    String more("kept|");
    EXPECT_FALSE(doc->save(more, 1)) << "what the String held counts";
    EXPECT_EQ("kept|", more);
  }
  {
    TextLimit limit(size - 1);
    String out("kept|");
    EXPECT_FALSE(doc->save(out, 1));
    EXPECT_EQ("kept|", out);
  }
  {
    TextLimit limit(size - 39);
    EXPECT_EQ(std::string(whole.cstr() + 39), doc->root()->toString(1).cstr()) << "the tree alone fits";
    TextLimit less(size - 40);
    EXPECT_EQ("", doc->root()->toString(1));

    // Through a stream the limit is one line's: those before it are written.
    TextLimit line(51);
    Lines lines;
    EXPECT_FALSE(doc->save(lines, 1));
    EXPECT_EQ((std::vector<std::string>{"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", "<r>\n"}), lines.blocks);
    TextLimit enough(52);
    lines.blocks.clear();
    EXPECT_TRUE(doc->save(lines, 1));
    EXPECT_EQ(4u, lines.blocks.size());
  }

  // A caller's node that writes too much into the String is refused too.
  boost::shared_ptr<IElement> holder = IElement::New("h");
  auto wide = boost::make_shared<Wide>();
  wide->size = 100;
  holder->addChild(wide);
  TextLimit limit(100);
  EXPECT_EQ("", holder->toString(0));
  wide->size = 92;  // with "<h>\n" and "</h>\n": 101
  holder->setChildren(zu::TArray<boost::shared_ptr<zu::xml::INode>>().append(wide));
  EXPECT_EQ("", holder->toString(0));
  wide->size = 91;
  holder->setChildren(zu::TArray<boost::shared_ptr<zu::xml::INode>>().append(wide));
  EXPECT_EQ(100u, holder->toString(0).length());

  // The String stays as it was even when such a node ignores the refusal.
  boost::shared_ptr<IDocument> careless = IDocument::New("c", "", "", "");
  wide->size = 100;
  wide->careless = true;
  careless->root()->addChild(wide);
  String out("kept|");
  EXPECT_FALSE(careless->save(out, 0));
  EXPECT_EQ("kept|", out);
}

TEST(XmlTextLimit, ReadingPastTheLimitFailsAsOutOfMemory) {
  TextLimit limit(10);
  struct Case {
    char const* text;
    bool fits;
  } const cases[] = {
      {"<r>0123456789</r>", true},
      {"<r>0123456789A</r>", false},
      {"<r>01234<!-- one run -->56789A</r>", false},
      {"<r a='0123456789'/>", true},
      {"<r a='0123456789A'/>", false},
      {"<abcdefghij/>", true},
      {"<abcdefghijk/>", false},
      {"<r abcdefghijk='1'/>", false},
  };
  for (Case const& c : cases) {
    boost::shared_ptr<IDocument> doc = IDocument::New("", "", "", "");
    zu::em::CatchError guard(doc.get());
    EXPECT_EQ(c.fits, doc->loadString(c.text)) << c.text;
    if (!c.fits) {
      EXPECT_EQ(1u, guard.code()) << c.text;
      EXPECT_EQ("out of memory", guard.text()) << c.text;
    }
  }
}
