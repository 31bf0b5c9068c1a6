#include <zu/xml.h>

#include <boost/make_shared.hpp>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/logger.h>
#include <zu/util.h>

#include "support/log_lines.h"

using zu::String;
using zu::StringPair;
using zu::TArray;
using zu::func::IIO;
using zu::test::LogCapture;
using zu::xml::IDocument;
using zu::xml::IElement;
using zu::xml::INode;
typedef boost::shared_ptr<INode> Node;
typedef boost::shared_ptr<IElement> Element;

namespace {

std::string str(String const& s) { return s.cstr(); }

// Saves `doc` through a file's IO into a new temporary file, closed on
// return; its name, or "" when any step failed.
std::string saveToTemporaryFile(boost::shared_ptr<IDocument> const& doc, unsigned int step) {
  char name[] = "/tmp/zu_xml_XXXXXX";
  int const fd = mkstemp(name);
  if (fd == -1) return "";
  close(fd);
  boost::shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(name);
  if (!file->open(false, zu::fs::FILE_MODE_OPEN_EXISTING) || !doc->save(*file->toIO(), step)) return "";
  return name;
}

// Keeps every block apart; refuses everything after `accepted` whole blocks
// (that block itself is taken short by one byte).
struct BlockSink : IIO {
  std::vector<std::string> blocks;
  unsigned int accepted = 1000;
  unsigned int read(void*, unsigned int) override { return 0; }
  unsigned int write(void const* data, unsigned int size) override {
    if (blocks.size() >= accepted) return blocks.size() == accepted ? (blocks.emplace_back("?"), size - 1) : 0;
    blocks.emplace_back(static_cast<char const*>(data), size);
    return size;
  }
};

// A node of the caller's own class, to see that the tree works through the
// interface alone.
struct ForeignNode : INode {
  bool readsBack = false;
  boost::shared_ptr<IElement> parent() const override { return {}; }
  Node clone() const override {
    auto copy = boost::make_shared<ForeignNode>();
    copy->readsBack = readsBack;
    return copy;
  }
  bool write(IIO& out, unsigned int, unsigned int indent) const override {
    if (readsBack) {
      char c;
      out.read(&c, 1);
    }
    std::string line = std::string(indent, '.') + "foreign\n";
    return out.write(line.data(), line.size()) == line.size();
  }
  String toString(unsigned int) const override { return "foreign\n"; }
  String text() const override { return "<f>"; }
  void setText(String const&) override {}
};

std::string names(TArray<Element> const& elements) {
  std::string s;
  for (Element const& e : elements) s += str(e->name()) + "." + str(e->attribute("n", "", false)) + " ";
  return s;
}

}  // namespace

TEST(XmlTree, ChildrenKnowTheirParentUntilTakenOut) {
  Element root = IElement::New("r");
  Element a = root->addElement("a");
  Node t = root->addText("t");
  EXPECT_EQ(root, a->parent());
  EXPECT_EQ(root, t->parent());
  EXPECT_FALSE(root->parent());

  TArray<Node> held = root->children();  // shares the array's storage
  EXPECT_TRUE(root->removeChild(a));
  EXPECT_FALSE(root->removeChild(a));
  EXPECT_FALSE(root->removeChild(IElement::New("a")));  // equal is not the same
  EXPECT_FALSE(a->parent());
  EXPECT_EQ(2u, held.size());

  // The others keep their order.
  Element list = IElement::New("l");
  list->addElement("a");
  Node const second = list->addText("b");
  list->addElement("c");
  list->addText("d");
  EXPECT_TRUE(list->removeChild(second));
  EXPECT_EQ("<l>\n<a/>\n<c/>\nd\n</l>\n", str(list->toString(0)));

  // setText takes out every child, also those still held elsewhere.
  root->setText("x");
  EXPECT_FALSE(t->parent());
  EXPECT_EQ(1u, root->children().size());
  EXPECT_EQ(root, root->children()[0]->parent());
  EXPECT_EQ("x", root->text());

  // Nodes outlive the parent that dropped them, and the parent is not kept
  // alive by its children.
  boost::weak_ptr<IElement> gone = root;
  Node kept = root->children()[0];
  root.reset();
  EXPECT_TRUE(gone.expired());
  EXPECT_FALSE(kept->parent());
  EXPECT_EQ("x", kept->text());
}

TEST(XmlTree, AddedNodesAreClonedNeverAdopted) {
  Element root = IElement::New("r");
  Element sub = IElement::New("sub");
  sub->setAttribute("k", "v", false);
  sub->addElement("leaf")->addText("deep");

  root->addChild(sub);
  EXPECT_FALSE(sub->parent());
  Node copy = root->children()[0];
  EXPECT_NE(sub, copy);
  EXPECT_EQ(root, copy->parent());
  EXPECT_EQ(str(sub->toString(1)), str(copy->toString(1)));

  // The copy is deep: changing the original below the top leaves it alone.
  sub->find("leaf", false)[0]->setText("changed");
  EXPECT_EQ("deep", root->find("sub/leaf", false)[0]->text());
  Element clone = boost::dynamic_pointer_cast<IElement>(sub->clone());
  EXPECT_FALSE(clone->parent());
  EXPECT_EQ(clone, clone->children()[0]->parent());

  // setChildren copies the given nodes, even the element's own children or
  // the element itself, as they were before the call.
  root->setChildren(root->children());
  EXPECT_EQ("<r>\n<sub k=\"v\">\n<leaf>\ndeep\n</leaf>\n</sub>\n</r>\n", str(root->toString(0)));
  EXPECT_FALSE(copy->parent());
  TArray<Node> both;
  both.append(root).append(INode::New("t"));
  root->setChildren(both);
  EXPECT_EQ("<r>\n<r>\n<sub k=\"v\">\n<leaf>\ndeep\n</leaf>\n</sub>\n</r>\nt\n</r>\n", str(root->toString(0)));

  // A node of the caller's own class goes through its own clone and write.
  root->setChildren(TArray<Node>());
  root->addChild(boost::make_shared<ForeignNode>());
  root->addText("x");
  EXPECT_EQ("<f>x", root->text());
  EXPECT_EQ("<r>\n..foreign\n  x\n</r>\n", str(root->toString(2)));
}

TEST(XmlTree, TextJoinsOnlyTheDirectTextChildren) {
  Element e = IElement::New("e");
  EXPECT_EQ("", e->text());
  e->addText("a");
  e->addElement("inner")->addText("skipped");
  e->addText("b");
  EXPECT_EQ("ab", e->text());
}

TEST(XmlAttributes, SetMovesToTheEndAndNamesMatchAsAsked) {
  Element e = IElement::New("e");
  e->setAttribute("x", "0", false);
  e->setAttribute("y", "2", false);
  e->setAttribute("x", "1", false);
  TArray<StringPair> list = e->attributes();
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ("y", list[0].name);
  EXPECT_EQ("x", list[1].name);
  EXPECT_EQ("1", list[1].value);

  EXPECT_EQ("d", e->attribute("X", "d", false));
  EXPECT_EQ("1", e->attribute("X", "d", true));
  e->setAttribute("X", "3", false);  // a different name when case counts
  EXPECT_EQ(3u, e->attributes().size());
  e->setAttribute("X", "4", true);
  EXPECT_EQ(2u, e->attributes().size());
  EXPECT_EQ("4", e->attribute("x", "", true));

  // Duplicates come only from setAttributes: the first wins, removal takes
  // them all, and the array given stays the caller's.
  list.append(StringPair{"y", "second"});
  e->setAttributes(list);
  list.erase(0);
  EXPECT_EQ("2", e->attribute("y", "", false));
  e->removeAttribute("Y", true);
  EXPECT_EQ(1u, e->attributes().size());
  EXPECT_EQ("x", e->attributes()[0].name);
}

TEST(XmlFind, EveryStepButTheLastFollowsTheFirstMatch) {
  Element r = IElement::New("r");
  Element a1 = r->addElement("a");
  a1->setAttribute("n", "1", false);
  a1->addElement("b")->setAttribute("n", "1", false);
  a1->addText("b");
  a1->addElement("B")->setAttribute("n", "2", false);
  r->addElement("a")->addElement("b")->setAttribute("n", "3", false);

  EXPECT_EQ("a.1 a. ", names(r->find("a", false)));
  EXPECT_EQ("b.1 ", names(r->find("a/b", false)));
  EXPECT_EQ("b.1 ", names(r->find("//a//b/", false)));
  EXPECT_EQ("b.1 B.2 ", names(r->find("A/b", true)));
  EXPECT_EQ("", names(r->find("A/b", false)));
  EXPECT_EQ("", names(r->find("r/a", false)));  // the element's own name is no step
  EXPECT_EQ("", names(r->find("", false)));
  EXPECT_EQ("", names(r->find("///", false)));
  EXPECT_EQ("", names(r->find("a/b/c", false)));
}

TEST(XmlOutput, LinesIndentationAndEscaping) {
  Element e = IElement::New("e");
  EXPECT_EQ("<e/>\n", str(e->toString(2)));
  e->addText("");
  EXPECT_EQ("<e>\n  \n</e>\n", str(e->toString(2)));

  EXPECT_EQ("a&lt;b&#10;c\n", str(INode::New("a<b\nc")->toString(4)));
  EXPECT_EQ("&amp;lt;&gt;&quot;&apos;&#13;\n", str(INode::New("&lt;>\"'\r")->toString(0)));
  EXPECT_EQ("a\tb\n", str(INode::New("a\tb")->toString(0))) << "a tab is escaped in attribute values only";

  Element r = IElement::New("r");
  r->setAttribute("q\"&", "say \"hi\" & <go>", false);  // names are written as given
  r->setAttribute("b", "", false);
  r->addElement("c")->addElement("d")->addText("x");
  EXPECT_EQ(
      "<r q\"&=\"say &quot;hi&quot; &amp; &lt;go&gt;\" b=\"\">\n"
      "   <c>\n      <d>\n         x\n      </d>\n   </c>\n</r>\n",
      str(r->toString(3)));
  EXPECT_EQ("<r q\"&=\"say &quot;hi&quot; &amp; &lt;go&gt;\" b=\"\">\n<c>\n<d>\nx\n</d>\n</c>\n</r>\n",
            str(r->toString(0)));

  // Texts and elements mixed, at every depth.
  Element m = IElement::New("m");
  m->addText("t1");
  Element in = m->addElement("in");
  in->addText("a");
  in->addElement("deep")->addText("z");
  in->addText("b");
  in->addElement("last");
  m->addElement("empty");
  m->addText("t2");
  std::string const mixed =
      "<m>\n t1\n <in>\n  a\n  <deep>\n   z\n  </deep>\n  b\n  <last/>\n </in>\n <empty/>\n t2\n</m>\n";
  EXPECT_EQ(mixed, str(m->toString(1)));
  BlockSink lines;
  EXPECT_TRUE(m->write(lines, 1, 0));
  std::string joined;
  for (std::string const& line : lines.blocks) joined += line;
  EXPECT_EQ(mixed, joined);
  EXPECT_EQ(13u, lines.blocks.size());
  EXPECT_EQ(mixed, str(m->clone()->toString(1)));

  // write() starts at the given indentation, and hands over one line at a time.
  BlockSink sink;
  EXPECT_TRUE(r->find("c", false)[0]->write(sink, 1, 2));
  EXPECT_EQ((std::vector<std::string>{"  <c>\n", "   <d>\n", "    x\n", "   </d>\n", "  </c>\n"}), sink.blocks);
}

TEST(XmlOutput, WritingStopsAtTheFirstBlockNotTakenWhole) {
  Element r = IElement::New("r");
  r->addElement("a")->addText("x");
  for (unsigned int accepted = 0; accepted < 5; ++accepted) {
    BlockSink sink;
    sink.accepted = accepted;
    EXPECT_FALSE(r->write(sink, 1, 0)) << accepted;
    EXPECT_EQ(accepted + 1, sink.blocks.size()) << accepted;
  }
  boost::shared_ptr<IDocument> doc = IDocument::New("r", "", "", "");
  BlockSink sink;
  sink.accepted = 0;
  EXPECT_FALSE(doc->save(sink, 1));
  EXPECT_EQ(1u, sink.blocks.size());
}

TEST(XmlOutput, IndentationsPastWhatALineHoldsFailTheWrite) {
  // The child's indentation is 2^32 + 8 spaces, not 8.
  Element r = IElement::New("r");
  r->addElement("c")->addText("x");
  BlockSink sink;
  EXPECT_FALSE(r->write(sink, 0xFFFFFFF8u, 16));
  EXPECT_EQ(1u, sink.blocks.size());
  EXPECT_EQ("", str(r->toString(0xFFFFFFFFu)));

  // A node of the caller's class is not handed an indentation that wrapped.
  Element f = IElement::New("f");
  f->addChild(boost::make_shared<ForeignNode>());
  sink.blocks.clear();
  EXPECT_FALSE(f->write(sink, 0xFFFFFFF8u, 16));
  EXPECT_EQ(1u, sink.blocks.size());
}

TEST(XmlDocument, DeclarationAndRoot) {
  boost::shared_ptr<IDocument> doc = IDocument::New("cfg", "", "", "");
  Element cfg = doc->root();
  cfg->setAttribute("a", "1&2", false);
  cfg->addText("hi");
  String out("kept|");
  EXPECT_TRUE(doc->save(out, 2));
  EXPECT_EQ(
      "kept|<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<cfg a=\"1&amp;2\">\n  hi\n</cfg>\n",
      str(out));

  doc = IDocument::New("r", "1.1", "ISO-8859-1", "yes");
  EXPECT_EQ("1.1", doc->version());
  EXPECT_EQ("ISO-8859-1", doc->encoding());
  EXPECT_EQ("yes", doc->standalone());
  out = "";
  EXPECT_TRUE(doc->save(out, 2));
  EXPECT_EQ("<?xml version=\"1.1\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>\n<r/>\n", str(out));

  doc = IDocument::New("", "", "", "");
  out = "x";
  EXPECT_FALSE(doc->save(out, 2));
  BlockSink sink;
  EXPECT_FALSE(doc->save(sink, 2));
  EXPECT_EQ("x", str(out));
  EXPECT_TRUE(sink.blocks.empty());
  doc->setRoot(cfg);
  EXPECT_EQ(cfg, doc->root());
  EXPECT_TRUE(doc->save(out, 0));
  EXPECT_EQ("x<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<cfg a=\"1&amp;2\">\nhi\n</cfg>\n", str(out));
}

TEST(XmlDocument, SavesThroughAnyStream) {
  boost::shared_ptr<IDocument> doc = IDocument::New("r", "", "", "no");
  doc->root()->addElement("a")->addText("\xC3\xA9");  // bytes pass unchanged
  String expected;
  ASSERT_TRUE(doc->save(expected, 1));

  boost::shared_ptr<zu::util::IPipeBuffer> pipe = zu::util::IPipeBuffer::New();
  EXPECT_TRUE(doc->save(*pipe->toIO(), 1));
  EXPECT_EQ(str(expected), std::string(reinterpret_cast<char*>(pipe->data()), pipe->size()));

  std::string const name = saveToTemporaryFile(doc, 1);
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(expected.length(), zu::fs::IFile::length(name.c_str()));
  zu::fs::IFile::remove(name.c_str());
}

TEST(XmlTree, AVeryDeepTreeIsReleasedWithoutRecursion) {
  Element root = IElement::New("r");
  Element at = root;
  for (int i = 0; i < 300000; ++i) at = at->addElement("d");
  at->addText("bottom");
  at.reset();
  root.reset();  // one nested destructor per level would overflow the stack
}

TEST(XmlTree, ConcurrentReadersShareOneTree) {
  Element r = IElement::New("r");
  for (int i = 0; i < 50; ++i) {
    Element e = r->addElement("e");
    e->setAttribute("n", String(i), false);
    e->addText("t&");
  }
  String const expected = r->toString(1);
  std::vector<std::thread> readers;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&, t] {
      for (int k = 0; k < 50; ++k)
        good[t] += r->toString(1) == expected && r->find("e", false).size() == 50 &&
                   r->clone()->toString(1) == expected && r->children()[7]->text() == "t&";
    });
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(std::vector<int>(4, 50), good);
}

TEST(XmlDeathTest, NullNodesAndReadingFromStringOutput) {
  Element e = IElement::New("e");
  EXPECT_DEATH(e->addChild(Node()), "Assertion failed: node, file xml.cpp");
  TArray<Node> nodes;
  nodes.append(Node());
  EXPECT_DEATH(e->setChildren(nodes), "Assertion failed: node, file xml.cpp");
  auto reader = boost::make_shared<ForeignNode>();
  reader->readsBack = true;
  e->addChild(reader);
  EXPECT_DEATH(e->toString(0), "Assertion failed: 0, file xml.cpp");
}

// ---- Reading XML text

namespace {

using zu::xml::IParser;

boost::shared_ptr<IDocument> read(std::string const& text) {
  boost::shared_ptr<IDocument> doc = IDocument::New("", "", "", "");
  return doc->loadString(String(text.c_str())) ? doc : boost::shared_ptr<IDocument>();
}

std::string saved(boost::shared_ptr<IDocument> const& doc, unsigned int step = 2) {
  String out;
  doc->save(out, step);
  return str(out);
}

// Hands out its bytes in reads of at most `most` bytes (every read asks
// for 4096) and records what each read gave. A boaster claims a full read
// to be larger than asked.
struct Source : IIO {
  std::string bytes;
  std::size_t at = 0;
  unsigned int most = 0x1000;
  bool boasts = false;
  std::vector<unsigned int> given;
  unsigned int read(void* buffer, unsigned int size) override {
    unsigned int n = static_cast<unsigned int>(std::min<std::size_t>({size, most, bytes.size() - at}));
    bytes.copy(static_cast<char*>(buffer), n, at);
    at += n;
    given.push_back(n);
    return boasts && n == size ? n + 1000 : n;
  }
  unsigned int write(void const*, unsigned int) override { return 0; }
};

// Keeps what is written, in one text.
struct Sink : IIO {
  std::string text;
  unsigned int read(void*, unsigned int) override { return 0; }
  unsigned int write(void const* data, unsigned int size) override {
    text.append(static_cast<char const*>(data), size);
    return size;
  }
};

// A stream that is one view of a larger object and, like a file, reports
// its read errors under the object's own address.
struct Device : IBase {
  virtual ~Device() = default;
};
struct BrokenDevice : Device, IIO {
  unsigned int read(void*, unsigned int) override {
    zu::em::report(static_cast<Device*>(this), 5, String("device gone"));
    return 0;
  }
  unsigned int write(void const*, unsigned int) override { return 0; }
};

}  // namespace

TEST(XmlParse, ATreeWrittenOutReadsBackAsTheSameTree) {
  boost::shared_ptr<IDocument> doc = IDocument::New("cfg", "1.0", "UTF-8", "yes");
  Element cfg = doc->root();
  cfg->setAttribute("quote", "say \"hi\" & 'bye' <now>", false);
  cfg->setAttribute("lines", "a\r\nb c", false);
  cfg->setAttribute("tabs", "a\tb", false);  // a literal tab would read back as a blank
  Element group = cfg->addElement("ns:group");
  group->addText("1 < 2 && \"x\"\nsecond line");
  group->addElement("empty");
  group->addText("\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80");
  cfg->addElement("last")->setAttribute("x", "", false);
  for (unsigned int step : {0u, 1u, 4u}) {
    std::string const first = saved(doc, step);
    boost::shared_ptr<IDocument> back = read(first);
    ASSERT_TRUE(back) << first;
    EXPECT_EQ(first, saved(back, step));
    EXPECT_EQ("yes", back->standalone());
    EXPECT_EQ("a\r\nb c", back->root()->attribute("lines", "", false));
    EXPECT_EQ("a\tb", back->root()->attribute("tabs", "", false));
    EXPECT_EQ("1 < 2 && \"x\"\nsecond line", back->root()->find("ns:group", false)[0]->children()[0]->text());
  }
}

TEST(XmlParse, WhitespaceBetweenTagsIsDroppedAndTextsTrimmed) {
  boost::shared_ptr<IDocument> doc = read("<a> x <b/> y </a>");
  ASSERT_TRUE(doc);
  TArray<Node> children = doc->root()->children();
  ASSERT_EQ(3u, children.size());
  EXPECT_EQ("x", children[0]->text());
  EXPECT_EQ("b", boost::dynamic_pointer_cast<IElement>(children[1])->name());
  EXPECT_EQ("y", children[2]->text());

  doc = read("<a>  \n\t </a>");
  EXPECT_EQ(0u, doc->root()->children().size());
  EXPECT_EQ("<a/>\n", str(doc->root()->toString(2)));

  doc = read("<a>x<!-- note -->y<![CDATA[ <z> ]]></a>");
  ASSERT_EQ(1u, doc->root()->children().size());
  EXPECT_EQ("xy <z>", doc->root()->text());

  doc = read("<!DOCTYPE a [<!ENTITY e 'ent'>]><p:a xmlns:p='urn:x' v=\"1 &amp; 2\" w='&e;&#65;'>&e;</p:a>");
  ASSERT_TRUE(doc);
  EXPECT_EQ("p:a", doc->root()->name());
  TArray<StringPair> attributes = doc->root()->attributes();
  ASSERT_EQ(3u, attributes.size());
  EXPECT_EQ("xmlns:p", attributes[0].name);
  EXPECT_EQ("1 & 2", attributes[1].value);
  EXPECT_EQ("entA", attributes[2].value);
  EXPECT_EQ("ent", doc->root()->text());
}

TEST(XmlParse, DeclarationFields) {
  boost::shared_ptr<IDocument> doc = read("<r/>");
  EXPECT_EQ("", doc->version());
  EXPECT_EQ("", doc->encoding());
  EXPECT_EQ("", doc->standalone());
  EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r/>\n", saved(doc));

  boost::shared_ptr<IParser> parser = IParser::New();
  std::string const no = "<?xml version='1.0' encoding='UTF-8' standalone='no'?><r/>";
  ASSERT_TRUE(parser->parse(no.data(), no.size(), true));
  EXPECT_EQ("no", parser->document()->standalone());
  EXPECT_EQ("UTF-8", parser->document()->encoding());
  std::string const plain = "<?xml version=\"1.1\"?><r/>";
  ASSERT_TRUE(parser->parse(plain.data(), plain.size(), true));
  EXPECT_EQ("", parser->document()->standalone());
  EXPECT_EQ("", parser->document()->encoding());
  EXPECT_EQ("1.1", parser->document()->version());
  parser->reset();
  EXPECT_FALSE(parser->document());
}

TEST(XmlParse, PiecesGiveTheSameTreeAsOneCall) {
  std::string const text = "<?xml version=\"1.0\"?><r a='\xC3\xA9'><s>\xE2\x82\xAC \xF0\x9F\x98\x80</s>tail</r>";
  boost::shared_ptr<IParser> parser = IParser::New();
  ASSERT_TRUE(parser->parse(text.data(), text.size(), true));
  std::string const whole = saved(parser->document());
  ASSERT_TRUE(parser->parse(text.data(), 20, false));
  ASSERT_TRUE(parser->parse(text.data() + 20, text.size() - 20, true));
  EXPECT_EQ(whole, saved(parser->document()));
  for (char const& c : text) ASSERT_TRUE(parser->parse(&c, 1, false));  // every multi-byte character split
  ASSERT_TRUE(parser->parse(nullptr, 0, true));
  EXPECT_EQ(whole, saved(parser->document()));
}

TEST(XmlParse, ErrorsCarryTheCodeAndTextAndKeepTheLastDocument) {
  boost::shared_ptr<IParser> parser = IParser::New();
  ASSERT_TRUE(parser->parse("<ok/>", 5, true));
  {
    zu::em::CatchError guard(parser.get());
    EXPECT_FALSE(parser->parse("<a></b>", 7, true));
    EXPECT_EQ(7u, guard.code());
    EXPECT_EQ("mismatched tag", guard.text());
  }
  ASSERT_TRUE(parser->document());
  EXPECT_EQ("ok", parser->document()->root()->name());
  {
    zu::em::CatchError guard(parser.get());
    EXPECT_TRUE(parser->parse("<a>", 3, false));
    EXPECT_FALSE(parser->parse("", 0, true));
    EXPECT_EQ(3u, guard.code());
    EXPECT_EQ("no element found", guard.text());
  }
  // A failed document leaves nothing behind for the next one.
  EXPECT_TRUE(parser->parse("<b>x</b>", 8, true));
  EXPECT_EQ("<b>\n  x\n</b>\n", str(parser->document()->root()->toString(2)));

  boost::shared_ptr<IDocument> doc = IDocument::New("kept", "1.1", "", "yes");
  Element kept = doc->root();
  LogCapture capture;
  EXPECT_FALSE(doc->loadString(""));
  EXPECT_TRUE(capture->has("[DBG1]"));
  EXPECT_TRUE(capture->has("class zu::xml::impl::Document: loadString: parse error(3) no element found"));
  EXPECT_FALSE(doc->loadString("<a x='1' x='2'/>"));
  EXPECT_TRUE(capture->has("loadString: parse error(8) duplicate attribute"));
  EXPECT_EQ(kept, doc->root());
  {
    boost::shared_ptr<IDocument> other = IDocument::New("", "", "", "");
    zu::em::CatchError guard(other.get());
    EXPECT_FALSE(other->loadString("<a></b>"));
    EXPECT_EQ(7u, guard.code()) << "the parser's reason reaches the document's listener";
    EXPECT_EQ("mismatched tag", guard.text());
    EXPECT_TRUE(other->loadString("<fresh/>"));
    EXPECT_EQ(7u, guard.code()) << "success reports nothing";
  }
  EXPECT_EQ("1.1", doc->version());
  EXPECT_EQ("yes", doc->standalone());
  zu::util::logger::setLevel(2);
  std::size_t const logged = capture->lines().size();
  EXPECT_FALSE(doc->loadString("<a>"));
  EXPECT_EQ(logged, capture->lines().size());
  zu::util::logger::setLevel(3);
}

TEST(XmlParse, HostileInputIsRefused) {
  // Entities that expand to a billion copies of a short text.
  std::string bomb = "<!DOCTYPE r [<!ENTITY a0 'laugh'>";
  for (int i = 1; i < 10; ++i) {
    bomb += "<!ENTITY a" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) bomb += "&a" + std::to_string(i - 1) + ";";
    bomb += "'>";
  }
  bomb += "]><r>&a9;</r>";
  boost::shared_ptr<IParser> parser = IParser::New();
  zu::em::CatchError guard(parser.get());
  EXPECT_FALSE(parser->parse(bomb.data(), bomb.size(), true));
  EXPECT_NE(0u, guard.code());

  // No file is read for an external entity.
  std::string const outside = "<!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><r>&x;</r>";
  boost::shared_ptr<IDocument> doc = read(outside);
  if (doc) {
    EXPECT_EQ("", doc->root()->text());
  }

  // Very deep nesting is read and released without deep recursion.
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<d>";
  deep += "bottom";
  for (int i = 0; i < 200000; ++i) deep += "</d>";
  doc = read(deep);
  ASSERT_TRUE(doc);
  Element at = doc->root();
  for (int i = 1; i < 200000; ++i) at = boost::dynamic_pointer_cast<IElement>(at->children()[0]);
  EXPECT_EQ("bottom", at->text());
}

TEST(XmlLoad, StreamsAreReadInBlocksOf4096) {
  // A character of each UTF-8 length lies across the end of the first block.
  std::string const head = "<r a='1'>";
  for (std::string const& wide : {std::string("\xC3\xA9"), std::string("\xE2\x82\xAC"), std::string("\xF0\x9F\x98\x80")}) {
    std::string text = head + std::string(0x1000 - head.size() - 1, 'x') + wide + "</r>";
    Source source;
    source.bytes = text;
    boost::shared_ptr<IDocument> doc = IDocument::New("", "", "", "");
    ASSERT_TRUE(doc->load(source));
    EXPECT_EQ((std::vector<unsigned int>{0x1000, static_cast<unsigned int>(text.size() - 0x1000)}), source.given);
    EXPECT_EQ(std::string(0x1000 - head.size() - 1, 'x') + wide, str(doc->root()->text()));
  }

  // Exactly one full block: a second, empty read ends the input.
  Source exact;
  exact.bytes = "<r>" + std::string(0x1000 - 7, 'y') + "</r>";
  boost::shared_ptr<IDocument> doc = IDocument::New("", "", "", "");
  ASSERT_TRUE(doc->load(exact));
  EXPECT_EQ((std::vector<unsigned int>{0x1000, 0}), exact.given);

  // A stream that says it read more than asked is taken at its word only
  // up to the block.
  Source boaster;
  boaster.bytes = exact.bytes + "<!-- more -->";
  boaster.boasts = true;
  ASSERT_TRUE(doc->load(boaster));
  EXPECT_EQ(std::string(0x1000 - 7, 'y'), str(doc->root()->text()));

  // A short read is the end of the input, even when more would follow.
  Source trickle;
  trickle.bytes = "<r>ok</r>";
  trickle.most = 4;
  LogCapture capture;
  zu::em::CatchError guard(doc.get());
  EXPECT_FALSE(doc->load(trickle));
  EXPECT_TRUE(capture->has("load: parse error(3) no element found"));
  EXPECT_EQ(3u, guard.code());
  EXPECT_EQ("no element found", guard.text());
  EXPECT_EQ("r", doc->root()->name());

  BrokenDevice broken;
  EXPECT_FALSE(doc->load(broken));
  EXPECT_TRUE(capture->has("class zu::xml::impl::Document: load: io read error(5) device gone"));
  EXPECT_EQ(5u, guard.code()) << "the stream's reason is reported under the document";
  EXPECT_EQ("device gone", guard.text());
}

TEST(XmlLoad, FromAFile) {
  boost::shared_ptr<IDocument> doc = IDocument::New("cfg", "", "", "");
  for (int i = 0; i < 1000; ++i) doc->root()->addElement("item")->setAttribute("n", "\xC3\xA9t\xC3\xA9 " + String(i), false);
  String expected;
  ASSERT_TRUE(doc->save(expected, 2));
  ASSERT_GT(expected.length(), 0x3000u);
  std::string const name = saveToTemporaryFile(doc, 2);
  ASSERT_FALSE(name.empty());
  boost::shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(name.c_str());
  ASSERT_TRUE(file->open(true, zu::fs::FILE_MODE_OPEN_EXISTING));
  boost::shared_ptr<IDocument> back = IDocument::New("", "", "", "");
  ASSERT_TRUE(back->load(*file->toIO()));
  EXPECT_EQ(str(expected), saved(back));
  zu::fs::IFile::remove(name.c_str());
}

// Every walk over a tree (writing into a String or a stream, cloning,
// finding, releasing) runs without one nested call per level: a tree read
// from hostile text may be a million levels deep.
TEST(XmlTree, AMillionLevelsAreReadWrittenClonedFoundAndDroppedOnTheDefaultStack) {
  int const depth = 1000000;
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<d>";
  text += "bottom";
  for (int i = 0; i < depth; ++i) text += "</d>";
  boost::shared_ptr<IDocument> doc = read(text);
  ASSERT_TRUE(doc);
  text.clear();

  std::string const declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  std::string lines;
  for (int i = 0; i < depth; ++i) lines += "<d>\n";
  lines += "bottom\n";
  for (int i = 0; i < depth; ++i) lines += "</d>\n";
  EXPECT_TRUE(saved(doc, 0) == declaration + lines);
  Sink sink;
  EXPECT_TRUE(doc->save(sink, 0));
  EXPECT_TRUE(sink.text == declaration + lines);
  sink.text.clear();

  Node const copy = doc->root()->clone();
  EXPECT_TRUE(str(copy->toString(0)) == lines);
  EXPECT_TRUE(copy->write(sink, 0, 0));
  EXPECT_TRUE(sink.text == lines);

  std::string path;
  for (int i = 1; i < depth; ++i) path += "d/";
  TArray<Element> const bottom = boost::dynamic_pointer_cast<IElement>(copy)->find(String(path.c_str()), false);
  ASSERT_EQ(1u, bottom.size());
  EXPECT_EQ("bottom", bottom[0]->text());
  EXPECT_TRUE(bottom[0]->children()[0]->parent() == bottom[0]);
}

namespace {

std::string utf16(std::u16string const& text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t const unit : text) {
    char const high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

}  // namespace

// The parser hands over UTF-8 whatever the text's encoding: what is saved
// declares UTF-8 and reads back as the same tree, while encoding() still
// tells the encoding read.
TEST(XmlLoad, TextInOtherEncodingsIsSavedAsUtf8AndReadsBackTheSame) {
  std::string const value = "\xC3\xA9";                                        // é
  std::string const content = "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80";  // café 日 😀
  struct Input {
    std::string bytes;
    char const* encoding;
    char const* standalone;
  } const inputs[] = {
      {"<?xml version='1.0' encoding='ISO-8859-1' standalone='yes'?><r a='\xE9'>caf\xE9 &#x65E5; &#x1F600;</r>",
       "ISO-8859-1", "yes"},
      {utf16(u"<?xml version='1.0' encoding='UTF-16'?><r a='\u00E9'>caf\u00E9 \u65E5 \U0001F600</r>", false),
       "UTF-16", ""},
      {utf16(u"<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\"?><r a=\"\u00E9\">caf\u00E9 \u65E5 "
             u"\U0001F600</r>",
             true),
       "utf-16", "no"},
  };
  for (Input const& input : inputs) {
    Source source;
    source.bytes = input.bytes;
    boost::shared_ptr<IDocument> doc = IDocument::New("", "", "", "");
    ASSERT_TRUE(doc->load(source)) << input.encoding;
    EXPECT_EQ(input.encoding, doc->encoding());
    EXPECT_EQ("1.0", doc->version());
    EXPECT_EQ(input.standalone, doc->standalone());
    EXPECT_EQ(value, str(doc->root()->attribute("a", "", false)));
    EXPECT_EQ(content, str(doc->root()->text()));

    std::string const written = saved(doc, 1);
    std::string const standalone = *input.standalone ? std::string(" standalone=\"") + input.standalone + "\"" : "";
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"" + standalone + "?>\n<r a=\"" + value + "\">\n " + content +
                  "\n</r>\n",
              written);
    boost::shared_ptr<IDocument> back = read(written);
    ASSERT_TRUE(back) << input.encoding;
    EXPECT_EQ(written, saved(back, 1));
    Sink sink;
    ASSERT_TRUE(doc->save(sink, 1));
    EXPECT_EQ(written, sink.text);
    Source again;
    again.bytes = sink.text;
    ASSERT_TRUE(back->load(again));
    EXPECT_EQ(content, str(back->root()->text()));

    // The parser's own document says the same; an encoding set afterwards
    // is the caller's to vouch for, and written as set.
    boost::shared_ptr<zu::xml::IParser> parser = zu::xml::IParser::New();
    ASSERT_TRUE(parser->parse(input.bytes.data(), input.bytes.size(), true));
    EXPECT_EQ(written, saved(parser->document(), 1));
    doc->setEncoding(input.encoding);
    EXPECT_NE(std::string::npos, saved(doc, 1).find(std::string("encoding=\"") + input.encoding + "\""));
  }

  // loadString takes the text up to its first zero byte, which UTF-16 has
  // at once: such text goes through a stream.
  EXPECT_FALSE(IDocument::New("", "", "", "")->loadString(String(utf16(u"<r/>", false).c_str())));
}

TEST(XmlParse, ConcurrentParsersKeepTheirDocumentsAndErrorsApart) {
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      boost::shared_ptr<IParser> parser = IParser::New();
      std::string const ok = "<r n='" + std::to_string(t) + "'><a>x</a></r>";
      for (int k = 0; k < 100; ++k) {
        zu::em::CatchError guard(parser.get());
        bool const parsed = parser->parse(ok.data(), ok.size(), true);
        bool const refused = !parser->parse("<a></b>", 7, true);
        good[t] += parsed && refused && guard.code() == 7u &&
                   parser->document()->root()->attribute("n", "", false) == String(t);
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(4, 100), good);
}

// ---- Trees read from text share their document's storage

namespace {

Element child(Element const& e, unsigned int i) { return boost::dynamic_pointer_cast<IElement>(e->children()[i]); }

std::string const sample =
    "<cfg v='1'><group n='a'><item id='1' name='x &amp; y'>first</item><item id='2'/>tail</group>"
    "<group n='b'><item id='3'>third</item></group></cfg>";

}  // namespace

TEST(XmlStorage, NodesOutliveTheirDocument) {
  Element item;
  Node text;
  boost::weak_ptr<IElement> root;
  Node lonelyText;
  {
    boost::shared_ptr<IDocument> doc = read(sample);
    ASSERT_TRUE(doc);
    root = doc->root();
    item = child(child(doc->root(), 0), 0);
    text = item->children()[0];
    lonelyText = child(child(doc->root(), 1), 0)->children()[0];  // held alone: its element goes
  }
  EXPECT_TRUE(root.expired()) << "the document's tree went with it";
  EXPECT_FALSE(item->parent()) << "the former parent is gone, not kept alive by its child";
  EXPECT_EQ(item, text->parent());
  EXPECT_EQ("first", text->text());
  EXPECT_EQ("third", lonelyText->text());
  EXPECT_FALSE(lonelyText->parent());
  EXPECT_EQ("x & y", item->attribute("name", "", false));
  EXPECT_EQ("<item id=\"1\" name=\"x &amp; y\">\n first\n</item>\n", str(item->toString(1)));

  // Still a tree like any other: changes go beside what was read.
  item->setAttribute("id", "9", false);
  item->setName("entry");
  item->addElement("sub")->setAttribute("k", "v", false);
  text->setText("changed");
  EXPECT_EQ("<entry name=\"x &amp; y\" id=\"9\">\n changed\n <sub k=\"v\"/>\n</entry>\n", str(item->toString(1)));
  TArray<StringPair> const pairs = item->attributes();
  ASSERT_EQ(2u, pairs.size());
  EXPECT_EQ("name", pairs[0].name);
  EXPECT_EQ("x & y", pairs[0].value);
  item.reset();
  EXPECT_FALSE(text->parent());
  EXPECT_EQ("changed", text->text());
}

TEST(XmlStorage, NodesMoveBetweenDocumentsAndKeepNoStaleLinks) {
  boost::shared_ptr<IDocument> a = read(sample);
  boost::shared_ptr<IDocument> b = read("<other><keep/></other>");
  ASSERT_TRUE(a && b);
  Element group = child(a->root(), 1);
  EXPECT_TRUE(a->root()->removeChild(group));
  EXPECT_FALSE(group->parent());
  EXPECT_EQ(1u, a->root()->children().size());
  EXPECT_EQ(group, child(group, 0)->parent()) << "the taken subtree keeps its own links";

  b->root()->addChild(a->root());  // a copy, independent of a
  b->setRoot(group);               // the element itself
  Element copy = child(b->root(), 0);
  a.reset();
  EXPECT_EQ("<group n=\"b\">\n  <item id=\"3\">\n    third\n  </item>\n</group>\n", str(b->root()->toString(2)));

  boost::shared_ptr<IDocument> c = read("<c><one>1</one><two>2</two></c>");
  ASSERT_TRUE(c);
  Node one = c->root()->children()[0];
  Node oneText = child(c->root(), 0)->children()[0];
  c->root()->setChildren(b->root()->children());
  EXPECT_FALSE(one->parent()) << "replaced children are detached";
  EXPECT_EQ(one, oneText->parent());
  c->root()->setText("plain");
  EXPECT_EQ("<c>\n plain\n</c>\n", str(c->root()->toString(1)));
  b.reset();
  c.reset();
  EXPECT_EQ("1", boost::dynamic_pointer_cast<IElement>(one)->text());
}

TEST(XmlStorage, AttributesReadBackThenChangedKeepTheirOrder) {
  boost::shared_ptr<IDocument> doc = read("<e x='0' y='2' z='&lt;'/>");
  ASSERT_TRUE(doc);
  Element e = doc->root();
  e->setAttribute("x", "1", false);
  EXPECT_EQ("<e y=\"2\" z=\"&lt;\" x=\"1\"/>\n", str(e->toString(0)));
  e->removeAttribute("Y", true);
  e->setAttribute("w", "3", false);
  EXPECT_EQ("<e z=\"&lt;\" x=\"1\" w=\"3\"/>\n", str(e->toString(0)));
  TArray<StringPair> both;
  both.append(StringPair{"p", "1"});
  both.append(StringPair{"p", "2"});
  e->setAttributes(both);
  EXPECT_EQ("1", e->attribute("p", "", false));
  EXPECT_EQ(2u, e->attributes().size());
  e->setAttributes(e->attributes());  // its own list
  EXPECT_EQ("<e p=\"1\" p=\"2\"/>\n", str(e->toString(0)));
}

TEST(XmlStorage, ManyDistinctNamesReadBack) {
  std::string text = "<r>";
  for (int i = 0; i < 6000; ++i) {
    std::string const n = "n" + std::to_string(i);
    text += "<" + n + " a" + std::to_string(i % 7000) + "='" + std::to_string(i) + "'/>";
  }
  text += "<n17/><n5999/></r>";
  boost::shared_ptr<IDocument> doc = read(text);
  ASSERT_TRUE(doc);
  TArray<Node> const all = doc->root()->children();
  ASSERT_EQ(6002u, all.size());
  for (int i : {0, 17, 4095, 4096, 5999}) {
    Element e = boost::dynamic_pointer_cast<IElement>(all[i]);
    EXPECT_EQ("n" + std::to_string(i), str(e->name()));
    EXPECT_EQ(std::to_string(i), str(e->attribute(String(("a" + std::to_string(i)).c_str()), "", false)));
  }
  EXPECT_EQ(2u, doc->root()->find("n17", false).size()) << "a repeated name finds both elements";
  EXPECT_EQ(2u, doc->root()->find("n5999", false).size());
}

// Large documents take large blocks of storage, which a released document
// leaves for the next one to reuse: a document still held keeps its own.
TEST(XmlStorage, LargeDocumentsReadInTurnKeepTheirOwnText) {
  auto text = [](char tag) {
    std::string t = "<r>";
    for (int i = 0; i < 4000; ++i)
      t += std::string("<i n='") + tag + std::to_string(i) + "'>" + tag + std::to_string(i * 7) + "</i>\n";
    return t + "</r>";
  };
  auto intact = [](boost::shared_ptr<IDocument> const& doc, char tag) {
    TArray<Node> const items = doc->root()->children();
    if (items.size() != 4000) return false;
    for (unsigned int i = 0; i < items.size(); ++i) {
      Element const e = boost::dynamic_pointer_cast<IElement>(items[i]);
      if (!e || e->attribute("n", "", false) != String((tag + std::to_string(i)).c_str()) ||
          e->text() != String((tag + std::to_string(i * 7)).c_str()))
        return false;
    }
    return true;
  };
  boost::shared_ptr<IDocument> a = read(text('a'));
  boost::shared_ptr<IDocument> b = read(text('b'));
  ASSERT_TRUE(a && b);
  a.reset();  // its blocks are free for the next document
  boost::shared_ptr<IDocument> c = read(text('c'));
  ASSERT_TRUE(c);
  Node const kept = c->root()->children()[3999];
  c.reset();
  boost::shared_ptr<IDocument> d = read(text('d'));
  ASSERT_TRUE(d);
  EXPECT_TRUE(intact(b, 'b'));
  EXPECT_TRUE(intact(d, 'd'));
  EXPECT_EQ(String("c27993"), kept->text());  // a held node keeps its document's blocks
}

TEST(XmlStorage, ADeepReadTreePartlyHeldIsReleasedWithoutRecursion) {
  int const depth = 200000;
  std::string deep;
  for (int i = 0; i < depth; ++i) deep += "<d>";
  deep += "bottom";
  for (int i = 0; i < depth; ++i) deep += "</d>";
  Element middle;
  {
    boost::shared_ptr<IDocument> doc = read(deep);
    ASSERT_TRUE(doc);
    Element at = doc->root();
    for (int i = 0; i < depth / 2; ++i) at = child(at, 0);
    middle = at;
  }
  EXPECT_FALSE(middle->parent());
  Element at = middle;
  int below = 0;
  for (; !at->children().empty() && boost::dynamic_pointer_cast<IElement>(at->children()[0]); ++below) at = child(at, 0);
  EXPECT_EQ(depth / 2 - 1, below);
  EXPECT_EQ("bottom", at->text());
  at.reset();
  middle.reset();  // the held half goes without one nested call per level
}

TEST(XmlStorageConcurrent, HoldersOnSeveralThreadsReleaseOneDocument) {
  for (int round = 0; round < 20; ++round) {
    std::string text = "<r>";
    for (int i = 0; i < 400; ++i) text += "<e n='" + std::to_string(i) + "'>t" + std::to_string(i) + "</e>";
    text += "</r>";
    boost::shared_ptr<IDocument> doc = read(text);
    ASSERT_TRUE(doc);
    std::vector<std::vector<Node>> shares(4);
    {
      TArray<Node> const all = doc->root()->children();
      for (unsigned int i = 0; i < all.size(); ++i) shares[i % 4].push_back(all[i]);
    }
    std::vector<int> good(4, 0);
    std::vector<std::thread> holders;
    for (int t = 0; t < 4; ++t)
      holders.emplace_back([&, t] {
        for (Node& node : shares[t]) {
          Element e = boost::dynamic_pointer_cast<IElement>(node);
          good[t] += "t" + str(e->attribute("n", "", false)) == str(e->text());
          e.reset();
          node.reset();
        }
      });
    doc.reset();
    for (std::thread& holder : holders) holder.join();
    EXPECT_EQ(std::vector<int>(4, 100), good);
  }
}
