// zu::xml: an in-memory XML tree (elements, text nodes and a document with
// its XML declaration), its indented text output, into a String or through
// any stream, and the parser that reads XML text into such a tree.
#ifndef ZU_XML_H
#define ZU_XML_H

#include <boost/shared_ptr.hpp>
#include <zu/array.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace xml {

class IElement;

// A node of the tree: an element or a text node. A parent owns its
// children; a child only refers back to its parent, so a subtree kept by a
// caller outlives its former parent. The nodes of a tree read from text
// share their document's storage, which lasts as long as any of them (or a
// weak pointer to one) is held. Nothing is locked: a tree may be read
// by several threads at once but changed by one only, while nobody reads.
class ZU_API INode : public IBase {
 public:
  // The element that holds this node, or null.
  virtual boost::shared_ptr<IElement> parent() const = 0;
  // A deep copy without parent.
  virtual boost::shared_ptr<INode> clone() const = 0;
  // Writes the node as lines indented by `indent` spaces, children `step`
  // spaces deeper. Each line (an element's opening or closing tag, a text
  // node, a childless element's "<name/>") goes to `out` as one block.
  // Stops at the first block `out` does not accept whole and returns false;
  // so it does at a line too long for one block (4 GiB).
  virtual bool write(func::IIO& out, unsigned int step, unsigned int indent) const = 0;
  // write() into a new String with indent 0; empty when the text would be
  // too long for a String (4 GiB).
  virtual String toString(unsigned int step) const = 0;
  // A text node's text; for an element, its direct non-element children's
  // texts joined in order.
  virtual String text() const = 0;
  // A text node's text; an element's children are all replaced by one
  // text node.
  virtual void setText(String const& text) = 0;

  // A text node without parent. Written escaped on one line: "&", "<",
  // ">", "\"", "'", CR and LF become "&amp;", "&lt;", "&gt;", "&quot;",
  // "&apos;", "&#13;" and "&#10;".
  static boost::shared_ptr<INode> New(String const& text);
};

// An element: a name (written as given, neither checked nor escaped), an
// ordered attribute list whose values are written escaped, and ordered
// children. Nodes given to addChild and setChildren are cloned, never
// adopted; a node taken out of the children has no parent any more. A null
// node where a node is expected aborts through the assertion "node".
class ZU_API IElement : public INode {
 public:
  virtual String name() const = 0;  // the tag name
  virtual void setName(String const& name) = 0;  // renames the element
  // The children in document order, as a new array: changing it leaves the
  // element as it is. (Costs a pass over the children: keep the array
  // rather than asking again per child.)
  virtual TArray<boost::shared_ptr<INode>> children() const = 0;
  // Detaches the current children and puts clones of `nodes` in their
  // place, in order.
  virtual void setChildren(TArray<boost::shared_ptr<INode>> const& nodes) = 0;
  // Appends a new element `name` and returns it.
  virtual boost::shared_ptr<IElement> addElement(String const& name) = 0;
  // Appends a clone of `node`; `node` itself stays as it was.
  virtual void addChild(boost::shared_ptr<INode> node) = 0;
  // Appends a new text node and returns it.
  virtual boost::shared_ptr<INode> addText(String const& text) = 0;
  // Takes out the child that is this very object; false when none is.
  virtual bool removeChild(boost::shared_ptr<INode> node) = 0;

  // Name/value pairs in list order; duplicates come only from
  // setAttributes.
  virtual TArray<StringPair> attributes() const = 0;
  virtual void setAttributes(TArray<StringPair> const& attributes) = 0;  // replaces every attribute, in this order
  // The value of the first attribute called `name`, else `defaultValue`.
  virtual String attribute(String const& name, String const& defaultValue, bool ignoreCase) const = 0;
  // Removes every attribute called `name` and appends (name, value) at the
  // end of the list.
  virtual void setAttribute(String const& name, String const& value, bool ignoreCase) = 0;
  // Removes every attribute called `name`.
  virtual void removeAttribute(String const& name, bool ignoreCase) = 0;

  // `path` is "/"-separated element names below this element (empty pieces
  // are skipped). Every piece but the last descends into the first child
  // element of that name; the result is every child element named by the
  // last piece, in order. No piece, or no match, gives an empty array.
  virtual TArray<boost::shared_ptr<IElement>> find(String const& path, bool ignoreCase) const = 0;

  // An element without attributes and children.
  static boost::shared_ptr<IElement> New(String const& name);
};

// A root element and the XML declaration's version, encoding and
// standalone fields (all empty at first).
class ZU_API IDocument : public IBase {
 public:
  virtual String version() const = 0;  // the declaration's version ("1.0")
  virtual void setVersion(String const& version) = 0;  // sets the declaration's version
  virtual String encoding() const = 0;  // the declaration's encoding
  virtual void setEncoding(String const& encoding) = 0;  // sets the declaration's encoding
  virtual String standalone() const = 0;  // the declaration's standalone value ("yes", "no" or empty)
  virtual void setStandalone(String const& standalone) = 0;  // sets the declaration's standalone value

  // Reads XML text into the document: on success the root, version,
  // encoding and standalone ("yes", "no" or empty) are those read, and the
  // root element read is kept, not copied. The tree holds UTF-8 whatever
  // the text's encoding. Whitespace between tags is dropped and every text
  // run is trimmed at both ends, so a tree written by save() reads back as
  // the same tree. On failure the document stays as it was and false is
  // returned; the reason (the parser's error code and text) is reported
  // under this document and logged at level 3. The text ends at its first
  // zero byte, so text in UTF-16 cannot be read this way: load() it from a
  // stream.
  virtual bool loadString(String const& text) = 0;
  // The same for the stream's bytes, read in blocks of 4096 to its end. A
  // block shorter than 4096 bytes (0 included) ends the input. A read error
  // the stream reports also fails the load, and its code and text are
  // reported under this document.
  virtual bool load(func::IIO& in) = 0;

  // Appends the declaration line and the root element, written with `step`,
  // to `out`. The declaration is <?xml version="..." encoding="..."?> with
  // "1.0" and "UTF-8" for empty fields, and standalone="..." before the
  // "?>" when that field is set. Bytes are written as they are, whatever
  // the encoding says; but after a load the tree is UTF-8, and so the
  // declaration says, whatever encoding() reports of the text read, until
  // setEncoding is called. False, writing nothing, without a root, or when
  // `out` would grow past what a String holds (4 GiB).
  virtual bool save(String& out, unsigned int step) const = 0;
  // The same through a stream, the declaration as one block; false
  // without a root or when a block is not accepted whole.
  virtual bool save(func::IIO& out, unsigned int step) const = 0;

  virtual boost::shared_ptr<IElement> root() const = 0;  // the root element; null when there is none
  // The element is kept, not copied; null leaves the document without root.
  virtual void setRoot(boost::shared_ptr<IElement> root) = 0;

  // A document with a new root element `rootName` (none when it is empty)
  // and the three declaration fields.
  static boost::shared_ptr<IDocument> New(String const& rootName, String const& version, String const& encoding,
                                          String const& standalone);
};

// Builds a document from XML text fed in pieces. Names keep their prefixes
// whole (no namespace processing); entity and character references are
// replaced, CDATA sections and text around comments become plain text, and
// the document type declaration is skipped. One parser reads any number of
// documents one after another; it is used by one thread at a time.
class ZU_API IParser : public IBase {
 public:
  // Feeds the next piece of a document; `isFinal` marks its last piece,
  // after which the document is available from document(). False on any
  // XML error, whose code and text are reported under this parser; the
  // partly read document is then dropped and the next call starts a new
  // one. A document completed earlier stays available.
  virtual bool parse(char const* data, unsigned int length, bool isFinal) = 0;
  // Drops the document being read and the last one completed.
  virtual void reset() = 0;
  // The last document completed, or null.
  virtual boost::shared_ptr<IDocument> document() const = 0;

  static boost::shared_ptr<IParser> New();  // a parser with a document of its own
};

}  // namespace xml
}  // namespace zu

#endif
