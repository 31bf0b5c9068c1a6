// POSIX (Linux) implementation of the platform layer declared in platform.h.
// Clocks, sleeping, threads and their priorities, and system names and folders.
#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <ctime>
#include <new>
#include <utility>
#include <vector>
#include <locale.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace zu {
namespace __ {
namespace platform {

namespace {

timespec monotonicNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

struct ThreadStart {
  void (*entry)(void*);
  void* argument;
};

// The calling thread's id, fetched once per thread: the system call costs
// far more than the thread-local read. A forked child's only thread has a
// new id, so the child forgets the inherited value.
thread_local unsigned int cachedThreadId = 0;

void forgetThreadIdInChild() { cachedThreadId = 0; }

void* threadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.entry(start.argument);
  return nullptr;
}

}  // namespace

unsigned int monotonicMilliseconds() {
  timespec now = monotonicNow();
  // Unsigned arithmetic: the product wraps, which is the intended 32-bit
  // truncation of the millisecond count.
  std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                     static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<unsigned int>(ms);
}

std::uint64_t monotonicNanoseconds() {
  timespec now = monotonicNow();
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

std::int64_t wallClockNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleepMilliseconds(unsigned int milliseconds) {
  if (milliseconds == 0xFFFFFFFFu) {
    for (;;) pause();
  }
  timespec left;
  left.tv_sec = milliseconds / 1000u;
  left.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
  // nanosleep leaves the unslept rest in `left` when a signal interrupts it.
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

void yieldThread() { sched_yield(); }

unsigned int currentThreadId() {
  if (cachedThreadId == 0) {
    static bool const forkHandled = atFork(nullptr, nullptr, forgetThreadIdInChild);
    (void)forkHandled;
    cachedThreadId = static_cast<unsigned int>(syscall(SYS_gettid));
  }
  return cachedThreadId;
}

unsigned int processId() { return static_cast<unsigned int>(getpid()); }

// Priorities are the thread's niceness, the opposite way round: a negative
// niceness gets more processor time. On Linux, PRIO_PROCESS with a thread
// id addresses that single thread.
int threadPriority() {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(currentThreadId()));
  if (nice == -1 && errno != 0) return 0;
  return -nice;
}

bool setThreadPriority(PriorityLevel level) {
  int const nice = level == PRIORITY_HIGHER ? -15 : level == PRIORITY_LOWER ? 5 : 0;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(currentThreadId()), nice) == 0;
}

bool atFork(void (*prepare)(), void (*parent)(), void (*child)()) {
  return pthread_atfork(prepare, parent, child) == 0;
}

bool atProcessExit(void (*)()) { return false; }

bool startThread(void (*entry)(void*), void* argument, unsigned int stackSize) {
  ThreadStart* start = new (std::nothrow) ThreadStart{entry, argument};
  if (!start) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete start;
    return false;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    // The system refuses stacks below its minimum; some systems also want a
    // whole number of pages.
    std::size_t size = stackSize;
    if (size < static_cast<std::size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) size = (size + page - 1) / page * page;
    pthread_attr_setstacksize(&attr, size);
  }
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, threadTrampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return false;
  }
  return true;
}

namespace {

struct ThreadExitCalls {
  std::vector<std::pair<void (*)(void*), void*>> calls;
  ~ThreadExitCalls() {
    while (!calls.empty()) {
      std::pair<void (*)(void*), void*> const call = calls.back();
      calls.pop_back();
      call.first(call.second);
    }
  }
};

}  // namespace

void atThreadExit(void (*call)(void*), void* argument) {
  static thread_local ThreadExitCalls list;
  list.calls.emplace_back(call, argument);
}

std::size_t currentThreadStackSize() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* address = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &address, &size) != 0) size = 0;
  pthread_attr_destroy(&attributes);
  return size;
}

std::string executablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);  // the name may have been cut: try with more room
  }
}

namespace {

// The program's arguments as they were when the library was loaded. The C
// library hands argc, argv and envp to every start-up function of a loaded
// object; this one runs before the library's own start-up (the section's
// number orders it first), so the arguments are at hand without reading
// /proc. Left empty where the C library passes nothing.
std::vector<std::string>& argumentsAtLoad() {
  static std::vector<std::string> arguments;
  return arguments;
}

void keepArguments(int argc, char** argv, char**) {
  if (argc <= 0 || argv == nullptr) return;
  std::vector<std::string>& arguments = argumentsAtLoad();
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
}

__attribute__((section(".init_array.00101"), used)) void (*const keepArgumentsAtLoad)(int, char**, char**) =
    keepArguments;

// What /proc says: the bytes of the arguments as they are now.
std::vector<std::string> argumentsFromProc() {
  std::vector<std::string> arguments;
  int const fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return arguments;
  std::string all;
  char buffer[4096];
  for (;;) {
    ssize_t const n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

}  // namespace

namespace {

// Each argument written so that the command-line tokeniser reads it back
// unchanged: white space, quotes and backslashes get a backslash, and an
// empty argument becomes "".
std::string quoteArguments(std::vector<std::string> const& arguments) {
  std::string line;
  for (std::string const& argument : arguments) {
    if (!line.empty()) line += ' ';
    if (argument.empty()) {
      line += "\"\"";
      continue;
    }
    for (char c : argument) {
      if (std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'' || c == '\\') line += '\\';
      line += c;
    }
  }
  return line;
}

// The machine name as Windows names processor architectures.
std::string archName(std::string const& machine) {
  auto starts = [&](char const* prefix) { return machine.compare(0, std::char_traits<char>::length(prefix), prefix) == 0; };
  if (machine == "x86_64" || machine == "amd64") return "x64";
  if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' && machine.compare(2, 2, "86") == 0)
    return "x86";
  if (starts("arm") || starts("aarch64")) return "arm";
  if (starts("mips")) return "mips";
  if (starts("ppc") || starts("powerpc")) return "ppc";
  if (machine == "alpha") return "alpha";
  if (starts("sh")) return "shx";
  return "?";
}

// "v" and the release's leading dotted numbers ("6.1.0-18-amd64" gives
// "v6.1.0").
std::string versionText(std::string const& release) {
  std::size_t end = 0;
  while (end < release.size() && (std::isdigit(static_cast<unsigned char>(release[end])) ||
                                  (release[end] == '.' && end + 1 < release.size() &&
                                   std::isdigit(static_cast<unsigned char>(release[end + 1])))))
    ++end;
  return "v" + release.substr(0, end);
}

}  // namespace

std::string commandLine() {
  std::vector<std::string> const& atLoad = argumentsAtLoad();
  return quoteArguments(atLoad.empty() ? argumentsFromProc() : atLoad);
}

SystemDescription describeSystem() {
  utsname u;
  if (uname(&u) != 0) return SystemDescription{" ", "v", "?"};
  return SystemDescription{std::string(u.sysname) + " " + u.release, versionText(u.release), archName(u.machine)};
}

std::string userName() {
  long const suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  for (;;) {
    passwd entry;
    passwd* found = nullptr;
    int const error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    return found && found->pw_name ? std::string(found->pw_name) : std::string();
  }
}

std::string userDocuments() {
  char const* documents = std::getenv("XDG_DOCUMENTS_DIR");
  if (documents && *documents) return documents;
  char const* home = std::getenv("HOME");
  if (!home || !*home) return std::string();
  std::string const candidate = std::string(home) + "/Documents";
  struct stat info;
  if (stat(candidate.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return candidate;
  return home;
}

std::string temporaryDirectory() {
  char const* directory = std::getenv("TMPDIR");
  return directory && *directory ? std::string(directory) : std::string("/tmp");
}

std::string systemMessage(unsigned int code) {
  if (code == 0) return std::string();
  // Made once and never freed: the messages it gives live as long as it.
  static locale_t const cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  char const* message = cLocale ? strerror_l(static_cast<int>(code), cLocale) : nullptr;
  // glibc names numbers it does not know "Unknown error N": no message.
  if (!message || std::strncmp(message, "Unknown error", 13) == 0) return std::string();
  return message;
}

}  // namespace platform
}  // namespace __
}  // namespace zu
