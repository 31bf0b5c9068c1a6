// Arithmetic on 32-bit sizes, for the values and byte queues whose sizes
// are unsigned int: a sum or a growth that would pass the limit stops at
// the library's assertion or is cut to the limit, never wrapping to a small
// number that a short block would then be made for.
#ifndef ZU_IMPL_CORE_SIZES_H
#define ZU_IMPL_CORE_SIZES_H

#include <cstddef>
#include <cstdint>

#include "core/assertion.h"

namespace zu {
namespace __ {

// The largest size an unsigned int holds.
std::uint64_t const maxSize = 0xFFFFFFFF;

// Whether size + more stays within `limit`.
inline bool sumFits(std::uint64_t size, std::uint64_t more, std::uint64_t limit) {
  return size <= limit && more <= limit - size;
}

// size + more, which must stay within `limit`: the assertion `expression`
// otherwise.
inline std::size_t checkedSum(std::uint64_t size, std::uint64_t more, std::uint64_t limit, char const* expression) {
  ZU_ASSERT(sumFits(size, more, limit), expression);
  return static_cast<std::size_t>(size + more);
}

// The size a block of `current` bytes grows to when it must hold `needed`
// (needed <= limit): at least current + current / step (step 1 doubles,
// 2 adds half), so that a run of small growths costs linear time, but
// never past `limit`.
inline std::uint64_t grownSize(std::uint64_t current, std::uint64_t needed, std::uint64_t limit, unsigned int step) {
  std::uint64_t const grown = current + current / step;
  std::uint64_t const capped = grown < limit ? grown : limit;
  return needed > capped ? needed : capped;
}

// (head + offset) mod capacity for head < capacity and offset <= capacity,
// without forming head + offset, which passes 32 bits once the capacity
// does 2 GiB.
inline unsigned int ringIndex(unsigned int head, unsigned int offset, unsigned int capacity) {
  return head < capacity - offset ? head + offset : head - (capacity - offset);
}

}  // namespace __
}  // namespace zu

#endif
