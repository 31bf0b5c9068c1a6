// ByteArray: reference-counted bytes shared on copy and copied on write,
// with the hexadecimal text forms.
#include <zu/bytearray.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include <boost/make_shared.hpp>

#include "core/sizes.h"
#include "core/text.h"

namespace zu {

namespace {

// Stub and count in one allocation; the destructor releases the block.
struct OwnedBytes : __::ByteArrayStub {
  OwnedBytes(unsigned char* d, unsigned int s) {
    data = d;
    size = s;
  }
  ~OwnedBytes() { std::free(data); }
  OwnedBytes(OwnedBytes const&) = delete;
  OwnedBytes& operator=(OwnedBytes const&) = delete;
};

// Takes ownership of `data`; releases it if the stub cannot be made.
boost::shared_ptr<__::ByteArrayStub> makeStub(unsigned char* data, unsigned int size) {
  try {
    return boost::make_shared<OwnedBytes>(data, size);
  } catch (...) {
    std::free(data);
    throw;
  }
}

// A block of exactly `size` bytes, null for 0.
unsigned char* allocate(unsigned int size) {
  if (size == 0) return nullptr;
  unsigned char* p = static_cast<unsigned char*>(std::malloc(size));
  if (!p) throw std::bad_alloc();
  return p;
}

using ::zu::__::hexValue;

}  // namespace

ByteArray::ByteArray() : stub_(makeStub(nullptr, 0)) {}

// New bytes are zeroed: callers may not rely on it, but it keeps the
// contents deterministic.
ByteArray::ByteArray(unsigned int size) : ByteArray(size, 0) {}

ByteArray::ByteArray(unsigned int size, unsigned char fill) {
  unsigned char* data = allocate(size);
  if (size) std::memset(data, fill, size);
  stub_ = makeStub(data, size);
}

ByteArray::ByteArray(String const& hex) {
  char const* text = hex.cstr();
  unsigned int const L = hex.length();
  unsigned int const size = L / 2 + L % 2;
  unsigned char* data = allocate(size);
  unsigned int in = 0, out = 0;
  bool valid = true;
  if (L % 2 == 1) {
    int v = hexValue(text[in++]);
    if (v < 0) valid = false;
    else data[out++] = static_cast<unsigned char>(v);
  }
  while (valid && in < L) {
    int hi = hexValue(text[in]);
    int lo = hexValue(text[in + 1]);
    if (hi < 0 || lo < 0) {
      valid = false;
      break;
    }
    data[out++] = static_cast<unsigned char>((hi << 4) | lo);
    in += 2;
  }
  if (!valid) {
    std::free(data);
    stub_ = makeStub(nullptr, 0);
    return;
  }
  stub_ = makeStub(data, size);
}

ByteArray::ByteArray(CopyOf, void const* data, unsigned int size) {
  if (!data) size = 0;  // nothing to copy from
  unsigned char* copy = allocate(size);
  if (size) std::memcpy(copy, data, size);
  stub_ = makeStub(copy, size);
}

ByteArray::ByteArray(ByteArray&& other) noexcept : stub_(std::move(other.stub_)) {}

ByteArray& ByteArray::operator=(ByteArray&& other) noexcept {
  stub_ = std::move(other.stub_);
  return *this;
}

unsigned int ByteArray::size() const { return stub_ ? stub_->size : 0; }

bool ByteArray::empty() const { return size() == 0; }

unsigned char const* ByteArray::ptr() const { return stub_ ? stub_->data : nullptr; }

int ByteArray::compare(ByteArray const& other) const {
  unsigned int const a = size(), b = other.size();
  if (a != b) return a < b ? -1 : 1;
  if (a == 0 || ptr() == other.ptr()) return 0;
  int d = std::memcmp(ptr(), other.ptr(), a);
  return d < 0 ? -1 : d > 0 ? 1 : 0;
}

String ByteArray::toHex() const {
  static char const digits[] = "0123456789abcdef";
  unsigned int const n = size();
  String result;
  if (n == 0) return result;
  // Two digits a byte: past 2 GiB the text would not fit a String.
  std::size_t const length = __::checkedSum(n, n, 0xFFFFFFFE, "size() <= 0x7FFFFFFF");
  char* out = result.getBuffer(static_cast<unsigned int>(length));
  unsigned char const* p = ptr();
  for (unsigned int i = 0; i < n; ++i) {
    out[2 * i] = digits[p[i] >> 4];
    out[2 * i + 1] = digits[p[i] & 0x0F];
  }
  return result;
}

void ByteArray::resize(unsigned int size) { resize(size, 0); }

void ByteArray::resize(unsigned int size, unsigned char fill) {
  unsigned int const old = this->size();
  if (stub_ && stub_.use_count() == 1) {
    if (size == old) return;
    if (size == 0) {
      std::free(stub_->data);
      stub_->data = nullptr;
      stub_->size = 0;
      return;
    }
    unsigned char* grown = static_cast<unsigned char*>(std::realloc(stub_->data, size));
    if (!grown) throw std::bad_alloc();  // the old block stays with the stub
    stub_->data = grown;
    stub_->size = size;
    if (size > old) std::memset(grown + old, fill, size - old);
    return;
  }
  // Shared (or moved from): a private copy even when the size stays, so
  // that the caller may write through it.
  unsigned char* data = allocate(size);
  unsigned int const keep = old < size ? old : size;
  if (keep) std::memcpy(data, stub_->data, keep);
  if (size > keep) std::memset(data + keep, fill, size - keep);
  stub_ = makeStub(data, size);
}

unsigned char* ByteArray::getBuffer(unsigned int size) { return getBuffer(size, 0); }

unsigned char* ByteArray::getBuffer(unsigned int size, unsigned char fill) {
  unsigned int const old = this->size();
  resize(size > old ? size : old, fill);
  return stub_->data;
}

}  // namespace zu
