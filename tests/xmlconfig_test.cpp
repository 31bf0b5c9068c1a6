#include <zu/app.h>

#include <string>

#include <gtest/gtest.h>

using zu::String;
using zu::TArray;
using zu::app::IXMLConfig;
using zu::xml::IDocument;
using zu::xml::IElement;
typedef boost::shared_ptr<IElement> Element;
typedef boost::shared_ptr<IXMLConfig> Config;

namespace {

std::string str(String const& s) { return s.cstr(); }

Element parse(char const* text) {
  boost::shared_ptr<IDocument> doc = IDocument::New("", "", "", "");
  EXPECT_TRUE(doc->loadString(text));
  return doc->root();
}

}  // namespace

TEST(XmlConfig, TheEmptyPathIsTheRootItself) {
  Element root = parse("<cfg Port='80' name='x'/>");
  Config config = IXMLConfig::New(root, "");
  EXPECT_EQ("80", config->get("port", "1"));
  EXPECT_TRUE(config->has("PORT"));
  EXPECT_FALSE(config->has("host"));
  EXPECT_EQ("d", config->get("host", "d"));
  // Another spelling replaces the setting, which moves to the end.
  config->set("PORT", "8080");
  EXPECT_EQ("<cfg name=\"x\" PORT=\"8080\"/>\n", str(root->toString(0)));
  config->remove("Name");
  EXPECT_EQ("<cfg PORT=\"8080\"/>\n", str(root->toString(0)));
  config->setText("body");
  EXPECT_EQ("body", config->text());
}

TEST(XmlConfig, AMissingPathReadsDefaultsAndIsMadeOnTheFirstWrite) {
  Element root = parse("<cfg><a><b x='1'/></a><A><b x='2'/></A></cfg>");
  String const before = root->toString(1);
  Config missing = IXMLConfig::New(root, "db/main");
  EXPECT_EQ("none", missing->get("host", "none"));
  EXPECT_FALSE(missing->has("host"));
  EXPECT_EQ("", missing->text());
  missing->remove("host");
  EXPECT_EQ(before, root->toString(1));

  missing->set("host", "h1");
  Config again = IXMLConfig::New(root, "DB/Main");
  EXPECT_EQ("h1", again->get("HOST", ""));
  // Doubled and trailing slashes make the same elements as the clean path.
  IXMLConfig::New(root, "//new//leaf/")->set("k", "v");
  IXMLConfig::New(root, "new/leaf")->set("k2", "v2");
  EXPECT_EQ(1u, root->find("new", false).size());
  EXPECT_EQ("<leaf k=\"v\" k2=\"v2\"/>\n", str(root->find("new/leaf", false)[0]->toString(0)));

  // Every step follows the first match, whatever the case.
  Config b = IXMLConfig::New(root, "A/B");
  EXPECT_EQ("1", b->get("x", ""));
  IXMLConfig::New(root, "a/c")->set("y", "1");
  EXPECT_EQ(1u, root->find("a/c", false).size());
  EXPECT_EQ(0u, root->find("A/c", false).size());
}

TEST(XmlConfig, SetTextReplacesChildElementsToo) {
  Element root = parse("<cfg><s>old<i/>more</s></cfg>");
  Config s = IXMLConfig::New(root, "s");
  EXPECT_EQ("oldmore", s->text());
  s->setText("new");
  EXPECT_EQ("<s>\nnew\n</s>\n", str(root->find("s", false)[0]->toString(0)));
  IXMLConfig::New(root, "t/u")->setText("made");
  EXPECT_EQ("made", root->find("t/u", false)[0]->text());
}

TEST(XmlConfig, EnumGivesOneViewPerElement) {
  Element root = parse("<cfg><list><item n='1'/><ITEM n='2'/><other/><item n='3'/></list><list><item n='4'/></list></cfg>");
  TArray<Config> views = IXMLConfig::Enum(root, "list/item");
  ASSERT_EQ(3u, views.size());
  EXPECT_EQ("1", views[0]->get("n", ""));
  EXPECT_EQ("2", views[1]->get("n", ""));
  EXPECT_EQ("3", views[2]->get("n", ""));
  views[1]->set("n", "two");
  EXPECT_EQ("two", root->find("list/ITEM", false)[0]->attribute("n", "", false));
  EXPECT_EQ("1", views[0]->get("n", ""));
  EXPECT_TRUE(IXMLConfig::Enum(root, "").empty());
  EXPECT_TRUE(IXMLConfig::Enum(root, "list/none").empty());
}

TEST(XmlConfigDeathTest, ANullRootStops) {
  EXPECT_DEATH(IXMLConfig::New(Element(), "a"), "Assertion failed: root, file xmlconfig.cpp");
  EXPECT_DEATH(IXMLConfig::Enum(Element(), "a"), "Assertion failed: root, file xmlconfig.cpp");
}
