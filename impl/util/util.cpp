// The byte queues of the utilities: the pipe buffer, the circular buffer
// and the buffered reader with its line splitting.
#include <zu/bytearray.h>
#include <zu/util.h>

#include <boost/make_shared.hpp>
#include <cstring>

#include "core/assertion.h"
#include "core/line_end.h"
#include "core/sizes.h"

namespace zu {
namespace util {

bool IBufferedReader::extractLine(void const* buffer, unsigned int size, unsigned int& lineLength,
                                  unsigned int& consumed) {
  ZU_ASSERT(buffer, "buffer");
  return __::findLineEnd(buffer, size, lineLength, consumed);
}

namespace impl {

namespace {

// Copies `n` bytes to `to`, or writes n zero bytes when `from` is null.
void copyOrZero(unsigned char* to, void const* from, unsigned int n) {
  if (from)
    std::memcpy(to, from, n);
  else
    std::memset(to, 0, n);
}

}  // namespace

// The queued bytes are bytes_[head_, head_ + size_). Reads advance head_
// instead of moving the rest to the front each time, so draining a long
// queue in small reads stays linear; the bytes move to the front only when
// a write needs the room behind them or the queue is resized.
class PipeBuffer : public IPipeBuffer, public func::IIO {
 public:
  func::IIO* toIO() override { return this; }

  void clear() override {
    bytes_ = ByteArray();
    head_ = 0;
    size_ = 0;
  }

  unsigned int size() const override { return size_; }
  bool empty() const override { return size_ == 0; }

  void resize(unsigned int size) override { resize(size, 0); }

  void resize(unsigned int size, unsigned char fill) override {
    compact();
    bytes_.resize(size);
    // New queue bytes get `fill`, also where the storage already reached
    // (stale bytes of earlier reads must not reappear).
    if (size > size_) std::memset(bytes_.getBuffer(size) + size_, fill, size - size_);
    size_ = size;
  }

  unsigned char* data() override { return size_ ? bytes_.getBuffer(0) + head_ : bytes_.getBuffer(0); }

  unsigned int write(void const* data, unsigned int size) override {
    // The queue's size is an unsigned int: a full queue takes what fits.
    if (!__::sumFits(size_, size, __::maxSize)) size = static_cast<unsigned int>(__::maxSize - size_);
    if (size == 0) return 0;
    unsigned int const room = bytes_.size() - head_ - size_;
    if (room < size) {
      compact();
      unsigned int const needed = size_ + size;
      if (bytes_.size() < needed) {
        // Grows by at least half, so a queue built in small writes costs
        // linear time.
        bytes_.resize(static_cast<unsigned int>(__::grownSize(bytes_.size(), needed, __::maxSize, 2)));
      }
    }
    copyOrZero(bytes_.getBuffer(0) + head_ + size_, data, size);
    size_ += size;
    return size;
  }

  unsigned int read(void* buffer, unsigned int size) override {
    unsigned int const m = size < size_ ? size : size_;
    if (m == 0) return 0;
    if (buffer) std::memcpy(buffer, bytes_.ptr() + head_, m);
    size_ -= m;
    head_ = size_ ? head_ + m : 0;
    return m;
  }

 private:
  void compact() {
    if (head_ == 0) return;
    unsigned char* b = bytes_.getBuffer(0);
    std::memmove(b, b + head_, size_);
    head_ = 0;
  }

  ByteArray bytes_;
  unsigned int head_ = 0;
  unsigned int size_ = 0;
};

class CircleBuffer : public ICircleBuffer, public func::IIO {
 public:
  explicit CircleBuffer(unsigned int capacity) : storage_(capacity) {}

  func::IIO* toIO() override { return this; }

  void clear() override {
    head_ = 0;
    count_ = 0;
  }

  unsigned int capacity() const override { return storage_.size(); }
  unsigned int size() const override { return count_; }
  bool empty() const override { return count_ == 0; }

  unsigned int write(void const* data, unsigned int size) override {
    unsigned int const capacity = storage_.size();
    unsigned int const free = capacity - count_;
    unsigned int const m = size < free ? size : free;
    if (m == 0) return 0;
    unsigned char* b = storage_.getBuffer(0);
    unsigned int const at = __::ringIndex(head_, count_, capacity);
    unsigned int const first = m < capacity - at ? m : capacity - at;
    unsigned char const* from = static_cast<unsigned char const*>(data);
    copyOrZero(b + at, from, first);
    copyOrZero(b, from ? from + first : nullptr, m - first);
    count_ += m;
    return m;
  }

  unsigned int read(void* buffer, unsigned int size) override {
    unsigned int const capacity = storage_.size();
    unsigned int const m = size < count_ ? size : count_;
    if (m == 0) return 0;
    if (buffer) {
      unsigned char const* b = storage_.ptr();
      unsigned int const first = m < capacity - head_ ? m : capacity - head_;
      unsigned char* to = static_cast<unsigned char*>(buffer);
      std::memcpy(to, b + head_, first);
      std::memcpy(to + first, b, m - first);
    }
    head_ = __::ringIndex(head_, m, capacity);
    count_ -= m;
    return m;
  }

 private:
  ByteArray storage_;
  unsigned int head_ = 0;
  unsigned int count_ = 0;
};

// The buffered bytes are buffer_[offset_, offset_ + available_).
class BufferedReader : public IBufferedReader {
 public:
  explicit BufferedReader(boost::shared_ptr<func::IIO> io) : io_(std::move(io)) { ZU_ASSERT(io_, "io"); }

  boost::shared_ptr<func::IIO> stream() const override { return io_; }

  int readByte() override {
    unsigned char byte;
    return read(&byte, 1) ? byte : -1;
  }

  unsigned int read(void* buffer, unsigned int size) override {
    ZU_ASSERT(buffer, "buffer");
    ZU_ASSERT(size > 0, "size > 0");
    if (available_ == 0) {
      if (size >= bypassSize) return io_->read(buffer, size);
      offset_ = 0;
      available_ = io_->read(buffer_.getBuffer(blockSize), blockSize);
      if (available_ == 0) return 0;
    }
    unsigned int const m = size < available_ ? size : available_;
    std::memcpy(buffer, buffer_.ptr() + offset_, m);
    offset_ += m;
    available_ -= m;
    return m;
  }

  bool readLine(String& line) override {
    // Where the search for a line end resumes: bytes already searched
    // are not searched again, except the last two, which may be the start
    // of a line end that the next read completes.
    unsigned int searched = 0;
    for (;;) {
      if (available_ > 0) {
        unsigned int const from = searched > 2 ? searched - 2 : 0;
        unsigned int lineLength, consumed;
        if (extractLine(buffer_.ptr() + offset_ + from, available_ - from, lineLength, consumed)) {
          take(line, from + lineLength, from + consumed);
          return true;
        }
        searched = available_;
      }
      // A line longer than the buffer's 32-bit size can hold fails like the
      // end of the stream; its bytes stay buffered for read().
      if (!__::sumFits(available_, blockSize, __::maxSize)) {
        line = String();
        return false;
      }
      // Move what is buffered to the front and read up to a block behind it.
      unsigned char* b = buffer_.getBuffer(available_ + blockSize);
      if (offset_ != 0) std::memmove(b, b + offset_, available_);
      offset_ = 0;
      unsigned int const got = io_->read(b + available_, blockSize);
      if (got == 0) {
        if (available_ == 0) {
          line = String();
          return false;
        }
        take(line, available_, available_);  // a last line without a line end
        return true;
      }
      available_ += got;
    }
  }

 private:
  static unsigned int const blockSize = 4096;
  static unsigned int const bypassSize = 256;

  void take(String& line, unsigned int length, unsigned int consumed) {
    // Into the line's own block when it is the sole owner and the block is
    // large enough; a line shared with a copy is detached first.
    char* text = line.getBuffer(length);
    std::memcpy(text, buffer_.ptr() + offset_, length);
    text[length] = 0;
    offset_ += consumed;
    available_ -= consumed;
  }

  boost::shared_ptr<func::IIO> const io_;
  ByteArray buffer_;
  unsigned int available_ = 0;
  unsigned int offset_ = 0;
};

}  // namespace impl

boost::shared_ptr<IPipeBuffer> IPipeBuffer::New() { return boost::make_shared<impl::PipeBuffer>(); }

boost::shared_ptr<ICircleBuffer> ICircleBuffer::New(unsigned int capacity) {
  ZU_ASSERT(capacity > 0, "capacity > 0");
  return boost::make_shared<impl::CircleBuffer>(capacity);
}

boost::shared_ptr<IBufferedReader> IBufferedReader::New(boost::shared_ptr<func::IIO> io) {
  return boost::make_shared<impl::BufferedReader>(std::move(io));
}

}  // namespace util
}  // namespace zu
