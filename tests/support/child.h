// Child processes in tests: a program started with arguments, optionally
// with changed environment entries and its standard streams on files,
// waited for with a deadline, and its exit code read. posix_spawn on
// POSIX systems, CreateProcessW on Windows.
//
//   zu::test::Child child;
//   ASSERT_TRUE(child.start(zu::test::Child::self(), {"--gtest_filter=X.Y"}, options));
//   ASSERT_TRUE(child.wait(std::chrono::seconds(30)));
//   EXPECT_EQ(0, child.exitCode());
//
// A child still running when its Child object goes is killed and reaped.
#ifndef ZU_TESTS_SUPPORT_CHILD_H
#define ZU_TESTS_SUPPORT_CHILD_H

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <cwchar>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <climits>
#include <cstring>
extern char** environ;
#endif

namespace zu {
namespace test {

struct ChildOptions {
  // "NAME=value" sets an entry, "NAME" alone removes it; the rest of this
  // process's environment is passed on unchanged.
  std::vector<std::string> environment;
  // Files for the standard streams (created or truncated for output);
  // empty: the stream is this process's own. stdout and stderr may name
  // the same file.
  std::string input, output, error;
};

class Child {
 public:
  Child() = default;
  Child(Child const&) = delete;
  Child& operator=(Child const&) = delete;
  ~Child() { kill(); }

  // This test program's own path, to run it again as a child.
  static std::string self();

  // Starts `program` (a path; without a folder it is looked up in PATH)
  // with `arguments` (not including the program itself). False when the
  // program could not be started, or when a child is already running.
  bool start(std::string const& program, std::vector<std::string> const& arguments,
             ChildOptions const& options = ChildOptions());

  // True once the child has ended, waiting for it at most `limit`.
  bool wait(std::chrono::milliseconds limit);

  // True while the child started and has not been seen ending.
  bool running() { return started_ && !wait(std::chrono::milliseconds(0)); }

  // The ended child's exit code. A POSIX child ended by a signal gives
  // 128 + the signal's number, as shells report it; -1 before the end.
  int exitCode() const { return exitCode_; }

  // The system's process id (for POSIX tests that send signals).
  long id() const;

  // Ends a running child at once and reaps it.
  void kill();

 private:
  bool started_ = false;
  int exitCode_ = -1;
#ifdef _WIN32
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
#else
  pid_t pid_ = -1;
#endif
};

// This process's arguments as the system hands them to the program, the
// program first.
inline std::vector<std::string> processArguments();

#ifdef _WIN32

namespace child_detail {

inline std::wstring widen(std::string const& text) {
  if (text.empty()) return std::wstring();
  int const size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// One argument quoted so that the C runtime's command-line parser gives it
// back unchanged: backslashes count only before a quote.
inline void appendQuoted(std::wstring& line, std::wstring const& argument) {
  if (!line.empty()) line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

inline bool sameName(std::wstring const& entry, std::wstring const& name) {
  // Names compare without regard to case on Windows; "=C:" entries start
  // with '=', so the name ends at the first '=' after the first character.
  std::size_t const end = entry.find(L'=', 1);
  std::wstring const own = entry.substr(0, end);
  return own.size() == name.size() && ::_wcsicmp(own.c_str(), name.c_str()) == 0;
}

// This process's environment with `changes`, as a block for CreateProcessW.
inline std::wstring environmentBlock(std::vector<std::string> const& changes) {
  std::vector<std::wstring> entries;
  if (wchar_t* const block = ::GetEnvironmentStringsW()) {
    for (wchar_t const* p = block; *p; p += std::wcslen(p) + 1) entries.emplace_back(p);
    ::FreeEnvironmentStringsW(block);
  }
  for (std::string const& change : changes) {
    std::wstring const wide = widen(change);
    std::wstring const name = wide.substr(0, wide.find(L'='));
    std::vector<std::wstring> kept;
    for (std::wstring& e : entries)
      if (!sameName(e, name)) kept.push_back(std::move(e));
    entries.swap(kept);
    if (wide.find(L'=') != std::wstring::npos) entries.push_back(wide);
  }
  std::wstring out;
  for (std::wstring const& e : entries) out += e + L'\0';
  out += L'\0';
  return out;
}

inline HANDLE openStream(std::string const& path, bool write) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return ::CreateFileW(widen(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace child_detail

inline std::string Child::self() {
  std::wstring path(32768, L'\0');
  DWORD const n = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(n);
  int const size = ::WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0, nullptr,
                                         nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &out[0], size, nullptr, nullptr);
  return out;
}

inline bool Child::start(std::string const& program, std::vector<std::string> const& arguments,
                         ChildOptions const& options) {
  if (running()) return false;
  if (process_) ::CloseHandle(process_);
  process_ = nullptr;
  started_ = false;
  exitCode_ = -1;
  std::wstring line;
  child_detail::appendQuoted(line, child_detail::widen(program));
  for (std::string const& a : arguments) child_detail::appendQuoted(line, child_detail::widen(a));
  std::wstring environment = child_detail::environmentBlock(options.environment);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  HANDLE opened[3] = {nullptr, nullptr, nullptr};
  bool const redirect = !options.input.empty() || !options.output.empty() || !options.error.empty();
  bool ok = true;
  if (redirect) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    if (!options.input.empty()) ok &= (startup.hStdInput = opened[0] = child_detail::openStream(options.input, false)) != INVALID_HANDLE_VALUE;
    if (ok && !options.output.empty()) ok &= (startup.hStdOutput = opened[1] = child_detail::openStream(options.output, true)) != INVALID_HANDLE_VALUE;
    if (ok && !options.error.empty()) {
      if (options.error == options.output) {
        startup.hStdError = startup.hStdOutput;
      } else {
        ok &= (startup.hStdError = opened[2] = child_detail::openStream(options.error, true)) != INVALID_HANDLE_VALUE;
      }
    }
  }
  PROCESS_INFORMATION info = {};
  if (ok) {
    ok = ::CreateProcessW(nullptr, &line[0], nullptr, nullptr, redirect ? TRUE : FALSE, CREATE_UNICODE_ENVIRONMENT,
                          &environment[0], nullptr, &startup, &info) != 0;
  }
  for (HANDLE h : opened)
    if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  if (!ok) return false;
  ::CloseHandle(info.hThread);
  process_ = info.hProcess;
  id_ = info.dwProcessId;
  started_ = true;
  return true;
}

inline bool Child::wait(std::chrono::milliseconds limit) {
  if (!started_ || !process_) return true;
  DWORD const ms = limit.count() < 0 ? 0 : limit.count() > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(limit.count());
  if (::WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  exitCode_ = static_cast<int>(code);
  ::CloseHandle(process_);
  process_ = nullptr;
  return true;
}

inline long Child::id() const { return static_cast<long>(id_); }

inline std::vector<std::string> processArguments() {
  std::vector<std::string> out;
  typedef LPWSTR*(WINAPI * Split)(LPCWSTR, int*);
  HMODULE const shell = ::LoadLibraryW(L"shell32.dll");
  Split const split =
      shell ? reinterpret_cast<Split>(reinterpret_cast<void*>(::GetProcAddress(shell, "CommandLineToArgvW"))) : nullptr;
  int count = 0;
  LPWSTR* const words = split ? split(::GetCommandLineW(), &count) : nullptr;
  for (int i = 0; words && i < count; ++i) {
    int const n = ::WideCharToMultiByte(CP_UTF8, 0, words[i], -1, nullptr, 0, nullptr, nullptr);
    std::string word(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, words[i], -1, &word[0], n, nullptr, nullptr);
    word.resize(word.size() - 1);
    out.push_back(word);
  }
  if (words) ::LocalFree(words);
  return out;
}

inline void Child::kill() {
  if (!process_) return;
  if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) ::TerminateProcess(process_, 137);
  wait(std::chrono::seconds(30));
  if (process_) ::CloseHandle(process_);
  process_ = nullptr;
}

#else  // POSIX

inline std::string Child::self() {
  char path[PATH_MAX];
  ssize_t const n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

inline bool Child::start(std::string const& program, std::vector<std::string> const& arguments,
                         ChildOptions const& options) {
  if (running()) return false;
  started_ = false;
  exitCode_ = -1;
  pid_ = -1;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (std::string const& change : options.environment) {
    std::string const name = change.substr(0, change.find('='));
    std::vector<std::string> kept;
    for (std::string& e : env)
      if (e.compare(0, e.find('='), name) != 0) kept.push_back(std::move(e));
    env.swap(kept);
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.input.empty()) posix_spawn_file_actions_addopen(&actions, 0, options.input.c_str(), O_RDONLY, 0);
  if (!options.output.empty())
    posix_spawn_file_actions_addopen(&actions, 1, options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!options.error.empty()) {
    if (options.error == options.output) {
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, options.error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
  }
  pid_t pid = -1;
  int const rc = program.find('/') == std::string::npos
                     ? ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data())
                     : ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;
  started_ = true;
  return true;
}

inline bool Child::wait(std::chrono::milliseconds limit) {
  if (!started_ || pid_ <= 0) return true;
  auto const deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t const got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
      pid_ = -1;
      return true;
    }
    if (got < 0) {  // not our child any more: nothing to wait for
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline long Child::id() const { return static_cast<long>(pid_); }

inline std::vector<std::string> processArguments() {
  std::vector<std::string> out;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string const raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t start = 0; start < raw.size();) {
    std::size_t const end = raw.find('\0', start);
    out.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

inline void Child::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  wait(std::chrono::seconds(30));
}

#endif

}  // namespace test
}  // namespace zu

#endif
