// The loader of Expat, the parser under the XML document reader.
// Opened on first use, so a program that never parses XML never needs the library.
#ifndef ZU_IMPL_EXT_EXPAT_H
#define ZU_IMPL_EXT_EXPAT_H

#include "ext/loader.h"

#if ZU_WITH_XML
#include <expat.h>
#endif

namespace zu {
namespace ext {

char const* const EXPAT_SONAME = "libexpat.so.1";

#if ZU_WITH_XML
// Every function of the library that zu calls, by its C name.
struct Expat {
  decltype(&::XML_ParserCreate) XML_ParserCreate;
  decltype(&::XML_ParserFree) XML_ParserFree;
  decltype(&::XML_SetUserData) XML_SetUserData;
  decltype(&::XML_SetElementHandler) XML_SetElementHandler;
  decltype(&::XML_SetCharacterDataHandler) XML_SetCharacterDataHandler;
  decltype(&::XML_SetXmlDeclHandler) XML_SetXmlDeclHandler;
  decltype(&::XML_SetDoctypeDeclHandler) XML_SetDoctypeDeclHandler;
  decltype(&::XML_SetNamespaceDeclHandler) XML_SetNamespaceDeclHandler;
  decltype(&::XML_Parse) XML_Parse;
  decltype(&::XML_GetErrorCode) XML_GetErrorCode;
  decltype(&::XML_ErrorString) XML_ErrorString;
  decltype(&::XML_StopParser) XML_StopParser;
};
#else
struct Expat {};
#endif

// The library, opened on the first call from any thread.
Library<Expat> const& expat();

}  // namespace ext
}  // namespace zu

#endif
