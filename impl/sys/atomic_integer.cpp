// The atomic integer stands on std::atomic alone, the same on every system.
#include <zu/sys.h>

namespace zu {

AtomicInteger::AtomicInteger(int initial) : value_(initial) {}

AtomicInteger::AtomicInteger(AtomicInteger const& other) : value_(other.value_.load()) {}

AtomicInteger& AtomicInteger::operator=(AtomicInteger const& other) {
  value_.store(other.value_.load());
  return *this;
}

int AtomicInteger::add(int delta) {
  // Two's-complement wrap-around, as the processor's interlocked add does;
  // done on unsigned values because signed overflow is undefined in C++.
  unsigned int before = static_cast<unsigned int>(value_.fetch_add(delta));
  return static_cast<int>(before + static_cast<unsigned int>(delta));
}

int AtomicInteger::exchange(int value) { return value_.exchange(value); }

}  // namespace zu
