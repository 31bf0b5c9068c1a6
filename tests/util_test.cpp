#include <zu/util.h>

#include <cstring>

#include <gtest/gtest.h>

using zu::util::IBufferedReader;

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
