// The system side of files, directories and paths as the file-system family
// sees them by name: files opened with the family's modes, transfers,
// positions and sizes, node queries, and the current directory. Free of
// operating-system headers; each system's file (posix/fs_posix.cpp,
// win32/fs_win32.cpp) implements it.
//
// Failures come back as the system's own error codes (0 for none). The
// family never reads them: it reports them with translateFileError, which
// gives its codes and the system's English text, so each code is mapped
// once, in the system's file.
#ifndef ZU_IMPL_FS_PLATFORM_H
#define ZU_IMPL_FS_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <zu/string.h>

#include "platform/handles.h"

namespace zu {
namespace fs {
namespace __ {
namespace platform {

// The system's handle of an open file.
using ::zu::__::platform::FileHandle;
using ::zu::__::platform::INVALID_FILE_HANDLE;
using ::zu::__::platform::isValidFile;

// System codes the family raises itself.
extern unsigned int const SYSTEM_NOT_FOUND;   // no such file
extern unsigned int const SYSTEM_BAD_HANDLE;  // nothing open
extern unsigned int const SYSTEM_NO_SPACE;    // the device took nothing more
extern unsigned int const SYSTEM_INVALID;     // an argument out of range

// The em translation function of the family: the family's code for the
// system code `raw` (0 none, 1 not found, 2 exists, 3 no space, 4 denied,
// 5 not open, 100 anything else) and the system's English text for it.
void translateFileError(unsigned int raw, unsigned int* code, String* text);

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
enum OpenMode { OPEN_MODE_READ, OPEN_MODE_EXISTING, OPEN_MODE_ALWAYS, OPEN_MODE_NEW };

// A handle of the file `path`, or INVALID_FILE_HANDLE with `error` set. A
// directory is refused.
FileHandle openFile(std::string const& path, OpenMode mode, unsigned int& error);
// Closes `file`; the handle is gone whatever the result: 0 or the system
// code. An interrupted close counts as done.
unsigned int closeFile(FileHandle file);

// One transfer of at most `size` bytes, resumed after signal interruptions:
// the bytes moved (0 at the end of the file, or when nothing could be
// written), or -1 with `error` set.
std::int64_t readSome(FileHandle file, void* buffer, std::size_t size, unsigned int& error);
std::int64_t writeSome(FileHandle file, void const* data, std::size_t size, unsigned int& error);

// Positions and sizes; each returns 0 or the system code.
unsigned int fileSize(FileHandle file, std::uint64_t& size);
unsigned int seekFile(FileHandle file, std::int64_t position);
unsigned int filePosition(FileHandle file, std::int64_t& position);
unsigned int truncateFile(FileHandle file, std::int64_t size);  // leaves the position alone

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

// Path texts in the system's canonical absolute form (see zu::fs::Path):
// the separator of canonical paths, the canonical form of `text` ("" for
// "" and when it has none), the root of a canonical path, and the path of
// the file URL for a canonical path.
extern char const PATH_SEPARATOR;
std::string canonicalPath(std::string const& text);
std::string pathRoot(std::string const& canonical);
std::string urlPath(std::string const& canonical);

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu

#endif
