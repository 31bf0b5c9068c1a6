// Sets an attribute on every element at a path of an XML file, in place.
//
//   example_xml_edit <file> <path> <attribute> <value>
//
// e.g. example_xml_edit config.xml server/listen port 8080
#include <fstream>
#include <iostream>
#include <sstream>

#include <zu/em.h>
#include <zu/xml.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: " << argv[0] << " <file> <path> <attribute> <value>\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();

  auto doc = zu::xml::IDocument::New("", "", "", "");
  auto loaded = zu::em::attempt(doc, [&] { return doc->loadString(text.str()); });
  if (!loaded.result) {
    std::cerr << argv[1] << ": error(" << loaded.code << ") " << loaded.text << "\n";
    return 1;
  }
  auto found = doc->root()->find(argv[2], false);
  if (found.empty()) {
    std::cerr << "no element at " << argv[2] << "\n";
    return 1;
  }
  for (auto const& element : found) element->setAttribute(argv[3], argv[4], false);

  zu::String saved;
  doc->save(saved, 2);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << saved;
  std::cout << "set " << argv[3] << "=\"" << argv[4] << "\" on " << found.size() << " element(s)\n";
  return out.flush() ? 0 : 1;
}
