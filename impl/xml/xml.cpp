// The XML document family: the tree of elements and text nodes, and the
// document that holds its root and XML declaration. (Reading is in
// xmlparser.cpp and tree.cpp, writing in writer.cpp, the storage of trees
// read from text in storage.cpp.)
#include <zu/xml.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <zu/em.h>

#include "core/assertion.h"
#include "diag/logging.h"
#include "xml/nodes.h"
#include "xml/tree.h"
#include "xml/writer.h"

namespace zu {
namespace xml {
namespace impl {

std::size_t textLimit = Bytes::largest;

// A String that holds nothing at all (a moved-from one): its copies cost
// neither an allocation nor a count.
String const& hollowString() {
  static String const none = [] {
    String full;
    String taken(std::move(full));
    return full;  // NOLINT(bugprone-use-after-move): empty and storage-free by contract
  }();
  return none;
}

unsigned int StringOutput::read(void*, unsigned int) {
  ZU_ASSERT(0, "0");
  return 0;
}

// ---- Text nodes

boost::shared_ptr<IElement> DataNode::parent() const { return parent_.lock(); }

boost::shared_ptr<INode> DataNode::clone() const { return boost::make_shared<DataNode>(text_.str()); }

bool DataNode::write(func::IIO& out, unsigned int step, unsigned int indent) const {
  return writeNode(*this, out, step, indent);
}

String DataNode::toString(unsigned int step) const { return writtenText(*this, step); }

String DataNode::text() const { return text_.str(); }

void DataNode::setText(String const& text) { text_ = Text(text); }

void DataNode::setParent(boost::weak_ptr<IElement> parent) { parent_ = std::move(parent); }

// ---- Elements

namespace {

// The elements among `children` (an element's own array or a copy of one)
// called `name`, in order, appended to `to`.
template <class Children>
void collect(Children const& children, String const& name, bool ignoreCase, TArray<boost::shared_ptr<IElement>>& to) {
  for (boost::shared_ptr<INode> const& child : children) {
    ZU_ASSERT(child, "node");
    if (ElementNode const* element = ElementNode::asElement(child.get())) {
      if (element->label().str().compare(name, ignoreCase) == 0) to.append(boost::static_pointer_cast<ElementNode>(child));
    } else if (!ElementNode::asData(child.get())) {
      boost::shared_ptr<IElement> other = boost::dynamic_pointer_cast<IElement>(child);
      if (other && other->name().compare(name, ignoreCase) == 0) to.append(other);
    }
  }
}

}  // namespace

// A chain of elements, each held only by its parent, would otherwise be
// destroyed by one nested destructor call per level, and a deep enough
// tree (say, read from hostile input) would run out of stack. The
// children of every element about to go are taken out first, so each
// element dies without children.
ElementNode::~ElementNode() {
  bool deep = false;
  for (boost::shared_ptr<INode> const& child : children_) {
    ElementNode const* element = child ? asElement(child.get()) : nullptr;
    if (element && !element->children_.empty()) {
      deep = true;
      break;
    }
  }
  if (!deep) return;
  std::vector<boost::shared_ptr<INode>> doomed;
  takeChildren(doomed);
  while (!doomed.empty()) {
    boost::shared_ptr<INode> node = std::move(doomed.back());
    doomed.pop_back();
    if (node.use_count() != 1) continue;
    ElementNode* element = asElement(node.get());
    if (!element || element->children_.empty()) continue;
    element->takeChildren(doomed);
  }
}

boost::shared_ptr<IElement> ElementNode::parent() const { return parent_.lock(); }

// Copies with a stack of the elements whose children are being copied
// rather than by one nested call per level: a tree read from hostile text
// may be a million levels deep. The copies are made in document order, as
// nested calls would make them, which keeps the memory of one copy close
// together (and freed in a way the allocator can reuse).
boost::shared_ptr<INode> ElementNode::clone() const {
  boost::shared_ptr<ElementNode> const top = copyAlone();
  if (children_.empty()) return top;
  // An element whose children are being copied, the next of them, and its
  // copy (held by the copy of its parent, or `top`).
  struct Frame {
    ElementNode const* from;
    unsigned int next;
    ElementNode* to;
    boost::weak_ptr<IElement> self;
  };
  std::vector<Frame> path;
  path.push_back(Frame{this, 0, top.get(), top->selfLink()});
  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.next == frame.from->children_.size()) {
      path.pop_back();
      continue;
    }
    boost::shared_ptr<INode> const& child = frame.from->children_[frame.next++];
    ZU_ASSERT(child, "node");
    ElementNode const* const element = asElement(child.get());
    if (!element) {
      frame.to->adopt(child->clone(), frame.self);
      continue;
    }
    boost::shared_ptr<ElementNode> copy = element->copyAlone();
    ElementNode* const raw = copy.get();
    frame.to->adopt(std::move(copy), frame.self);
    if (element->children_.empty()) continue;
    // Texts are copied at once, up to an element, which the copy goes on
    // from (most elements hold texts only).
    boost::weak_ptr<IElement> self = raw->selfLink();
    unsigned int k = 0;
    for (unsigned int const m = element->children_.size(); k < m; ++k) {
      boost::shared_ptr<INode> const& text = element->children_[k];
      ZU_ASSERT(text, "node");
      if (asElement(text.get())) break;
      raw->adopt(text->clone(), self);
    }
    if (k < element->children_.size()) path.push_back(Frame{element, k, raw, std::move(self)});  // `frame` is no longer valid
  }
  return top;
}

boost::shared_ptr<ElementNode> ElementNode::copyAlone() const {
  boost::shared_ptr<ElementNode> copy = boost::make_shared<ElementNode>(name_.str());
  for (Attribute const& a : attributes_) copy->attributes_.emplace(Attribute{Label(a.name.str()), Text(a.value.str())});
  return copy;
}

bool ElementNode::write(func::IIO& out, unsigned int step, unsigned int indent) const {
  return writeNode(*this, out, step, indent);
}

String ElementNode::toString(unsigned int step) const { return writtenText(*this, step); }

String ElementNode::text() const {
  String joined;
  bool first = true;
  for (boost::shared_ptr<INode> const& child : children_) {
    ZU_ASSERT(child, "node");
    if (isElement(child.get())) continue;
    // A single text child, the common case, is returned as it is.
    if (first)
      joined = child->text();
    else
      joined.append(child->text());
    first = false;
  }
  return joined;
}

void ElementNode::setText(String const& text) {
  removeChildren();
  addText(text);
}

void ElementNode::setParent(boost::weak_ptr<IElement> parent) { parent_ = std::move(parent); }

String ElementNode::name() const { return name_.str(); }

void ElementNode::setName(String const& name) { name_ = Label(name); }

// A new array of the children: the element keeps its own.
TArray<boost::shared_ptr<INode>> ElementNode::children() const {
  TArray<boost::shared_ptr<INode>> copy;
  if (children_.empty()) return copy;
  copy.resize(children_.size(), boost::shared_ptr<INode>());
  for (unsigned int i = 0, n = children_.size(); i < n; ++i) copy(i) = children_[i];
  return copy;
}

void ElementNode::setChildren(TArray<boost::shared_ptr<INode>> const& nodes) {
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

boost::shared_ptr<IElement> ElementNode::addElement(String const& name) {
  boost::shared_ptr<ElementNode> element = boost::make_shared<ElementNode>(name);
  element->parent_ = selfLink();
  children_.emplace(element);
  return element;
}

void ElementNode::addChild(boost::shared_ptr<INode> node) {
  ZU_ASSERT(node, "node");
  adopt(node->clone(), selfLink());
}

boost::shared_ptr<INode> ElementNode::addText(String const& text) {
  boost::shared_ptr<DataNode> node = boost::make_shared<DataNode>(text);
  node->setParent(selfLink());
  children_.emplace(node);
  return node;
}

bool ElementNode::removeChild(boost::shared_ptr<INode> node) {
  for (unsigned int i = 0, n = children_.size(); i < n; ++i) {
    if (children_[i] != node) continue;
    if (node) detach(node.get());
    children_.erase(i);
    return true;
  }
  return false;
}

TArray<StringPair> ElementNode::attributes() const {
  TArray<StringPair> list;
  if (attributes_.empty()) return list;
  list.resize(attributes_.size(), StringPair{hollowString(), hollowString()});
  for (unsigned int i = 0, n = attributes_.size(); i < n; ++i)
    list(i) = StringPair{attributes_[i].name.str(), attributes_[i].value.str()};
  return list;
}

void ElementNode::setAttributes(TArray<StringPair> const& attributes) {
  // Copies first: the list may be this element's own.
  Slab<Attribute> fresh;
  for (StringPair const& pair : attributes) fresh.emplace(Attribute{Label(pair.name), Text(pair.value)});
  attributes_.clear();
  for (Attribute& a : fresh) attributes_.emplace(std::move(a));
}

String ElementNode::attribute(String const& name, String const& defaultValue, bool ignoreCase) const {
  for (Attribute const& a : attributes_)
    if (a.name.str().compare(name, ignoreCase) == 0) return a.value.str();
  return defaultValue;
}

void ElementNode::setAttribute(String const& name, String const& value, bool ignoreCase) {
  removeAttribute(name, ignoreCase);
  attributes_.emplace(Attribute{Label(name), Text(value)});
}

void ElementNode::removeAttribute(String const& name, bool ignoreCase) {
  for (unsigned int i = attributes_.size(); i-- > 0;)
    if (attributes_[i].name.str().compare(name, ignoreCase) == 0) attributes_.erase(i);
}

TArray<boost::shared_ptr<IElement>> ElementNode::find(String const& path, bool ignoreCase) const {
  TArray<String> const pieces = path.tokenise('/');
  TArray<boost::shared_ptr<IElement>> found;
  IElement const* from = this;
  for (String const& piece : pieces) {
    TArray<boost::shared_ptr<IElement>> next;
    if (ElementNode const* own = asElement(from))
      collect(own->children_, piece, ignoreCase, next);
    else
      collect(from->children(), piece, ignoreCase, next);
    found = next;
    if (found.empty()) break;
    from = found[0].get();
  }
  return found;
}

boost::weak_ptr<IElement> ElementNode::selfLink() {
  return boost::weak_ptr<IElement>(boost::shared_ptr<IElement>(shared_from_this()));
}

void ElementNode::adopt(boost::shared_ptr<INode> node, boost::weak_ptr<IElement> const& self) {
  ZU_ASSERT(node, "node");
  if (IChild* child = link(node.get())) child->setParent(self);
  children_.emplace(std::move(node));
}

void ElementNode::detach(INode* node) {
  if (IChild* child = link(node)) child->setParent(boost::weak_ptr<IElement>());
}

void ElementNode::removeChildren() {
  if (children_.empty()) return;
  for (boost::shared_ptr<INode> const& child : children_)
    if (child) detach(child.get());
  children_.clear();
}

void ElementNode::takeChildren(std::vector<boost::shared_ptr<INode>>& to) {
  for (boost::shared_ptr<INode>& child : children_) to.push_back(std::move(child));
  children_.clear();
}

// ---- Documents

class Document final : public IDocument {
 public:
  String version() const override { return version_; }
  void setVersion(String const& version) override { version_ = version; }
  String encoding() const override { return encoding_; }
  void setEncoding(String const& encoding) override {
    encoding_ = encoding;
    decoded_ = false;
  }
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
    // A text too long for a String leaves `out` as it was.
    StringOutput output(out);
    bool const saved = save(output, step);
    return output.finish() && saved;
  }

  bool save(func::IIO& out, unsigned int step) const override {
    if (!root_) return false;
    if (!writeDeclaration(out, version_, decoded_ ? String() : encoding_, standalone_)) return false;
    return root_->write(out, step, 0);
  }

  boost::shared_ptr<IElement> root() const override { return root_; }
  void setRoot(boost::shared_ptr<IElement> root) override { root_ = std::move(root); }

  // Takes the root and the declaration fields of a document read from
  // text. The fields stay as read, but the tree holds UTF-8 whatever the
  // encoding read was, so save() then declares UTF-8 (until setEncoding).
  void takeRead(boost::shared_ptr<IElement> root, String const& version, String const& encoding,
                String const& standalone) {
    setRoot(std::move(root));
    setVersion(version);
    setEncoding(encoding);
    setStandalone(standalone);
    decoded_ = !encoding.empty() && encoding.compare("UTF-8", true) != 0;
  }

 private:
  // Takes over the document the parser finished: its root element itself
  // and its declaration fields.
  void adopt(IParser const& parser) {
    boost::shared_ptr<IDocument> const doc = parser.document();
    ZU_ASSERT(doc, "doc");
    takeRead(doc->root(), doc->version(), doc->encoding(), doc->standalone());
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
  // The tree was read from text in the encoding the field names, which is
  // not UTF-8: the parser has turned it into UTF-8, which save() declares.
  bool decoded_ = false;
};

boost::shared_ptr<IDocument> readDocument(boost::shared_ptr<IElement> root, String const& version,
                                          String const& encoding, String const& standalone) {
  boost::shared_ptr<Document> document = boost::make_shared<Document>();
  document->takeRead(std::move(root), version, encoding, standalone);
  return document;
}

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
