// Runs each example program the way a user would, against loopback servers
// and files in a fresh temporary folder.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zu/xml.h>

#include "support/loopback.h"
#include "support/wine.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using zu::test::RawSocket;

#ifdef EXAMPLE_DIR
std::string const exampleDir = EXAMPLE_DIR;
#else
std::string const exampleDir;
#endif

#ifdef _WIN32
std::wstring widen(std::string const& text) {
  if (text.empty()) return std::wstring();
  int const n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(std::size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], n);
  return wide;
}

// One argument as the C runtime's parser reads it back: quoted when it has
// blanks or quotes, with the backslashes before a quote doubled.
std::wstring quoteArgument(std::wstring const& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}
#endif

// A process started with its standard output and error in one pipe.
struct Child {
#ifdef _WIN32
  HANDLE process = nullptr;
#else
  pid_t pid = -1;
#endif
  FILE* out = nullptr;

  // With `stdoutOnly`, standard error goes nowhere.
  Child(std::string const& name, std::vector<std::string> args, bool stdoutOnly = false) {
#ifdef _WIN32
    std::wstring command = quoteArgument(widen(exampleDir + "/example_" + name + ".exe"));
    for (auto const& a : args) command += L" " + quoteArgument(widen(a));
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return;
    // Only the ends meant for the child are inherited, and only by it: the
    // tests start one child at a time.
    ::SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE const error = stdoutOnly ? ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    &inherited, OPEN_EXISTING, 0, nullptr)
                                    : writeEnd;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = writeEnd;
    startup.hStdError = error;
    PROCESS_INFORMATION started = {};
    // A group of its own, so that a break event reaches the child alone.
    if (::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                         &startup, &started)) {
      process = started.hProcess;
      ::CloseHandle(started.hThread);
    }
    if (error != writeEnd && error != INVALID_HANDLE_VALUE) ::CloseHandle(error);
    ::CloseHandle(writeEnd);
    int const fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(readEnd), _O_RDONLY | _O_BINARY);
    out = fd < 0 ? nullptr : ::_fdopen(fd, "rb");
#else
    args.insert(args.begin(), exampleDir + "/example_" + name);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (stdoutOnly)
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    else
      posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out = fdopen(fds[0], "r");
#endif
  }
  ~Child() {
#ifdef _WIN32
    if (process) {
      ::TerminateProcess(process, 1);
      ::WaitForSingleObject(process, INFINITE);
      ::CloseHandle(process);
    }
#else
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
#endif
    if (out) fclose(out);
  }
  bool started() const {
#ifdef _WIN32
    return process != nullptr && out != nullptr;
#else
    return pid > 0 && out != nullptr;
#endif
  }
  // Asks the child to stop as a user would: SIGTERM, or on Windows the
  // console's break event. False when it cannot be asked.
  bool stop() {
#ifdef _WIN32
    return process && ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, ::GetProcessId(process));
#else
    return pid > 0 && kill(pid, SIGTERM) == 0;
#endif
  }
  std::string line() {
    char buffer[512];
    if (!out || !fgets(buffer, sizeof buffer, out)) return "";
    return buffer;
  }
  // Reads the rest of the output, then the exit status (-1 unless a normal
  // exit). Text output has its line ends as "\n"; `binary` keeps it as it came.
  int finish(std::string* output = nullptr, bool binary = false) {
    std::string text;
    char buffer[4096];
    if (out)
      for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
#ifdef _WIN32
    // The C runtime writes a text stream's line ends as CR LF.
    if (!binary)
      for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
#endif
    if (output) *output = text;
#ifdef _WIN32
    if (!process) return -1;
    DWORD code = 0;
    ::WaitForSingleObject(process, INFINITE);
    bool const got = ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    process = nullptr;
    return got ? int(code) : -1;
#else
    (void)binary;
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  }
};

int run(std::string const& name, std::vector<std::string> const& args, std::string* output = nullptr) {
  return Child(name, args).finish(output);
}

std::string slurp(fs::path const& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh folder in the system's temporary folder.
fs::path freshFolder() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path const candidate = fs::temp_directory_path() / ("zu_examples_" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) return candidate;
  }
  return fs::path();
}

class ExamplesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (exampleDir.empty()) GTEST_SKIP() << "built without the examples";
    dir = freshFolder();
    ASSERT_FALSE(dir.empty());
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
  }
  fs::path dir;
};

// The body comes back byte for byte, zero bytes and line ends included.
TEST_F(ExamplesTest, FetchWritesTheWholeBody) {
  unsigned short port = 0;
  RawSocket const listener = zu::test::listenLoopback(port, 4);
  ASSERT_NE(zu::test::NO_SOCKET, listener);
  std::string const body("ab\0cd\0\0e\r\n\n", 11);
  std::thread server([&] {
    for (int i = 0; i < 2; ++i) {
      RawSocket c = zu::test::acceptRaw(listener);
      std::string request;
      char buffer[1024];
      for (long n; request.find("\r\n\r\n") == std::string::npos && (n = zu::test::recvRaw(c, buffer, sizeof buffer)) > 0;)
        request.append(buffer, size_t(n));
      std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/x-test\r\nContent-Length: 11\r\n"
                           "Connection: close\r\n\r\n" + body;
      zu::test::sendRaw(c, answer.data(), answer.size());
      zu::test::closeRaw(c);
    }
  });
  std::string output;
  int status = run("fetch", {"http://127.0.0.1:" + std::to_string(port) + "/file", (dir / "out").string()}, &output);
  // To standard output: the data alone, without the library's log lines.
  std::string data;
  int const toStdout = Child("fetch", {"http://127.0.0.1:" + std::to_string(port) + "/file"}, true).finish(&data, true);
  EXPECT_EQ(0, toStdout);
  EXPECT_EQ(body, data);
  server.join();
  zu::test::closeRaw(listener);
  EXPECT_EQ(0, status) << output;
  EXPECT_EQ(body, slurp(dir / "out"));
  EXPECT_NE(std::string::npos, output.find("200 application/x-test, 11 bytes")) << output;

  // Nobody listens there any more.
  EXPECT_EQ(1, run("fetch", {"http://127.0.0.1:" + std::to_string(port) + "/", (dir / "none").string()}, &output));
  EXPECT_NE(std::string::npos, output.find("fetch failed: error(1)")) << output;
}

// Only the elements at the path change; markup in the value stays text; a
// broken file is refused with the parser's report and left alone.
TEST_F(ExamplesTest, XmlEditSetsTheAttributeAtThePath) {
  fs::path const file = dir / "config.xml";
  std::ofstream(file) << "<config><server><listen port=\"80\"/><listen port=\"81\"/></server>"
                         "<listen port=\"1\"/></config>";
  std::string output;
  ASSERT_EQ(0, run("xml_edit", {file.string(), "server/listen", "port", "8080\"/><x a=\"&"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("on 2 element(s)")) << output;

  auto doc = zu::xml::IDocument::New("", "", "", "");
  ASSERT_TRUE(doc->loadString(slurp(file)));
  auto changed = doc->root()->find("server/listen", false);
  ASSERT_EQ(2u, changed.size());
  for (auto const& e : changed) EXPECT_EQ("8080\"/><x a=\"&", e->attribute("port", "", false));
  auto others = doc->root()->find("listen", false);
  ASSERT_EQ(1u, others.size());
  EXPECT_EQ("1", others[0]->attribute("port", "", false));

  std::ofstream(dir / "broken.xml") << "<config><server></config>";
  EXPECT_EQ(1, run("xml_edit", {(dir / "broken.xml").string(), "server", "a", "b"}, &output));
  EXPECT_NE(std::string::npos, output.find("error(")) << output;
  EXPECT_EQ("<config><server></config>", slurp(dir / "broken.xml"));
}

// Quotes and a stacked statement in the input are stored as text; NULL and
// numbers come back as such.
TEST_F(ExamplesTest, SqliteNotesBindUserInput) {
#if !EXAMPLES_WITH_SQLITE
  GTEST_SKIP() << "built without SQLite";
#endif
  std::string const db = (dir / "notes.db").string();
  std::string const hostile = "x'); DROP TABLE notes; --";
  std::string output;
  ASSERT_EQ(0, run("sqlite_notes", {db, "add", "o'brien", hostile, "5"}, &output)) << output;
  EXPECT_EQ("1 note added\n", output);
  ASSERT_EQ(0, run("sqlite_notes", {db, "add", "o'brien", "second"}, &output)) << output;
  ASSERT_EQ(0, run("sqlite_notes", {db, "add", "other", "third", "2"}, &output)) << output;
  ASSERT_EQ(0, run("sqlite_notes", {db, "list", "o'brien"}, &output)) << output;
  EXPECT_EQ("1: " + hostile + " (5 stars)\n2: second\n", output);
  EXPECT_EQ(2, run("sqlite_notes", {db, "drop"}, &output));
}

// Two clients at once get back exactly what they sent, also when one sends
// far more than the socket buffers hold before reading anything; SIGTERM
// ends the server cleanly.
TEST_F(ExamplesTest, EchoServerEchoesAndStops) {
  Child server("echo_server", {"0", "60"});
  std::string const first = server.line();
  auto at = first.find("127.0.0.1:");
  ASSERT_NE(std::string::npos, at) << first;
  unsigned short const port = static_cast<unsigned short>(std::atoi(first.c_str() + at + 10));

  RawSocket const small = zu::test::connectLoopback(port);
  RawSocket const big = zu::test::connectLoopback(port, 4096);  // so the server's sends fall short
  ASSERT_NE(zu::test::NO_SOCKET, small);
  ASSERT_NE(zu::test::NO_SOCKET, big);
  // Reads give up after five seconds.
  zu::test::setReceiveTimeout(small, 5000);
  zu::test::setReceiveTimeout(big, 5000);
  std::string sent(4 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = char(i * 7 + i / 4096);
  std::thread writer([&] {
    for (size_t done = 0; done < sent.size();) {
      long n = zu::test::sendRaw(big, sent.data() + done, sent.size() - done);
      if (n <= 0) break;
      done += size_t(n);
    }
  });
  // While the big sender, not read yet, holds the server back, the small
  // one is answered at once.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto const start = std::chrono::steady_clock::now();
  ASSERT_EQ(5, zu::test::sendRaw(small, "hello", 5));
  char buffer[65536];
  std::string got;
  for (long n; got.size() < 5 && (n = zu::test::recvRaw(small, buffer, sizeof buffer)) > 0;) got.append(buffer, size_t(n));
  EXPECT_EQ("hello", got);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  got.clear();
  for (long n; got.size() < sent.size() && (n = zu::test::recvRaw(big, buffer, sizeof buffer)) > 0;)
    got.append(buffer, size_t(n));
  writer.join();
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
  zu::test::closeRaw(small);
  zu::test::closeRaw(big);

  if (!server.stop()) {
#ifdef _WIN32
    if (zu::test::underWine())
      GTEST_SKIP() << "Wine refuses the console's break event for a child without a console (error "
                   << ::GetLastError() << ")";
#endif
    FAIL() << "cannot ask the server to stop";
  }
  EXPECT_EQ(0, server.finish());
}

// Options with attached and separate values, a daily log file in the given
// folder, and unknown options refused with the generated help.
TEST_F(ExamplesTest, OptionsLogWritesTheDailyLog) {
  std::string output;
  ASSERT_EQ(0, run("options_log", {"-v", "--log-dir=" + dir.string(), "-n", "2", "hello", "a b"}, &output))
      << output;
  std::vector<fs::path> logs;
  for (auto const& entry : fs::directory_iterator(dir)) logs.push_back(entry.path());
  ASSERT_EQ(1u, logs.size());
  EXPECT_EQ(0u, logs[0].filename().string().rfind("options_log2", 0)) << logs[0];
  std::string const log = slurp(logs[0]);
  EXPECT_NE(std::string::npos, log.find("run 2 of 2: 2 words")) << log;
  EXPECT_NE(std::string::npos, log.find("word 2: a b")) << log;
  EXPECT_NE(std::string::npos, log.find("options_log.cpp(")) << log;

  // Without -v the word lines stay out; a second run appends.
  ASSERT_EQ(0, run("options_log", {"-l", dir.string(), "quiet"}, &output)) << output;
  std::string const more = slurp(logs[0]);
  EXPECT_EQ(0u, more.find(log)) << more;
  EXPECT_NE(std::string::npos, more.find("run 1 of 1: 1 words")) << more;
  EXPECT_EQ(std::string::npos, more.find("word 1: quiet")) << more;

  EXPECT_EQ(2, run("options_log", {"--bogus", "-x"}, &output));
  EXPECT_NE(std::string::npos, output.find("unknown option --bogus")) << output;
  EXPECT_NE(std::string::npos, output.find("unknown option -x")) << output;
  EXPECT_NE(std::string::npos, output.find("--log-dir")) << output;
  EXPECT_NE(std::string::npos, output.find("folder of the daily log file")) << output;
  // Each description stands beside its own option.
  ASSERT_EQ(0, run("options_log", {"--help"}, &output));
  auto const count = output.find("--count <value>");
  ASSERT_NE(std::string::npos, count) << output;
  EXPECT_EQ(output.find("lines to write"), output.find_first_not_of(' ', count + 15)) << output;
}

}  // namespace
