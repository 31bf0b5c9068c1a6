// The storage behind zu::String: the stub that holds a text's block, its
// kept length and size, with room for a short text inside it; the
// per-thread cache of stub blocks; and the text blocks with their growth.
// The text operations (string.cpp) build on these.
#ifndef ZU_IMPL_CORE_STRING_STORAGE_H
#define ZU_IMPL_CORE_STRING_STORAGE_H

#include <zu/string.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <boost/shared_ptr.hpp>

#include "core/sizes.h"

namespace zu {
namespace __ {
namespace storage {

// Texts of up to this many bytes, NUL included, live in the stub's own
// block, so a short text costs no allocation of its own. Longer texts are
// malloc'ed; `text` tells which (it points at `room` or elsewhere).
std::size_t const roomSize = 40;

// The length a stub keeps while getBuffer's caller may still be writing
// into the block: the text must be measured until the next mutator.
std::size_t const unknownLength = 0xFFFFFFFF;

// The longest text: its length is an unsigned int other than
// unknownLength, and its block (NUL included) still has an unsigned int
// size.
std::size_t const maxTextLength = 0xFFFFFFFE;

// The block size for a text of `length` + `more` bytes and its NUL; a
// text longer than maxTextLength stops at the assertion.
inline std::size_t textBytes(std::size_t length, std::uint64_t more) {
  return checkedSum(length, more, maxTextLength, "length <= 0xFFFFFFFE") + 1;
}

// The stub as allocated: one block holds the count and the stub, and the
// destructor releases a malloc'ed text, so a stub costs a single allocation.
struct OwnedStub : StringStub {
  char room[roomSize];
  OwnedStub(char* t, std::size_t n, std::size_t c) {
    text = t;
    size = static_cast<unsigned int>(n);
    capacity = static_cast<unsigned int>(c);
  }
  ~OwnedStub() {
    if (text != room) std::free(text);
  }
  OwnedStub(OwnedStub const&) = delete;
  OwnedStub& operator=(OwnedStub const&) = delete;
};

inline OwnedStub& owned(StringStub& stub) { return static_cast<OwnedStub&>(stub); }

inline OwnedStub const& owned(StringStub const& stub) { return static_cast<OwnedStub const&>(stub); }

inline bool inRoom(StringStub const& stub) { return stub.text == static_cast<OwnedStub const&>(stub).room; }

// Whether the stub exists and no other String shares it: only then may a
// change be made in place.
inline bool soleOwner(boost::shared_ptr<StringStub> const& stub) { return stub && stub.use_count() == 1; }

// The text's length: kept, or measured while getBuffer's block is out.
inline std::size_t lengthOf(StringStub const* stub) {
  if (!stub) return 0;
  OwnedStub const& o = owned(*stub);
  return o.size != unknownLength ? o.size : std::strlen(o.text);
}

inline void setLength(StringStub& stub, std::size_t n) { owned(stub).size = static_cast<unsigned int>(n); }

// A new stub owning `text` (malloc'ed, `capacity` bytes holding `length`
// bytes and a NUL, or null). If the stub cannot be made, the text is
// released before the failure propagates.
boost::shared_ptr<StringStub> makeStub(char* text = nullptr, std::size_t length = 0, std::size_t capacity = 0);

// A malloc'ed block of `bytes` bytes; std::bad_alloc when there is none.
char* allocate(std::size_t bytes);

// Sets the stub's text to a copy of `n` bytes of `text` (null for n == 0),
// in the stub's room when it fits. The stub's old text must be null.
void setCopy(StringStub& stub, char const* text, std::size_t n);

// A stub holding a copy of `n` bytes of `text`; none for n == 0.
boost::shared_ptr<StringStub> makeCopy(char const* text, std::size_t n);

// Gives the (solely owned) stub's text a block of at least `bytes` bytes,
// keeping its contents up to the old block's size. Returns the new text.
// The kept length is the caller's to set.
char* resizeText(StringStub& stub, std::size_t bytes);

// Grows the (solely owned) stub's block for `bytes` bytes (at most
// 2^32 - 1) to at least double its size, up to that limit, so that a run of
// appends costs linear time. Returns the new text.
char* growText(StringStub& stub, std::size_t bytes);

// Makes room for `bytes` bytes in the (solely owned) stub's block: the
// block as it is when it is large enough (inline, as every append asks),
// else growText's.
inline char* reserveText(StringStub& stub, std::size_t bytes) {
  OwnedStub& o = owned(stub);
  return bytes <= o.capacity ? o.text : growText(stub, bytes);
}

}  // namespace storage
}  // namespace __
}  // namespace zu

#endif
