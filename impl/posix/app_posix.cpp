// Console control signals and the registry store's files on POSIX systems.
// Signals stand in for the console events other systems deliver.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // pipe2, renameat2
#endif

#include "platform/app_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace zu {
namespace app {
namespace __ {
namespace platform {

namespace {

// The event pipe: written by the signal handler, read by the hook's thread.
// Made once and kept open until the process ends, as a signal may arrive at
// any time. Plain atomics: the handler may read them at any moment.
std::atomic<int> eventPipeRead{-1};
std::atomic<int> eventPipeWrite{-1};

// Only async-signal-safe calls here: one write() of one byte, errno kept.
extern "C" void onConsoleSignal(int signalNumber) {
  int const savedErrno = errno;
  unsigned char event = CONSOLE_CTRL_C;
  switch (signalNumber) {
    case SIGQUIT: event = CONSOLE_CTRL_BREAK; break;
    case SIGHUP: event = CONSOLE_CTRL_CLOSE; break;
    case SIGTERM: event = CONSOLE_CTRL_SHUTDOWN; break;
    default: break;
  }
  int const fd = eventPipeWrite.load(std::memory_order_acquire);
  // A full pipe drops the event: hundreds of unread events already ask for
  // the same shutdown.
  if (fd >= 0) {
    ssize_t const written = ::write(fd, &event, 1);
    (void)written;
  }
  errno = savedErrno;
}

void closeDescriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

bool installConsoleSignals() {
  // The caller serialises installation; a second call finds the pipe.
  if (eventPipeWrite.load() >= 0) return true;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  eventPipeRead.store(fds[0]);
  eventPipeWrite.store(fds[1], std::memory_order_release);

  struct sigaction action;
  action.sa_handler = onConsoleSignal;
  ::sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  bool ok = true;
  for (int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    if (::sigaction(signalNumber, &action, nullptr) != 0) ok = false;
  }
  return ok;
}

ConsoleEventReader::ConsoleEventReader() {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

ConsoleEventReader::~ConsoleEventReader() {
  closeDescriptor(wake_[0]);
  closeDescriptor(wake_[1]);
}

int ConsoleEventReader::next() {
  if (wake_[0] < 0) return -1;
  for (;;) {
    struct pollfd waits[2];
    waits[0].fd = wake_[0];
    waits[0].events = POLLIN;
    waits[0].revents = 0;
    waits[1].fd = eventPipeRead.load();
    waits[1].events = POLLIN;
    waits[1].revents = 0;
    int const ready = ::poll(waits, waits[1].fd >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // The wake byte is never drained, so every later call returns at once.
    if (waits[0].revents) return -1;
    if (waits[1].revents & POLLIN) {
      unsigned char event = 0;
      ssize_t const got = ::read(waits[1].fd, &event, 1);
      if (got == 1) return event;
      // Another reader took it first.
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return -1;
    }
    if (waits[1].revents) return -1;
  }
}

void ConsoleEventReader::wake() {
  if (wake_[1] < 0) return;
  unsigned char const byte = 1;
  ssize_t const written = ::write(wake_[1], &byte, 1);
  (void)written;
}

std::string registryRoot() {
  char const* root = ::getenv("ZU_REGISTRY_ROOT");
  if (root && *root) return root;
  char const* data = ::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return std::string(data) + "/zu/registry";
  std::string home;
  if (char const* h = ::getenv("HOME")) home = h;
  if (home.empty()) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
      home = found->pw_dir;
  }
  if (home.empty()) return std::string();
  return home + "/.local/share/zu/registry";
}

int openDirectoryPath(std::string const& path, bool create) {
  if (path.empty()) return -1;
  if (create) {
    // Every missing directory from the top down; one that exists is fine.
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
      std::string const part = path.substr(0, slash);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return -1;
      if (slash == std::string::npos) break;
    }
  }
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int openDirectory(int directory, std::string const& name, bool create) {
  if (directory < 0) return -1;
  if (create && ::mkdirat(directory, name.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  return ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void closeDirectory(int directory) { closeDescriptor(directory); }

bool listDirectory(int directory, std::vector<std::string>& names) {
  names.clear();
  if (directory < 0) return false;
  // A description of its own, so the listing starts at the beginning
  // whatever was read through `directory` before.
  int const fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* stream = ::fdopendir(fd);
  if (!stream) {
    ::close(fd);
    return false;
  }
  errno = 0;
  while (struct dirent* entry = ::readdir(stream)) {
    std::string const name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  bool const ok = errno == 0;
  ::closedir(stream);
  return ok;
}

bool readFile(int directory, std::string const& name, std::string& content, bool& missing) {
  content.clear();
  missing = false;
  if (directory < 0) return false;
  int const fd = ::openat(directory, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return missing;
  }
  char buffer[16384];
  for (;;) {
    ssize_t const got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      content.clear();
      return false;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return true;
}

bool replaceFile(int directory, std::string const& name, std::string const& temporary,
                 std::string const& content) {
  if (directory < 0) return false;
  int const fd = ::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < content.size();) {
    ssize_t const put = ::write(fd, content.data() + done, content.size() - done);
    if (put < 0) {
      if (errno != EINTR) ok = false;
    } else {
      done += static_cast<std::size_t>(put);
    }
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) ok = false;
  if (!ok) {
    ::unlinkat(directory, temporary.c_str(), 0);
    return false;
  }
  // The rename itself reaches the disk with the directory. The new content
  // is in place either way, so a refused flush is not a failure.
  ::fsync(directory);
  return true;
}

bool renameEntry(int directory, std::string const& from, std::string const& to) {
  if (directory < 0) return false;
  return ::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0;
}

bool removeTree(int directory, std::string const& name) {
  if (directory < 0) return false;
  struct stat status;
  if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) return ::unlinkat(directory, name.c_str(), 0) == 0 || errno == ENOENT;
  int const sub = ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (sub < 0) return false;
  // A writer that still holds the directory may add a file while it is
  // emptied; a few rounds outlast it.
  bool removed = false;
  for (int round = 0; round < 10 && !removed; ++round) {
    std::vector<std::string> names;
    if (!listDirectory(sub, names)) break;
    bool ok = true;
    for (std::string const& child : names) ok = removeTree(sub, child) && ok;
    if (!ok) break;
    if (::unlinkat(directory, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
      removed = true;
    else if (errno != ENOTEMPTY && errno != EEXIST)
      break;
  }
  ::close(sub);
  return removed;
}

FileLock::FileLock(int directory, std::string const& name) : fd_(-1) {
  if (directory < 0) return;
  int const fd = ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return;
    }
  }
  fd_ = fd;
}

FileLock::~FileLock() {
  // Closing the only descriptor of the open file releases the lock.
  closeDescriptor(fd_);
}

unsigned int processId() { return static_cast<unsigned int>(::getpid()); }

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu
