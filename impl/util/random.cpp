// Random numbers from ISAAC: generators of their own, and one shared by the
// whole process behind a lock.
#include <zu/util.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <ctime>
#include <mutex>

#include "util/isaac.h"
#include "util/startup.h"

namespace zu {
namespace util {
namespace impl {

class Random : public IRandom {
 public:
  explicit Random(unsigned int s) { seed(s); }

  void seed(unsigned int s) override {
    for (unsigned int i = 0; i < 256; ++i) isaac_.results[i] = s + i;
    isaac_.init();
    count_ = 256;
  }

  // Each batch is handed out from its last word to its first.
  unsigned int next() override {
    if (count_ == 0) {
      isaac_.generate();
      count_ = 256;
    }
    return isaac_.results[--count_];
  }

 private:
  Isaac isaac_;
  unsigned int count_ = 0;
};

namespace {

struct SharedRandom {
  // Taken first, at load: the clock seeds count milliseconds from here.
  std::chrono::steady_clock::time_point const loaded = std::chrono::steady_clock::now();
  std::mutex lock;
  Random generator;

  SharedRandom() : generator(clockSeed()) {}

  unsigned int clockSeed() const {
    auto const elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - loaded);
    return static_cast<unsigned int>(std::time(nullptr)) + static_cast<unsigned int>(elapsed.count());
  }
};

SharedRandom& sharedRandom() {
  static SharedRandom state;
  return state;
}

}  // namespace
}  // namespace impl

boost::shared_ptr<IRandom> IRandom::New() {
  return boost::make_shared<impl::Random>(impl::sharedRandom().clockSeed());
}

unsigned int IRandom::number() {
  impl::SharedRandom& state = impl::sharedRandom();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.generator.next();
}

}  // namespace util

void __::initializeRandom() { util::impl::sharedRandom(); }

}  // namespace zu
