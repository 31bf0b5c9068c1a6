// Per-thread objects of the library (ZU_THREAD_OBJECT) and the calls run
// when a thread ends: each thread gets its own object, and it is destroyed
// when its thread ends, whole, while the thread's other storage still
// holds. With mingw-w64 a plain thread_local object is destroyed after its
// storage was freed: the probe below then finds its own words overwritten.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../impl/platform/platform.h"

namespace {

unsigned const magic = 0x5A17C0DEu;

std::atomic<int> made{0};
std::atomic<int> destroyed{0};
std::atomic<int> damaged{0};

// Big enough to need a block of its own, marked in every word.
struct Probe {
  unsigned words[16];
  std::string text;
  Probe() : text(64, 'p') {
    for (unsigned& w : words) w = magic;
    ++made;
  }
  ~Probe() {
    bool whole = text == std::string(64, 'p');
    for (unsigned w : words) whole = whole && w == magic;
    if (!whole) ++damaged;
    ++destroyed;
  }
};

Probe& probe() {
  ZU_THREAD_OBJECT(Probe, object);
  return object;
}

bool waitFor(std::atomic<int> const& counter, int value) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (counter.load() < value) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

class ThreadObject : public ::testing::Test {
 protected:
  void SetUp() override {
    made = 0;
    destroyed = 0;
    damaged = 0;
  }
};

}  // namespace

TEST_F(ThreadObject, EachThreadHasItsOwnAndItGoesWholeWithTheThread) {
  // The threads hold their objects until all have one: a block freed by
  // an ended thread may be the next one's.
  std::vector<Probe*> seen(4, nullptr);
  std::atomic<int> holding{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&seen, &holding, i] {
      Probe& p = probe();
      EXPECT_EQ(&p, &probe());  // one per thread, made once
      p.words[0] = magic;
      seen[i] = &p;
      ++holding;
      EXPECT_TRUE(waitFor(holding, 4));
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(waitFor(destroyed, 4)) << destroyed.load();
  EXPECT_EQ(4, made.load());
  EXPECT_EQ(4, destroyed.load());
  EXPECT_EQ(0, damaged.load());
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_TRUE(seen[i] != seen[j] || seen[i] == nullptr);
}

TEST_F(ThreadObject, TheLibrarysOwnThreadsEndTheirsToo) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(zu::__::platform::startThread([](void*) { probe().text[0] = 'p'; }, nullptr, 0));
  }
  ASSERT_TRUE(waitFor(destroyed, 3)) << destroyed.load();
  EXPECT_EQ(3, made.load());
  EXPECT_EQ(0, damaged.load());
}

TEST(ThreadExit, CallsRunLastFirstAndMayAddMore) {
  static std::mutex lock;
  static std::vector<int> order;
  order.clear();
  std::thread([] {
    zu::__::platform::atThreadExit([](void*) {
      std::lock_guard<std::mutex> hold(lock);
      order.push_back(1);
    }, nullptr);
    zu::__::platform::atThreadExit([](void*) {
      {
        std::lock_guard<std::mutex> hold(lock);
        order.push_back(2);
      }
      static int three = 3;
      zu::__::platform::atThreadExit([](void* n) {
        std::lock_guard<std::mutex> hold(lock);
        order.push_back(*static_cast<int*>(n));
      }, &three);
    }, nullptr);
  }).join();
  std::lock_guard<std::mutex> hold(lock);
  EXPECT_EQ((std::vector<int>{2, 3, 1}), order);
}
