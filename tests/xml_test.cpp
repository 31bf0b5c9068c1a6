#include <zu/xml.h>

#include <boost/make_shared.hpp>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/util.h>

using zu::String;
using zu::StringPair;
using zu::TArray;
using zu::func::IIO;
using zu::xml::IDocument;
using zu::xml::IElement;
using zu::xml::INode;
typedef boost::shared_ptr<INode> Node;
typedef boost::shared_ptr<IElement> Element;

namespace {

std::string str(String const& s) { return s.cstr(); }

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

  char name[] = "/tmp/zu_xml_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_NE(-1, fd);
  close(fd);
  {
    boost::shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(name);
    ASSERT_TRUE(file->open(false, zu::fs::FILE_MODE_OPEN_EXISTING));
    EXPECT_TRUE(doc->save(*file->toIO(), 1));
  }
  EXPECT_EQ(expected.length(), zu::fs::IFile::length(name));
  zu::fs::IFile::remove(name);
}

TEST(XmlDocument, LoadingReportsThatThereIsNoParser) {
  boost::shared_ptr<IDocument> doc = IDocument::New("r", "", "", "");
  Element root = doc->root();
  {
    zu::em::CatchError guard(doc.get());
    EXPECT_FALSE(doc->loadString("<a/>"));
    EXPECT_EQ(1000u, guard.code());
    EXPECT_EQ("parsing is not available in this build", guard.text());
  }
  boost::shared_ptr<zu::util::IPipeBuffer> pipe = zu::util::IPipeBuffer::New();
  pipe->toIO()->write("<a/>", 4);
  zu::em::CatchError guard(doc.get());
  EXPECT_FALSE(doc->load(*pipe->toIO()));
  EXPECT_EQ(1000u, guard.code());
  EXPECT_EQ(root, doc->root());
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
