// The storage of a document read from text: the blocks its nodes, texts,
// attribute values and names are cut from; the cache that hands freed
// blocks to the next document; and the table that makes the equal names of
// one document a single String.
#ifndef ZU_IMPL_XML_STORAGE_H
#define ZU_IMPL_XML_STORAGE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include <zu/string.h>

#include "xml/limits.h"

namespace zu {
namespace xml {
namespace impl {

// Freed storage blocks kept for the next document, up to a few megabytes:
// without them every document would take its larger blocks fresh from the
// system and fault each of their pages in again.
class BlockCache {
 public:
  // Keeps blocks of `smallest` bytes or more, up to `limit` bytes in all.
  BlockCache(std::size_t smallest, std::size_t limit) : smallest_(smallest), limit_(limit) {}
  // Frees the blocks it keeps.
  ~BlockCache();
  BlockCache(BlockCache const&) = delete;
  BlockCache& operator=(BlockCache const&) = delete;

  // The cache of every document: blocks of 64 KB and more, 4 MB in all.
  // (None under the sanitizers, which should see every block freed.)
  static BlockCache& instance();

  // A kept block of exactly `size` bytes, or null. It no longer counts
  // against the limit.
  void* take(std::size_t size);

  // Keeps `block` (from malloc) when there is room; false when the caller
  // must free it.
  bool give(void* block, std::size_t size);

 private:
  struct Kept {
    void* block;
    std::size_t size;
  };
  std::size_t const smallest_;
  std::size_t const limit_;
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
  ~Storage();

  // The front of every block: the chain and the block's size, padded so
  // that what follows is aligned for anything.
  struct alignas(std::max_align_t) Header {
    void* next;
    std::size_t size;
  };

  void* grow(std::size_t size, std::size_t align);

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

// The names of one document being read, each made a String once (kept by
// the document's storage) and handed out again for every later use.
class NameTable {
 public:
  // The one String of this document for `name`, kept by `storage`. The
  // table has a bound, so that a document of ever new names does not grow
  // it without end; names past it get a String each. A name longer than
  // textLimit throws std::length_error.
  String const* intern(Storage& storage, char const* name) {
    // FNV-1a in 64 bits on every system; a 32-bit size_t keeps the low half.
    std::uint64_t wide = 14695981039346656037ull;
    char const* end = name;
    for (; *end; ++end) wide = (wide ^ static_cast<unsigned char>(*end)) * 1099511628211ull;
    std::size_t const hash = static_cast<std::size_t>(wide);
    std::size_t const length = static_cast<std::size_t>(end - name);
    if (length > textLimit) throw std::length_error("name past the limit");
    if (names_.empty()) names_.resize(64);
    for (;;) {
      std::size_t const mask = names_.size() - 1;
      for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        Name& slot = names_[i];
        if (!slot.text) {
          if (used_ >= 4096) return storage.name(name, length);
          if ((used_ + 1) * 2 > names_.size()) break;
          slot.text = storage.name(name, length);
          slot.key = slot.text->cstr();
          slot.length = length;
          slot.hash = hash;
          ++used_;
          return slot.text;
        }
        if (slot.hash == hash && slot.length == length && std::memcmp(slot.key, name, length) == 0) return slot.text;
      }
      grow();
    }
  }

  // Forgets every name (for the next document).
  void clear() {
    names_.clear();
    used_ = 0;
  }

 private:
  // A slot of the table: empty while `text` is null.
  struct Name {
    std::size_t hash = 0;
    String const* text = nullptr;
    char const* key = nullptr;  // text's bytes
    std::size_t length = 0;
  };

  // Doubles the table.
  void grow();

  std::vector<Name> names_;
  std::size_t used_ = 0;
};

}  // namespace impl
}  // namespace xml
}  // namespace zu

#endif
