// The system side of files, directories and paths as the file-system family
// sees them by name: descriptors opened with the family's modes, transfers,
// positions and sizes, node queries, and the current directory. Free of
// operating-system headers; fs_posix.cpp implements it for Linux and other
// POSIX systems.
//
// Failures come back as the system's raw error numbers (0 for none), which
// the family reports as they are and turns into its own codes with
// fileErrorCode.
#ifndef ZU_IMPL_FS_PLATFORM_H
#define ZU_IMPL_FS_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zu {
namespace fs {
namespace __ {
namespace platform {

// Raw error numbers the family raises itself.
extern int const ERROR_NOT_FOUND;   // no such file
extern int const ERROR_BAD_HANDLE;  // nothing open
extern int const ERROR_NO_SPACE;    // the device took nothing more
extern int const ERROR_INVALID;     // an argument out of range

// The family's code for raw error `raw`: 0 none, 1 not found, 2 exists,
// 3 no space, 4 denied, 5 bad handle, 100 anything else.
unsigned int fileErrorCode(unsigned int raw);

enum NodeKind { NODE_FILE, NODE_DIRECTORY, NODE_OTHER };

struct NodeInfo {
  NodeKind kind;
  std::uint64_t size;
};

// What `path` is (following links); false when it cannot be asked.
bool nodeInfo(std::string const& path, NodeInfo& info);

// Creation (birth where the file system keeps it, else the last status
// change), modification and access times of `path`, in seconds since 1970.
bool nodeTimes(std::string const& path, std::int64_t& created, std::int64_t& modified, std::int64_t& accessed);

// How a file is opened: for reading only, or for reading and writing an
// existing file, any file (created when missing), or a new one (failing
// when it exists).
enum OpenMode { OPEN_READ, OPEN_EXISTING, OPEN_ALWAYS, OPEN_NEW };

// A descriptor for the file `path`, or -1 with `error` set. A directory is
// refused.
int openFile(std::string const& path, OpenMode mode, int& error);
// Closes `fd`; the descriptor is gone whatever the result. An interrupted
// close counts as done.
int closeFile(int fd);

// One transfer of at most `size` bytes, resumed after signal interruptions:
// the bytes moved (0 at the end of the file, or when nothing could be
// written), or -1 with `error` set.
std::int64_t readSome(int fd, void* buffer, std::size_t size, int& error);
std::int64_t writeSome(int fd, void const* data, std::size_t size, int& error);

// Positions and sizes; each returns 0 or the raw error.
int fileSize(int fd, std::uint64_t& size);
int seekFile(int fd, std::int64_t position);
int filePosition(int fd, std::int64_t& position);
int truncateFile(int fd, std::int64_t size);  // leaves the position alone

// Moves the regular file `source` to `target` on another file system: the
// copy is made under the new name (created exclusively, so an existing
// target is never touched) and the original is removed only once the copy
// is whole and on disk.
bool moveAcrossFileSystems(std::string const& source, std::string const& target);

bool removeFile(std::string const& path);
bool removeDirectory(std::string const& path);
// Makes the directory `path`; `existed` tells a failure because the name is
// already taken.
bool makeDirectory(std::string const& path, bool& existed);

// Every name in the directory `path`, "." and ".." included, in the file
// system's order; false when it cannot be opened.
bool listDirectoryPath(std::string const& path, std::vector<std::string>& names);

// The process's working directory, or "" when it cannot be read (removed,
// or too long for any buffer worth trying).
std::string currentDirectory();

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu

#endif
