#include <zu/logger.h>
#include <zu/sys.h>
#include <zu/time.h>

#ifndef _WIN32
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>


#include "support/child.h"
#include "support/temp_dir.h"
#include "../impl/diag/logger_hooks.h"
#include "../impl/diag/logging.h"

namespace logger = zu::util::logger;
using zu::String;

namespace {

zu::sys::Time fixedNow;
zu::sys::Time fixedClock() { return fixedNow; }

zu::sys::Time localTime(int year, int month, int day, int hour, int minute, int second, int ms) {
  zu::sys::Time::Detail d = {};
  d.year = year;
  d.month = month;
  d.day = day;
  d.hour = hour;
  d.minute = minute;
  d.second = second;
  d.millisecond = ms;
  zu::sys::Time t(d, -1);
  return zu::sys::Time(t.toSeconds(), static_cast<unsigned int>(ms));
}

std::vector<std::string> splitLines(std::string const& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// '9' in the shape stands for a decimal digit, '?' for a lower-case
// hexadecimal one; everything else must match itself.
bool hasShape(std::string const& text, std::string const& shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool ok = shape[i] == '9'   ? (c >= '0' && c <= '9')
              : shape[i] == '?' ? ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
                                : c == shape[i];
    if (!ok) return false;
  }
  return true;
}

char const* const stampShape = "9999/99/99 99:99:99.999 ";

class Recorder : public logger::ILogCallback {
 public:
  void onLog(char const* line) override {
    lines.push_back(line);
    if (reenter) innerResult = logger::output("[ERR ]", nullptr, 0, "inner");
  }
  std::vector<std::string> lines;
  bool reenter = false;
  int innerResult = -1;
};

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zu::test::makeTempDir("zu_log_");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    logger::setFilePath("");
    logger::setCallback(boost::weak_ptr<logger::ILogCallback>());
    logger::setLevel(3);
    logger::setOptions(logger::LOG_OPTION_TIME, ~0u & ~unsigned(logger::LOG_OPTION_TIME));
    logger::setTimeFormat("yyyy/MM/dd hh:mm:ss.uuu");
    logger::__::setClock(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string path(std::string const& name) const { return dir_ + "/" + name; }
  std::string read(std::string const& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void write(std::string const& name, std::string const& text) {
    std::ofstream out(path(name), std::ios::binary);
    out << text;
  }
  // What one output() call writes to standard output.
  std::string captured(char const* tag, char const* file, int line, char const* message, bool* result = nullptr) {
    ::testing::internal::CaptureStdout();
    bool ok = logger::output(tag, file, line, message);
    if (result) *result = ok;
    return ::testing::internal::GetCapturedStdout();
  }

  std::string dir_;
};

TEST_F(LoggerTest, DefaultsWriteTimeStampedLinesUpToLevelThree) {
  EXPECT_TRUE(logger::canLog(0));
  EXPECT_TRUE(logger::canLog(3));
  EXPECT_FALSE(logger::canLog(4));
  EXPECT_FALSE(logger::canLog(5));
  std::string out = captured("[DBG1]", ".\\impl\\a.cxx", 7, "x");
  EXPECT_TRUE(hasShape(out, std::string(stampShape) + "[DBG1] x\n")) << out;
}

TEST_F(LoggerTest, LevelIsAnInclusiveThreshold) {
  logger::setLevel(0);
  EXPECT_TRUE(logger::canLog(0));
  EXPECT_FALSE(logger::canLog(1));
  logger::setLevel(5);
  EXPECT_TRUE(logger::canLog(5));
  EXPECT_FALSE(logger::canLog(6));
  logger::setLevel(0xFFFFFFFF);
  EXPECT_TRUE(logger::canLog(0xFFFFFFFF));

  // The helper builds nothing for a suppressed level.
  logger::setLevel(2);
  int built = 0;
  auto count = [&] { return ++built; };
  ::testing::internal::CaptureStdout();
  ZU_LOG(3, "[DBG1]", "never " << count());
  ZU_LOG(1, "[WARN]", "once " << count());
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(1, built);
  EXPECT_NE(std::string::npos, out.find("[WARN] once 1\n"));
}

// Streams a value whose own formatting logs a line of its own.
struct LogsWhileStreamed {
  int value;
};
std::ostream& operator<<(std::ostream& out, LogsWhileStreamed const& v) {
  ZU_LOG(1, "[WARN]", "inner " << std::hex << v.value);
  return out << v.value;
}

TEST_F(LoggerTest, MessagesStartFreshAndNest) {
  logger::setOptions(0, logger::LOG_OPTION_TIME);
  ::testing::internal::CaptureStdout();
  // A manipulator, a failed state or a long text of one message does not
  // carry over into the next.
  ZU_LOG(1, "[WARN]", std::hex << std::setw(6) << std::setfill('*') << std::showbase << 255);
  std::string longText(100000, 'x');
  ZU_LOG(1, "[WARN]", longText);
  ZU_LOG(1, "[WARN]", 255 << " " << 1.5);
  // A line logged while another is being built leaves the outer one whole.
  ZU_LOG(1, "[WARN]", "outer " << LogsWhileStreamed{26} << " end");
  std::vector<std::string> lines = splitLines(::testing::internal::GetCapturedStdout());
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ("[WARN] **0xff", lines[0]);
  EXPECT_EQ("[WARN] " + longText, lines[1]);
  EXPECT_EQ("[WARN] 255 1.5", lines[2]);
  EXPECT_EQ("[WARN] inner 1a", lines[3]);
  EXPECT_EQ("[WARN] outer 26 end", lines[4]);
}

TEST_F(LoggerTest, EachOptionBitAddsItsPart) {
  fixedNow = localTime(2024, 3, 1, 13, 4, 5, 67);
  logger::__::setClock(fixedClock);
  char tid[32];
  snprintf(tid, sizeof tid, "tid:0x%08x ", zu::sys::IThread::currentId());

  EXPECT_EQ("2024/03/01 13:04:05.067 [DBG1] x\n", captured("[DBG1]", "src/a.cxx", 7, "x"));

  logger::setOptions(logger::LOG_OPTION_SOURCE | logger::LOG_OPTION_THREAD, 0);
  EXPECT_EQ(std::string("2024/03/01 13:04:05.067 [WARN] ") + tid + "a.cxx(7) x\n",
            captured("[WARN]", "C:\\src\\a.cxx", 7, "x"));

  logger::setOptions(0, logger::LOG_OPTION_TIME | logger::LOG_OPTION_THREAD);
  EXPECT_EQ("[WARN] a.cxx(-3) x\n", captured("[WARN]", "/src/a.cxx", -3, "x"));
  EXPECT_EQ("[WARN] b\\a.cxx(1) x\n", captured("[WARN]", "src/b\\a.cxx", 1, "x"));
  EXPECT_EQ("[WARN] plain.cxx(2) x\n", captured("[WARN]", "plain.cxx", 2, "x"));
  EXPECT_EQ("[WARN] x\n", captured("[WARN]", nullptr, 2, "x"));

  // A bit both set and cleared ends up off.
  logger::setOptions(logger::LOG_OPTION_THREAD, logger::LOG_OPTION_THREAD | logger::LOG_OPTION_SOURCE);
  EXPECT_EQ("[ERR ] \n", captured("[ERR ]", "a.cxx", 1, ""));

  logger::setOptions(logger::LOG_OPTION_TIME, 0);
  logger::setTimeFormat("hh\\h mm");
  EXPECT_EQ("13h 04 [ERR ] y\n", captured("[ERR ]", "a.cxx", 1, "y"));
}

TEST_F(LoggerTest, FileReplacesStandardOutputUntilThePathIsEmptied) {
  logger::setOptions(0, logger::LOG_OPTION_TIME);
  logger::setFilePath(path("app.log").c_str());
  EXPECT_EQ("", captured("[DBG1]", nullptr, 0, "one"));
  logger::output("[DBG1]", nullptr, 0, "two");
  EXPECT_EQ("[DBG1] one\n[DBG1] two\n", read("app.log"));

  logger::setFilePath("");
  EXPECT_EQ("[DBG1] three\n", captured("[DBG1]", nullptr, 0, "three"));
  EXPECT_EQ("[DBG1] one\n[DBG1] two\n", read("app.log"));

  // A file that cannot be opened leaves standard output as the sink.
  logger::setFilePath(path("missing/dir/app.log").c_str());
  EXPECT_EQ("[DBG1] four\n", captured("[DBG1]", nullptr, 0, "four"));
}

TEST_F(LoggerTest, ExistingFileIsEmptiedUnlessAppending) {
  logger::setOptions(0, logger::LOG_OPTION_TIME);
  write("app.log", "old line\n");
  logger::setFilePath(path("app.log").c_str());
  logger::output("[DBG1]", nullptr, 0, "new");
  EXPECT_EQ("[DBG1] new\n", read("app.log"));

  logger::setFilePath("");
  write("app.log", "old line\n");
  logger::setOptions(logger::LOG_OPTION_APPEND, 0);
  logger::setFilePath(path("app.log").c_str());
  logger::output("[DBG1]", nullptr, 0, "new");
  EXPECT_EQ("old line\n[DBG1] new\n", read("app.log"));
}

TEST_F(LoggerTest, DailyFileCarriesTheDateAndRollsAtMidnight) {
  logger::setOptions(logger::LOG_OPTION_DAILY_FILE, logger::LOG_OPTION_TIME);
  fixedNow = localTime(2024, 3, 1, 23, 59, 59, 900);
  logger::__::setClock(fixedClock);
  write("app2024_03_01.log", "kept\n");  // a daily file is never emptied

  logger::setFilePath(path("app.log").c_str());
  logger::output("[DBG1]", nullptr, 0, "before");
  fixedNow = localTime(2024, 3, 2, 0, 0, 0, 5);
  logger::output("[DBG1]", nullptr, 0, "after");

  EXPECT_EQ("kept\n[DBG1] before\n", read("app2024_03_01.log"));
  EXPECT_EQ("[DBG1] after\n", read("app2024_03_02.log"));
  EXPECT_FALSE(std::filesystem::exists(path("app.log")));

  // The same day of the year one year on is a new day too (2024 is a leap
  // year: March 2nd then and March 3rd 2025 are both day 61).
  fixedNow = localTime(2025, 3, 3, 12, 0, 0, 0);
  ASSERT_EQ(localTime(2024, 3, 2, 0, 0, 0, 5).detail(-1).yearDay, fixedNow.detail(-1).yearDay);
  logger::output("[DBG1]", nullptr, 0, "year");
  EXPECT_EQ("[DBG1] year\n", read("app2025_03_03.log"));

  // Without an extension the date ends the name.
  logger::setFilePath(path("plain").c_str());
  logger::output("[DBG1]", nullptr, 0, "p");
  EXPECT_EQ("[DBG1] p\n", read("plain2025_03_03"));
}

TEST_F(LoggerTest, CallbackGetsTheLineWithoutLineFeedAndCannotReenter) {
  boost::shared_ptr<Recorder> recorder(new Recorder);
  logger::setCallback(recorder);
  logger::setOptions(0, logger::LOG_OPTION_TIME);
  recorder->reenter = true;
  std::string out = captured("[DBG1]", nullptr, 0, "outer");
  EXPECT_EQ("[DBG1] outer\n", out);  // the inner line wrote nothing
  ASSERT_EQ(1u, recorder->lines.size());
  EXPECT_EQ("[DBG1] outer", recorder->lines[0]);
  EXPECT_EQ(0, recorder->innerResult);

  // The logger does not keep the callback alive.
  boost::weak_ptr<Recorder> weak = recorder;
  recorder.reset();
  EXPECT_TRUE(weak.expired());
  bool result = false;
  EXPECT_EQ("[DBG1] after\n", captured("[DBG1]", nullptr, 0, "after", &result));
  EXPECT_TRUE(result);
}

class ThrowingCallback : public logger::ILogCallback {
 public:
  void onLog(char const*) override { throw std::runtime_error("callback failed"); }
};

TEST_F(LoggerTest, AThrowingCallbackDoesNotBreakTheLogger) {
  boost::shared_ptr<ThrowingCallback> callback(new ThrowingCallback);
  logger::setCallback(callback);
  bool result = false;
  EXPECT_NE("", captured("[DBG1]", nullptr, 0, "x", &result));
  EXPECT_TRUE(result);
  EXPECT_NE("", captured("[DBG1]", nullptr, 0, "y", &result));
  EXPECT_TRUE(result);
}

// Eight threads log to one file and to the callback; every line must arrive
// whole, once, and in each thread's own order.
class Counter : public logger::ILogCallback {
 public:
  void onLog(char const* line) override {
    // Runs under the logger's lock: no lock of our own is needed.
    ++calls;
    bytes += std::strlen(line);
  }
  long calls = 0;
  std::size_t bytes = 0;
};

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
  int const threads = 8;
  int const perThread = 2000;
  boost::shared_ptr<Counter> counter(new Counter);
  logger::setCallback(counter);
  logger::setOptions(logger::LOG_OPTION_THREAD, 0);
  logger::setFilePath(path("mt.log").c_str());

  std::vector<std::thread> pool;
  std::atomic<int> ready{0};
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([t, &ready] {
      ++ready;
      while (ready.load() < threads) std::this_thread::yield();
      std::string padding(static_cast<std::size_t>(10 + 37 * t), static_cast<char>('a' + t));
      for (int i = 0; i < perThread; ++i) {
        ZU_LOG(1, "[WARN]", "T" << t << " " << i << " " << padding << " end");
      }
    });
  }
  for (std::thread& t : pool) t.join();
  logger::setFilePath("");

  std::vector<std::string> lines = splitLines(read("mt.log"));
  ASSERT_EQ(std::size_t(threads * perThread), lines.size());
  std::string const prefix = std::string(stampShape) + "[WARN] tid:0x???????? T";
  std::map<int, int> nextIndex;
  std::size_t bytes = 0;
  for (std::string const& line : lines) {
    // "<stamp> [WARN] tid:0x<8 hex> T<t> <i> <padding> end"
    ASSERT_GT(line.size(), prefix.size() + 1) << line;
    ASSERT_TRUE(hasShape(line.substr(0, prefix.size()), prefix)) << line;
    int t = -1, i = -1;
    char padding[400] = {};
    ASSERT_EQ(3, sscanf(line.c_str() + prefix.size(), "%d %d %399s", &t, &i, padding)) << line;
    ASSERT_TRUE(t >= 0 && t < threads) << line;
    EXPECT_EQ(nextIndex[t], i) << line;
    nextIndex[t] = i + 1;
    EXPECT_EQ(std::string(static_cast<std::size_t>(10 + 37 * t), static_cast<char>('a' + t)), padding);
    EXPECT_EQ(" end", line.substr(line.size() - 4));
    bytes += line.size();
  }
  EXPECT_EQ(threads * perThread, counter->calls);
  EXPECT_EQ(bytes, counter->bytes);
}

#ifndef _WIN32
// A fork taken while another thread holds the logger must leave the child
// able to log.
TEST_F(LoggerTest, ForkedChildLogsWhileAnotherThreadWrites) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "fork with running threads is not supported under ThreadSanitizer";
#endif
  logger::setFilePath(path("fork.log").c_str());
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop.load()) logger::output("[DBG1]", nullptr, 0, "parent");
  });
  int hung = 0;
  for (int i = 0; i < 20; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      logger::output("[DBG1]", nullptr, 0, "child");
      _exit(0);
    }
    int status = -1;
    bool ended = false;
    for (int waited = 0; waited < 2000 && !ended; ++waited) {
      ended = waitpid(child, &status, WNOHANG) == child;
      if (!ended) usleep(1000);
    }
    if (!ended) {
      ++hung;
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
  stop = true;
  writer.join();
  EXPECT_EQ(0, hung);
  EXPECT_NE(std::string::npos, read("fork.log").find("] child\n"));
}
#endif

}  // namespace

namespace {

// Waits up to `ms` for `condition`, polling.
template <class Condition>
bool waitFor(Condition condition, int ms) {
  auto const end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

std::size_t count(std::string const& text, std::string const& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(LoggerTest, BufferedLinesWaitAndReachTheFileWithinASecond) {
  logger::setFilePath(path("buffered.log").c_str());
  logger::setOptions(logger::LOG_OPTION_BUFFERED, 0);
  auto const start = std::chrono::steady_clock::now();
  logger::output("[DBG1]", nullptr, 0, "first");
  logger::output("[WARN]", nullptr, 0, "second");
  EXPECT_EQ("", read("buffered.log"));
  // No further line comes: the timer writes them.
  ASSERT_TRUE(waitFor([&] { return read("buffered.log").find("] second\n") != std::string::npos; }, 3000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1600));
  std::vector<std::string> lines = splitLines(read("buffered.log"));
  ASSERT_EQ(2u, lines.size());
  EXPECT_TRUE(hasShape(lines[0], std::string(stampShape) + "[DBG1] first")) << lines[0];
}

TEST_F(LoggerTest, BufferedLinesAreWrittenByAnErrorLineAFullBufferAndTurningItOff) {
  logger::setFilePath(path("flush.log").c_str());
  logger::setOptions(logger::LOG_OPTION_BUFFERED, 0);
  logger::output("[DBG1]", nullptr, 0, "before the error");
  EXPECT_EQ("", read("flush.log"));
  logger::output("[ERR ]", nullptr, 0, "the error");
  EXPECT_EQ(2u, splitLines(read("flush.log")).size());

  // A full buffer is written at once, in whole lines.
  std::string const long_line(1000, 'x');
  int written = 0;
  while (read("flush.log").size() < 10000 && written < 200) {
    logger::output("[DBG1]", nullptr, 0, long_line.c_str());
    ++written;
  }
  EXPECT_LT(written, 100);
  std::string const text = read("flush.log");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ('\n', text.back());

  // Turning the option off writes what waits, and lines go straight out again.
  logger::output("[DBG1]", nullptr, 0, "waiting");
  logger::setOptions(0, logger::LOG_OPTION_BUFFERED);
  EXPECT_EQ(1u, count(read("flush.log"), "] waiting\n"));
  logger::output("[DBG1]", nullptr, 0, "direct");
  EXPECT_EQ(1u, count(read("flush.log"), "] direct\n"));

  // A new path: the old file gets its lines before the switch.
  logger::setOptions(logger::LOG_OPTION_BUFFERED, 0);
  logger::output("[DBG1]", nullptr, 0, "for the old file");
  logger::setFilePath(path("other.log").c_str());
  EXPECT_EQ(1u, count(read("flush.log"), "] for the old file\n"));
  EXPECT_EQ("", read("other.log"));
}

TEST_F(LoggerTest, FinalizeWritesBufferedLines) {
  logger::setFilePath(path("final.log").c_str());
  logger::setOptions(logger::LOG_OPTION_BUFFERED, 0);
  logger::output("[DBG1]", nullptr, 0, "at the end");
  EXPECT_EQ("", read("final.log"));
  zu::finalize();
  EXPECT_EQ(1u, count(read("final.log"), "] at the end\n"));
}

#ifndef _WIN32
#if defined(__SANITIZE_ADDRESS__)
// A forked child holds copies of the references of its parent's timer
// thread, which no thread of its own drops: the leak check at its exit is
// turned off there (the sanitizer asks this function at exit).
namespace {
bool forkedChild = false;
}
extern "C" int __lsan_is_turned_off() { return forkedChild ? 1 : 0; }
#endif

// Lines buffered before a fork are written once, and a child's lines at its
// exit.
TEST_F(LoggerTest, ForkWritesBufferedLinesOnceAndAChildAtItsExit) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "fork with running threads is not supported under ThreadSanitizer";
#endif
  logger::setFilePath(path("forked.log").c_str());
  logger::setOptions(logger::LOG_OPTION_BUFFERED, 0);
  logger::output("[DBG1]", nullptr, 0, "before the fork");
  EXPECT_EQ("", read("forked.log"));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#if defined(__SANITIZE_ADDRESS__)
    forkedChild = true;
#endif
    logger::output("[DBG1]", nullptr, 0, "in the child");
    std::exit(0);
  }
  int status = -1;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The parent writes what it still holds: nothing from before the fork.
  logger::setOptions(0, logger::LOG_OPTION_BUFFERED);
  std::string const text = read("forked.log");
  EXPECT_EQ(1u, count(text, "] before the fork\n"));
  EXPECT_EQ(1u, count(text, "] in the child\n"));
}
#endif

// This program started again with ZU_LOGGER_EXIT_LOG set: buffers a line
// for that file and exits, before any test runs.
int const exitingChild = [] {
  char const* const file = std::getenv("ZU_LOGGER_EXIT_LOG");
  if (!file) return 0;
  logger::setFilePath(file);
  logger::setOptions(logger::LOG_OPTION_BUFFERED, 0);
  logger::output("[DBG1]", nullptr, 0, "buffered in the child");
  zu::finalize();
  std::exit(0);
}();

// Lines still buffered when a program ends the library are written, once.
TEST_F(LoggerTest, BufferedLinesAreWrittenAtExit) {
  zu::test::ChildOptions options;
  options.environment.push_back("ZU_LOGGER_EXIT_LOG=" + path("exit.log"));
  zu::test::Child child;
  ASSERT_TRUE(child.start(zu::test::Child::self(), {}, options));
  ASSERT_TRUE(child.wait(std::chrono::seconds(60)));
  EXPECT_EQ(0, child.exitCode());
  EXPECT_EQ(1u, count(read("exit.log"), "] buffered in the child\n"));
}

TEST_F(LoggerTest, MacrosTestTheLevelFirstAndPassTheCallersFileAndLine) {
  logger::setFilePath(path("macros.log").c_str());
  logger::setOptions(logger::LOG_OPTION_SOURCE, logger::LOG_OPTION_TIME);
  int built = 0;
  auto counted = [&built](int n) {
    ++built;
    return n;
  };
  logger::setLevel(1);
  ZU_LOG_DBG1("never " << counted(1));
  ZU_LOG_DBG3("never " << counted(2));
  ZU_LOG(2, "[MINE]", "never " << counted(3));
  EXPECT_EQ(0, built);
  int const line = __LINE__ + 1;
  ZU_LOG_WARN("warned " << counted(4) << ' ' << String("text") << ' ' << 2.5);
  ZU_LOG_ERR(String("failed"));
  EXPECT_EQ(1, built);
  logger::setLevel(5);
  ZU_LOG_DBG3(std::hex << 255);
  ZU_LOG_DBG1(255);  // a manipulator of one line does not reach the next
  EXPECT_TRUE(logger::output("[DBG1]", "dir/some.cpp", 9, String("from a String")));

  std::vector<std::string> lines = splitLines(read("macros.log"));
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ("[WARN] logger_test.cpp(" + std::to_string(line) + ") warned 4 text 2.5", lines[0]);
  EXPECT_EQ("[ERR ] logger_test.cpp(" + std::to_string(line + 1) + ") failed", lines[1]);
  EXPECT_EQ("[DBG3] logger_test.cpp(" + std::to_string(line + 4) + ") ff", lines[2]);
  EXPECT_EQ("[DBG1] logger_test.cpp(" + std::to_string(line + 5) + ") 255", lines[3]);
  EXPECT_EQ("[DBG1] some.cpp(9) from a String", lines[4]);
}
