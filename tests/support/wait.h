// Waiting in tests: a condition polled until it holds or a deadline passes,
// so that a test never sleeps for a fixed time and hopes.
#ifndef ZU_TESTS_SUPPORT_WAIT_H
#define ZU_TESTS_SUPPORT_WAIT_H

#include <chrono>
#include <thread>

namespace zu {
namespace test {

// True as soon as ready() holds; false when it still does not after limit.
// ready() is asked once more at the deadline, so a slow machine that got
// there just in time is not failed.
template <class Ready>
bool waitFor(Ready ready, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto const deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return ready();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// True when ready() still does not hold after limit: for asserting that
// something did not happen. The whole limit is spent only when the test
// passes; a fault shows as soon as ready() turns true.
template <class Ready>
bool staysFalse(Ready ready, std::chrono::milliseconds limit) {
  auto const deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return !ready();
}

}  // namespace test
}  // namespace zu

#endif
