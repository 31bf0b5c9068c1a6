// zu::TArray<T>: an index-addressed sequence of values shared between copies
// until one of them changes (copy-on-write), and zu::StringPair.
#ifndef ZU_ARRAY_H
#define ZU_ARRAY_H

#include <cstdint>
#include <utility>
#include <vector>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/string.h>

namespace zu {

namespace __ {
template <class T>
struct TArrayStub {
  std::vector<T> items;
};

// Asserts that an array of `size` elements may take `more` (the size is an
// unsigned int).
inline void checkArrayGrowth(std::uint64_t size, std::uint64_t more) {
  if (size > 0xFFFFFFFFu || more > 0xFFFFFFFFu - size)
    assertionFailed("size() + n <= 0xFFFFFFFF", __FILE__, __LINE__);
}
}  // namespace __

// An index outside the array aborts through the library's assertion before
// any element is touched, and so does a change that would take the size
// past 0xFFFFFFFF. One handle must not be mutated while another thread uses
// that same handle; copies may live on different threads.
template <class T>
class TArray {
 public:
  TArray() : stub_(boost::make_shared<__::TArrayStub<T>>()) {}  // an empty array
  TArray(TArray const&) = default;  // shares the elements until either side changes
  TArray& operator=(TArray const&) = default;  // shares the elements until either side changes
  // A moved-from array (either way) is empty and usable.
  TArray(TArray&& other) noexcept : stub_(std::move(other.stub_)) {}
  // The elements of a standard vector, in order (moved in from an rvalue).
  explicit TArray(std::vector<T> const& items) : stub_(boost::make_shared<__::TArrayStub<T>>()) {
    __::checkArrayGrowth(0, items.size());
    stub_->items = items;
  }
  explicit TArray(std::vector<T>&& items) : stub_(boost::make_shared<__::TArrayStub<T>>()) {  // moved in
    __::checkArrayGrowth(0, items.size());
    stub_->items = std::move(items);
  }
  TArray& operator=(TArray&& other) noexcept {  // takes other's elements
    stub_ = std::move(other.stub_);
    return *this;
  }

  unsigned int size() const { return stub_ ? static_cast<unsigned int>(stub_->items.size()) : 0; }  // the element count
  bool empty() const { return size() == 0; }  // size() == 0

  // Read access; never detaches.
  T const& operator[](unsigned int index) const {
    if (index >= size()) __::assertionFailed("index < size()", __FILE__, __LINE__);
    return stub_->items[index];
  }
  // Write access to one element, after detaching.
  T& operator()(unsigned int index) {
    if (index >= size()) __::assertionFailed("index < size()", __FILE__, __LINE__);
    detach();
    return stub_->items[index];
  }

  TArray& append(T const& value) {
    // `value` may be an element of a shared stub, which another thread may
    // free as soon as this handle lets go of it: keep it until copied.
    __::checkArrayGrowth(size(), 1);
    boost::shared_ptr<__::TArrayStub<T>> old;
    if (!stub_ || stub_.use_count() != 1) old = stub_;
    detach();
    stub_->items.push_back(value);
    return *this;
  }
  TArray& append(T&& value) {
    __::checkArrayGrowth(size(), 1);
    boost::shared_ptr<__::TArrayStub<T>> old;  // as above
    if (!stub_ || stub_.use_count() != 1) old = stub_;
    detach();
    stub_->items.push_back(std::move(value));
    return *this;
  }
  // Appending an array to itself doubles it.
  TArray& append(TArray const& other) {
    boost::shared_ptr<__::TArrayStub<T>> keep = other.stub_;  // other may be *this
    __::checkArrayGrowth(size(), other.size());
    detach();
    if (keep) stub_->items.insert(stub_->items.end(), keep->items.begin(), keep->items.end());
    return *this;
  }
  // Inserts before `index`; index == size() appends.
  TArray& insert(unsigned int index, T const& value) {
    if (index > size()) __::assertionFailed("index <= size()", __FILE__, __LINE__);
    __::checkArrayGrowth(size(), 1);
    T copy(value);  // value may live in this array
    detach();
    stub_->items.insert(stub_->items.begin() + index, std::move(copy));
    return *this;
  }
  // Inserts other's elements before `index` (at most size()).
  TArray& insert(unsigned int index, TArray const& other) {
    if (index > size()) __::assertionFailed("index <= size()", __FILE__, __LINE__);
    boost::shared_ptr<__::TArrayStub<T>> keep = other.stub_;
    if (!keep || keep->items.empty()) return *this;
    __::checkArrayGrowth(size(), keep->items.size());
    std::vector<T> copy(keep->items);
    detach();
    stub_->items.insert(stub_->items.begin() + index, copy.begin(), copy.end());
    return *this;
  }
  // Removes the element at `index`.
  TArray& erase(unsigned int index) {
    if (index >= size()) __::assertionFailed("index < size()", __FILE__, __LINE__);
    detach();
    stub_->items.erase(stub_->items.begin() + index);
    return *this;
  }
  // Sole owner: empties in place (capacity kept). Shared: takes a new empty
  // stub, leaving the other holders' contents alone.
  void clear() {
    if (stub_ && stub_.use_count() == 1)
      stub_->items.clear();
    else
      stub_ = boost::make_shared<__::TArrayStub<T>>();
  }
  // Keeps the first `size` elements; new ones are copies of `fill`.
  void resize(unsigned int size, T const& fill) {
    if (stub_ && stub_.use_count() == 1) {
      stub_->items.resize(size, fill);
      return;
    }
    boost::shared_ptr<__::TArrayStub<T>> fresh = boost::make_shared<__::TArrayStub<T>>();
    fresh->items.assign(size, fill);
    unsigned int keep = this->size() < size ? this->size() : size;
    for (unsigned int i = 0; i < keep; ++i) fresh->items[i] = stub_->items[i];
    stub_ = fresh;
  }

  // Iteration over the elements, read-only.
  typename std::vector<T>::const_iterator begin() const { return items().begin(); }
  typename std::vector<T>::const_iterator end() const { return items().end(); }  // past the last element

  // The elements for changing in place: detaches once, when called, and
  // the range stays valid until the array is next changed through another
  // call or copied. `std::sort(a.edit().begin(), a.edit().end())` and
  // `for (T& x : a.edit())` work on a shared array without touching the
  // other holders' elements.
  struct Range {
    typename std::vector<T>::iterator first;  // the first element
    typename std::vector<T>::iterator last;   // past the last element
    typename std::vector<T>::iterator begin() const { return first; }  // the first element
    typename std::vector<T>::iterator end() const { return last; }  // past the last element
  };
  // The writable range described above.
  Range edit() {
    detach();
    return Range{stub_->items.begin(), stub_->items.end()};
  }

  // A copy of the elements as a standard vector.
  std::vector<T> toVector() const { return items(); }

 private:
  std::vector<T> const& items() const {
    static std::vector<T> const none;
    return stub_ ? stub_->items : none;
  }
  void detach() {
    if (!stub_)
      stub_ = boost::make_shared<__::TArrayStub<T>>();
    else if (stub_.use_count() != 1)
      stub_ = boost::make_shared<__::TArrayStub<T>>(*stub_);
  }

  boost::shared_ptr<__::TArrayStub<T>> stub_;
};

// A name and a value, as kept in TArray<StringPair>.
struct StringPair {
  String name;  // the name
  String value;  // the value
};

}  // namespace zu

#endif
