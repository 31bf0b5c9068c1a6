#include <zu/util.h>

#include <boost/make_shared.hpp>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using zu::String;
using zu::func::IIO;
using zu::util::IBufferedReader;
using zu::util::ICircleBuffer;
using zu::util::IPipeBuffer;

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
    if (n) std::memcpy(buffer, text_.data() + at_, n);
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
