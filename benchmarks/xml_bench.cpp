// XML trees against pugixml and POCO's DOM, in one binary: building a tree
// of 10,001 elements (a root, 100 groups of 99 items, each item with two
// attributes and a text), writing it indented into a string or through a
// stream, copying it, and building and writing together; reading the text
// of a larger such tree (about 1 MB) back into a tree, and reading it and
// writing it out again. Expat on its own, with
// handlers that do nothing, shows the floor of zu's reading, which runs on it.
#include <zu/xml.h>

#include <benchmark/benchmark.h>

#ifdef ZU_HAVE_EXPAT
#include <expat.h>
#endif

#ifdef ZU_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

#ifdef ZU_HAVE_POCO_XML
#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/DOMWriter.h>
#include <Poco/DOM/Document.h>
#include <Poco/SAX/InputSource.h>
#include <Poco/XML/XMLWriter.h>
#endif

#include <sstream>
#include <string>
#include <vector>

namespace {

unsigned int const groups = 100;
unsigned int const itemsPerGroup = 99;

// The numbers as text, made once, so that number formatting stays out of
// the figures.
struct Texts {
  std::vector<std::string> numbers;
  Texts() {
    for (unsigned int i = 0; i < groups * itemsPerGroup; ++i) numbers.push_back(std::to_string(i));
  }
};
Texts const texts;

struct ZuTexts {
  std::vector<zu::String> numbers;
  ZuTexts() {
    for (std::string const& n : texts.numbers) numbers.emplace_back(n.c_str());
  }
};

boost::shared_ptr<zu::xml::IDocument> zuTree(ZuTexts const& t) {
  zu::String const none, group("group"), item("item"), n("n"), id("id"), name("name"), label("item & co"),
      value("value <i>");
  boost::shared_ptr<zu::xml::IDocument> doc = zu::xml::IDocument::New("catalog", none, none, none);
  boost::shared_ptr<zu::xml::IElement> root = doc->root();
  for (unsigned int g = 0, k = 0; g < groups; ++g) {
    boost::shared_ptr<zu::xml::IElement> section = root->addElement(group);
    section->setAttribute(n, t.numbers[g], false);
    for (unsigned int i = 0; i < itemsPerGroup; ++i, ++k) {
      boost::shared_ptr<zu::xml::IElement> e = section->addElement(item);
      e->setAttribute(id, t.numbers[k], false);
      e->setAttribute(name, label, false);
      e->addText(value);
    }
  }
  return doc;
}

void BM_ZuXmlBuild(benchmark::State& state) {
  ZuTexts const t;
  for (auto _ : state) benchmark::DoNotOptimize(zuTree(t));
}
BENCHMARK(BM_ZuXmlBuild)->Unit(benchmark::kMicrosecond);

void BM_ZuXmlWriteToString(benchmark::State& state) {
  boost::shared_ptr<zu::xml::IDocument> doc = zuTree(ZuTexts());
  std::size_t bytes = 0;
  for (auto _ : state) {
    zu::String out;
    doc->save(out, 2);
    bytes += out.length();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ZuXmlWriteToString)->Unit(benchmark::kMicrosecond);

// A stream that keeps what it is given, as a file or socket would take it:
// one block per line.
struct ZuSink : zu::func::IIO {
  std::string text;
  unsigned int read(void*, unsigned int) override { return 0; }
  unsigned int write(void const* data, unsigned int size) override {
    text.append(static_cast<char const*>(data), size);
    return size;
  }
};

void BM_ZuXmlWriteToStream(benchmark::State& state) {
  boost::shared_ptr<zu::xml::IDocument> doc = zuTree(ZuTexts());
  std::size_t bytes = 0;
  for (auto _ : state) {
    ZuSink out;
    doc->save(out, 2);
    bytes += out.text.size();
    benchmark::DoNotOptimize(out.text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ZuXmlWriteToStream)->Unit(benchmark::kMicrosecond);

void BM_ZuXmlClone(benchmark::State& state) {
  boost::shared_ptr<zu::xml::IDocument> doc = zuTree(ZuTexts());
  for (auto _ : state) benchmark::DoNotOptimize(doc->root()->clone());
}
BENCHMARK(BM_ZuXmlClone)->Unit(benchmark::kMicrosecond);

void BM_ZuXmlBuildAndWrite(benchmark::State& state) {
  ZuTexts const t;
  for (auto _ : state) {
    zu::String out;
    zuTree(t)->save(out, 2);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_ZuXmlBuildAndWrite)->Unit(benchmark::kMicrosecond);

// The document read back: 135 groups of 99 items, written with step 2,
// about 1 MB of text.
std::string const& bigDocument() {
  static std::string const text = [] {
    zu::String const none, group("group"), item("item"), n("n"), id("id"), name("name"), label("item & co"),
        value("value <i>");
    boost::shared_ptr<zu::xml::IDocument> doc = zu::xml::IDocument::New("catalog", none, none, none);
    for (unsigned int g = 0, k = 0; g < 135; ++g) {
      boost::shared_ptr<zu::xml::IElement> section = doc->root()->addElement(group);
      section->setAttribute(n, zu::String(g), false);
      for (unsigned int i = 0; i < itemsPerGroup; ++i, ++k) {
        boost::shared_ptr<zu::xml::IElement> e = section->addElement(item);
        e->setAttribute(id, zu::String(k), false);
        e->setAttribute(name, label, false);
        e->addText(value);
      }
    }
    zu::String out;
    doc->save(out, 2);
    return std::string(out.cstr());
  }();
  return text;
}

void BM_ZuXmlParse1MB(benchmark::State& state) {
  zu::String const text(bigDocument().c_str());
  for (auto _ : state) {
    boost::shared_ptr<zu::xml::IDocument> doc = zu::xml::IDocument::New("", "", "", "");
    if (!doc->loadString(text)) state.SkipWithError("not parsed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigDocument().size()));
}
BENCHMARK(BM_ZuXmlParse1MB)->Unit(benchmark::kMillisecond);

void BM_ZuXmlParseAndSave1MB(benchmark::State& state) {
  zu::String const text(bigDocument().c_str());
  for (auto _ : state) {
    boost::shared_ptr<zu::xml::IDocument> doc = zu::xml::IDocument::New("", "", "", "");
    if (!doc->loadString(text)) state.SkipWithError("not parsed");
    zu::String out;
    doc->save(out, 2);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigDocument().size()));
}
BENCHMARK(BM_ZuXmlParseAndSave1MB)->Unit(benchmark::kMillisecond);

#ifdef ZU_HAVE_EXPAT
// The parser alone: the element and text events zu asks for, each handled
// by nothing.
void BM_ExpatParse1MB(benchmark::State& state) {
  std::string const& text = bigDocument();
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetElementHandler(
        parser, [](void*, XML_Char const*, XML_Char const**) {}, [](void*, XML_Char const*) {});
    XML_SetCharacterDataHandler(parser, [](void*, XML_Char const*, int) {});
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK)
      state.SkipWithError("not parsed");
    XML_ParserFree(parser);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ExpatParse1MB)->Unit(benchmark::kMillisecond);
#endif

#ifdef ZU_HAVE_POCO_XML
// POCO's DOM with whitespace-only text dropped, as zu does.
Poco::AutoPtr<Poco::XML::Document> pocoParse(std::string const& text) {
  Poco::XML::DOMParser parser;
  parser.setFeature(Poco::XML::DOMParser::FEATURE_FILTER_WHITESPACE, true);
  return parser.parseMemory(text.data(), text.size());
}

void BM_PocoXmlParse1MB(benchmark::State& state) {
  std::string const& text = bigDocument();
  for (auto _ : state) {
    Poco::AutoPtr<Poco::XML::Document> doc = pocoParse(text);
    benchmark::DoNotOptimize(doc.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PocoXmlParse1MB)->Unit(benchmark::kMillisecond);

void BM_PocoXmlParseAndSave1MB(benchmark::State& state) {
  std::string const& text = bigDocument();
  for (auto _ : state) {
    Poco::AutoPtr<Poco::XML::Document> doc = pocoParse(text);
    std::ostringstream out;
    Poco::XML::DOMWriter writer;
    writer.setOptions(Poco::XML::XMLWriter::WRITE_XML_DECLARATION | Poco::XML::XMLWriter::PRETTY_PRINT);
    writer.setIndent("  ");
    writer.writeNode(out, doc);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PocoXmlParseAndSave1MB)->Unit(benchmark::kMillisecond);
#endif

#ifdef ZU_HAVE_PUGIXML
struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(void const* data, size_t size) override { text.append(static_cast<char const*>(data), size); }
};

void pugiTree(pugi::xml_document& doc) {
  pugi::xml_node root = doc.append_child("catalog");
  for (unsigned int g = 0, k = 0; g < groups; ++g) {
    pugi::xml_node section = root.append_child("group");
    section.append_attribute("n").set_value(texts.numbers[g].c_str());
    for (unsigned int i = 0; i < itemsPerGroup; ++i, ++k) {
      pugi::xml_node e = section.append_child("item");
      e.append_attribute("id").set_value(texts.numbers[k].c_str());
      e.append_attribute("name").set_value("item & co");
      e.append_child(pugi::node_pcdata).set_value("value <i>");
    }
  }
}

void BM_PugiXmlBuild(benchmark::State& state) {
  for (auto _ : state) {
    pugi::xml_document doc;
    pugiTree(doc);
    benchmark::DoNotOptimize(doc);
  }
}
BENCHMARK(BM_PugiXmlBuild)->Unit(benchmark::kMicrosecond);

void BM_PugiXmlWriteToString(benchmark::State& state) {
  pugi::xml_document doc;
  pugiTree(doc);
  std::size_t bytes = 0;
  for (auto _ : state) {
    StringWriter out;
    doc.save(out, "  ", pugi::format_indent);
    bytes += out.text.size();
    benchmark::DoNotOptimize(out.text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_PugiXmlWriteToString)->Unit(benchmark::kMicrosecond);

void BM_PugiXmlClone(benchmark::State& state) {
  pugi::xml_document doc;
  pugiTree(doc);
  for (auto _ : state) {
    pugi::xml_document copy;
    copy.reset(doc);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_PugiXmlClone)->Unit(benchmark::kMicrosecond);

void BM_PugiXmlBuildAndWrite(benchmark::State& state) {
  for (auto _ : state) {
    pugi::xml_document doc;
    pugiTree(doc);
    StringWriter out;
    doc.save(out, "  ", pugi::format_indent);
    benchmark::DoNotOptimize(out.text);
  }
}
BENCHMARK(BM_PugiXmlBuildAndWrite)->Unit(benchmark::kMicrosecond);
// pugixml drops whitespace-only text by default; trimming the rest is asked
// for, so both sides build the same tree.
void BM_PugiXmlParse1MB(benchmark::State& state) {
  std::string const& text = bigDocument();
  for (auto _ : state) {
    pugi::xml_document doc;
    if (!doc.load_buffer(text.data(), text.size(), pugi::parse_default | pugi::parse_trim_pcdata | pugi::parse_declaration))
      state.SkipWithError("not parsed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PugiXmlParse1MB)->Unit(benchmark::kMillisecond);

void BM_PugiXmlParseAndSave1MB(benchmark::State& state) {
  std::string const& text = bigDocument();
  for (auto _ : state) {
    pugi::xml_document doc;
    if (!doc.load_buffer(text.data(), text.size(), pugi::parse_default | pugi::parse_trim_pcdata | pugi::parse_declaration))
      state.SkipWithError("not parsed");
    StringWriter out;
    doc.save(out, "  ", pugi::format_indent);
    benchmark::DoNotOptimize(out.text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PugiXmlParseAndSave1MB)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
