// A growable run of bytes built in small pieces, for text that is assembled
// once and then copied out whole (URLs being written, XML output lines).
#ifndef ZU_IMPL_CORE_BYTE_BUFFER_H
#define ZU_IMPL_CORE_BYTE_BUFFER_H

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace zu {
namespace __ {

// Holds up to `Inline` bytes inside the object before it takes memory from
// the heap, then grows geometrically. Leaner than std::string for this job:
// no terminator and no checks beyond the room left. (The hot members are
// always inlined: they run once or more per piece appended, in files large
// enough for the compiler to stop inlining of its own accord.)
//
// A buffer holds at most `largest` bytes, or less when limit() says so:
// what it holds ends up in a String or one block of a stream, whose sizes
// are unsigned int, with the all-ones value meaning "no limit". A request
// past the limit throws std::length_error and leaves the buffer as it was;
// memory running out throws std::bad_alloc.
template <std::size_t Inline = 0>
class ByteBuffer {
 public:
  static constexpr std::size_t largest = 0xFFFFFFFE;

  ByteBuffer() : data_(local()), end_(data_), room_(data_ + Inline) {}
  ~ByteBuffer() {
    if (data_ != local()) std::free(data_);
  }
  ByteBuffer(ByteBuffer const&) = delete;
  ByteBuffer& operator=(ByteBuffer const&) = delete;

  char const* data() const { return data_; }
  char* data() { return data_; }
  std::size_t size() const { return static_cast<std::size_t>(end_ - data_); }
  bool empty() const { return end_ == data_; }
  char back() const { return end_[-1]; }

  // An empty buffer may have no storage at all, which memcpy and memset
  // must not be given even for no bytes.
  [[gnu::always_inline]] void append(char const* bytes, std::size_t n) {
    if (n == 0) return;
    reserve(n);
    std::memcpy(end_, bytes, n);
    end_ += n;
  }
  [[gnu::always_inline]] void append(char c) {
    if (end_ == room_) grow(1);
    *end_++ = c;
  }
  [[gnu::always_inline]] void spaces(std::size_t n) {
    if (n == 0) return;
    reserve(n);
    std::memset(end_, ' ', n);
    end_ += n;
  }

  // Room for `extra` more bytes at the end: the caller writes up to that
  // many there and then commits how many it wrote.
  [[gnu::always_inline]] char* tail(std::size_t extra) {
    reserve(extra);
    return end_;
  }
  void commit(std::size_t n) { end_ += n; }

  void pop() { --end_; }
  void truncate(std::size_t n) { end_ = data_ + n; }
  void erasePrefix(std::size_t n) {
    std::memmove(data_, data_ + n, size() - n);
    end_ -= n;
  }
  void clear() { end_ = data_; }

  [[gnu::always_inline]] void reserve(std::size_t extra) {
    if (extra > static_cast<std::size_t>(room_ - end_)) grow(extra);
  }

  // Sets the most bytes the buffer may hold from now on (never above
  // `largest`, nor below what it holds already). Room it has past that is
  // given up.
  void limit(std::size_t most) {
    if (most > largest) most = largest;
    limit_ = most < size() ? size() : most;
    if (static_cast<std::size_t>(room_ - data_) > limit_) room_ = data_ + limit_;
  }

  // The capacity a buffer of `capacity` bytes, `used` of them taken, grows
  // to for `extra` more bytes when it may hold `most`: double, at least 256
  // and at least what is needed, but never past `most`. 0 when used +
  // extra is past `most`. Nothing here may wrap, whatever the width of
  // std::size_t.
  static std::size_t grownCapacity(std::size_t capacity, std::size_t used, std::size_t extra, std::size_t most) {
    if (used > most || extra > most - used) return 0;
    std::size_t const needed = used + extra;
    std::size_t want = capacity > most / 2 ? most : 2 * capacity;
    if (want < 256) want = most < 256 ? most : 256;
    return want < needed ? needed : want;
  }

 private:
  char* local() { return Inline ? local_.data() : nullptr; }

  void grow(std::size_t n) {
    std::size_t const used = size();
    std::size_t const want = grownCapacity(static_cast<std::size_t>(room_ - data_), used, n, limit_);
    if (want == 0) throw std::length_error("byte buffer past its limit");
    // Without inline room the storage is always the heap's (or none yet,
    // which realloc takes as well).
    bool const onHeap = Inline == 0 || data_ != local();
    char* const grown = static_cast<char*>(onHeap ? std::realloc(data_, want) : std::malloc(want));
    if (!grown) throw std::bad_alloc();
    if constexpr (Inline > 0) {
      if (!onHeap && used != 0) std::memcpy(grown, local_.data(), used);
    }
    data_ = grown;
    end_ = grown + used;
    room_ = grown + want;
  }

  std::array<char, Inline> local_;
  char* data_;
  char* end_;
  char* room_;
  std::size_t limit_ = largest;
};

}  // namespace __
}  // namespace zu

#endif
