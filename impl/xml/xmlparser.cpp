// The XML parser: Expat's callbacks build the tree of zu::xml. Expat is
// reached through its loader and opened by the first parse.
#include <zu/xml.h>

#include <climits>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <boost/make_shared.hpp>
#include <zu/em.h>

#include "ext/libraries.h"
#include "xml/tree.h"

namespace zu {
namespace xml {
namespace impl {

#if ZU_WITH_XML

namespace {

// Expat's code as the code, its text for the code as the text.
void translateExpatError(unsigned int rawCode, unsigned int* code, String* text) {
  if (code) *code = rawCode;
  if (text) *text = String(ext::expat().api.XML_ErrorString(static_cast<XML_Error>(rawCode)));
}

// Input goes to Expat in pieces of at most this size: Expat copies what it
// is given into a buffer of its own, which thus stays small however long
// the input is (and a piece's length fits the int Expat takes).
unsigned int const largestPiece = 1u << 16;

}  // namespace

class Parser final : public IParser {
 public:
  Parser() = default;
  ~Parser() override { resetReading(); }
  Parser(Parser const&) = delete;
  Parser& operator=(Parser const&) = delete;

  bool parse(char const* data, unsigned int length, bool isFinal) override {
    if (!expat_) {
      ext::Library<ext::Expat> const& library = ext::expat();
      if (!library.loaded) {
        ext::unavailable(static_cast<IParser*>(this), library.failure);
        resetReading();
        return false;
      }
      if (!open(library.api)) return fail(XML_ERROR_NO_MEMORY);
    }
    XML_Status status;
    for (;;) {
      unsigned int const piece = length > largestPiece ? largestPiece : length;
      bool const last = piece == length;
      status = api_->XML_Parse(expat_, data, static_cast<int>(piece), last && isFinal ? XML_TRUE : XML_FALSE);
      if (status != XML_STATUS_OK || last) break;
      data += piece;
      length -= piece;
    }
    if (status != XML_STATUS_OK)
      return fail(outOfMemory_ ? static_cast<unsigned int>(XML_ERROR_NO_MEMORY)
                               : static_cast<unsigned int>(api_->XML_GetErrorCode(expat_)));
    if (!isFinal) return true;
    document_ = readDocument(root_, version_, encoding_,
                             standaloneFlag_ == 1 ? String("yes") : standaloneFlag_ == 0 ? String("no") : String());
    resetReading();
    return true;
  }

  void reset() override {
    resetReading();
    document_.reset();
  }

  boost::shared_ptr<IDocument> document() const override { return document_; }

 private:
  bool open(ext::Expat const& api) {
    api_ = &api;
    expat_ = api.XML_ParserCreate(nullptr);
    if (!expat_) return false;
    api.XML_SetUserData(expat_, this);
    api.XML_SetElementHandler(expat_, &Parser::onStart, &Parser::onEnd);
    api.XML_SetCharacterDataHandler(expat_, &Parser::onText);
    api.XML_SetXmlDeclHandler(expat_, &Parser::onDeclaration);
    api.XML_SetDoctypeDeclHandler(expat_, &Parser::onDoctypeStart, &Parser::onDoctypeEnd);
    api.XML_SetNamespaceDeclHandler(expat_, &Parser::onNamespaceStart, &Parser::onNamespaceEnd);
    return true;
  }

  bool fail(unsigned int code) {
    em::report(static_cast<IParser*>(this), code, &translateExpatError);
    resetReading();
    return false;
  }

  // Back to idle: no Expat parser and nothing of a document being read.
  void resetReading() {
    if (expat_) api_->XML_ParserFree(expat_);
    expat_ = nullptr;
    root_.reset();
    builder_.clear();
    version_ = String();
    encoding_ = String();
    standaloneFlag_ = -1;
    outOfMemory_ = false;
  }

  // The tree is built in the document's own storage (see tree.h): the
  // element opened first is the root, every other one is appended to the
  // element that is open, text runs are trimmed and added between tags.
  void startElement(XML_Char const* name, XML_Char const** attributes) {
    builder_.start(name, attributes);
    if (!root_) root_ = builder_.root();
  }

  void endElement() { builder_.end(); }

  // An allocation that fails inside a callback, or a text, name or value
  // too long to hold, must not unwind through Expat: the parse is stopped
  // and reported as out of memory.
  void stop() {
    outOfMemory_ = true;
    api_->XML_StopParser(expat_, XML_FALSE);
  }

  static void XMLCALL onStart(void* self, XML_Char const* name, XML_Char const** attributes) {
    Parser* parser = static_cast<Parser*>(self);
    try {
      parser->startElement(name, attributes);
    } catch (std::bad_alloc const&) {
      parser->stop();
    } catch (std::length_error const&) {
      parser->stop();
    }
  }

  static void XMLCALL onEnd(void* self, XML_Char const*) {
    Parser* parser = static_cast<Parser*>(self);
    try {
      parser->endElement();
    } catch (std::bad_alloc const&) {
      parser->stop();
    } catch (std::length_error const&) {
      parser->stop();
    }
  }

  static void XMLCALL onText(void* self, XML_Char const* text, int length) {
    Parser* parser = static_cast<Parser*>(self);
    try {
      parser->builder_.text(text, static_cast<std::size_t>(length));
    } catch (std::bad_alloc const&) {
      parser->stop();
    } catch (std::length_error const&) {
      parser->stop();
    }
  }

  static void XMLCALL onDeclaration(void* self, XML_Char const* version, XML_Char const* encoding, int standalone) {
    Parser* parser = static_cast<Parser*>(self);
    try {
      parser->version_ = String(version);
      parser->encoding_ = String(encoding);
      parser->standaloneFlag_ = standalone;
    } catch (std::bad_alloc const&) {
      parser->stop();
    }
  }

  static void XMLCALL onDoctypeStart(void*, XML_Char const*, XML_Char const*, XML_Char const*, int) {}
  static void XMLCALL onDoctypeEnd(void*) {}
  static void XMLCALL onNamespaceStart(void*, XML_Char const*, XML_Char const*) {}
  static void XMLCALL onNamespaceEnd(void*, XML_Char const*) {}

  ext::Expat const* api_ = nullptr;  // set with expat_
  XML_Parser expat_ = nullptr;
  boost::shared_ptr<IDocument> document_;
  boost::shared_ptr<IElement> root_;
  TreeBuilder builder_;
  String version_;
  String encoding_;
  int standaloneFlag_ = -1;
  bool outOfMemory_ = false;
};

#else  // built without Expat: every parse fails, saying so

class Parser final : public IParser {
 public:
  bool parse(char const*, unsigned int, bool) override {
    return ext::unavailable(static_cast<IParser*>(this), ext::expat().failure);
  }
  void reset() override {}
  boost::shared_ptr<IDocument> document() const override { return boost::shared_ptr<IDocument>(); }
};

#endif  // ZU_WITH_XML

}  // namespace impl

boost::shared_ptr<IParser> IParser::New() { return boost::make_shared<impl::Parser>(); }

}  // namespace xml
}  // namespace zu
