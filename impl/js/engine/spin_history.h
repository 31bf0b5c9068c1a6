// The record a hand-over between two threads keeps of whether spinning
// for the other side has paid off.
#ifndef ZU_IMPL_JS_SPIN_HISTORY_H
#define ZU_IMPL_JS_SPIN_HISTORY_H

#include <atomic>

namespace zu {
namespace js {
namespace impl {

// Whether spinning for the other side of a hand-over has paid off lately.
// A spin in vain halves the credit and one that pays off adds to it, so a
// single slow task (a collection, a page fault, a preempted thread) costs
// one parking, while spins that keep ending in vain (the other thread has
// no processor, say on a loaded machine, or the tasks are long) stop after
// a few. Without credit a spin is still tried now and then, to notice when
// a processor has become free.
class SpinHistory {
 public:
  bool worthTrying() {
    if (credit_.load(std::memory_order_relaxed) > 0) return true;
    return (probes_.fetch_add(1, std::memory_order_relaxed) & 31) == 0;
  }
  void record(bool paidOff) {
    int const credit = credit_.load(std::memory_order_relaxed);
    credit_.store(paidOff ? (credit < 16 ? credit + 1 : 16) : credit / 2, std::memory_order_relaxed);
  }

 private:
  std::atomic<int> credit_{16};
  std::atomic<unsigned int> probes_{0};
};

}  // namespace impl
}  // namespace js
}  // namespace zu

#endif
