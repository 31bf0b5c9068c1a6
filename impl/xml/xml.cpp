// The XML document family: elements, reading through Expat and writing
// indented text.
#include <zu/xml.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
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
#include "core/byte_buffer.h"
#include "diag/logging.h"
#include "xml/tree.h"

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

// Freed storage blocks kept for the next document, up to a few megabytes:
// without them every document would take its larger blocks fresh from the
// system and fault each of their pages in again. (Not under the sanitizers,
// which should see every block freed.)
class BlockCache {
 public:
  static BlockCache& instance() {
    static BlockCache* const cache = new BlockCache;  // never destroyed: documents may end at exit
    return *cache;
  }

  // A kept block of exactly `size` bytes, or null.
  void* take(std::size_t size) {
    if (!enabled) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      if (blocks_[i].size != size) continue;
      void* const block = blocks_[i].block;
      kept_ -= size;
      blocks_[i] = blocks_.back();
      blocks_.pop_back();
      return block;
    }
    return nullptr;
  }

  // Keeps `block` when there is room; false when the caller must free it.
  bool give(void* block, std::size_t size) {
    if (!enabled || size < smallest) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_ + size > limit) return false;
    blocks_.push_back(Kept{block, size});
    kept_ += size;
    return true;
  }

 private:
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static bool const enabled = false;
#else
  static bool const enabled = true;
#endif
  static std::size_t const smallest = std::size_t(64) << 10;
  static std::size_t const limit = std::size_t(4) << 20;

  struct Kept {
    void* block;
    std::size_t size;
  };
  std::mutex mutex_;
  std::vector<Kept> blocks_;
  std::size_t kept_ = 0;
};

// The storage of one parsed document: blocks that the nodes, their texts,
// their attribute values and the document's names are cut from, in order,
// and that are freed together when the last node cut from them is gone.
// Each node's control block is counted (through InStorage below), so a
// node handed out stays valid for as long as it or a weak link to it is
// held, also after its document and the rest of the tree are released.
// Nothing cut from the blocks is given back one by one; only the parser
// cuts from them, so a document uses at most what its reading took.
//
// Counting: the builder holds the storage with a large bias and counts the
// blocks it hands out in a plain integer (no atomic operation per node);
// when it lets go it turns that into the shared count. A node released
// meanwhile (on any thread) takes one off the shared count, which the bias
// keeps above zero until then.
class Storage {
 public:
  static Storage* New() { return new Storage; }
  Storage(Storage const&) = delete;
  Storage& operator=(Storage const&) = delete;

  // Room that is not counted: texts, arrays, names.
  void* allocate(std::size_t size, std::size_t align) {
    std::uintptr_t const at = (next_ + align - 1) & ~static_cast<std::uintptr_t>(align - 1);
    if (at + size > end_ || at < next_) return grow(size, align);
    next_ = at + size;
    return reinterpret_cast<void*>(at);
  }

  // Room for a node's control block, counted until released.
  void* allocateCounted(std::size_t size, std::size_t align) {
    void* room = allocate(size, align);
    ++handedOut_;
    return room;
  }
  void releaseCounted() noexcept {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // A NUL-terminated copy of `n` bytes.
  char* copy(char const* text, std::size_t n) {
    char* to = static_cast<char*>(allocate(n + 1, 1));
    std::memcpy(to, text, n);
    to[n] = 0;
    return to;
  }

  // A String of `n` bytes that lives as long as the storage.
  String const* name(char const* text, std::size_t n) {
    if (names_.size() == names_.capacity()) names_.reserve(names_.empty() ? 64 : 2 * names_.size());
    String* name = new (allocate(sizeof(String), alignof(String))) String(text, static_cast<unsigned int>(n));
    names_.push_back(name);
    return name;
  }

  // The builder lets go: from now on only the nodes hold the storage.
  void close() noexcept {
    long long const change = handedOut_ - bias - 1;
    if (count_.fetch_add(change, std::memory_order_acq_rel) + change == 0) delete this;
  }

 private:
  static long long const bias = 1ll << 48;

  Storage() = default;
  ~Storage() {
    for (String* name : names_) name->~String();
    BlockCache& cache = BlockCache::instance();
    while (void* block = blocks_) {
      Header const header = *static_cast<Header*>(block);
      blocks_ = header.next;
      if (!cache.give(block, header.size)) std::free(block);
    }
  }

  // The front of every block: the chain and the block's size.
  struct Header {
    void* next;
    std::size_t size;
  };

  void* grow(std::size_t size, std::size_t align) {
    std::size_t const header = (sizeof(Header) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    std::size_t want = blockSize_;
    if (want < size + align + header) want = size + align + header;
    void* block = BlockCache::instance().take(want);
    if (!block && !(block = std::malloc(want))) throw std::bad_alloc();
    *static_cast<Header*>(block) = Header{blocks_, want};
    blocks_ = block;
    if (blockSize_ < (std::size_t(1) << 20)) blockSize_ *= 2;
    next_ = reinterpret_cast<std::uintptr_t>(block) + header;
    end_ = reinterpret_cast<std::uintptr_t>(block) + want;
    return allocate(size, align);
  }

  std::atomic<long long> count_{bias + 1};
  long long handedOut_ = 0;
  std::uintptr_t next_ = 0;
  std::uintptr_t end_ = 0;
  void* blocks_ = nullptr;
  std::size_t blockSize_ = 16384;
  std::vector<String*> names_;
};

// The allocator that puts a node and its shared count into a document's
// storage. Copies hold nothing: the storage counts the blocks handed out.
template <class T>
class InStorage {
 public:
  using value_type = T;
  explicit InStorage(Storage* storage) noexcept : storage_(storage) {}
  template <class U>
  InStorage(InStorage<U> const& other) noexcept : storage_(other.storage()) {}

  T* allocate(std::size_t n) { return static_cast<T*>(storage_->allocateCounted(n * sizeof(T), alignof(T))); }
  void deallocate(T*, std::size_t) noexcept { storage_->releaseCounted(); }
  Storage* storage() const noexcept { return storage_; }

  template <class U>
  bool operator==(InStorage<U> const& other) const noexcept {
    return storage_ == other.storage();
  }
  template <class U>
  bool operator!=(InStorage<U> const& other) const noexcept {
    return storage_ != other.storage();
  }

 private:
  Storage* storage_;
};

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

// A node's text or an attribute's value: NUL-terminated bytes in the
// document's storage as read, or a String once set through the interface.
// A String is only made when one is asked for.
class Text {
 public:
  Text() : data_(nullptr), owned_(hollowString()) {}
  explicit Text(String const& text) : data_(nullptr), owned_(text) {}
  explicit Text(char const* data) : data_(data), owned_(hollowString()) {}

  String str() const { return data_ ? String(data_) : owned_; }
  char const* cstr() const { return data_ ? data_ : owned_.cstr(); }

 private:
  char const* data_;
  String owned_;
};

// A name: one of the document's shared names as read (see Storage), or a
// String of its own once set through the interface.
class Label {
 public:
  explicit Label(String const* shared) : shared_(shared), owned_(hollowString()) {}
  explicit Label(String const& text) : shared_(nullptr), owned_(text) {}

  String const& str() const { return shared_ ? *shared_ : owned_; }

 private:
  String const* shared_;
  String owned_;
};

struct Attribute {
  Label name;
  Text value;
};

// A small array whose items either sit in a document's storage (cut to the
// exact size when read) or in a block of its own on the heap. It moves to
// the heap when it must grow; storage memory is never freed by it.
template <class T>
class Slab {
 public:
  Slab() = default;
  Slab(Slab const&) = delete;
  Slab& operator=(Slab const&) = delete;
  ~Slab() {
    destroy();
    if (heap_) ::operator delete(items_);
  }

  // Takes room for `room` items that lives elsewhere (in a storage); the
  // items are then added with emplace().
  void place(void* room, unsigned int capacity) {
    clear();
    if (heap_) ::operator delete(items_);
    items_ = static_cast<T*>(room);
    capacity_ = capacity;
    heap_ = false;
  }

  unsigned int size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T const* begin() const { return items_; }
  T const* end() const { return items_ + size_; }
  T* begin() { return items_; }
  T* end() { return items_ + size_; }
  T const& operator[](unsigned int i) const { return items_[i]; }
  T& operator[](unsigned int i) { return items_[i]; }

  template <class... A>
  T& emplace(A&&... args) {
    if (size_ == capacity_) grow();
    T* item = new (items_ + size_) T(std::forward<A>(args)...);
    ++size_;
    return *item;
  }

  void erase(unsigned int i) {
    for (; i + 1 < size_; ++i) items_[i] = std::move(items_[i + 1]);
    items_[--size_].~T();
  }

  void clear() { destroy(); }

 private:
  void destroy() {
    while (size_ > 0) items_[--size_].~T();
  }

  void grow() {
    // From one item up: most elements have one or two attributes and
    // children, and a tree built by calls should stay as compact as one read.
    unsigned int const wanted = capacity_ ? capacity_ * 2 : 1;
    T* fresh = static_cast<T*>(::operator new(sizeof(T) * wanted));
    for (unsigned int i = 0; i < size_; ++i) {
      new (fresh + i) T(std::move(items_[i]));
      items_[i].~T();
    }
    if (heap_) ::operator delete(items_);
    items_ = fresh;
    capacity_ = wanted;
    heap_ = true;
  }

  T* items_ = nullptr;
  unsigned int size_ = 0;
  unsigned int capacity_ = 0;
  bool heap_ = false;
};

// The lines of the output are built in one of these.
typedef __::ByteBuffer<> Bytes;

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

}  // namespace

namespace impl {

// What toString() gives: the node's write() at indent 0, collected.
String writtenText(INode const& node, unsigned int step) {
  String text;
  StringOutput out(text);
  node.write(out, step, 0);
  out.finish();
  return text;
}

class DataNode final : public INode, public IChild {
 public:
  explicit DataNode(String const& text) : text_(text) {}
  explicit DataNode(Text const& text) : text_(text) {}

  boost::shared_ptr<IElement> parent() const override { return parent_.lock(); }
  boost::shared_ptr<INode> clone() const override { return boost::make_shared<DataNode>(text_.str()); }

  bool write(func::IIO& out, unsigned int step, unsigned int indent) const override {
    Writer w(out, step);
    return writeTo(w, indent);
  }

  String toString(unsigned int step) const override { return writtenText(*this, step); }

  String text() const override { return text_.str(); }
  void setText(String const& text) override { text_ = Text(text); }
  void setParent(boost::weak_ptr<IElement> parent) override { parent_ = std::move(parent); }

  bool writeTo(Writer& w, unsigned int indent) const {
    Bytes& line = w.begin(indent);
    appendEscaped(line, text_.cstr());
    line.append('\n');
    return w.emit();
  }

 private:
  friend class TreeBuilder;
  Text text_;
  boost::weak_ptr<IElement> parent_;
};

class ElementNode final : public IElement, public IChild, public boost::enable_shared_from_this<ElementNode> {
 public:
  explicit ElementNode(String const& name) : name_(name) {}
  explicit ElementNode(String const* name) : name_(name) {}

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
    boost::shared_ptr<ElementNode> copy = boost::make_shared<ElementNode>(name_.str());
    for (Attribute const& a : attributes_) copy->attributes_.emplace(Attribute{Label(a.name.str()), Text(a.value.str())});
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

  String toString(unsigned int step) const override { return writtenText(*this, step); }

  String text() const override {
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

  void setText(String const& text) override {
    removeChildren();
    addText(text);
  }

  // --- IChild

  void setParent(boost::weak_ptr<IElement> parent) override { parent_ = std::move(parent); }

  // --- IElement

  String name() const override { return name_.str(); }
  void setName(String const& name) override { name_ = Label(name); }

  // A new array of the children: the element keeps its own.
  TArray<boost::shared_ptr<INode>> children() const override {
    TArray<boost::shared_ptr<INode>> copy;
    if (children_.empty()) return copy;
    copy.resize(children_.size(), boost::shared_ptr<INode>());
    for (unsigned int i = 0, n = children_.size(); i < n; ++i) copy(i) = children_[i];
    return copy;
  }

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
    children_.emplace(element);
    return element;
  }

  void addChild(boost::shared_ptr<INode> node) override {
    ZU_ASSERT(node, "node");
    adopt(node->clone(), selfLink());
  }

  boost::shared_ptr<INode> addText(String const& text) override {
    boost::shared_ptr<DataNode> node = boost::make_shared<DataNode>(text);
    node->setParent(selfLink());
    children_.emplace(node);
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

  TArray<StringPair> attributes() const override {
    TArray<StringPair> list;
    if (attributes_.empty()) return list;
    list.resize(attributes_.size(), StringPair{hollowString(), hollowString()});
    for (unsigned int i = 0, n = attributes_.size(); i < n; ++i)
      list(i) = StringPair{attributes_[i].name.str(), attributes_[i].value.str()};
    return list;
  }

  void setAttributes(TArray<StringPair> const& attributes) override {
    // Copies first: the list may be this element's own.
    Slab<Attribute> fresh;
    for (StringPair const& pair : attributes) fresh.emplace(Attribute{Label(pair.name), Text(pair.value)});
    attributes_.clear();
    for (Attribute& a : fresh) attributes_.emplace(std::move(a));
  }

  String attribute(String const& name, String const& defaultValue, bool ignoreCase) const override {
    for (Attribute const& a : attributes_)
      if (a.name.str().compare(name, ignoreCase) == 0) return a.value.str();
    return defaultValue;
  }

  void setAttribute(String const& name, String const& value, bool ignoreCase) override {
    removeAttribute(name, ignoreCase);
    attributes_.emplace(Attribute{Label(name), Text(value)});
  }

  void removeAttribute(String const& name, bool ignoreCase) override {
    for (unsigned int i = attributes_.size(); i-- > 0;)
      if (attributes_[i].name.str().compare(name, ignoreCase) == 0) attributes_.erase(i);
  }

  TArray<boost::shared_ptr<IElement>> find(String const& path, bool ignoreCase) const override {
    TArray<String> const pieces = path.tokenise('/');
    TArray<boost::shared_ptr<IElement>> found;
    IElement const* from = this;
    for (String const& piece : pieces) {
      TArray<boost::shared_ptr<IElement>> next;
      if (ElementNode const* own = asElement(from))
        own->collect(piece, ignoreCase, next);
      else
        collect(from->children(), piece, ignoreCase, next);
      found = next;
      if (found.empty()) break;
      from = found[0].get();
    }
    return found;
  }

  bool writeTo(Writer& w, unsigned int indent) const {
    Bytes& line = w.begin(indent);
    line.append('<');
    appendRaw(line, name_.str());
    for (Attribute const& a : attributes_) {
      line.append(' ');
      appendRaw(line, a.name.str());
      line.append("=\"", 2);
      appendEscaped(line, a.value.cstr(), attributeEscapes);
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
    appendRaw(close, name_.str());
    close.append(">\n", 2);
    return w.emit();
  }

 private:
  friend class TreeBuilder;

  boost::weak_ptr<IElement> selfLink() {
    return boost::weak_ptr<IElement>(boost::shared_ptr<IElement>(shared_from_this()));
  }

  // Appends `node` as a child with this element (`self`) as its parent.
  void adopt(boost::shared_ptr<INode> node, boost::weak_ptr<IElement> const& self) {
    ZU_ASSERT(node, "node");
    if (IChild* child = link(node.get())) child->setParent(self);
    children_.emplace(std::move(node));
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

  // Moves the children to the end of `to`, leaving none.
  void takeChildren(std::vector<boost::shared_ptr<INode>>& to) {
    for (boost::shared_ptr<INode>& child : children_) to.push_back(std::move(child));
    children_.clear();
  }

  // The direct child elements called `name`, in order, appended to `to`.
  void collect(String const& name, bool ignoreCase, TArray<boost::shared_ptr<IElement>>& to) const {
    for (boost::shared_ptr<INode> const& child : children_) {
      ZU_ASSERT(child, "node");
      if (ElementNode const* element = asElement(child.get())) {
        if (element->name_.str().compare(name, ignoreCase) == 0) to.append(boost::static_pointer_cast<ElementNode>(child));
      } else if (!asData(child.get())) {
        collectForeign(child, name, ignoreCase, to);
      }
    }
  }
  static void collect(TArray<boost::shared_ptr<INode>> const& children, String const& name, bool ignoreCase,
                      TArray<boost::shared_ptr<IElement>>& to) {
    for (boost::shared_ptr<INode> const& child : children) {
      ZU_ASSERT(child, "node");
      if (ElementNode const* element = asElement(child.get())) {
        if (element->name_.str().compare(name, ignoreCase) == 0) to.append(boost::static_pointer_cast<ElementNode>(child));
      } else if (!asData(child.get())) {
        collectForeign(child, name, ignoreCase, to);
      }
    }
  }
  static void collectForeign(boost::shared_ptr<INode> const& child, String const& name, bool ignoreCase,
                             TArray<boost::shared_ptr<IElement>>& to) {
    boost::shared_ptr<IElement> other = boost::dynamic_pointer_cast<IElement>(child);
    if (other && other->name().compare(name, ignoreCase) == 0) to.append(other);
  }

  Label name_;
  boost::weak_ptr<IElement> parent_;
  Slab<Attribute> attributes_;
  Slab<boost::shared_ptr<INode>> children_;
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

struct TreeBuilder::State {
  struct Frame {
    ElementNode* element;  // held just before `first` in `pending`, or as the root
    std::size_t first;     // where its children start in `pending`
  };
  // A slot of the name table: empty while `text` is null.
  struct Name {
    std::size_t hash = 0;
    String const* text = nullptr;
    char const* key = nullptr;  // text's bytes
    std::size_t length = 0;
  };

  ~State() { dropStorage(); }

  void dropStorage() {
    if (storage) storage->close();
    storage = nullptr;
  }

  // The one String of this document for `name`, kept by the storage. The
  // table has a bound, so that a document of ever new names does not grow
  // it without end; names past it get a String each.
  String const* intern(char const* name) {
    std::size_t hash = 14695981039346656037ull;
    char const* end = name;
    for (; *end; ++end) hash = (hash ^ static_cast<unsigned char>(*end)) * 1099511628211ull;
    std::size_t const length = static_cast<std::size_t>(end - name);
    if (names.empty()) names.resize(64);
    for (;;) {
      std::size_t const mask = names.size() - 1;
      for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        Name& slot = names[i];
        if (!slot.text) {
          if (used >= 4096) return storage->name(name, length);
          if ((used + 1) * 2 > names.size()) break;
          slot.text = storage->name(name, length);
          slot.key = slot.text->cstr();
          slot.length = length;
          slot.hash = hash;
          ++used;
          return slot.text;
        }
        if (slot.hash == hash && slot.length == length && std::memcmp(slot.key, name, length) == 0) return slot.text;
      }
      std::vector<Name> larger(names.size() * 2);
      for (Name const& old : names) {
        if (!old.text) continue;
        std::size_t i = old.hash & (larger.size() - 1);
        while (larger[i].text) i = (i + 1) & (larger.size() - 1);
        larger[i] = old;
      }
      names.swap(larger);
    }
  }

  Storage* storage = nullptr;
  boost::shared_ptr<ElementNode> root;
  std::vector<Frame> open;
  std::vector<boost::shared_ptr<INode>> pending;  // children of the open elements, in order
  std::vector<Name> names;
  std::size_t used = 0;
};

TreeBuilder::TreeBuilder() : state_(new State) {}
TreeBuilder::~TreeBuilder() = default;

void TreeBuilder::start(char const* name, char const* const* attributes) {
  State& s = *state_;
  flush();
  if (!s.storage) s.storage = Storage::New();
  Storage& storage = *s.storage;
  boost::shared_ptr<ElementNode> element =
      boost::allocate_shared<ElementNode>(InStorage<ElementNode>(s.storage), s.intern(name));
  unsigned int count = 0;
  while (attributes[2 * count]) ++count;
  if (count) {
    element->attributes_.place(storage.allocate(sizeof(Attribute) * count, alignof(Attribute)), count);
    for (char const* const* a = attributes; a[0]; a += 2) {
      std::size_t const length = std::strlen(a[1]);
      element->attributes_.emplace(
          Attribute{Label(s.intern(a[0])), Text(storage.copy(a[1], length))});
    }
  }
  ElementNode* const raw = element.get();
  if (s.open.empty())
    s.root = std::move(element);
  else
    s.pending.push_back(std::move(element));
  s.open.push_back(State::Frame{raw, s.pending.size()});
}

void TreeBuilder::end() {
  State& s = *state_;
  flush();
  if (s.open.empty()) return;
  State::Frame& frame = s.open.back();
  std::size_t const count = s.pending.size() - frame.first;
  if (count) {
    // The children get their parent link now that they are all known: one
    // weak count each, the last one taking over the link made here.
    IElement* const element = frame.element;
    boost::weak_ptr<IElement> link = frame.first ? boost::weak_ptr<IElement>(s.pending[frame.first - 1], element)
                                                 : boost::weak_ptr<IElement>(s.root, element);
    Slab<boost::shared_ptr<INode>>& children = frame.element->children_;
    typedef boost::shared_ptr<INode> Child;
    children.place(s.storage->allocate(sizeof(Child) * count, alignof(Child)), static_cast<unsigned int>(count));
    std::size_t const last = s.pending.size() - 1;
    for (std::size_t i = frame.first; i <= last; ++i) {
      INode* const node = s.pending[i].get();
      boost::weak_ptr<IElement>& parent = ElementNode::asElement(node) ? static_cast<ElementNode*>(node)->parent_
                                                                        : static_cast<DataNode*>(node)->parent_;
      if (i == last)
        parent = std::move(link);
      else
        parent = link;
      children.emplace(std::move(s.pending[i]));
    }
    s.pending.resize(frame.first);
  }
  s.open.pop_back();
}

void TreeBuilder::flush() {
  State& s = *state_;
  if (text_.empty()) return;
  std::size_t length = text_.size();
  while (length && isBlank(text_[length - 1])) --length;
  if (length && !s.open.empty()) {
    char const* copy = s.storage->copy(text_.data(), length);
    boost::shared_ptr<DataNode> node = boost::allocate_shared<DataNode>(
        InStorage<DataNode>(s.storage), Text(copy));
    s.pending.push_back(std::move(node));
  }
  text_.clear();
}

boost::shared_ptr<IElement> TreeBuilder::root() const { return state_->root; }

void TreeBuilder::clear() {
  State& s = *state_;
  s.open.clear();
  s.pending.clear();
  s.root.reset();
  if (text_.capacity() > 65536) std::string().swap(text_);
  text_.clear();
  s.names.clear();
  s.used = 0;
  s.dropStorage();
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
