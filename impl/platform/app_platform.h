// The operating-system layer under the application services: console
// control signals, and the directories, files and locks of the registry
// store. Free of operating-system headers; app_posix.cpp implements it for
// Linux and other POSIX systems.
#ifndef ZU_IMPL_APP_PLATFORM_H
#define ZU_IMPL_APP_PLATFORM_H

#include <string>
#include <vector>

namespace zu {
namespace app {
namespace __ {
namespace platform {

// Console control events as the hook numbers them.
enum {
  CONSOLE_CTRL_C = 0,
  CONSOLE_CTRL_BREAK = 1,
  CONSOLE_CTRL_CLOSE = 2,
  CONSOLE_CTRL_LOGOFF = 5,
  CONSOLE_CTRL_SHUTDOWN = 6
};

// Routes SIGINT, SIGQUIT, SIGHUP and SIGTERM into the process-wide event
// pipe as events 0, 1, 2 and 6. Only the first successful call changes
// anything; false when the pipe or a handler could not be set up.
bool installConsoleSignals();

// Reads console events from the event pipe on one thread; another thread
// ends a wait with wake(). Events not read stay queued for the next reader.
class ConsoleEventReader {
 public:
  ConsoleEventReader();
  ~ConsoleEventReader();
  ConsoleEventReader(ConsoleEventReader const&) = delete;
  ConsoleEventReader& operator=(ConsoleEventReader const&) = delete;

  // Blocks for the next event (0..255); -1 once wake() was called or when
  // waiting failed.
  int next();
  // Makes the current and every later next() return -1. Async-signal-safe.
  void wake();

 private:
  int wake_[2];
};

// The registry store. Directories are held open as descriptors (-1 for
// none); a descriptor stays valid for a directory that is moved or removed,
// and nothing can be created in a removed one.

// $ZU_REGISTRY_ROOT, else $XDG_DATA_HOME/zu/registry (an absolute
// $XDG_DATA_HOME only), else $HOME/.local/share/zu/registry; "" when no home
// is known.
std::string registryRoot();

// Opens `path` as a directory, creating it and the missing directories above
// it when `create` is set.
int openDirectoryPath(std::string const& path, bool create);
// Opens the entry `name` of `directory` as a directory, making it first when
// `create` is set and it is missing.
int openDirectory(int directory, std::string const& name, bool create);
void closeDirectory(int directory);

// The names in `directory` except "." and ".."; false when it cannot be
// read.
bool listDirectory(int directory, std::vector<std::string>& names);

// The whole content of the file `name`; `missing` tells that it does not
// exist (content empty, result true).
bool readFile(int directory, std::string const& name, std::string& content, bool& missing);
// Replaces the file `name` by `content` so that every reader sees the old or
// the new content in full, also across a crash: `temporary` is written and
// flushed to disk, renamed over `name`, and the directory flushed.
bool replaceFile(int directory, std::string const& name, std::string const& temporary,
                 std::string const& content);

// Renames the entry `from` of `directory` to `to`, failing if `to` exists.
bool renameEntry(int directory, std::string const& from, std::string const& to);
// Removes the entry `name` of `directory` with everything below it.
bool removeTree(int directory, std::string const& name);

// An exclusive advisory lock on the file `name` of `directory` (created when
// missing), held by the object until it is destroyed. Excludes other
// processes and other locks of this process alike.
class FileLock {
 public:
  FileLock(int directory, std::string const& name);
  ~FileLock();
  FileLock(FileLock const&) = delete;
  FileLock& operator=(FileLock const&) = delete;
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The process id, for names of temporary entries.
unsigned int processId();

}  // namespace platform
}  // namespace __
}  // namespace app
}  // namespace zu

#endif
