// Building a tree of zu::xml from a parser's events. The nodes of one
// document, their texts and attribute values are laid out in storage of
// that document's own, which lives as long as any of its nodes does; equal
// names are one shared String per document.
#ifndef ZU_IMPL_XML_TREE_H
#define ZU_IMPL_XML_TREE_H

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/shared_ptr.hpp>
#include <zu/xml.h>
#include "core/text.h"
#include "xml/limits.h"

namespace zu {
namespace xml {
namespace impl {

// The document a parser hands out once it has read one: `root` and the
// declaration's fields as read (`standalone` "yes", "no" or empty). Its
// tree holds UTF-8 whatever encoding the text was in, which save() says.
boost::shared_ptr<IDocument> readDocument(boost::shared_ptr<IElement> root, String const& version,
                                          String const& encoding, String const& standalone);

class TreeBuilder {
 public:
  TreeBuilder();
  ~TreeBuilder();
  TreeBuilder(TreeBuilder const&) = delete;
  TreeBuilder& operator=(TreeBuilder const&) = delete;

  // Opens an element inside the open one (or the root when none is open).
  // `attributes` holds names and values in turn and ends with a null. A
  // name or value longer than textLimit throws std::length_error.
  void start(char const* name, char const* const* attributes);
  // Closes the open element. More children than an element can hold
  // throw std::length_error.
  void end();
  // Character data of the open element: gathered until the next tag, then
  // trimmed at both ends and added as a text node unless nothing remains.
  // A run longer than textLimit throws std::length_error. (Inline: a parser
  // reports the blanks between tags in many small calls, which all end here
  // at once.)
  void text(char const* data, std::size_t length) {
    if (text_.empty()) {
      while (length && isBlank(*data)) ++data, --length;
      if (!length) return;
    }
    if (length > textLimit || text_.size() > textLimit - length) throw std::length_error("text past the limit");
    text_.append(data, length);
  }

  static bool isBlank(char c) { return ::zu::__::isBlank(c); }
  // The first element opened, or null.
  boost::shared_ptr<IElement> root() const;
  // Forgets the tree being built (nodes held elsewhere live on).
  void clear();

 private:
  void flush();

  struct State;
  std::unique_ptr<State> state_;
  std::string text_;
};

}  // namespace impl
}  // namespace xml
}  // namespace zu

#endif
