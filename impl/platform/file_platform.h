// The file layer under the registry's own store and the file-system
// family's renames: directories held open, listing, whole-file reads,
// atomic replacement, renaming that never replaces, tree removal and
// advisory file locks. Free of operating-system headers; each system's file
// (posix/file_posix.cpp, win32/file_win32.cpp) implements it.
#ifndef ZU_IMPL_FILE_PLATFORM_H
#define ZU_IMPL_FILE_PLATFORM_H

#include <memory>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace zu {
namespace fs {
namespace __ {
namespace platform {

// A directory held open (INVALID_DIRECTORY_HANDLE for none). The handle
// stays bound to the directory it was opened for: it stays valid when that
// directory is moved or removed, and nothing can be created in a removed
// one. Entries are named relative to such a handle.
using ::zu::__::platform::DirectoryHandle;
using ::zu::__::platform::INVALID_DIRECTORY_HANDLE;
using ::zu::__::platform::isValidDirectory;

// Opens `path` as a directory, creating it and the missing directories above
// it when `create` is set.
DirectoryHandle openDirectoryPath(std::string const& path, bool create);
// Opens the entry `name` of `directory` as a directory, making it first when
// `create` is set and it is missing; "." opens `directory` once more.
DirectoryHandle openDirectory(DirectoryHandle directory, std::string const& name, bool create);
// Releases a handle; an invalid one is left alone.
void closeDirectory(DirectoryHandle directory);

// The names in `directory` except "." and ".."; false when it cannot be
// read.
bool listDirectory(DirectoryHandle directory, std::vector<std::string>& names);

// The whole content of the file `name`; `missing` tells that it does not
// exist (content empty, result true).
bool readFile(DirectoryHandle directory, std::string const& name, std::string& content, bool& missing);
// Replaces the file `name` by `content` so that every reader sees the old or
// the new content in full, also across a crash: `temporary` is written and
// flushed to disk, and then put in place of `name` in one step that
// reaches the disk as well.
bool replaceFile(DirectoryHandle directory, std::string const& name, std::string const& temporary,
                 std::string const& content);

enum RenameResult {
  RENAME_DONE,
  RENAME_FAILED,       // the target exists, the source does not, ...
  RENAME_CROSS_DEVICE  // the two names are on different file systems
};
// Renames the entry `from` of `fromDirectory` to `to` of `toDirectory`,
// failing when `to` exists. File systems that cannot refuse by themselves
// get a hard link and an unlink for files, and a check before the rename for
// directories (a narrow race is left there).
RenameResult renameNoReplace(DirectoryHandle fromDirectory, std::string const& from, DirectoryHandle toDirectory,
                             std::string const& to);
// The same for two paths (absolute, or relative to the working directory).
RenameResult renamePathNoReplace(std::string const& from, std::string const& to);

// Removes the entry `name` of `directory` with everything below it.
bool removeTree(DirectoryHandle directory, std::string const& name);

// An exclusive advisory lock on the file `name` of `directory` (created when
// missing), held by the object until it is destroyed. Excludes other
// processes and other locks of this process alike.
class FileLock {
 public:
  FileLock(DirectoryHandle directory, std::string const& name);
  ~FileLock();
  FileLock(FileLock const&) = delete;
  FileLock& operator=(FileLock const&) = delete;
  bool locked() const { return held_ != nullptr; }

 private:
  // What the system holds for the lock (on POSIX the locked file's
  // descriptor); null when the lock could not be taken.
  struct Held;
  std::unique_ptr<Held> held_;
};

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu

#endif
