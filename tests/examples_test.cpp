// Runs each example program the way a user would, against loopback servers
// and files in a fresh temporary folder.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zu/xml.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

#ifdef EXAMPLE_DIR
std::string const exampleDir = EXAMPLE_DIR;
#else
std::string const exampleDir;
#endif

// A process started with its standard output and error in one pipe.
struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;

  // With `stdoutOnly`, standard error goes nowhere.
  Child(std::string const& name, std::vector<std::string> args, bool stdoutOnly = false) {
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
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out) fclose(out);
  }
  std::string line() {
    char buffer[512];
    return fgets(buffer, sizeof buffer, out) ? buffer : "";
  }
  // Reads the rest of the output, then the exit status (-1 unless a normal exit).
  int finish(std::string* output = nullptr) {
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
    if (output) *output = text;
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

int listenLoopback(unsigned short* port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(s, 4) != 0) return -1;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return s;
}

// A client whose reads give up after five seconds; `receiveBuffer`, when
// given, is set before connecting.
int connectLoopback(unsigned short port, int receiveBuffer = 0) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  timeval wait{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  if (receiveBuffer) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? s : -1;
}

class ExamplesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (exampleDir.empty()) GTEST_SKIP() << "built without the examples";
    char pattern[] = "/tmp/zu_examples_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
  }
  fs::path dir;
};

// The body comes back byte for byte, zero bytes included.
TEST_F(ExamplesTest, FetchWritesTheWholeBody) {
  unsigned short port = 0;
  int listener = listenLoopback(&port);
  ASSERT_GE(listener, 0);
  std::string const body("ab\0cd\0\0e", 8);
  std::thread server([&] {
    for (int i = 0; i < 2; ++i) {
      int c = accept(listener, nullptr, nullptr);
      std::string request;
      char buffer[1024];
      for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && (n = recv(c, buffer, sizeof buffer, 0)) > 0;)
        request.append(buffer, size_t(n));
      std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/x-test\r\nContent-Length: 8\r\n"
                           "Connection: close\r\n\r\n" + body;
      send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
      close(c);
    }
  });
  std::string output;
  int status = run("fetch", {"http://127.0.0.1:" + std::to_string(port) + "/file", (dir / "out").string()}, &output);
  // To standard output: the data alone, without the library's log lines.
  std::string data;
  int const toStdout = Child("fetch", {"http://127.0.0.1:" + std::to_string(port) + "/file"}, true).finish(&data);
  EXPECT_EQ(0, toStdout);
  EXPECT_EQ(body, data);
  server.join();
  close(listener);
  EXPECT_EQ(0, status) << output;
  EXPECT_EQ(body, slurp(dir / "out"));
  EXPECT_NE(std::string::npos, output.find("200 application/x-test, 8 bytes")) << output;

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

  int small = connectLoopback(port);
  int big = connectLoopback(port, 4096);  // so the server's sends fall short
  ASSERT_GE(small, 0);
  ASSERT_GE(big, 0);
  std::string sent(4 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = char(i * 7 + i / 4096);
  std::thread writer([&] {
    for (size_t done = 0; done < sent.size();) {
      ssize_t n = send(big, sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += size_t(n);
    }
  });
  // While the big sender, not read yet, holds the server back, the small
  // one is answered at once.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto const start = std::chrono::steady_clock::now();
  ASSERT_EQ(5, send(small, "hello", 5, MSG_NOSIGNAL));
  char buffer[65536];
  std::string got;
  for (ssize_t n; got.size() < 5 && (n = recv(small, buffer, sizeof buffer, 0)) > 0;) got.append(buffer, size_t(n));
  EXPECT_EQ("hello", got);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  got.clear();
  for (ssize_t n; got.size() < sent.size() && (n = recv(big, buffer, sizeof buffer, 0)) > 0;)
    got.append(buffer, size_t(n));
  writer.join();
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
  close(small);
  close(big);

  kill(server.pid, SIGTERM);
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
