// The classes of the tree of zu::xml: text nodes, elements, the values
// they keep (texts and names that may lie in a document's storage, small
// arrays), and the stream that gathers written text into a String.
#ifndef ZU_IMPL_XML_NODES_H
#define ZU_IMPL_XML_NODES_H

#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <typeinfo>
#include <utility>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/weak_ptr.hpp>
#include <zu/xml.h>

#include "core/byte_buffer.h"
#include "xml/limits.h"

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

// A String that holds nothing at all (a moved-from one): its copies cost
// neither an allocation nor a count.
String const& hollowString();

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

  // The most items: what the unsigned int sizes of TArray count, less the
  // all-ones value.
  static constexpr unsigned int largest = 0xFFFFFFFE;

  // The capacity to grow to from `capacity`: from one item up (most
  // elements have one or two attributes and children, and a tree built by
  // calls should stay as compact as one read), doubling, but never past
  // `largest`; 0 when `capacity` is that already.
  static unsigned int grownCapacity(unsigned int capacity) {
    if (capacity >= largest) return 0;
    if (capacity == 0) return 1;
    return capacity > largest / 2 ? largest : capacity * 2;
  }

 private:
  void destroy() {
    while (size_ > 0) items_[--size_].~T();
  }

  void grow() {
    unsigned int const wanted = grownCapacity(capacity_);
    if (wanted == 0) throw std::length_error("more items than a slab holds");
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
// would measure the whole text again for every line. Output that would make
// the String longer than textLimit, or that memory cannot hold, fails it
// for good: nothing more is taken and the String stays as it was.
class StringOutput final : public func::IIO {
 public:
  explicit StringOutput(String& target) : target_(target) { fit(); }
  ~StringOutput() override { finish(); }
  StringOutput(StringOutput const&) = delete;
  StringOutput& operator=(StringOutput const&) = delete;

  // Not a source: fails the assertion "0".
  unsigned int read(void*, unsigned int) override;

  unsigned int write(void const* data, unsigned int size) override {
    if (!data || failed_) return 0;
    try {
      bytes_.append(static_cast<char const*>(data), size);
    } catch (std::length_error const&) {
      failed_ = true;
      return 0;
    } catch (std::bad_alloc const&) {
      failed_ = true;
      return 0;
    }
    return size;
  }

  // The tree's own nodes write their lines straight into this buffer, and
  // call fail() when it refuses one.
  Bytes& bytes() { return bytes_; }
  void fail() { failed_ = true; }

  // Appends what was gathered to the String; false, appending nothing,
  // when the output has failed.
  bool finish() {
    if (failed_) {
      bytes_.clear();
      return false;
    }
    if (bytes_.empty()) return true;
    unsigned int const had = target_.length();
    unsigned int const added = static_cast<unsigned int>(bytes_.size());
    char* text = target_.getBuffer(had + added);
    std::memcpy(text + had, bytes_.data(), added);
    text[had + added] = 0;
    bytes_.clear();
    fit();
    return true;
  }

 private:
  // The buffer may take what the String has room for.
  void fit() {
    std::size_t const had = target_.length();
    bytes_.limit(had < textLimit ? textLimit - had : 0);
  }

  String& target_;
  Bytes bytes_;
  bool failed_ = false;
};

// A text node: its text and the link to its parent.
class DataNode final : public INode, public IChild {
 public:
  explicit DataNode(String const& text) : text_(text) {}
  explicit DataNode(Text const& text) : text_(text) {}

  boost::shared_ptr<IElement> parent() const override;
  boost::shared_ptr<INode> clone() const override;
  bool write(func::IIO& out, unsigned int step, unsigned int indent) const override;
  String toString(unsigned int step) const override;
  String text() const override;
  void setText(String const& text) override;
  void setParent(boost::weak_ptr<IElement> parent) override;

  // The text as kept, for the writer.
  Text const& content() const { return text_; }

 private:
  friend class TreeBuilder;
  Text text_;
  boost::weak_ptr<IElement> parent_;
};

// An element: its name, attributes and children, and the link to its
// parent.
class ElementNode final : public IElement, public IChild, public boost::enable_shared_from_this<ElementNode> {
 public:
  typedef boost::shared_ptr<INode> Child;

  explicit ElementNode(String const& name) : name_(name) {}
  explicit ElementNode(String const* name) : name_(name) {}
  ~ElementNode() override;

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

  // --- INode

  boost::shared_ptr<IElement> parent() const override;
  boost::shared_ptr<INode> clone() const override;
  bool write(func::IIO& out, unsigned int step, unsigned int indent) const override;
  String toString(unsigned int step) const override;
  String text() const override;
  void setText(String const& text) override;

  // --- IChild

  void setParent(boost::weak_ptr<IElement> parent) override;

  // --- IElement

  String name() const override;
  void setName(String const& name) override;
  TArray<boost::shared_ptr<INode>> children() const override;
  void setChildren(TArray<boost::shared_ptr<INode>> const& nodes) override;
  boost::shared_ptr<IElement> addElement(String const& name) override;
  void addChild(boost::shared_ptr<INode> node) override;
  boost::shared_ptr<INode> addText(String const& text) override;
  bool removeChild(boost::shared_ptr<INode> node) override;
  TArray<StringPair> attributes() const override;
  void setAttributes(TArray<StringPair> const& attributes) override;
  String attribute(String const& name, String const& defaultValue, bool ignoreCase) const override;
  void setAttribute(String const& name, String const& value, bool ignoreCase) override;
  void removeAttribute(String const& name, bool ignoreCase) override;
  TArray<boost::shared_ptr<IElement>> find(String const& path, bool ignoreCase) const override;

  // The name, attributes and children as kept, for the writer.
  Label const& label() const { return name_; }
  Slab<Attribute> const& attributeList() const { return attributes_; }
  Slab<Child> const& childList() const { return children_; }

 private:
  friend class TreeBuilder;

  boost::weak_ptr<IElement> selfLink();
  // A new element of the same name and attributes, without children.
  boost::shared_ptr<ElementNode> copyAlone() const;
  // Appends `node` as a child with this element (`self`) as its parent.
  void adopt(boost::shared_ptr<INode> node, boost::weak_ptr<IElement> const& self);
  static void detach(INode* node);
  // Takes out every child; those held elsewhere live on without parent.
  void removeChildren();
  // Moves the children to the end of `to`, leaving none.
  void takeChildren(std::vector<boost::shared_ptr<INode>>& to);

  Label name_;
  boost::weak_ptr<IElement> parent_;
  Slab<Attribute> attributes_;
  Slab<Child> children_;
};

}  // namespace impl
}  // namespace xml
}  // namespace zu

#endif
