// Writing a tree of zu::xml as indented text: see writer.h.
#include "xml/writer.h"

#include <cstring>
#include <string>
#include <typeinfo>

#include "core/assertion.h"
#include "xml/nodes.h"

namespace zu {
namespace xml {
namespace {

// What escaping puts in place of each byte it replaces (null: kept as it
// is). Attribute values also escape the tab: a reader turns a literal tab in
// a value into a blank.
struct EscapeTable {
  char const* entity[256] = {};
  explicit EscapeTable(bool attribute) {
    auto const set = [this](char c, char const* text) { entity[static_cast<unsigned char>(c)] = text; };
    set('&', "&amp;");
    set('<', "&lt;");
    set('>', "&gt;");
    set('"', "&quot;");
    set('\'', "&apos;");
    set('\r', "&#13;");
    set('\n', "&#10;");
    if (attribute) set('\t', "&#9;");
  }
};
EscapeTable const textEscapes(false);
EscapeTable const attributeEscapes(true);

// Appends `text` with &, <, >, ", ', CR and LF replaced by their entity or
// character references. One pass gives the same text as replacing each
// character over the whole string in that order, since no replacement
// contains a character replaced after it.
void appendEscaped(impl::Bytes& line, char const* text, EscapeTable const& table = textEscapes) {
  char const* run = text;
  for (char const* p = run;; ++p) {
    unsigned char const c = static_cast<unsigned char>(*p);
    char const* const entity = table.entity[c];
    if (entity == nullptr && c != '\0') continue;
    line.append(run, static_cast<std::size_t>(p - run));
    if (c == '\0') return;
    line.append(entity, std::strlen(entity));
    run = p + 1;
  }
}

void appendRaw(impl::Bytes& line, String const& text) {
  char const* s = text.cstr();
  line.append(s, std::strlen(s));

}

// One write() of a subtree: the stream, the step and the buffer the lines
// are built in. Into a StringOutput the lines go straight to its buffer;
// into any other stream each line is built apart and handed over whole.
class Writer {
 public:
  Writer(func::IIO& out, unsigned int step)
      : out_(out),
        step_(step),
        direct_(&typeid(out) == &typeid(impl::StringOutput) ? &static_cast<impl::StringOutput&>(out) : nullptr) {}

  func::IIO& out() const { return out_; }
  unsigned int step() const { return step_; }

  // The buffer for the next line, which starts with `indent` spaces.
  impl::Bytes& begin(unsigned int indent) {
    impl::Bytes& line = direct_ ? direct_->bytes() : line_;
    if (!direct_) line.clear();
    line.spaces(indent);
    return line;
  }

  // Hands the line over as one block; true when it was accepted whole.
  bool emit() {
    if (direct_) return true;
    unsigned int const size = static_cast<unsigned int>(line_.size());
    return out_.write(line_.data(), size) == size;
  }

 private:
  func::IIO& out_;
  unsigned int step_;
  impl::StringOutput* direct_;
  impl::Bytes line_;
};

// A text node: one line of its escaped text.
bool writeData(Writer& w, impl::DataNode const& data, unsigned int indent) {
  impl::Bytes& line = w.begin(indent);
  appendEscaped(line, data.content().cstr());
  line.append('\n');
  return w.emit();
}

bool writeElement(Writer& w, impl::ElementNode const& element, unsigned int indent) {
  impl::Bytes& line = w.begin(indent);
  line.append('<');
  appendRaw(line, element.label().str());
  for (impl::Attribute const& a : element.attributeList()) {
    line.append(' ');
    appendRaw(line, a.name.str());
    line.append("=\"", 2);
    appendEscaped(line, a.value.cstr(), attributeEscapes);
    line.append('"');
  }
  if (element.childList().empty()) {
    line.append("/>\n", 3);
    return w.emit();
  }
  line.append(">\n", 2);
  if (!w.emit()) return false;
  unsigned int const inner = indent + w.step();
  for (boost::shared_ptr<INode> const& child : element.childList()) {
    ZU_ASSERT(child, "node");
    INode const* node = child.get();
    bool written;
    if (impl::ElementNode const* sub = impl::ElementNode::asElement(node))
      written = writeElement(w, *sub, inner);
    else if (impl::DataNode const* data = impl::ElementNode::asData(node))
      written = writeData(w, *data, inner);
    else
      written = node->write(w.out(), w.step(), inner);
    if (!written) return false;
  }
  impl::Bytes& close = w.begin(indent);
  close.append("</", 2);
  appendRaw(close, element.label().str());
  close.append(">\n", 2);
  return w.emit();
}

}  // namespace

namespace impl {

bool writeNode(INode const& node, func::IIO& out, unsigned int step, unsigned int indent) {
  Writer w(out, step);
  if (ElementNode const* element = ElementNode::asElement(&node)) return writeElement(w, *element, indent);
  if (DataNode const* data = ElementNode::asData(&node)) return writeData(w, *data, indent);
  return node.write(out, step, indent);
}

// What toString() gives: the node's write() at indent 0, collected.
String writtenText(INode const& node, unsigned int step) {
  String text;
  StringOutput out(text);
  node.write(out, step, 0);
  out.finish();
  return text;
}

bool writeDeclaration(func::IIO& out, String const& version, String const& encoding, String const& standalone) {
  std::string declaration("<?xml version=\"");
  declaration.append(version.empty() ? "1.0" : version.cstr());
  declaration.append("\" encoding=\"");
  declaration.append(encoding.empty() ? "UTF-8" : encoding.cstr());
  declaration += '"';
  if (!standalone.empty()) {
    declaration.append(" standalone=\"");
    declaration.append(standalone.cstr());
    declaration += '"';
  }
  declaration.append("?>\n");
  unsigned int const size = static_cast<unsigned int>(declaration.size());
  return out.write(declaration.data(), size) == size;
}

}  // namespace impl
}  // namespace xml
}  // namespace zu
