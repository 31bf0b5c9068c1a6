#include <zu/xml.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <zu/em.h>

#include "core/assertion.h"
#include "diag/logging.h"

namespace zu {
namespace xml {
namespace impl {

// The parent link every node class of the tree carries; tree operations
// reach it from an INode.
class IChild : public IBase {
 public:
  virtual void setParent(boost::weak_ptr<IElement> parent) = 0;
};

class ElementNode;
class DataNode;

// A growable run of bytes built in small pieces: the lines of the output.
// Leaner than std::string for this job (no checks beyond the room left).
class Bytes {
 public:
  Bytes() = default;
  ~Bytes() { std::free(data_); }
  Bytes(Bytes const&) = delete;
  Bytes& operator=(Bytes const&) = delete;

  char const* data() const { return data_; }
  std::size_t size() const { return static_cast<std::size_t>(end_ - data_); }
  bool empty() const { return end_ == data_; }
  void clear() { end_ = data_; }

  // A buffer that never grew has no storage, which memcpy and memset must
  // not be given even for no bytes.
  void append(char const* bytes, std::size_t n) {
    if (n == 0) return;
    if (n > static_cast<std::size_t>(room_ - end_)) grow(n);
    std::memcpy(end_, bytes, n);
    end_ += n;
  }
  void append(char c) {
    if (end_ == room_) grow(1);
    *end_++ = c;
  }
  void spaces(std::size_t n) {
    if (n == 0) return;
    if (n > static_cast<std::size_t>(room_ - end_)) grow(n);
    std::memset(end_, ' ', n);
    end_ += n;
  }

 private:
  void grow(std::size_t n) {
    std::size_t const used = size();
    std::size_t want = 2 * static_cast<std::size_t>(room_ - data_);
    if (want < used + n) want = used + n;
    if (want < 256) want = 256;
    char* grown = static_cast<char*>(std::realloc(data_, want));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    end_ = grown + used;
    room_ = grown + want;
  }

  char* data_ = nullptr;
  char* end_ = nullptr;
  char* room_ = nullptr;
};

// Appends what write() appends to a caller's String. The bytes gather in a
// buffer of their own and reach the String when the output is finished (at
// the latest at destruction): appending each block to the String itself
// would measure the whole text again for every line.
class StringOutput final : public func::IIO {
 public:
  explicit StringOutput(String& target) : target_(target) {}
  ~StringOutput() override { finish(); }
  StringOutput(StringOutput const&) = delete;
  StringOutput& operator=(StringOutput const&) = delete;

  unsigned int read(void*, unsigned int) override {
    ZU_ASSERT(0, "0");
    return 0;
  }

  unsigned int write(void const* data, unsigned int size) override {
    if (!data) return 0;
    bytes_.append(static_cast<char const*>(data), size);
    return size;
  }

  // The tree's own nodes write their lines straight into this buffer.
  Bytes& bytes() { return bytes_; }

  void finish() {
    if (bytes_.empty()) return;
    unsigned int const had = target_.length();
    unsigned int const added = static_cast<unsigned int>(bytes_.size());
    char* text = target_.getBuffer(had + added);
    std::memcpy(text + had, bytes_.data(), added);
    text[had + added] = 0;
    bytes_.clear();
  }

 private:
  String& target_;
  Bytes bytes_;
};

}  // namespace impl

namespace {

// An array that holds no storage at all (a moved-from one): elements
// without attributes or children then cost no allocation for them.
template <class T>
TArray<T> const& hollow() {
  static TArray<T> const none = [] {
    TArray<T> full;
    TArray<T> taken(std::move(full));
    return full;  // NOLINT(bugprone-use-after-move): empty and storage-free by contract
  }();
  return none;
}

// Bytes that escaping replaces; byte 0 ends the text. Attribute values also
// escape the tab: a reader turns a literal tab in a value into a blank.
struct EscapeTable {
  bool special[256] = {};
  explicit EscapeTable(bool attribute) {
    for (unsigned char c : {'\0', '&', '<', '>', '"', '\'', '\r', '\n'}) special[c] = true;
    special[static_cast<unsigned char>('\t')] = attribute;
  }
};
EscapeTable const textEscapes(false);
EscapeTable const attributeEscapes(true);

// Appends `text` with &, <, >, ", ', CR and LF replaced by their entity or
// character references. One pass gives the same text as replacing each
// character over the whole string in that order, since no replacement
// contains a character replaced after it.
void appendEscaped(impl::Bytes& line, String const& text, EscapeTable const& table = textEscapes) {
  char const* run = text.cstr();
  for (char const* p = run;; ++p) {
    unsigned char const c = static_cast<unsigned char>(*p);
    if (!table.special[c]) continue;
    line.append(run, static_cast<std::size_t>(p - run));
    switch (c) {
      case '\0':
        return;
      case '&':
        line.append("&amp;", 5);
        break;
      case '<':
        line.append("&lt;", 4);
        break;
      case '>':
        line.append("&gt;", 4);
        break;
      case '"':
        line.append("&quot;", 6);
        break;
      case '\'':
        line.append("&apos;", 6);
        break;
      case '\r':
        line.append("&#13;", 5);
        break;
      case '\t':
        line.append("&#9;", 4);
        break;
      default:
        line.append("&#10;", 5);
        break;
    }
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

}  // namespace

namespace impl {

class DataNode final : public INode, public IChild {
 public:
  explicit DataNode(String const& text) : text_(text) {}

  boost::shared_ptr<IElement> parent() const override { return parent_.lock(); }
  boost::shared_ptr<INode> clone() const override { return boost::make_shared<DataNode>(text_); }

  bool write(func::IIO& out, unsigned int step, unsigned int indent) const override {
    Writer w(out, step);
    return writeTo(w, indent);
  }

  String toString(unsigned int step) const override {
    String text;
    StringOutput out(text);
    write(out, step, 0);
    out.finish();
    return text;
  }

  String text() const override { return text_; }
  void setText(String const& text) override { text_ = text; }
  void setParent(boost::weak_ptr<IElement> parent) override { parent_ = std::move(parent); }

  bool writeTo(Writer& w, unsigned int indent) const {
    Bytes& line = w.begin(indent);
    appendEscaped(line, text_);
    line.append('\n');
    return w.emit();
  }

 private:
  String text_;
  boost::weak_ptr<IElement> parent_;
};

class ElementNode final : public IElement, public IChild, public boost::enable_shared_from_this<ElementNode> {
 public:
  explicit ElementNode(String const& name)
      : name_(name),
        attributes_(hollow<StringPair>()),
        children_(hollow<boost::shared_ptr<INode>>()) {}

  // A chain of elements, each held only by its parent, would otherwise be
  // destroyed by one nested destructor call per level, and a deep enough
  // tree (say, read from hostile input) would run out of stack. The
  // children of every element about to go are taken out first, so each
  // element dies without children.
  ~ElementNode() override {
    bool deep = false;
    for (boost::shared_ptr<INode> const& child : children_) {
      ElementNode const* element = child ? asElement(child.get()) : nullptr;
      if (element && !element->children_.empty()) {
        deep = true;
        break;
      }
    }
    if (!deep) return;
    std::vector<boost::shared_ptr<INode>> doomed(children_.begin(), children_.end());
    children_.clear();
    while (!doomed.empty()) {
      boost::shared_ptr<INode> node = std::move(doomed.back());
      doomed.pop_back();
      if (node.use_count() != 1) continue;
      ElementNode* element = asElement(node.get());
      if (!element || element->children_.empty()) continue;
      doomed.insert(doomed.end(), element->children_.begin(), element->children_.end());
      element->children_.clear();
    }
  }

  // The node as an ElementNode or DataNode when it is one. Both classes
  // are final and their type records live in this library only, so the
  // record's address tells, far cheaper than a dynamic_cast or a
  // comparison of type names. (Should the address ever differ, the
  // callers take the general path through dynamic_cast.)
  static ElementNode* asElement(INode* node) {
    return &typeid(*node) == &typeid(ElementNode) ? static_cast<ElementNode*>(node) : nullptr;
  }
  static ElementNode const* asElement(INode const* node) {
    return &typeid(*node) == &typeid(ElementNode) ? static_cast<ElementNode const*>(node) : nullptr;
  }
  static DataNode const* asData(INode const* node) {
    return &typeid(*node) == &typeid(DataNode) ? static_cast<DataNode const*>(node) : nullptr;
  }
  static bool isElement(INode const* node) {
    if (asElement(node)) return true;
    if (asData(node)) return false;
    return dynamic_cast<IElement const*>(node) != nullptr;
  }
  // The parent link of a node; null for a node of a class from elsewhere.
  static IChild* link(INode* node) {
    if (ElementNode* element = asElement(node)) return element;
    if (&typeid(*node) == &typeid(DataNode)) return static_cast<DataNode*>(node);
    return dynamic_cast<IChild*>(node);
  }

  // --- INode

  boost::shared_ptr<IElement> parent() const override { return parent_.lock(); }

  boost::shared_ptr<INode> clone() const override {
    boost::shared_ptr<ElementNode> copy = boost::make_shared<ElementNode>(name_);
    copy->attributes_ = attributes_;
    if (children_.empty()) return copy;
    boost::weak_ptr<IElement> const self = copy->selfLink();
    for (boost::shared_ptr<INode> const& child : children_) {
      ZU_ASSERT(child, "node");
      copy->adopt(child->clone(), self);
    }
    return copy;
  }

  bool write(func::IIO& out, unsigned int step, unsigned int indent) const override {
    Writer w(out, step);
    return writeTo(w, indent);
  }

  String toString(unsigned int step) const override {
    String text;
    StringOutput out(text);
    write(out, step, 0);
    out.finish();
    return text;
  }

  String text() const override {
    String joined;
    bool first = true;
    for (boost::shared_ptr<INode> const& child : children_) {
      ZU_ASSERT(child, "node");
      if (isElement(child.get())) continue;
      // A single text child, the common case, is returned shared.
      if (first)
        joined = child->text();
      else
        joined.append(child->text());
      first = false;
    }
    return joined;
  }

  void setText(String const& text) override {
    removeChildren();
    addText(text);
  }

  // --- IChild

  void setParent(boost::weak_ptr<IElement> parent) override { parent_ = std::move(parent); }

  // --- IElement

  String name() const override { return name_; }
  void setName(String const& name) override { name_ = name; }

  TArray<boost::shared_ptr<INode>> children() const override { return children_; }

  void setChildren(TArray<boost::shared_ptr<INode>> const& nodes) override {
    // Copies first: `nodes` may hold this element's own children, or the
    // element itself, whose copies must show them as they were.
    std::vector<boost::shared_ptr<INode>> copies;
    copies.reserve(nodes.size());
    for (boost::shared_ptr<INode> const& node : nodes) {
      ZU_ASSERT(node, "node");
      copies.push_back(node->clone());
    }
    removeChildren();
    if (copies.empty()) return;
    boost::weak_ptr<IElement> const self = selfLink();
    for (boost::shared_ptr<INode>& copy : copies) adopt(std::move(copy), self);
  }

  boost::shared_ptr<IElement> addElement(String const& name) override {
    boost::shared_ptr<ElementNode> element = boost::make_shared<ElementNode>(name);
    element->parent_ = selfLink();
    children_.append(element);
    return element;
  }

  void addChild(boost::shared_ptr<INode> node) override {
    ZU_ASSERT(node, "node");
    adopt(node->clone(), selfLink());
  }

  boost::shared_ptr<INode> addText(String const& text) override {
    boost::shared_ptr<DataNode> node = boost::make_shared<DataNode>(text);
    node->setParent(selfLink());
    children_.append(node);
    return node;
  }

  bool removeChild(boost::shared_ptr<INode> node) override {
    for (unsigned int i = 0, n = children_.size(); i < n; ++i) {
      if (children_[i] != node) continue;
      if (node) detach(node.get());
      children_.erase(i);
      return true;
    }
    return false;
  }

  TArray<StringPair> attributes() const override { return attributes_; }
  void setAttributes(TArray<StringPair> const& attributes) override { attributes_ = attributes; }

  String attribute(String const& name, String const& defaultValue, bool ignoreCase) const override {
    for (StringPair const& pair : attributes_)
      if (pair.name.compare(name, ignoreCase) == 0) return pair.value;
    return defaultValue;
  }

  void setAttribute(String const& name, String const& value, bool ignoreCase) override {
    removeAttribute(name, ignoreCase);
    attributes_.append(StringPair{name, value});
  }

  void removeAttribute(String const& name, bool ignoreCase) override {
    for (unsigned int i = attributes_.size(); i-- > 0;)
      if (attributes_[i].name.compare(name, ignoreCase) == 0) attributes_.erase(i);
  }

  TArray<boost::shared_ptr<IElement>> find(String const& path, bool ignoreCase) const override {
    TArray<String> const pieces = path.tokenise('/');
    TArray<boost::shared_ptr<IElement>> found;
    IElement const* from = this;
    for (String const& piece : pieces) {
      TArray<boost::shared_ptr<IElement>> next;
      ElementNode const* own = asElement(from);
      TArray<boost::shared_ptr<INode>> const children = own ? own->children_ : from->children();
      for (boost::shared_ptr<INode> const& child : children) {
        ZU_ASSERT(child, "node");
        if (ElementNode const* element = asElement(child.get())) {
          if (element->name_.compare(piece, ignoreCase) == 0)
            next.append(boost::static_pointer_cast<ElementNode>(child));
        } else if (!asData(child.get())) {
          boost::shared_ptr<IElement> other = boost::dynamic_pointer_cast<IElement>(child);
          if (other && other->name().compare(piece, ignoreCase) == 0) next.append(other);
        }
      }
      found = next;
      if (found.empty()) break;
      from = found[0].get();
    }
    return found;
  }

  bool writeTo(Writer& w, unsigned int indent) const {
    Bytes& line = w.begin(indent);
    line.append('<');
    appendRaw(line, name_);
    for (StringPair const& pair : attributes_) {
      line.append(' ');
      appendRaw(line, pair.name);
      line.append("=\"", 2);
      appendEscaped(line, pair.value, attributeEscapes);
      line.append('"');
    }
    if (children_.empty()) {
      line.append("/>\n", 3);
      return w.emit();
    }
    line.append(">\n", 2);
    if (!w.emit()) return false;
    unsigned int const inner = indent + w.step();
    for (boost::shared_ptr<INode> const& child : children_) {
      ZU_ASSERT(child, "node");
      INode const* node = child.get();
      bool written;
      if (ElementNode const* element = asElement(node))
        written = element->writeTo(w, inner);
      else if (DataNode const* data = asData(node))
        written = data->writeTo(w, inner);
      else
        written = node->write(w.out(), w.step(), inner);
      if (!written) return false;
    }
    Bytes& close = w.begin(indent);
    close.append("</", 2);
    appendRaw(close, name_);
    close.append(">\n", 2);
    return w.emit();
  }

 private:
  boost::weak_ptr<IElement> selfLink() {
    return boost::weak_ptr<IElement>(boost::shared_ptr<IElement>(shared_from_this()));
  }

  // Appends `node` as a child with this element (`self`) as its parent.
  void adopt(boost::shared_ptr<INode> node, boost::weak_ptr<IElement> const& self) {
    ZU_ASSERT(node, "node");
    if (IChild* child = link(node.get())) child->setParent(self);
    children_.append(node);
  }

  static void detach(INode* node) {
    if (IChild* child = link(node)) child->setParent(boost::weak_ptr<IElement>());
  }

  // Takes out every child; those held elsewhere live on without parent.
  void removeChildren() {
    if (children_.empty()) return;
    for (boost::shared_ptr<INode> const& child : children_)
      if (child) detach(child.get());
    children_.clear();
  }

  String name_;
  boost::weak_ptr<IElement> parent_;
  TArray<StringPair> attributes_;
  TArray<boost::shared_ptr<INode>> children_;
};

class Document final : public IDocument {
 public:
  String version() const override { return version_; }
  void setVersion(String const& version) override { version_ = version; }
  String encoding() const override { return encoding_; }
  void setEncoding(String const& encoding) override { encoding_ = encoding; }
  String standalone() const override { return standalone_; }
  void setStandalone(String const& standalone) override { standalone_ = standalone; }

  bool loadString(String const& text) override {
    boost::shared_ptr<IParser> parser = IParser::New();
    em::CatchError parsing(parser.get());
    if (!parser->parse(text.cstr(), text.length(), true)) {
      ZU_LOG_OBJ(3, "[DBG1]", *this, "loadString: parse " << "error(" << parsing.code() << ") " << parsing.text());
      failed(parsing);
      return false;
    }
    adopt(*parser);
    return true;
  }

  bool load(func::IIO& in) override {
    boost::shared_ptr<IParser> parser = IParser::New();
    // A stream object reports under the address its callers know, which
    // for an object that is a stream among other things (a file) is not
    // the address of its stream view: both are listened to.
    void const* const object = dynamic_cast<void const*>(&in);
    std::optional<em::CatchError> objectReading;
    if (object != &in) objectReading.emplace(object);
    em::CatchError reading(&in);
    em::CatchError parsing(parser.get());
    unsigned int const block = 0x1000;
    std::unique_ptr<char[]> const buffer(new char[block]);
    for (;;) {
      unsigned int count = in.read(buffer.get(), block);
      em::CatchError* failed = reading.code() ? &reading : objectReading && objectReading->code() ? &*objectReading : nullptr;
      if (failed) {
        ZU_LOG_OBJ(3, "[DBG1]", *this, "load: io read " << "error(" << failed->code() << ") " << failed->text());
        this->failed(*failed);
        return false;
      }
      if (count > block) count = block;
      bool const isFinal = count < block;
      if (!parser->parse(buffer.get(), count, isFinal)) {
        ZU_LOG_OBJ(3, "[DBG1]", *this, "load: parse " << "error(" << parsing.code() << ") " << parsing.text());
        this->failed(parsing);
        return false;
      }
      if (isFinal) break;
    }
    adopt(*parser);
    return true;
  }

  bool save(String& out, unsigned int step) const override {
    if (!root_) return false;
    StringOutput output(out);
    bool const saved = save(output, step);
    output.finish();
    return saved;
  }

  bool save(func::IIO& out, unsigned int step) const override {
    if (!root_) return false;
    std::string declaration("<?xml version=\"");
    declaration.append(version_.empty() ? "1.0" : version_.cstr());
    declaration.append("\" encoding=\"");
    declaration.append(encoding_.empty() ? "UTF-8" : encoding_.cstr());
    declaration += '"';
    if (!standalone_.empty()) {
      declaration.append(" standalone=\"");
      declaration.append(standalone_.cstr());
      declaration += '"';
    }
    declaration.append("?>\n");
    unsigned int const size = static_cast<unsigned int>(declaration.size());
    if (out.write(declaration.data(), size) != size) return false;
    return root_->write(out, step, 0);
  }

  boost::shared_ptr<IElement> root() const override { return root_; }
  void setRoot(boost::shared_ptr<IElement> root) override { root_ = std::move(root); }

 private:
  // Takes over the document the parser finished: its root element itself
  // and its declaration fields.
  void adopt(IParser const& parser) {
    boost::shared_ptr<IDocument> const doc = parser.document();
    ZU_ASSERT(doc, "doc");
    setRoot(doc->root());
    setVersion(doc->version());
    setEncoding(doc->encoding());
    setStandalone(doc->standalone());
  }

  // Hands the reason a load failed on to the document's own listeners: the
  // code and text the parser or the stream reported.
  void failed(em::CatchError& cause) {
    if (!em::catching(static_cast<IDocument*>(this))) return;
    unsigned int const code = cause.code();
    em::report(static_cast<IDocument*>(this), code, cause.text());
  }

  String version_;
  String encoding_;
  String standalone_;
  boost::shared_ptr<IElement> root_;
};

}  // namespace impl

boost::shared_ptr<INode> INode::New(String const& text) { return boost::make_shared<impl::DataNode>(text); }

boost::shared_ptr<IElement> IElement::New(String const& name) { return boost::make_shared<impl::ElementNode>(name); }

boost::shared_ptr<IDocument> IDocument::New(String const& rootName, String const& version, String const& encoding,
                                            String const& standalone) {
  boost::shared_ptr<IDocument> document = boost::make_shared<impl::Document>();
  if (!rootName.empty()) document->setRoot(IElement::New(rootName));
  document->setVersion(version);
  document->setEncoding(encoding);
  document->setStandalone(standalone);
  return document;
}

}  // namespace xml
}  // namespace zu
