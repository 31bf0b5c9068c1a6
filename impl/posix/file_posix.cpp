// The file layer on POSIX systems: directories as descriptors, the *at
// calls relative to them, renameat2 where the file system has it.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // renameat2
#endif

#include "platform/file_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace zu {
namespace fs {
namespace __ {
namespace platform {

namespace {

// AT_FDCWD stands for the working directory in the *at calls, which is how
// renamePathNoReplace reaches them.
bool valid(int directory) { return directory >= 0 || directory == AT_FDCWD; }

}  // namespace

DirectoryHandle openDirectoryPath(std::string const& path, bool create) {
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

DirectoryHandle openDirectory(DirectoryHandle directory, std::string const& name, bool create) {
  if (!valid(directory)) return -1;
  if (create && ::mkdirat(directory, name.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  return ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void closeDirectory(DirectoryHandle directory) {
  if (directory >= 0) ::close(directory);
}

bool listDirectory(DirectoryHandle directory, std::vector<std::string>& names) {
  names.clear();
  if (!valid(directory)) return false;
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

bool readFile(DirectoryHandle directory, std::string const& name, std::string& content, bool& missing) {
  content.clear();
  missing = false;
  if (!valid(directory)) return false;
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

bool replaceFile(DirectoryHandle directory, std::string const& name, std::string const& temporary,
                 std::string const& content) {
  if (!valid(directory)) return false;
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

RenameResult renameNoReplace(DirectoryHandle fromDirectory, std::string const& from, DirectoryHandle toDirectory,
                             std::string const& to) {
  if (!valid(fromDirectory) || !valid(toDirectory)) return RENAME_FAILED;
  char const* const source = from.c_str();
  char const* const target = to.c_str();
  if (::renameat2(fromDirectory, source, toDirectory, target, RENAME_NOREPLACE) == 0) return RENAME_DONE;
  if (errno == EXDEV) return RENAME_CROSS_DEVICE;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return RENAME_FAILED;
  // The file system cannot refuse to replace by itself. A hard link fails
  // when the target exists, which keeps the check and the move one step.
  struct stat status;
  if (::fstatat(fromDirectory, source, &status, AT_SYMLINK_NOFOLLOW) != 0) return RENAME_FAILED;
  if (!S_ISDIR(status.st_mode)) {
    if (::linkat(fromDirectory, source, toDirectory, target, 0) != 0)
      return errno == EXDEV ? RENAME_CROSS_DEVICE : RENAME_FAILED;
    if (::unlinkat(fromDirectory, source, 0) != 0) {
      ::unlinkat(toDirectory, target, 0);
      return RENAME_FAILED;
    }
    return RENAME_DONE;
  }
  // Directories cannot be linked: check, then rename.
  if (::fstatat(toDirectory, target, &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return RENAME_FAILED;
  return ::renameat(fromDirectory, source, toDirectory, target) == 0 ? RENAME_DONE : RENAME_FAILED;
}

RenameResult renamePathNoReplace(std::string const& from, std::string const& to) {
  return renameNoReplace(AT_FDCWD, from, AT_FDCWD, to);
}

bool removeTree(DirectoryHandle directory, std::string const& name) {
  if (!valid(directory)) return false;
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

// The locked file's descriptor: closing the only descriptor of the open
// file releases the lock.
struct FileLock::Held {
  int const fd;
  explicit Held(int fd) : fd(fd) {}
  ~Held() { ::close(fd); }
};

FileLock::FileLock(DirectoryHandle directory, std::string const& name) {
  if (!valid(directory)) return;
  int const fd = ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return;
    }
  }
  held_.reset(new (std::nothrow) Held(fd));
  if (!held_) ::close(fd);
}

FileLock::~FileLock() {}

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu
