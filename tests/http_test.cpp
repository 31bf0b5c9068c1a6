#include <zu/http.h>

#include <gtest/gtest.h>

using zu::String;
using zu::TArray;
using zu::net::http::HttpStatus;
using zu::net::http::MIME;

TEST(Mime, NamesRepeatAndMatchWithoutRegardToCase) {
  MIME mime;
  EXPECT_TRUE(mime.set("A", "1"));
  EXPECT_TRUE(mime.set("a", "2"));
  EXPECT_TRUE(mime.set("Content-Type", ""));
  EXPECT_EQ(3u, mime.size());
  EXPECT_STREQ("1", mime.get("A", "").cstr());
  EXPECT_STREQ("1", mime.get("a", "").cstr());
  TArray<String> values = mime.getValues("a");
  ASSERT_EQ(2u, values.size());
  EXPECT_STREQ("1", values[0].cstr());
  EXPECT_STREQ("2", values[1].cstr());
  EXPECT_TRUE(mime.contains("CONTENT-TYPE"));
  EXPECT_STREQ("", mime.get("content-type", "default").cstr());  // present but empty
  EXPECT_STREQ("default", mime.get("Content-Typ", "default").cstr());
  EXPECT_FALSE(mime.contains("Content-Type2"));
  EXPECT_EQ(0u, mime.getValues("absent").size());
  // Names are kept as given.
  EXPECT_STREQ("a", mime.lines[1].name.cstr());
  // Only ASCII letters fold: bytes of other scripts must match exactly.
  mime.set("X-\xC3\x84", "umlaut");
  EXPECT_FALSE(mime.contains("x-\xC3\xA4"));
  EXPECT_TRUE(mime.contains("x-\xC3\x84"));
}

TEST(Mime, CopiesAreIndependentValues) {
  MIME mime;
  mime.set("A", "1");
  MIME copy = mime;
  copy.set("B", "2");
  copy.lines(0).value = "changed";
  EXPECT_EQ(1u, mime.size());
  EXPECT_STREQ("1", mime.get("A", "").cstr());
  mime.reset();
  EXPECT_EQ(0u, mime.size());
  EXPECT_EQ(2u, copy.size());
}

TEST(Mime, ParsesAndWritesHeaderLines) {
  MIME mime;
  EXPECT_TRUE(mime.addLine("Content-Length: 12"));
  EXPECT_TRUE(mime.addLine("Empty: "));
  EXPECT_TRUE(mime.addLine("Url: http://host:80/x"));  // split at the first ": " only
  EXPECT_FALSE(mime.addLine("No-Separator:value"));
  EXPECT_FALSE(mime.addLine(""));
  ASSERT_EQ(3u, mime.size());
  EXPECT_STREQ("Content-Length", mime.lines[0].name.cstr());
  EXPECT_STREQ("12", mime.lines[0].value.cstr());
  EXPECT_STREQ("", mime.lines[1].value.cstr());
  EXPECT_STREQ("http://host:80/x", mime.get("url", "").cstr());

  EXPECT_STREQ("Content-Length: 12\r\nEmpty: \r\nUrl: http://host:80/x\r\n", mime.toString().cstr());
  EXPECT_STREQ("", MIME().toString().cstr());
  MIME two;
  two.set("A", "1");
  two.set("B", "2");
  EXPECT_STREQ("A: 1\r\nB: 2\r\n", two.toString().cstr());
}

TEST(HttpStatusText, ListedCodesHaveTheirPhrasesOthersNone) {
  EXPECT_STREQ("Moved Temporarily", HttpStatus::text(HttpStatus::HTTP_MOVED_TEMPORARILY).cstr());
  EXPECT_STREQ("OK", HttpStatus::text(static_cast<HttpStatus::E_Code>(200)).cstr());
  EXPECT_STREQ("Unauthorised", HttpStatus::text(static_cast<HttpStatus::E_Code>(401)).cstr());
  EXPECT_STREQ("None Acceptable", HttpStatus::text(static_cast<HttpStatus::E_Code>(406)).cstr());
  EXPECT_STREQ("Unless True", HttpStatus::text(static_cast<HttpStatus::E_Code>(412)).cstr());
  EXPECT_STREQ("Gateway Timeout", HttpStatus::text(static_cast<HttpStatus::E_Code>(504)).cstr());
  int listed = 0;
  for (int code = 0; code < 1000; ++code)
    listed += !HttpStatus::text(static_cast<HttpStatus::E_Code>(code)).empty();
  EXPECT_EQ(33, listed);
  EXPECT_STREQ("", HttpStatus::text(static_cast<HttpStatus::E_Code>(307)).cstr());
  EXPECT_STREQ("", HttpStatus::text(static_cast<HttpStatus::E_Code>(413)).cstr());
}
