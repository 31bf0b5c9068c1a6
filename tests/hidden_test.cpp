// The outside libraries are opened on first use: with one made unloadable
// (bind-mounted over by /dev/null in a private mount namespace, which
// needs root), its family fails cleanly, reports code 100 naming the
// library, logs that once, and the rest of zu keeps working. Each case runs
// hidden_probe in a fresh process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "ext/module.h"
#include "support/log_lines.h"
#include "support/wait.h"

namespace {

struct ProbeRun {
  int status = -1;  // exit status; -1 when the probe did not exit normally
  std::string output;
};

std::string shellQuote(std::string const& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ProbeRun runCommand(std::string const& command) {
  ProbeRun run;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, got);
  int const status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

// The file the loader finds for `soname`; empty when it is not installed.
std::string libraryFile(std::string const& soname) {
  for (char const* dir : {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib", "/lib", "/usr/local/lib"}) {
    std::string const path = std::string(dir) + "/" + soname;
    if (::access(path.c_str(), F_OK) == 0) return path;
  }
  return std::string();
}

// Whether this process may hide files from a child (root, and mount
// namespaces allowed); the reason when not.
std::string cannotHide() {
  if (::geteuid() != 0) return "hiding a library needs root (unshare -m, mount --bind)";
  char name[] = "/tmp/zu_hide_check_XXXXXX";
  int const fd = ::mkstemp(name);
  if (fd < 0) return "no temporary file";
  ::close(fd);
  ProbeRun const check = runCommand("unshare -m sh -c " + shellQuote("mount --bind /dev/null " + std::string(name)));
  ::unlink(name);
  if (check.status != 0) return "unshare -m / mount --bind is not possible here: " + check.output;
  return std::string();
}

// Runs the probe on `what`, with the installed ones of `hidden` unloadable.
ProbeRun probe(std::string const& what, std::vector<std::string> const& hidden = {}) {
  std::string const program = shellQuote(HIDDEN_PROBE_PATH) + " " + what;
  if (hidden.empty()) return runCommand(program);
  std::string script;
  for (std::string const& soname : hidden) {
    std::string const file = libraryFile(soname);
    if (!file.empty()) script += "mount --bind /dev/null " + shellQuote(file) + " && ";
  }
  return runCommand("unshare -m sh -c " + shellQuote(script + "exec " + program));
}

unsigned int count(std::string const& text, std::string const& part) {
  unsigned int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The log lines of level 0, each whole.
std::vector<std::string> errorLines(std::string const& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string const line = output.substr(start, end - start);
    if (line.find("[ERR ]") != std::string::npos) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

char const* const allSix[] = {"libmozjs-102.so.0", "libmariadb.so.3", "libsqlcipher.so.0",
                              "libpcre2-posix.so.3", "libexpat.so.1", "libudt.so.0"};

struct Family {
  char const* name;            // the probe's argument
  char const* soname;          // the library it needs
  std::vector<char const*> failures;  // probe lines that must fail with code 100
  char const* emptyResult;     // a probe line that must read so, or null
  bool builtIn;                // false when zu was configured without it
};

void PrintTo(Family const& family, std::ostream* out) { *out << family.name; }

class HiddenLibrary : public ::testing::TestWithParam<Family> {};

TEST_P(HiddenLibrary, FamilyFailsCleanlyReportsAndLogsOnce) {
  Family const& family = GetParam();
  if (!family.builtIn) GTEST_SKIP() << "zu was built without " << family.soname;
  std::string const why = cannotHide();
  if (!why.empty()) GTEST_SKIP() << why;
  if (libraryFile(family.soname).empty()) GTEST_SKIP() << family.soname << " is not installed";

  ProbeRun const run = probe(family.name, {family.soname});
  ASSERT_EQ(0, run.status) << run.output;
  std::string const reason = std::string("code=100 text=") + family.soname + " could not be loaded: ";
  for (char const* what : family.failures) {
    EXPECT_NE(std::string::npos, run.output.find(std::string(what) + "=0 " + reason)) << what << "\n" << run.output;
  }
  // The dynamic linker's own reason for a file that is not a library.
  EXPECT_NE(std::string::npos, run.output.find("file too short")) << run.output;
  if (family.emptyResult) {
    EXPECT_NE(std::string::npos, run.output.find(family.emptyResult)) << run.output;
  }
  std::vector<std::string> const logged = errorLines(run.output);
  ASSERT_EQ(1u, logged.size()) << run.output;
  EXPECT_NE(std::string::npos, logged[0].find(std::string(family.soname) + " could not be loaded: ")) << logged[0];
}

INSTANTIATE_TEST_SUITE_P(
    Families, HiddenLibrary,
    ::testing::Values(Family{"mysql", "libmariadb.so.3", {"open", "open2"}, "escape=[] code=100", ZU_WITH_MYSQL},
                      Family{"sqlite", "libsqlcipher.so.0", {"open", "open2"}, "escape=[] code=100", ZU_WITH_SQLITE},
                      Family{"regex", "libpcre2-posix.so.3", {"compile", "compile2"}, nullptr, ZU_WITH_REGEX},
                      Family{"xml", "libexpat.so.1", {"parse", "parse2"}, nullptr, ZU_WITH_XML}),
    [](::testing::TestParamInfo<Family> const& info) { return std::string(info.param.name); });

// The failure's log line is written after the loading, outside its lock:
// a log callback that uses the same family finds it failing.
TEST(HiddenLibrary, ALogCallbackMayUseTheFailingFamily) {
  if (!ZU_WITH_REGEX) GTEST_SKIP() << "zu was built without libpcre2-posix.so.3";
  std::string const why = cannotHide();
  if (!why.empty()) GTEST_SKIP() << why;
  ProbeRun const run = probe("regex-log-callback", {"libpcre2-posix.so.3"});
  ASSERT_EQ(0, run.status) << run.output;
  EXPECT_EQ(1u, count(run.output, "in-callback compile=0 code=100\n")) << run.output;
  EXPECT_EQ(2u, count(run.output, "=0 code=100 text=libpcre2-posix.so.3 could not be loaded: ")) << run.output;
}

// The same probes with every library present: the families work, so the
// failures above come from the hidden library alone.
TEST(LoadedLibrary, FamiliesWork) {
  if (!(ZU_WITH_REGEX && ZU_WITH_XML && ZU_WITH_SQLITE)) GTEST_SKIP() << "zu was built without some of them";
  ProbeRun const regex = probe("regex");
  EXPECT_EQ(0, regex.status);
  EXPECT_EQ(2u, count(regex.output, "=1 code=0 text=\n")) << regex.output;
  ProbeRun const xml = probe("xml");
  EXPECT_EQ(0, xml.status);
  EXPECT_EQ(2u, count(xml.output, "=1 code=0 text=\n")) << xml.output;
  ProbeRun const sqlite = probe("sqlite");
  EXPECT_EQ(0, sqlite.status);
  EXPECT_EQ(2u, count(sqlite.output, "=1 code=0 text=\n")) << sqlite.output;
  EXPECT_NE(std::string::npos, sqlite.output.find("escape=[it''s] code=0")) << sqlite.output;
  for (ProbeRun const* run : {&regex, &xml, &sqlite}) EXPECT_TRUE(errorLines(run->output).empty()) << run->output;
}

// Escaping on a MySQL connection that was never opened, first thing in a
// process: the client library's character tables must already be set up.
TEST(LoadedLibrary, MysqlEscapeBeforeAnyOpen) {
  if (!ZU_WITH_MYSQL) GTEST_SKIP() << "zu was built without libmariadb.so.3";
  if (libraryFile("libmariadb.so.3").empty()) GTEST_SKIP() << "libmariadb.so.3 is not installed";
  ProbeRun const run = probe("mysql");
  ASSERT_EQ(0, run.status) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("escape=[it\\'s] code=0\n")) << run.output;
}

TEST(LoadedLibrary, ConcurrentFirstUseOpensEachLibraryOnce) {
  if (!(ZU_WITH_REGEX && ZU_WITH_XML && ZU_WITH_SQLITE && ZU_WITH_MYSQL)) {
    GTEST_SKIP() << "zu was built without some of them";
  }
  ProbeRun const run = probe("concurrent");
  ASSERT_EQ(0, run.status) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("concurrent=8/8\n")) << run.output;
  EXPECT_TRUE(errorLines(run.output).empty()) << run.output;
}

// Strings, files, timers, sockets and the HTTP client and connection need
// none of the six outside libraries, and a program using them starts and
// runs where none of them can be loaded.
void expectBasicsWork(std::vector<std::string> const& hidden) {
  ProbeRun const run = probe("basics", hidden);
  ASSERT_EQ(0, run.status) << run.output;
  for (char const* line : {"string=1\n", "file=1\n", "timer=1\n", "http=1\n"}) {
    EXPECT_NE(std::string::npos, run.output.find(line)) << line << run.output;
  }
  EXPECT_TRUE(errorLines(run.output).empty()) << run.output;
}

TEST(HiddenLibraries, CLibrariesHiddenBasicsWork) {
  std::string const why = cannotHide();
  if (!why.empty()) GTEST_SKIP() << why;
  expectBasicsWork({"libmariadb.so.3", "libsqlcipher.so.0", "libpcre2-posix.so.3", "libexpat.so.1"});
}

TEST(HiddenLibraries, AllSixHiddenBasicsWork) {
  std::string const why = cannotHide();
  if (!why.empty()) GTEST_SKIP() << why;
  expectBasicsWork(std::vector<std::string>(std::begin(allSix), std::end(allSix)));
}

}  // namespace

// ---------------------------------------------------------------------------
// The loader of the library's own modules, from its objects: threads that use
// a family for the first time together make one attempt, and its failure is
// logged once. The module's outside library is a FIFO here, whose opening
// blocks until the test opens the other end, so every thread has asked
// before the first attempt ends; each attempt made is then released in turn.

TEST(ModuleConcurrent, FirstUseFromManyThreadsMakesOneAttemptAndLogsItOnce) {
  char folder[] = "/tmp/zu-module-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(folder));
  std::string const fifo = std::string(folder) + "/libzu-slow.so.1";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  zu::__::Module::Description const description = {fifo.c_str(), "zu-none", "zu_none_entry", "nothing", "ZU_WITH_NONE",
                                                   true};
  zu::__::Module module(description, nullptr);
  zu::test::LogCapture log;

  // All started before any asks: a thread cannot start while another is in
  // the dynamic loader.
  int const threads = 4;
  std::atomic<bool> go{false};
  std::atomic<int> asking{0}, finished{0};
  std::vector<void const*> tables(threads, &description);
  std::vector<std::thread> users;
  for (int i = 0; i < threads; ++i)
    users.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      ++asking;
      tables[i] = module.table();
      ++finished;
    });
  go = true;
  ASSERT_TRUE(zu::test::waitFor([&] { return asking == threads; }));
  // Time for each thread to reach the guard; the outcome does not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  while (finished < threads) {
    int const fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);  // the attempt reads an empty file
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (std::thread& user : users) user.join();
  ::unlink(fifo.c_str());
  ::rmdir(folder);

  for (void const* table : tables) EXPECT_EQ(nullptr, table);
  EXPECT_EQ(0u, module.failure().find(fifo + " could not be loaded: ")) << module.failure();
  EXPECT_EQ(1, log->count(" could not be loaded: ")) << "attempts logged";
}
