// The loader of Expat, the parser under the XML document reader.
// Opened on first use, so a program that never parses XML never needs the library.
#include "ext/expat.h"

namespace zu {
namespace ext {

namespace {

Library<Expat>* loadExpat() {
  Library<Expat>* const library = new Library<Expat>();
#if ZU_WITH_XML
  Resolver resolve(EXPAT_SONAME);
  Expat& api = library->api;
  resolve(api.XML_ParserCreate, "XML_ParserCreate");
  resolve(api.XML_ParserFree, "XML_ParserFree");
  resolve(api.XML_SetUserData, "XML_SetUserData");
  resolve(api.XML_SetElementHandler, "XML_SetElementHandler");
  resolve(api.XML_SetCharacterDataHandler, "XML_SetCharacterDataHandler");
  resolve(api.XML_SetXmlDeclHandler, "XML_SetXmlDeclHandler");
  resolve(api.XML_SetDoctypeDeclHandler, "XML_SetDoctypeDeclHandler");
  resolve(api.XML_SetNamespaceDeclHandler, "XML_SetNamespaceDeclHandler");
  resolve(api.XML_Parse, "XML_Parse");
  resolve(api.XML_GetErrorCode, "XML_GetErrorCode");
  resolve(api.XML_ErrorString, "XML_ErrorString");
  resolve(api.XML_StopParser, "XML_StopParser");
  library->loaded = resolve.finish(library->failure);
#else
  library->failure = notBuiltIn(EXPAT_SONAME, "ZU_WITH_XML");
#endif
  return library;
}

}  // namespace

Library<Expat> const& expat() {
  static Library<Expat> const* const library = loadExpat();
  static std::atomic<bool> logged{false};
  if (!library->loaded) logOnce(logged, library->failure);
  return *library;
}

}  // namespace ext
}  // namespace zu
