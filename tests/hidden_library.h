// Runs the current test again in a child process in which some shared
// libraries are hidden: the child gets a mount namespace of its own where
// each library file is covered by /dev/null, so the loader finds the file
// and refuses it ("file too short"). Needs root and unshare(1); the test
// is skipped where that is not possible.
//
//   TEST(Family, WorksWithoutItsLibrary) {
//     if (!zu_test::inHiddenChild()) {
//       zu_test::rerunWithHidden({"libfoo.so.1"});
//       return;
//     }
//     ... what the child checks ...
//   }
#ifndef ZU_TESTS_HIDDEN_LIBRARY_H
#define ZU_TESTS_HIDDEN_LIBRARY_H

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace zu_test {

inline bool inHiddenChild() { return std::getenv("ZU_TEST_HIDDEN_CHILD") != nullptr; }

// The file a library's versioned name resolves to in the system's folders;
// empty when it is not installed there.
inline std::string libraryFile(std::string const& soname) {
  char resolved[PATH_MAX];
  if (!soname.empty() && soname[0] == '/') return realpath(soname.c_str(), resolved) ? resolved : std::string();
  static char const* const folders[] = {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64",
                                        "/usr/lib64", "/lib", "/usr/lib", "/usr/local/lib"};
  for (char const* folder : folders) {
    std::string const path = std::string(folder) + "/" + soname;
    if (access(path.c_str(), F_OK) == 0 && realpath(path.c_str(), resolved)) return resolved;
  }
  return std::string();
}

inline std::string quoted(std::string const& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// Runs this test in a child with `sonames` (versioned names looked up in the
// system's folders, or absolute paths) hidden and expects it to pass;
// skips the test when a child cannot be set up.
inline void rerunWithHidden(std::initializer_list<std::string> sonames) {
  if (geteuid() != 0) GTEST_SKIP() << "hiding libraries needs root (mount namespaces)";
  if (std::system("unshare -m true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "unshare -m is not available here";
  char self[PATH_MAX];
  ssize_t const length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  std::string mounts;
  for (std::string const& soname : sonames) {
    std::string const file = libraryFile(soname);
    if (file.empty()) GTEST_SKIP() << soname << " is not installed, so there is nothing to hide";
    mounts += "mount --bind /dev/null " + quoted(file) + " || exit 77; ";
  }
  ::testing::TestInfo const* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string const filter = std::string(test->test_suite_name()) + "." + test->name();
  std::string const command = "unshare -m sh -c " + quoted(mounts + "ZU_TEST_HIDDEN_CHILD=1 exec " + quoted(self) +
                                                           " --gtest_filter=" + filter);
  int const status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << "the child died: " << command;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "the library could not be hidden: " << command;
  EXPECT_EQ(0, WEXITSTATUS(status)) << "the child failed: " << command;
}

}  // namespace zu_test

#endif
