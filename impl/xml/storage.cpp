// The storage of documents read from text: see storage.h.
#include "xml/storage.h"

#include <cstdlib>

namespace zu {
namespace xml {
namespace impl {

BlockCache::~BlockCache() {
  for (Kept const& kept : blocks_) std::free(kept.block);
}

BlockCache& BlockCache::instance() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  std::size_t const limit = 0;
#else
  std::size_t const limit = std::size_t(4) << 20;
#endif
  // Never destroyed: documents may end at exit.
  static BlockCache* const cache = new BlockCache(std::size_t(64) << 10, limit);
  return *cache;
}

void* BlockCache::take(std::size_t size) {
  if (limit_ == 0) return nullptr;
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

bool BlockCache::give(void* block, std::size_t size) {
  if (size < smallest_ || size > limit_) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_ + size > limit_) return false;
  blocks_.push_back(Kept{block, size});
  kept_ += size;
  return true;
}

Storage::~Storage() {
  for (String* name : names_) name->~String();
  BlockCache& cache = BlockCache::instance();
  while (void* block = blocks_) {
    Header const header = *static_cast<Header*>(block);
    blocks_ = header.next;
    if (!cache.give(block, header.size)) std::free(block);
  }
}

void* Storage::grow(std::size_t size, std::size_t align) {
  std::size_t const header = sizeof(Header);
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

void NameTable::grow() {
  std::vector<Name> larger(names_.size() * 2);
  for (Name const& old : names_) {
    if (!old.text) continue;
    std::size_t i = old.hash & (larger.size() - 1);
    while (larger[i].text) i = (i + 1) & (larger.size() - 1);
    larger[i] = old;
  }
  names_.swap(larger);
}

}  // namespace impl
}  // namespace xml
}  // namespace zu
