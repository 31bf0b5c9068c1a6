// XML text through the parser (whole, and in pieces the first byte sizes),
// the document written and read back, and configuration views over the
// tree. Input: "view path\nXML text".
#include <zu/app.h>
#include <zu/xml.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string rest(reinterpret_cast<char const*>(data), size), path;
  fuzz::take(rest, path);
  std::string const xml = rest;

  // In pieces: the same outcome as in one piece.
  boost::shared_ptr<zu::xml::IParser> const parser = zu::xml::IParser::New();
  std::size_t const step = size ? data[0] % 13 + 1 : 1;
  bool pieceOk = true;
  std::size_t at = 0;
  do {
    std::size_t const n = at + step < xml.size() ? step : xml.size() - at;
    pieceOk = parser->parse(xml.data() + at, static_cast<unsigned int>(n), at + n >= xml.size());
    at += n;
  } while (pieceOk && at < xml.size());

  boost::shared_ptr<zu::xml::IDocument> const document = zu::xml::IDocument::New("", "", "", "");
  if (!document->loadString(xml.c_str())) return 0;

  // What save() writes reads back as the same tree, whatever encoding the
  // text was in: the tree read holds UTF-8, and the declaration written
  // says so.
  zu::String saved;
  FUZZ_CHECK(document->save(saved, 2));
  boost::shared_ptr<zu::xml::IDocument> const again = zu::xml::IDocument::New("", "", "", "");
  FUZZ_CHECK(again->loadString(saved));
  zu::String savedAgain;
  FUZZ_CHECK(again->save(savedAgain, 2));
  FUZZ_CHECK(saved == savedAgain);
  // A copy writes the same tree.
  FUZZ_CHECK(document->root()->clone()->toString(2) == document->root()->toString(2));
  (void)document->root()->toString(0);

  // Views: read everything, then write through the view.
  boost::shared_ptr<zu::xml::IElement> const root = document->root();
  zu::TArray<boost::shared_ptr<zu::app::IXMLConfig>> const views = zu::app::IXMLConfig::Enum(root, path.c_str());
  for (unsigned int i = 0; i < views.size() && i < 16; ++i) {
    (void)views[i]->get("name", "");
    (void)views[i]->text();
  }
  boost::shared_ptr<zu::app::IXMLConfig> const view = zu::app::IXMLConfig::New(root, path.c_str());
  (void)view->get("a", "default");
  (void)view->has("a");
  (void)view->text();
  view->set("a", "1");
  FUZZ_CHECK(view->get("a", "") == "1");
  view->setText("t");
  view->remove("a");
  FUZZ_CHECK(!view->has("a"));
  (void)root->find(path.c_str(), true);
  zu::String written;
  FUZZ_CHECK(document->save(written, 0));
  return 0;
}
