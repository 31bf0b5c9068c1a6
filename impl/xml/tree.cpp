// Building a tree of zu::xml from a parser's events, in the storage of
// the document being read: see tree.h.
#include "xml/tree.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "xml/nodes.h"
#include "xml/storage.h"

namespace zu {
namespace xml {
namespace impl {

struct TreeBuilder::State {
  struct Frame {
    ElementNode* element;  // held just before `first` in `pending`, or as the root
    std::size_t first;     // where its children start in `pending`
  };

  ~State() { dropStorage(); }

  void dropStorage() {
    if (storage) storage->close();
    storage = nullptr;
  }

  // The one String of this document for `name` (see NameTable).
  String const* intern(char const* name) { return names.intern(*storage, name); }

  Storage* storage = nullptr;
  boost::shared_ptr<ElementNode> root;
  std::vector<Frame> open;
  std::vector<boost::shared_ptr<INode>> pending;  // children of the open elements, in order
  NameTable names;
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
      if (length > textLimit) throw std::length_error("attribute value past the limit");
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
  if (count > Slab<ElementNode::Child>::largest) throw std::length_error("more children than an element holds");
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
  s.dropStorage();
}

}  // namespace impl
}  // namespace xml
}  // namespace zu
