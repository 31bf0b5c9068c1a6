// The file layer of the file-system family: directories held open as
// handles, listing, whole-file reads, atomic replacement, renaming that
// never replaces, tree removal and advisory file locks. The registry store
// is built on it as well. Free of operating-system headers; file_posix.cpp
// implements it for Linux and other POSIX systems.
#ifndef ZU_IMPL_FILE_PLATFORM_H
#define ZU_IMPL_FILE_PLATFORM_H

#include <string>
#include <vector>

namespace zu {
namespace fs {
namespace __ {
namespace platform {

// Directories are held open as handles (-1 for none); a handle stays valid
// for a directory that is moved or removed, and nothing can be created in a
// removed one. CURRENT_DIRECTORY stands for the process's working
// directory, against which relative and absolute paths resolve as usual.
extern int const CURRENT_DIRECTORY;

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

enum RenameResult {
  RENAME_DONE,
  RENAME_FAILED,       // the target exists, the source does not, ...
  RENAME_CROSS_DEVICE  // the two names are on different file systems
};
// Renames the entry `from` of `fromDirectory` to `to` of `toDirectory`,
// failing when `to` exists. File systems that cannot refuse by themselves
// get a hard link and an unlink for files, and a check before the rename for
// directories (a narrow race is left there).
RenameResult renameNoReplace(int fromDirectory, std::string const& from, int toDirectory, std::string const& to);

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

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu

#endif
