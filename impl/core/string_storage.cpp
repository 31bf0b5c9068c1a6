// The storage behind zu::String: stub blocks taken from a per-thread cache,
// and the text blocks with their growth.
#include "core/string_storage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/shared_library.h"
#include "platform/platform.h"

namespace zu {
namespace __ {
namespace storage {

namespace {

// Blocks for stubs, each holding the shared pointer's count and the stub,
// kept on a short per-thread list for reuse: texts are made and dropped in
// great numbers, and popping a block off this list costs far less than a
// round trip through malloc and free. A block released on another thread
// than the one that took it joins that thread's list. The list is bounded
// and emptied when its thread ends; blocks released after that (by later
// thread-local or static destructors) go straight back to free. Sanitizer
// builds use malloc for every block, so that a stub used after its release
// is still caught.
//
// The count is placed in the block by boost's shared_ptr(pointer, deleter,
// allocator) constructor, through an allocator that hands it the front of
// the block. Unlike allocate_shared, that builds the pointer without
// copying it, which costs two atomic operations on every String made.
// Boost's count block, pinned in StubAllocator::allocate: its table
// pointer and two 32-bit counts, padded to a pointer's alignment, then the
// stub pointer, the deleter (empty, but one padded byte) and the allocator
// (the block pointer). 40 bytes on 64-bit targets, 24 on 32-bit ones.
std::size_t const countRoom =
    (sizeof(void*) + 2 * sizeof(std::uint32_t) + alignof(void*) - 1) / alignof(void*) * alignof(void*) +
    3 * sizeof(void*);
std::size_t const stubBlockSize = countRoom + sizeof(OwnedStub);

struct StubBlockList {
  void* head;
  unsigned count;
  bool watched;  // the thread's exit will empty the list
  bool ended;    // the thread is past that point
};

// Initial-exec: the library is linked, not loaded late, and this list is
// touched by every String made and dropped; the general model would call
// into the dynamic loader each time.
ZU_FAST_THREAD_LOCAL StubBlockList stubBlockList;  // zero-initialised

StubBlockList& stubBlocks() { return stubBlockList; }

struct StubBlockListEnd {
  ~StubBlockListEnd() {
    StubBlockList& list = stubBlocks();
    list.ended = true;
    while (void* block = list.head) {
      list.head = *static_cast<void**>(block);
      std::free(block);
    }
    list.count = 0;
  }
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
bool const reuseBlocks = false;
#else
bool const reuseBlocks = true;
#endif

void* takeBlock() {
  StubBlockList& list = stubBlocks();
  void* block = reuseBlocks ? list.head : nullptr;
  if (block) {
    list.head = *static_cast<void**>(block);
    --list.count;
  } else if (!(block = std::malloc(stubBlockSize))) {
    throw std::bad_alloc();
  }
  return block;
}

void releaseBlock(void* block) {
  StubBlockList& list = stubBlocks();
  if (!reuseBlocks || list.count >= 256 || list.ended) return std::free(block);
  if (!list.watched) {
    list.watched = true;
    ZU_THREAD_OBJECT(StubBlockListEnd, end);
    (void)end;
  }
  *static_cast<void**>(block) = list.head;
  list.head = block;
  ++list.count;
}

// Ends the stub's life when the last String lets go; its block goes with
// the count (which sits at the block's front), once no weak count holds it.
struct StubDeleter {
  void operator()(OwnedStub* stub) const { stub->~OwnedStub(); }
};

// Hands boost the front of a block taken for one stub as the room for its
// count; releasing the count releases the whole block.
template <class T>
struct StubAllocator {
  using value_type = T;
  void* block;
  explicit StubAllocator(void* b) : block(b) {}
  template <class U>
  StubAllocator(StubAllocator<U> const& other) : block(other.block) {}

  T* allocate(std::size_t n) {
    // Fails to compile if boost's count block for a String stub is ever
    // other than the room kept for it in front of the stub.
    static_assert(sizeof(T) == countRoom, "a String stub block holds boost's count block and the stub");
    static_assert(alignof(T) <= alignof(std::max_align_t), "the count sits at the block's start");
    (void)n;
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t) { releaseBlock(p); }

  template <class U>
  bool operator==(StubAllocator<U> const& other) const { return block == other.block; }
  template <class U>
  bool operator!=(StubAllocator<U> const& other) const { return block != other.block; }
};

}  // namespace

boost::shared_ptr<StringStub> makeStub(char* text, std::size_t length, std::size_t capacity) {
  void* block;
  try {
    block = takeBlock();
  } catch (...) {
    std::free(text);
    throw;
  }
  // Neither the stub's constructor nor the count's can fail: the count's
  // room is the block's front, given out by StubAllocator.
  OwnedStub* stub = ::new (static_cast<char*>(block) + countRoom) OwnedStub(text, length, capacity);
  return boost::shared_ptr<StringStub>(stub, StubDeleter(), StubAllocator<OwnedStub>(block));
}

char* allocate(std::size_t bytes) {
  char* p = static_cast<char*>(std::malloc(bytes));
  if (!p) throw std::bad_alloc();
  return p;
}

namespace {

// A malloc'ed copy of `n` bytes plus a NUL, or null for n == 0.
char* duplicate(char const* text, std::size_t n) {
  if (n == 0) return nullptr;
  char* p = allocate(n + 1);
  std::memcpy(p, text, n);
  p[n] = 0;
  return p;
}

}  // namespace

void setCopy(StringStub& stub, char const* text, std::size_t n) {
  if (n == 0) return;
  ZU_ASSERT(n <= maxTextLength, "length <= 0xFFFFFFFE");
  OwnedStub& o = owned(stub);
  if (n < roomSize) {
    std::memcpy(o.room, text, n);
    o.room[n] = 0;
    o.text = o.room;
    o.capacity = roomSize;
  } else {
    o.text = duplicate(text, n);
    o.capacity = static_cast<unsigned int>(n + 1);
  }
  o.size = static_cast<unsigned int>(n);
}

boost::shared_ptr<StringStub> makeCopy(char const* text, std::size_t n) {
  if (n == 0) return boost::shared_ptr<StringStub>();  // the empty text needs no stub
  boost::shared_ptr<StringStub> stub = makeStub();
  setCopy(*stub, text, n);
  return stub;
}

char* resizeText(StringStub& stub, std::size_t bytes) {
  ZU_ASSERT(bytes <= maxSize, "length <= 0xFFFFFFFE");
  OwnedStub& o = owned(stub);
  if (!o.text || o.text == o.room) {
    if (bytes <= roomSize) {
      if (!o.text) o.room[0] = 0;
      o.capacity = roomSize;
      return o.text = o.room;
    }
    char* p = allocate(bytes);
    if (o.text) std::memcpy(p, o.room, roomSize);
    o.capacity = static_cast<unsigned int>(bytes);
    return o.text = p;
  }
  char* p = static_cast<char*>(std::realloc(o.text, bytes));
  if (!p) throw std::bad_alloc();  // the old block is still valid and owned
  o.capacity = static_cast<unsigned int>(bytes);
  return o.text = p;
}

char* growText(StringStub& stub, std::size_t bytes) {
  return resizeText(stub, static_cast<std::size_t>(grownSize(owned(stub).capacity, bytes, maxSize, 1)));
}

}  // namespace storage
}  // namespace __
}  // namespace zu
