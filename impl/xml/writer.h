// Writing a tree of zu::xml as indented text, through any stream or into
// a String, and the XML declaration line a document starts with.
#ifndef ZU_IMPL_XML_WRITER_H
#define ZU_IMPL_XML_WRITER_H

#include <zu/xml.h>

namespace zu {
namespace xml {
namespace impl {

// INode::write: `node` and everything below it as lines indented by
// `indent` spaces, children `step` deeper, each line handed to `out` as one
// block. False at the first block `out` does not take whole.
bool writeNode(INode const& node, func::IIO& out, unsigned int step, unsigned int indent);

// INode::toString: the node written with indent 0 into a new String.
String writtenText(INode const& node, unsigned int step);

// The declaration line a saved document starts with, as one block: false
// when `out` does not take it whole.
bool writeDeclaration(func::IIO& out, String const& version, String const& encoding, String const& standalone);

}  // namespace impl
}  // namespace xml
}  // namespace zu

#endif
