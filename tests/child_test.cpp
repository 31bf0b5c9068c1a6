// The tests' child-process helper: this program runs itself as the child,
// which acts out the role named by ZU_CHILD_ROLE before any test starts.
#include "support/child.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

using zu::test::Child;
using zu::test::ChildOptions;

// The arguments as the system hands them to the program.
std::vector<std::string> systemArguments() {
  std::vector<std::string> out;
#ifdef _WIN32
  typedef LPWSTR*(WINAPI * Split)(LPCWSTR, int*);
  HMODULE const shell = ::LoadLibraryW(L"shell32.dll");
  Split const split = shell ? reinterpret_cast<Split>(reinterpret_cast<void*>(::GetProcAddress(shell, "CommandLineToArgvW"))) : nullptr;
  int count = 0;
  LPWSTR* const words = split ? split(::GetCommandLineW(), &count) : nullptr;
  for (int i = 0; words && i < count; ++i) {
    int const n = ::WideCharToMultiByte(CP_UTF8, 0, words[i], -1, nullptr, 0, nullptr, nullptr);
    std::string word(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, words[i], -1, &word[0], n, nullptr, nullptr);
    word.resize(word.size() - 1);
    out.push_back(word);
  }
  if (words) ::LocalFree(words);
#else
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string const raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t start = 0; start < raw.size();) {
    std::size_t const end = raw.find('\0', start);
    out.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
#endif
  return out;
}

// The child's side, before main: "exit N", "arguments" (each argument after
// the program as "<length>:<text>\n"), "environment" (ZU_CHILD_SET's value
// and whether ZU_CHILD_GONE is set), "copy" (standard input to standard
// output, "to error" on standard error), "sleep" (a minute).
int const childRole = [] {
  char const* const role = std::getenv("ZU_CHILD_ROLE");
  if (!role) return 0;
  std::string const r(role);
#ifdef _WIN32
  // Byte for byte, as on POSIX systems: no "\r" before each "\n".
  ::_setmode(::_fileno(stdin), _O_BINARY);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
  if (r.compare(0, 5, "exit ") == 0) std::exit(std::atoi(r.c_str() + 5));
  if (r == "arguments") {
    std::vector<std::string> const args = systemArguments();
    for (std::size_t i = 1; i < args.size(); ++i) std::cout << args[i].size() << ':' << args[i] << '\n';
  } else if (r == "environment") {
    char const* const set = std::getenv("ZU_CHILD_SET");
    std::cout << (set ? set : "<unset>") << '\n' << (std::getenv("ZU_CHILD_GONE") ? "gone is set" : "gone is unset") << '\n';
  } else if (r == "copy") {
    std::cout << std::cin.rdbuf();
    std::cerr << "to error\n";
  } else if (r == "sleep") {
    std::this_thread::sleep_for(std::chrono::minutes(1));
  }
  std::cout.flush();
  std::exit(0);
}();

class ChildProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zu-child-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string path(char const* name) const { return (dir_ / name).string(); }
  static std::string read(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // Runs this program in `role` and gives back its standard output.
  std::string run(std::string const& role, std::vector<std::string> const& args, ChildOptions options = ChildOptions()) {
    options.environment.push_back("ZU_CHILD_ROLE=" + role);
    if (options.output.empty()) options.output = path("out.txt");
    Child child;
    EXPECT_TRUE(child.start(Child::self(), args, options));
    EXPECT_TRUE(child.wait(std::chrono::seconds(60)));
    EXPECT_EQ(0, child.exitCode());
    return read(options.output);
  }
  std::filesystem::path dir_;
};

TEST_F(ChildProcess, ExitCodesComeBack) {
  for (int code : {0, 3, 42}) {
    Child child;
    ChildOptions options;
    options.environment.push_back("ZU_CHILD_ROLE=exit " + std::to_string(code));
    ASSERT_TRUE(child.start(Child::self(), {}, options));
    ASSERT_TRUE(child.wait(std::chrono::seconds(60)));
    EXPECT_EQ(code, child.exitCode());
    EXPECT_FALSE(child.running());
  }
}

TEST_F(ChildProcess, ArgumentsArriveUnchanged) {
  std::vector<std::string> const args = {"plain", "two words", "", "it's", "say \"hi\"", "back\\slash\\",
                                         "\\\"", "a\\\"b", "c\\\\\"d \\", "tab\there", "-o", "\xc3\xbc\xe2\x82\xac", "\\\\server\\share"};
  std::string expected;
  for (std::string const& a : args) expected += std::to_string(a.size()) + ":" + a + "\n";
  EXPECT_EQ(expected, run("arguments", args));
}

TEST_F(ChildProcess, EnvironmentEntriesAreSetAndRemoved) {
  ChildOptions options;
  options.environment = {"ZU_CHILD_SET=first", "ZU_CHILD_SET=second value", "ZU_CHILD_GONE"};
  EXPECT_EQ("second value\ngone is unset\n", run("environment", {}, options));
#ifdef _WIN32
  ::_putenv_s("ZU_CHILD_GONE", "1");
#else
  ::setenv("ZU_CHILD_GONE", "1", 1);
#endif
  // Inherited unless removed.
  EXPECT_EQ("<unset>\ngone is set\n", run("environment", {}));
  EXPECT_EQ("second value\ngone is unset\n", run("environment", {}, options));
#ifdef _WIN32
  ::_putenv_s("ZU_CHILD_GONE", "");
#else
  ::unsetenv("ZU_CHILD_GONE");
#endif
}

TEST_F(ChildProcess, StreamsGoToFiles) {
  {
    std::ofstream in(path("in.txt"), std::ios::binary);
    in << "line one\nline two\n";
  }
  ChildOptions options;
  options.input = path("in.txt");
  options.output = path("out.txt");
  options.error = path("err.txt");
  EXPECT_EQ("line one\nline two\n", run("copy", {}, options));
  EXPECT_EQ("to error\n", read(path("err.txt")));

  // One file for both.
  options.error = options.output;
  std::string const both = run("copy", {}, options);
  EXPECT_NE(std::string::npos, both.find("line two\n")) << both;
  EXPECT_NE(std::string::npos, both.find("to error\n")) << both;
}

TEST_F(ChildProcess, TheDeadlineEndsTheWaitAndKillEndsTheChild) {
  Child child;
  ChildOptions options;
  options.environment.push_back("ZU_CHILD_ROLE=sleep");
  ASSERT_TRUE(child.start(Child::self(), {}, options));
  EXPECT_GT(child.id(), 0);
  EXPECT_FALSE(child.wait(std::chrono::milliseconds(50)));
  EXPECT_TRUE(child.running());
  EXPECT_EQ(-1, child.exitCode());
  // A second child on the same object waits for the first.
  EXPECT_FALSE(child.start(Child::self(), {}, options));
  child.kill();
  EXPECT_FALSE(child.running());
  EXPECT_NE(0, child.exitCode());
}

TEST_F(ChildProcess, AMissingProgramDoesNotStart) {
  Child child;
  EXPECT_FALSE(child.start(path("no-such-program"), {}));
  EXPECT_FALSE(child.running());
  ChildOptions options;
  options.input = path("no-such-input");
  EXPECT_FALSE(child.start(Child::self(), {}, options));
}

}  // namespace
