#include <zu/array.h>
#include <zu/std.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <memory>
#include <type_traits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using zu::String;
using zu::StringPair;
using zu::TArray;

namespace {

std::vector<std::string> texts(TArray<String> const& a) {
  std::vector<std::string> out;
  for (String const& s : a) out.push_back(s.cstr());
  return out;
}

using V = std::vector<std::string>;

TArray<String> of(std::initializer_list<char const*> items) {
  TArray<String> a;
  for (char const* s : items) a.append(String(s));
  return a;
}

}  // namespace

TEST(TArrayEdit, AppendInsertErase) {
  TArray<String> a;
  EXPECT_TRUE(a.empty());
  a.insert(0, String("v"));
  EXPECT_EQ((V{"v"}), texts(a));
  a.insert(a.size(), String("w"));
  a.insert(1, String("m"));
  EXPECT_EQ((V{"v", "m", "w"}), texts(a));
  a.erase(0);
  EXPECT_EQ((V{"m", "w"}), texts(a));
  a.insert(1, of({"x", "y"}));
  EXPECT_EQ((V{"m", "x", "y", "w"}), texts(a));
  a.insert(4, TArray<String>());
  a.append(of({"z"}));
  EXPECT_EQ((V{"m", "x", "y", "w", "z"}), texts(a));
  a(0) = String("M");
  EXPECT_STREQ("M", a[0].cstr());
}

TEST(TArrayEdit, SelfReferencesAreSafe) {
  TArray<String> a = of({"p", "q"});
  a.append(a);
  EXPECT_EQ((V{"p", "q", "p", "q"}), texts(a));
  TArray<String> b = of({"p", "q"});
  b.insert(1, b);
  EXPECT_EQ((V{"p", "p", "q", "q"}), texts(b));
  TArray<String> c = of({"p", "q"});
  for (int i = 0; i < 20; ++i) c.append(c[0]);  // an element of itself, through regrowth
  EXPECT_EQ(22u, c.size());
  EXPECT_STREQ("p", c[21].cstr());
  c.insert(0, c[1]);
  EXPECT_STREQ("q", c[0].cstr());
}

TEST(TArrayEdit, ResizeAndClear) {
  TArray<int> a;
  a.resize(3, 7);
  EXPECT_EQ(3u, a.size());
  EXPECT_EQ(7, a[2]);
  a(0) = 1;
  TArray<int> shared = a;
  shared.resize(5, 9);
  EXPECT_EQ(3u, a.size());
  EXPECT_EQ(1, shared[0]);
  EXPECT_EQ(7, shared[2]);
  EXPECT_EQ(9, shared[4]);
  TArray<int> shrunk = a;
  shrunk.resize(1, 0);
  EXPECT_EQ(1u, shrunk.size());
  EXPECT_EQ(3u, a.size());

  TArray<int> other = a;
  other.clear();
  EXPECT_TRUE(other.empty());
  EXPECT_EQ(3u, a.size());
  a.clear();
  EXPECT_TRUE(a.empty());
}

TEST(TArrayCopyOnWrite, EveryMutatorDetaches) {
  TArray<String> original = of({"a"});
  TArray<String> copy = original;
  copy.append(String("b"));
  EXPECT_EQ((V{"a"}), texts(original));
  EXPECT_EQ((V{"a", "b"}), texts(copy));

  copy = original;
  copy(0) = String("z");
  copy = original;
  copy.insert(0, String("z"));
  copy = original;
  copy.erase(0);
  copy = original;
  copy.append(original);
  copy = original;
  copy.insert(1, original);
  EXPECT_EQ((V{"a"}), texts(original));

  TArray<StringPair> pairs;
  pairs.append(StringPair{String("n"), String("v")});
  TArray<StringPair> pairsCopy = pairs;
  pairsCopy(0).value = String("changed");
  EXPECT_STREQ("v", pairs[0].value.cstr());
  EXPECT_STREQ("n", pairsCopy[0].name.cstr());

  TArray<String> moved(std::move(copy));
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move)
  copy.append(String("again"));
  EXPECT_EQ(1u, copy.size());
  moved = std::move(copy);
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(0, copy.end() - copy.begin());
  copy.clear();
  copy.resize(2, String("r"));
  EXPECT_EQ((V{"r", "r"}), texts(copy));
}

// A failed assertion ends the process with SIGABRT after its text, as
// debuggers and core dumps expect: nothing the library loads at start
// replaces abort().
TEST(TArrayDeathTest, FailedAssertionEndsWithSIGABRT) {
  TArray<int> a;
#ifdef _WIN32
  // abort() ends a Windows process with exit code 3.
  EXPECT_EXIT(a[0], ::testing::ExitedWithCode(3), "Assertion failed: index < size\\(\\), file array.h");
#else
  EXPECT_EXIT(a[0], ::testing::KilledBySignal(SIGABRT), "Assertion failed: index < size\\(\\), file array.h");
#endif
}

TEST(TArrayDeathTest, IndexOutsideTheArrayAsserts) {
  TArray<int> a;
  a.append(1);
  EXPECT_DEATH(a[1], "Assertion failed: index < size\\(\\)");
  EXPECT_DEATH(a(5), "Assertion failed: index < size\\(\\)");
  EXPECT_DEATH(a.erase(1), "Assertion failed: index < size\\(\\)");
  EXPECT_DEATH(a.insert(2, 0), "Assertion failed: index <= size\\(\\)");
  EXPECT_DEATH(a.insert(2, a), "Assertion failed: index <= size\\(\\)");
  TArray<int> moved(std::move(a));
  EXPECT_DEATH(a[0], "Assertion failed: index < size\\(\\)");  // NOLINT(bugprone-use-after-move)
}

TEST(TArrayConcurrent, CopiesSharedBetweenThreads) {
  TArray<String> shared = of({"a", "b", "c"});
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TArray<String> mine = shared;
        mine.append(mine[i % 3]);
        mine(0).append('x');
        if (shared.size() != 3 || mine.size() != 4 || shared[0] != "a") ++bad;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, bad.load());
}

// --- beside the standard library ---------------------------------------------

TEST(TArrayStd, VectorBothWays) {
  std::vector<String> const source{String("a"), String("b")};
  TArray<String> a(source);
  EXPECT_EQ((V{"a", "b"}), texts(a));
  std::vector<String> back = a.toVector();
  ASSERT_EQ(2u, back.size());
  EXPECT_STREQ("b", back[1].cstr());
  back[0] = "changed";  // a copy: the array keeps its element
  EXPECT_STREQ("a", a[0].cstr());

  std::vector<int> numbers{3, 1, 2};
  int const* storage = numbers.data();
  TArray<int> moved(std::move(numbers));
  EXPECT_EQ(3u, moved.size());
  EXPECT_EQ(storage, &moved[0]);  // the vector's storage was taken over
  EXPECT_TRUE(TArray<int>(std::vector<int>()).empty());
}

TEST(TArrayStd, AppendByMoveTakesTheElement) {
  TArray<String> a;
  String big(std::string(100, 'm'));
  char const* text = big.cstr();
  a.append(std::move(big));
  EXPECT_EQ(text, a[0].cstr());
  EXPECT_TRUE(big.empty());  // NOLINT(bugprone-use-after-move)

  TArray<String> shared(a);
  shared.append(String("second"));  // detaches: the first holder keeps one element
  EXPECT_EQ(1u, a.size());
  EXPECT_EQ((V{std::string(100, 'm'), "second"}), texts(shared));
}

TEST(TArrayStd, EditDetachesOnceAndSorts) {
  TArray<int> a(std::vector<int>{5, 3, 9, 1});
  TArray<int> other(a);
  std::sort(a.edit().begin(), a.edit().end());
  EXPECT_EQ((std::vector<int>{1, 3, 5, 9}), a.toVector());
  EXPECT_EQ((std::vector<int>{5, 3, 9, 1}), other.toVector());
  int const* storage = &a[0];
  for (int& x : a.edit()) x *= 2;  // sole owner now: no second copy
  EXPECT_EQ(storage, &a[0]);
  EXPECT_EQ((std::vector<int>{2, 6, 10, 18}), a.toVector());
  EXPECT_EQ((std::vector<int>{5, 3, 9, 1}), other.toVector());
}

// Calls that compiled before keep their meaning; the vector forms are
// reached only on purpose.
TEST(TArrayStd, EarlierCallsKeepTheirMeaning) {
  static_assert(!std::is_constructible<TArray<int>, unsigned int>::value, "no size constructor");
  static_assert(!std::is_constructible<TArray<String>, int>::value, "no size constructor");
  static_assert(!std::is_convertible<std::vector<int>, TArray<int>>::value, "a vector converts only when asked");
  TArray<String> a;
  a.append("x");  // a literal still becomes one String element
  a.append(String("y"));
  EXPECT_EQ((V{"x", "y"}), texts(a));
  TArray<StringPair> pairs;
  pairs.append({String("n"), String("v")});
  EXPECT_STREQ("v", pairs[0].value.cstr());
}

// A std::shared_ptr made from a boost one keeps the object alive on its own.
TEST(TArrayStd, StdSharedKeepsTheObjectAlive) {
  struct Counted {
    int* alive;
    explicit Counted(int* a) : alive(a) { ++*alive; }
    ~Counted() { --*alive; }
  };
  int alive = 0;
  boost::shared_ptr<Counted> original(new Counted(&alive));
  std::shared_ptr<Counted> bridged = zu::toStdShared(original);
  EXPECT_EQ(original.get(), bridged.get());
  original.reset();
  EXPECT_EQ(1, alive);
  std::shared_ptr<Counted> second = bridged;
  bridged.reset();
  EXPECT_EQ(1, alive);
  second.reset();
  EXPECT_EQ(0, alive);
  EXPECT_FALSE(zu::toStdShared(boost::shared_ptr<Counted>()));
}
