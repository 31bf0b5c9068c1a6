// Writing a tree of zu::xml as indented text: see writer.h.
#include "xml/writer.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <typeinfo>
#include <vector>

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

// One write() of a subtree, or a declaration: the stream, the step and the
// buffer the lines are built in. Into a StringOutput the lines go straight
// to its buffer; into any other stream each line is built apart and handed
// over whole.
//
// The tree is walked with a stack of its open elements rather than by one
// nested call per level: a tree read from hostile text may be a million
// levels deep. Indentations are counted in std::size_t, so a deep tree
// written with a large step makes lines too long to hold (and the write
// fail) rather than indentations that wrap around.
class Writer {
 public:
  Writer(func::IIO& out, unsigned int step)
      : out_(out),
        step_(step),
        direct_(&typeid(out) == &typeid(impl::StringOutput) ? &static_cast<impl::StringOutput&>(out) : nullptr) {
    if (!direct_) line_.limit(impl::textLimit);
  }

  // Writes `node` and everything below it. False at the first line not
  // taken whole, or one too long to hold (a StringOutput is then failed).
  bool write(INode const& node, std::size_t indent) {
    return guarded([&] { return tree(node, indent); });
  }

  bool declaration(String const& version, String const& encoding, String const& standalone) {
    return guarded([&] {
      impl::Bytes& line = begin(0);
      line.append("<?xml version=\"", 15);
      appendRaw(line, version.empty() ? String("1.0") : version);
      line.append("\" encoding=\"", 12);
      appendRaw(line, encoding.empty() ? String("UTF-8") : encoding);
      line.append('"');
      if (!standalone.empty()) {
        line.append(" standalone=\"", 13);
        appendRaw(line, standalone);
        line.append('"');
      }
      line.append("?>\n", 3);
      return emit();
    });
  }

 private:
  // An open element whose children are being written.
  struct Frame {
    impl::ElementNode const* element;
    unsigned int next;   // the child to write next
    std::size_t indent;  // the element's own
  };

  template <class Step>
  bool guarded(Step const& step) {
    try {
      return step();
    } catch (std::length_error const&) {
    } catch (std::bad_alloc const&) {
    }
    if (direct_) direct_->fail();
    return false;
  }

  bool tree(INode const& top, std::size_t indent) {
    impl::ElementNode const* element = impl::ElementNode::asElement(&top);
    if (!element) return leaf(top, indent);
    if (!open(*element, indent)) return false;
    if (element->childList().empty()) return true;
    std::vector<Frame> path;
    path.push_back(Frame{element, 0, indent});
    do {
      // The children of the innermost open element, up to one that holds
      // an element, which is entered. (An element that holds texts only,
      // the most common kind, is written whole on the way.)
      Frame& frame = path.back();
      impl::Slab<impl::ElementNode::Child> const& children = frame.element->childList();
      std::size_t const inner = frame.indent + step_;
      Frame entered{nullptr, 0, inner};
      unsigned int i = frame.next;
      for (unsigned int const n = children.size(); i < n && !entered.element; ++i) {
        INode const* child = children[i].get();
        ZU_ASSERT(child, "node");
        impl::ElementNode const* sub = impl::ElementNode::asElement(child);
        if (!sub) {
          if (!leaf(*child, inner)) return false;
          continue;
        }
        if (!open(*sub, inner)) return false;
        impl::Slab<impl::ElementNode::Child> const& below = sub->childList();
        if (below.empty()) continue;
        unsigned int k = 0;
        for (unsigned int const m = below.size(); k < m; ++k) {
          INode const* text = below[k].get();
          ZU_ASSERT(text, "node");
          if (impl::ElementNode::asElement(text)) break;
          if (!leaf(*text, inner + step_)) return false;
        }
        if (k < below.size())
          entered = Frame{sub, k, inner};
        else if (!close(*sub, inner))
          return false;
      }
      if (entered.element) {
        frame.next = i;
        path.push_back(entered);  // `frame` is no longer valid
        continue;
      }
      if (!close(*frame.element, frame.indent)) return false;
      path.pop_back();
    } while (!path.empty());
    return true;
  }

  // The buffer for the next line, which starts with `indent` spaces.
  [[gnu::always_inline]] impl::Bytes& begin(std::size_t indent) {
    impl::Bytes& line = direct_ ? direct_->bytes() : line_;
    if (!direct_) line.clear();
    line.spaces(indent);
    return line;
  }

  // Hands the line over as one block; true when it was accepted whole.
  [[gnu::always_inline]] bool emit() {
    if (direct_) return true;
    unsigned int const size = static_cast<unsigned int>(line_.size());
    return out_.write(line_.data(), size) == size;
  }

  // A text node's one line of escaped text, or a node of a caller's class
  // written by its own write().
  [[gnu::always_inline]] bool leaf(INode const& node, std::size_t indent) {
    if (impl::DataNode const* data = impl::ElementNode::asData(&node)) {
      impl::Bytes& line = begin(indent);
      appendEscaped(line, data->content().cstr());
      line.append('\n');
      return emit();
    }
    if (indent > 0xFFFFFFFFu) throw std::length_error("indentation past what write() takes");
    return node.write(out_, step_, static_cast<unsigned int>(indent));
  }

  // The element's opening line, or its only line when it has no children.
  [[gnu::always_inline]] bool open(impl::ElementNode const& element, std::size_t indent) {
    impl::Bytes& line = begin(indent);
    line.append('<');
    appendRaw(line, element.label().str());
    for (impl::Attribute const& a : element.attributeList()) {
      line.append(' ');
      appendRaw(line, a.name.str());
      line.append("=\"", 2);
      appendEscaped(line, a.value.cstr(), attributeEscapes);
      line.append('"');
    }
    if (element.childList().empty())
      line.append("/>\n", 3);
    else
      line.append(">\n", 2);
    return emit();
  }

  [[gnu::always_inline]] bool close(impl::ElementNode const& element, std::size_t indent) {
    impl::Bytes& line = begin(indent);
    line.append("</", 2);
    appendRaw(line, element.label().str());
    line.append(">\n", 2);
    return emit();
  }

  func::IIO& out_;
  unsigned int step_;
  impl::StringOutput* direct_;
  impl::Bytes line_;
};

}  // namespace

namespace impl {

bool writeNode(INode const& node, func::IIO& out, unsigned int step, unsigned int indent) {
  return Writer(out, step).write(node, indent);
}

// What toString() gives: the node's write() at indent 0, collected; empty
// when the text is too long for a String.
String writtenText(INode const& node, unsigned int step) {
  String text;
  StringOutput out(text);
  node.write(out, step, 0);
  out.finish();
  return text;
}

bool writeDeclaration(func::IIO& out, String const& version, String const& encoding, String const& standalone) {
  return Writer(out, 0).declaration(version, encoding, standalone);
}

}  // namespace impl
}  // namespace xml
}  // namespace zu
