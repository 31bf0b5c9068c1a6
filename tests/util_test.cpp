#include <zu/em.h>
#include <zu/net.h>
#include <zu/util.h>

#include "../impl/util/isaac.h"

#include <boost/make_shared.hpp>
#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using zu::String;
using zu::TArray;
using zu::func::IIO;
using zu::util::IBufferedReader;
using zu::util::ICircleBuffer;
using zu::util::IPipeBuffer;
using zu::util::IRandom;
using zu::util::IRegEx;
using zu::util::RegExMatch;
using zu::util::UUID;

namespace {

struct Cut {
  bool found;
  unsigned int lineLength;
  unsigned int consumed;
  bool operator==(Cut const& o) const {
    return found == o.found && lineLength == o.lineLength && consumed == o.consumed;
  }
};

Cut cut(char const* text, unsigned int size) {
  Cut c{false, 99, 99};
  c.found = IBufferedReader::extractLine(text, size, c.lineLength, c.consumed);
  return c;
}

Cut cut(char const* text) { return cut(text, static_cast<unsigned int>(std::strlen(text))); }

}  // namespace

TEST(ExtractLine, EveryLineEnd) {
  EXPECT_EQ((Cut{true, 2, 3}), cut("ab\ncd"));
  EXPECT_EQ((Cut{true, 2, 4}), cut("ab\r\ncd"));
  EXPECT_EQ((Cut{true, 2, 5}), cut("ab\r\r\ncd"));
  EXPECT_EQ((Cut{true, 0, 1}), cut("\n"));
  EXPECT_EQ((Cut{true, 0, 2}), cut("\r\n"));
  // A lone CR belongs to the line; CR CR CR LF ends after the first CR.
  EXPECT_EQ((Cut{true, 3, 4}), cut("a\rb\n"));
  EXPECT_EQ((Cut{true, 2, 5}), cut("a\r\r\r\n"));
}

TEST(ExtractLine, NoLineEndYet) {
  EXPECT_EQ((Cut{false, 0, 0}), cut("abc"));
  EXPECT_EQ((Cut{false, 0, 0}), cut("abc\r"));
  EXPECT_EQ((Cut{false, 0, 0}), cut("abc\r\r"));
  EXPECT_EQ((Cut{false, 0, 0}), cut(""));
  // Only `size` bytes are looked at.
  EXPECT_EQ((Cut{false, 0, 0}), cut("ab\ncd", 2));
  EXPECT_EQ((Cut{false, 0, 0}), cut("ab\r\ncd", 3));
  EXPECT_EQ((Cut{true, 2, 3}), cut("ab\ncd", 3));
  // Binary content: a NUL is an ordinary byte.
  EXPECT_EQ((Cut{true, 3, 4}), cut("a\0b\nc", 5));
}

TEST(ExtractLineDeathTest, NullBufferAsserts) {
  unsigned int a, b;
  EXPECT_DEATH(IBufferedReader::extractLine(nullptr, 1, a, b), "Assertion failed: buffer");
}

namespace {

std::string readAll(IIO* io, unsigned int n) {
  std::string out(n, '?');
  out.resize(io->read(&out[0], n));
  return out;
}

// A stream that hands out its text in the chunk sizes given (the last size
// repeating) and records the size of every read asked of it.
class ScriptedStream : public IIO {
 public:
  ScriptedStream(std::string text, std::vector<unsigned int> chunks = {0xFFFFFFFF})
      : text_(std::move(text)), chunks_(std::move(chunks)) {}

  unsigned int read(void* buffer, unsigned int size) override {
    asked.push_back(size);
    unsigned int chunk = chunks_[next_ < chunks_.size() ? next_ : chunks_.size() - 1];
    ++next_;
    unsigned int n = static_cast<unsigned int>(std::min<std::size_t>({size, chunk, text_.size() - at_}));
    if (n && buffer) std::memcpy(buffer, text_.data() + at_, n);
    at_ += n;
    return n;
  }
  unsigned int write(void const*, unsigned int) override { return 0; }

  std::vector<unsigned int> asked;

 private:
  std::string text_;
  std::vector<unsigned int> chunks_;
  std::size_t next_ = 0;
  std::size_t at_ = 0;
};

std::vector<std::string> readLines(boost::shared_ptr<IBufferedReader> const& reader) {
  std::vector<std::string> lines;
  String line("untouched");
  while (reader->readLine(line)) lines.push_back(line.cstr());
  EXPECT_STREQ("", line.cstr());
  return lines;
}

}  // namespace

TEST(PipeBuffer, QueuesFirstInFirstOut) {
  boost::shared_ptr<IPipeBuffer> pipe = IPipeBuffer::New();
  IIO* io = pipe->toIO();
  EXPECT_TRUE(pipe->empty());
  EXPECT_EQ(0u, io->read(nullptr, 5));
  EXPECT_EQ(10u, io->write("0123456789", 10));
  EXPECT_EQ("0123", readAll(io, 4));
  EXPECT_EQ(6u, pipe->size());
  EXPECT_EQ(0, std::memcmp(pipe->data(), "456789", 6));
  pipe->resize(2);
  EXPECT_EQ("45", readAll(io, 10));
  EXPECT_TRUE(pipe->empty());

  // Null data writes zero bytes; a null buffer discards.
  EXPECT_EQ(3u, io->write(nullptr, 3));
  EXPECT_EQ(2u, io->read(nullptr, 2));
  EXPECT_EQ(std::string(1, '\0'), readAll(io, 9));
  pipe->clear();
  EXPECT_EQ(0u, pipe->size());
}

TEST(PipeBuffer, ResizeFillsTheNewBytesEvenWhereOldBytesWere) {
  boost::shared_ptr<IPipeBuffer> pipe = IPipeBuffer::New();
  IIO* io = pipe->toIO();
  io->write("abcdefghij", 10);
  io->read(nullptr, 6);
  pipe->resize(8, '*');
  EXPECT_EQ("ghij****", readAll(io, 100));
  io->write("xyz", 3);
  pipe->resize(1);
  pipe->resize(4);
  EXPECT_EQ(std::string("x\0\0\0", 4), readAll(io, 100));
}

TEST(PipeBuffer, InterleavedWritesAndReadsMatchAQueue) {
  boost::shared_ptr<IPipeBuffer> pipe = IPipeBuffer::New();
  IIO* io = pipe->toIO();
  std::deque<char> model;
  std::mt19937 random(7);
  unsigned char next = 0;
  for (int round = 0; round < 3000; ++round) {
    unsigned int n = random() % 700;
    if (random() % 2) {
      std::string bytes;
      for (unsigned int i = 0; i < n; ++i) bytes += static_cast<char>(next++);
      ASSERT_EQ(n, io->write(bytes.data(), n));
      model.insert(model.end(), bytes.begin(), bytes.end());
    } else {
      std::string got = readAll(io, n);
      ASSERT_EQ(std::min<std::size_t>(n, model.size()), got.size());
      ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin())) << round;
      model.erase(model.begin(), model.begin() + got.size());
    }
    ASSERT_EQ(model.size(), pipe->size());
    if (!model.empty()) {
      ASSERT_EQ(model.front(), static_cast<char>(pipe->data()[0]));
    }
  }
}

TEST(CircleBuffer, RefusesWhatDoesNotFitAndWrapsAround) {
  boost::shared_ptr<ICircleBuffer> ring = ICircleBuffer::New(4);
  IIO* io = ring->toIO();
  EXPECT_EQ(4u, ring->capacity());
  EXPECT_EQ(3u, io->write("abc", 3));
  EXPECT_EQ(1u, io->write("def", 3));
  EXPECT_EQ(0u, io->write("g", 1));
  EXPECT_EQ("ab", readAll(io, 2));
  EXPECT_EQ(2u, io->write("xy", 2));  // wraps past the end of the storage
  EXPECT_EQ("cdxy", readAll(io, 4));
  EXPECT_TRUE(ring->empty());
  EXPECT_EQ(0u, io->read(nullptr, 1));

  EXPECT_EQ(3u, io->write(nullptr, 3));  // zero bytes, wrapping
  EXPECT_EQ(1u, io->read(nullptr, 1));
  EXPECT_EQ(std::string(2, '\0'), readAll(io, 4));
  io->write("q", 1);
  ring->clear();
  EXPECT_EQ(0u, ring->size());
  EXPECT_EQ(4u, io->write("1234", 4));
  EXPECT_EQ("1234", readAll(io, 9));
}

TEST(CircleBuffer, InterleavedWritesAndReadsMatchABoundedQueue) {
  boost::shared_ptr<ICircleBuffer> ring = ICircleBuffer::New(97);
  IIO* io = ring->toIO();
  std::deque<char> model;
  std::mt19937 random(11);
  unsigned char next = 0;
  for (int round = 0; round < 5000; ++round) {
    unsigned int n = random() % 60;
    if (random() % 2) {
      std::string bytes;
      for (unsigned int i = 0; i < n; ++i) bytes += static_cast<char>(next + i);
      unsigned int took = io->write(bytes.data(), n);
      ASSERT_EQ(std::min<std::size_t>(n, 97 - model.size()), took);
      next = static_cast<unsigned char>(next + took);
      model.insert(model.end(), bytes.begin(), bytes.begin() + took);
    } else {
      std::string got = readAll(io, n);
      ASSERT_EQ(std::min<std::size_t>(n, model.size()), got.size());
      ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin())) << round;
      model.erase(model.begin(), model.begin() + got.size());
    }
    ASSERT_EQ(model.size(), ring->size());
  }
}

TEST(BufferedReader, ReadsLinesWithEveryLineEndAndALastLineWithoutOne) {
  EXPECT_EQ((std::vector<std::string>{"one", "two"}),
            readLines(IBufferedReader::New(boost::make_shared<ScriptedStream>("one\r\ntwo"))));
  EXPECT_EQ((std::vector<std::string>{}), readLines(IBufferedReader::New(boost::make_shared<ScriptedStream>(""))));
  std::string const text = "a\nb\r\nc\r\r\nd\re\n\nlast\r";
  std::vector<std::string> const expected = {"a", "b", "c", "d\re", "", "last\r"};
  // The same lines whatever the stream's chunks, line ends split included.
  for (unsigned int chunk = 1; chunk <= text.size(); ++chunk)
    EXPECT_EQ(expected, readLines(IBufferedReader::New(boost::make_shared<ScriptedStream>(text,
                                                                                      std::vector<unsigned int>{chunk}))))
        << chunk;
}

TEST(BufferedReader, ALineKeptFromEarlierIsNotOverwritten) {
  boost::shared_ptr<IBufferedReader> reader =
      IBufferedReader::New(boost::make_shared<ScriptedStream>("a much longer first line\nshort\n"));
  String line;
  ASSERT_TRUE(reader->readLine(line));
  String const kept = line;  // shares the line's text
  ASSERT_TRUE(reader->readLine(line));
  EXPECT_STREQ("short", line.cstr());
  EXPECT_STREQ("a much longer first line", kept.cstr());
  String const second = line;
  EXPECT_FALSE(reader->readLine(line));
  EXPECT_STREQ("", line.cstr());
  EXPECT_STREQ("short", second.cstr());
}

TEST(BufferedReader, GathersLinesLongerThanOneBlock) {
  std::string const longLine(10000, 'L');
  std::string const text = "short\n" + longLine + "\r\r\n" + longLine;
  auto stream = boost::make_shared<ScriptedStream>(text, std::vector<unsigned int>{1000});
  EXPECT_EQ((std::vector<std::string>{"short", longLine, longLine}), readLines(IBufferedReader::New(stream)));
}

TEST(BufferedReader, SmallReadsFillABlockLargeReadsBypassIt) {
  std::string text(5000, 'x');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
  text[0] = static_cast<char>(255);
  auto stream = boost::make_shared<ScriptedStream>(text);
  boost::shared_ptr<IBufferedReader> reader = IBufferedReader::New(stream);
  EXPECT_EQ(stream, reader->stream());
  EXPECT_EQ(255, reader->readByte());
  EXPECT_EQ((std::vector<unsigned int>{4096}), stream->asked);
  char buffer[300];
  EXPECT_EQ(10u, reader->read(buffer, 10));
  EXPECT_EQ(0, std::memcmp(buffer, text.data() + 1, 10));
  EXPECT_EQ(300u, reader->read(buffer, 300));  // still buffered bytes: served from the block
  EXPECT_EQ(1u, stream->asked.size());
  std::string rest;
  while (unsigned int n = reader->read(buffer, 300)) rest.append(buffer, n);
  EXPECT_EQ(text.substr(311), rest);
  // Once the block ran dry, 300-byte reads went straight to the stream.
  EXPECT_EQ(300u, stream->asked[1]);
  EXPECT_EQ(-1, reader->readByte());
}

TEST(BufferDeathTest, PreconditionsAssertWithTheirNames) {
  EXPECT_DEATH(ICircleBuffer::New(0), "Assertion failed: capacity > 0");
  EXPECT_DEATH(IBufferedReader::New(boost::shared_ptr<IIO>()), "Assertion failed: io");
  boost::shared_ptr<IBufferedReader> reader = IBufferedReader::New(boost::make_shared<ScriptedStream>("x"));
  char c;
  EXPECT_DEATH(reader->read(nullptr, 1), "Assertion failed: buffer");
  EXPECT_DEATH(reader->read(&c, 0), "Assertion failed: size > 0");
}

namespace {

TArray<RegExMatch> slots(unsigned int n) {
  TArray<RegExMatch> m;
  m.resize(n, RegExMatch{99, 99});
  return m;
}

}  // namespace

TEST(RegEx, MatchFillsTheSlotsTheCallerSized) {
  boost::shared_ptr<IRegEx> re = IRegEx::compile("a(b)c", 0);
  ASSERT_TRUE(re);
  TArray<RegExMatch> m = slots(2);
  ASSERT_TRUE(re->match("xabcx", m, 0));
  EXPECT_EQ(1, m[0].start);
  EXPECT_EQ(4, m[0].end);
  EXPECT_EQ(2, m[1].start);
  EXPECT_EQ(3, m[1].end);

  // One slot: only the whole match; the array keeps its size.
  TArray<RegExMatch> one = slots(1);
  ASSERT_TRUE(re->match("--abc", one, 0));
  EXPECT_EQ(1u, one.size());
  EXPECT_EQ(2, one[0].start);
  EXPECT_EQ(5, one[0].end);

  // More slots than groups: the extra ones and a group that took no part
  // read -1.
  boost::shared_ptr<IRegEx> alt = IRegEx::compile("(x)|(y)", 0);
  TArray<RegExMatch> many = slots(5);
  ASSERT_TRUE(alt->match("ay", many, 0));
  EXPECT_EQ(5u, many.size());
  EXPECT_EQ(1, many[0].start);
  EXPECT_EQ(-1, many[1].start);
  EXPECT_EQ(-1, many[1].end);
  EXPECT_EQ(1, many[2].start);
  EXPECT_EQ(2, many[2].end);
  EXPECT_EQ(-1, many[3].start);
  EXPECT_EQ(-1, many[4].end);

  // An empty array is left alone either way.
  TArray<RegExMatch> none;
  EXPECT_TRUE(re->match("abc", none, 0));
  EXPECT_FALSE(re->match("ab", none, 0));
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(re->match("zzabc", 0));
  EXPECT_FALSE(re->match("ABC", 0));
}

TEST(RegEx, FlagsPassThrough) {
  unsigned int const icase = 0x1, newline = 0x2, notbol = 0x4;
  EXPECT_TRUE(IRegEx::compile("abc", icase)->match("xABCx", 0));
  boost::shared_ptr<IRegEx> anchored = IRegEx::compile("^b", newline);
  EXPECT_TRUE(anchored->match("a\nb", 0));
  EXPECT_FALSE(IRegEx::compile("^b", 0)->match("a\nb", 0));
  EXPECT_FALSE(IRegEx::compile("^a", 0)->match("abc", notbol));
  // PCRE syntax, not POSIX extended syntax only.
  TArray<RegExMatch> m = slots(2);
  ASSERT_TRUE(IRegEx::compile("(\\d+)(?=px)", 0)->match("w: 120px", m, 0));
  EXPECT_EQ(3, m[1].start);
  EXPECT_EQ(6, m[1].end);
}

TEST(RegEx, FailuresAreReportedWithPcresCodeAndText) {
  {
    zu::em::CatchError guard(reinterpret_cast<void const*>(&IRegEx::compile));
    EXPECT_FALSE(IRegEx::compile("a(", 0));
    EXPECT_EQ(11u, guard.code());
    EXPECT_EQ(0, std::strncmp("unbalanced () at offset 2", guard.text().cstr(), 25)) << guard.text().cstr();
  }
  // Without a guard nothing is built, and the next compile is clean.
  EXPECT_FALSE(IRegEx::compile("[z", 0));
  boost::shared_ptr<IRegEx> re = IRegEx::compile("q", 0);
  ASSERT_TRUE(re);
  zu::em::CatchError guard(re.get());
  TArray<RegExMatch> m = slots(1);
  EXPECT_FALSE(re->match("abc", m, 0));
  EXPECT_EQ(17u, guard.code());  // REG_NOMATCH
  EXPECT_STREQ("match failed", guard.text().cstr());
  EXPECT_EQ(99, m[0].start);
}

TEST(Random, IsaacReproducesThePublishedVector) {
  // The reference program seeds with zeros and prints the second batch.
  zu::util::impl::Isaac g;
  for (std::uint32_t& r : g.results) r = 0;
  g.init();
  g.generate();
  std::uint32_t const first[8] = {0xf650e4c8, 0xe448e96d, 0x98db2fb4, 0xf5fad54f,
                                  0x433f1afb, 0xedec154a, 0xd8370487, 0x46ca4f9a};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(first[i], g.results[i]) << i;
}

TEST(Random, SeedRestartsTheSequenceAndBatchesRunBackwards) {
  boost::shared_ptr<IRandom> a = IRandom::New();
  boost::shared_ptr<IRandom> b = IRandom::New();
  a->seed(7);
  b->seed(7);
  std::vector<unsigned int> first;
  for (int i = 0; i < 600; ++i) first.push_back(a->next());
  for (int i = 0; i < 600; ++i) EXPECT_EQ(first[i], b->next()) << i;
  b->seed(8);
  EXPECT_NE(first[0], b->next());

  // Seed s puts s + i in word i before the state is mixed.
  zu::util::impl::Isaac g;
  for (unsigned int i = 0; i < 256; ++i) g.results[i] = 7 + i;
  g.init();
  for (int i = 0; i < 256; ++i) EXPECT_EQ(g.results[255 - i], first[i]) << i;
  g.generate();
  for (int i = 0; i < 256; ++i) EXPECT_EQ(g.results[255 - i], first[256 + i]) << i;
}

TEST(Random, ConcurrentSharedNumbersComeFromOneSequence) {
  // Every thread's numbers come from one sequence, so the union holds no
  // duplicates beyond what 32-bit chance allows.
  std::vector<std::vector<unsigned int>> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) got[t].push_back(IRandom::number());
    });
  for (std::thread& t : threads) t.join();
  std::set<unsigned int> all;
  for (auto const& v : got) all.insert(v.begin(), v.end());
  EXPECT_GE(all.size(), 19990u);
}

TEST(UUID, TextLayoutVersionAndVariant) {
  UUID const u;
  zu::ByteArray const v = u.value();
  ASSERT_EQ(16u, v.size());
  EXPECT_EQ(0x10, v.ptr()[7] & 0xF0);
  EXPECT_EQ(0x80, v.ptr()[8] & 0xE0);
  String const text = u.toString();
  ASSERT_EQ(36u, text.length());
  std::string const t = text.cstr();
  std::string const hex = v.toHex().cstr();
  EXPECT_EQ(hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
                hex.substr(20),
            t);
  // The time field counts 10-microsecond units: bytes 0-6 of two UUIDs
  // made a few milliseconds apart are close and increasing.
  auto stamp = [](zu::ByteArray const& b) {
    std::uint64_t x = 0;
    for (int i = 6; i >= 0; --i) x = x << 8 | b.ptr()[i];
    return x;
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::uint64_t const later = stamp(UUID().value());
  EXPECT_GE(later - stamp(v), 500u);
  EXPECT_LT(later - stamp(v), 100000u * 60);
}

TEST(UUID, NodeIsOneHardwareAddressOrRandomAndFixed) {
  zu::ByteArray const a = UUID().value(), b = UUID().value();
  EXPECT_EQ(0, std::memcmp(a.ptr() + 10, b.ptr() + 10, 6));
  std::string const node = zu::ByteArray(a.ptr() + 10, 6).toHex().cstr();
  EXPECT_NE("000000000000", node);
  EXPECT_NE("444553540000", node);
  bool fromAdapter = false;
  for (zu::net::InterfaceEntry const& e : zu::net::enumInterface()) fromAdapter |= e.mac.toHex() == node.c_str();
  bool hasRealAdapter = false;
  for (zu::net::InterfaceEntry const& e : zu::net::enumInterface())
    hasRealAdapter |= e.mac.size() == 6 && e.mac.toHex() != "000000000000" && e.mac.toHex() != "444553540000";
  EXPECT_EQ(hasRealAdapter, fromAdapter);
}

TEST(UUID, ConcurrentUUIDsAreAllDistinct) {
  std::vector<std::vector<std::string>> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3000; ++i) got[t].push_back(UUID().toString().cstr());
    });
  for (std::thread& t : threads) t.join();
  std::set<std::string> all;
  for (auto const& v : got) all.insert(v.begin(), v.end());
  EXPECT_EQ(12000u, all.size());
}

TEST(UUID, SameTimeUnitsDifferInTheClockSequence) {
  // Made back to back, many share a 10-microsecond unit; those must differ
  // in bytes 8-9 and agree everywhere else.
  int sameTime = 0;
  zu::ByteArray prev = UUID().value();
  for (int i = 0; i < 2000; ++i) {
    zu::ByteArray const next = UUID().value();
    if (std::memcmp(prev.ptr(), next.ptr(), 8) == 0) {
      ++sameTime;
      EXPECT_NE(0, std::memcmp(prev.ptr() + 8, next.ptr() + 8, 2));
    }
    prev = next;
  }
  EXPECT_GT(sameTime, 0);
}
