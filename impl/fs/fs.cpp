// Files, listings and path queries on POSIX descriptors and directory
// streams.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // statx
#endif
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64  // 64-bit sizes and offsets on 32-bit targets too
#endif

#include <zu/em.h>
#include <zu/fs.h>

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "platform/file_platform.h"

namespace zu {
namespace fs {

namespace platform = __::platform;

namespace {

// errno values into the file family's codes; the text is the system's
// English message whatever the process locale is.
void translateFileError(unsigned int rawCode, unsigned int* code, String* text) {
  if (code) {
    switch (rawCode) {
      case 0: *code = 0; break;
      case ENOENT:
      case ENOTDIR: *code = 1; break;
      case EEXIST: *code = 2; break;
      case ENOSPC:
      case EDQUOT: *code = 3; break;
      case EACCES:
      case EPERM:
      case EROFS: *code = 4; break;
      case EBADF: *code = 5; break;
      default: *code = 100; break;
    }
  }
  if (text) {
    // Made once and never freed: it must outlive every report.
    static locale_t const cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    char const* message = cLocale ? ::strerror_l(static_cast<int>(rawCode), cLocale) : nullptr;
    *text = message ? String(message) : String();
  }
}

// Closes a descriptor without letting EINTR leave it half-closed: on Linux
// the descriptor is gone whatever close() returns, so it is never retried.
int closeDescriptor(int fd) { return ::close(fd); }

struct stat* statOf(String const& path, struct stat* st) {
  Path canonical(path);
  if (canonical.toString().empty()) return nullptr;
  return ::stat(canonical.toString().cstr(), st) == 0 ? st : nullptr;
}

}  // namespace

// ---------------------------------------------------------------- queries

bool exists(String const& path) {
  struct stat st;
  return statOf(path, &st) != nullptr;
}

NodeType type(String const& path) {
  struct stat st;
  if (!statOf(path, &st)) return Unknown;
  if (S_ISDIR(st.st_mode)) return Directory;
  if (S_ISREG(st.st_mode)) return File;
  return Unknown;
}

namespace {

sys::Time fileTime(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > INT_MAX) seconds = INT_MAX;  // Time holds 32-bit seconds
  return sys::Time(static_cast<int>(seconds), 0);
}

}  // namespace

bool time(String const& path, sys::Time& created, sys::Time& modified, sys::Time& accessed) {
  String text = Path(path).toString();
  if (text.empty()) return false;
  struct statx sx;
  if (::statx(AT_FDCWD, text.cstr(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    bool hasBirth = (sx.stx_mask & STATX_BTIME) != 0;
    created = fileTime(hasBirth ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec);
    modified = fileTime(sx.stx_mtime.tv_sec);
    accessed = fileTime(sx.stx_atime.tv_sec);
    return true;
  }
  if (errno != ENOSYS) return false;
  // Kernels before 4.11 lack statx.
  struct stat st;
  if (::stat(text.cstr(), &st) != 0) return false;
  created = fileTime(st.st_ctime);
  modified = fileTime(st.st_mtime);
  accessed = fileTime(st.st_atime);
  return true;
}

namespace {

// Moves a regular file to another file system, as a rename cannot: the copy
// is made under the new name (created exclusively, so an existing target is
// never touched) and the original is removed only once the copy is whole.
bool moveAcrossFileSystems(char const* source, char const* target) {
  int in = ::open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    closeDescriptor(in);
    return false;
  }
  int out = ::open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    closeDescriptor(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) ok = false;
      else done += w;
    }
    if (!ok) break;
  }
  if (ok && ::fsync(out) != 0) ok = false;
  if (closeDescriptor(out) != 0 && errno != EINTR) ok = false;
  closeDescriptor(in);
  if (ok && ::unlink(source) == 0) return true;
  ::unlink(target);
  return false;
}

}  // namespace

bool rename(String const& from, String const& to) {
  String source = Path(from).toString();
  String target = Path(to).toString();
  if (source.empty() || target.empty()) return false;
  switch (platform::renameNoReplace(platform::CURRENT_DIRECTORY, source.cstr(), platform::CURRENT_DIRECTORY,
                                    target.cstr())) {
    case platform::RENAME_DONE:
      return true;
    case platform::RENAME_CROSS_DEVICE:
      return moveAcrossFileSystems(source.cstr(), target.cstr());
    default:
      return false;
  }
}

// ------------------------------------------------------------------- files

namespace impl {

class File : public IFile, public func::IIO, public func::IRandomAccess {
 public:
  explicit File(String const& path) : path_(path) {}
  ~File() override { closeHandle(); }

  Path path() override { return path_; }
  func::IIO* toIO() override { return this; }
  func::IRandomAccess* toRandomAccess() override { return this; }

  bool open(bool readOnly, unsigned int mode) override {
    closeHandle();
    String text = path_.toString();
    if (text.empty()) return fail(ENOENT);
    int flags = O_CLOEXEC;
    if (readOnly) {
      flags |= O_RDONLY;
    } else {
      flags |= O_RDWR;
      if (mode == FILE_MODE_OPEN_ALWAYS)
        flags |= O_CREAT;
      else if (mode == FILE_MODE_CREATE_NEW)
        flags |= O_CREAT | O_EXCL;
    }
    int fd;
    do {
      fd = ::open(text.cstr(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(errno);
    // A directory opens read-only on Linux but is not a file to read.
    struct stat st;
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error != 0) {
      closeDescriptor(fd);
      return fail(error);
    }
    fd_ = fd;
    return true;
  }

  bool isOpen() override { return fd_ >= 0; }

  bool close() override {
    if (fd_ < 0) return fail(EBADF);
    int result = closeDescriptor(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) return fail(errno);
    return true;
  }

  bool atEnd() override {
    if (fd_ < 0) {
      fail(EBADF);
      return true;
    }
    return position() >= size();
  }

  // IIO: loops over short transfers so a signal cannot cut a request short.
  unsigned int read(void* buffer, unsigned int size) override {
    if (fd_ < 0) return fail(EBADF), 0;
    char* out = static_cast<char*>(buffer);
    unsigned int done = 0;
    while (done < size) {
      ssize_t n = ::read(fd_, out + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(errno);
        break;
      }
      if (n == 0) break;
      done += static_cast<unsigned int>(n);
    }
    return done;
  }

  unsigned int write(void const* data, unsigned int size) override {
    if (fd_ < 0) return fail(EBADF), 0;
    char const* in = static_cast<char const*>(data);
    unsigned int done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, in + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(errno);
        break;
      }
      if (n == 0) {
        fail(ENOSPC);
        break;
      }
      done += static_cast<unsigned int>(n);
    }
    return done;
  }

  // IRandomAccess
  std::uint64_t size() override {
    if (fd_ < 0) return fail(EBADF), 0;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return fail(errno), 0;
    return static_cast<std::uint64_t>(st.st_size);
  }

  bool seek(std::uint64_t position) override {
    if (fd_ < 0) return fail(EBADF);
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return fail(EINVAL);
    if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) return fail(errno);
    return true;
  }

  std::uint64_t position() override {
    if (fd_ < 0) return fail(EBADF), 0;
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return fail(errno), 0;
    return static_cast<std::uint64_t>(at);
  }

  // ftruncate leaves the position where it was, which is what remembering
  // it and seeking back would give.
  bool setSize(std::uint64_t size) override {
    if (fd_ < 0) return fail(EBADF);
    if (size > static_cast<std::uint64_t>(INT64_MAX)) return fail(EINVAL);
    int result;
    do {
      result = ::ftruncate(fd_, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0) return fail(errno);
    return true;
  }

 private:
  // Reports under the address callers know: the IFile pointer, which is
  // this object's address.
  bool fail(int error) {
    em::report(static_cast<IFile*>(this), static_cast<unsigned int>(error), translateFileError);
    return false;
  }

  void closeHandle() {
    if (fd_ >= 0) {
      closeDescriptor(fd_);
      fd_ = -1;
    }
  }

  Path path_;
  int fd_ = -1;
};

}  // namespace impl

boost::shared_ptr<IFile> IFile::New(String const& path) {
  return boost::shared_ptr<IFile>(new impl::File(path));
}

std::uint64_t IFile::length(String const& path) {
  struct stat st;
  if (!statOf(path, &st) || !S_ISREG(st.st_mode)) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

bool IFile::remove(String const& path) {
  String text = Path(path).toString();
  return !text.empty() && ::unlink(text.cstr()) == 0;
}

// ------------------------------------------------------------- directories

namespace impl {

// Reads every name at open and hands them out sorted, so listings do not
// depend on the file system's order and hold no descriptor while open.
class Directory : public IDirectory {
 public:
  explicit Directory(String const& path) : path_(path) {}
  ~Directory() override {}

  String path() override { return path_.toString(); }

  bool open(unsigned int mask) override {
    close();
    mask_ = mask;
    String text = path_.toString();
    if (text.empty()) return false;
    DIR* dir = ::opendir(text.cstr());
    if (!dir) return false;
    std::vector<std::string> names;
    try {
      errno = 0;
      while (struct dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
      }
    } catch (...) {
      ::closedir(dir);
      return false;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    names_.swap(names);
    open_ = true;
    index_ = 0;
    current_ = static_cast<std::size_t>(-1);
    if (advance()) return true;
    close();
    return false;
  }

  void close() override {
    open_ = false;
    names_.clear();
    index_ = 0;
    current_ = static_cast<std::size_t>(-1);
  }

  bool isOpen() override { return open_; }

  bool next() override { return open_ && advance(); }

  String name() override {
    if (current_ >= names_.size()) return String();
    std::string const& n = names_[current_];
    return String(n.c_str(), static_cast<unsigned int>(n.size()));
  }

 private:
  bool advance() {
    while (index_ < names_.size()) {
      std::size_t at = index_++;
      if (accepted(names_[at])) {
        current_ = at;
        return true;
      }
    }
    current_ = static_cast<std::size_t>(-1);
    return false;
  }

  bool accepted(std::string const& name) const {
    if (mask_ == 0x1FF) return true;
    // The raw name, not a Path: a backslash is an ordinary byte in a name.
    std::string full(path_.toString().cstr());
    if (full != "/") full += '/';
    full += name;
    struct stat st;
    unsigned int kind = Unknown;
    if (::stat(full.c_str(), &st) == 0)
      kind = S_ISDIR(st.st_mode) ? ::zu::fs::Directory : S_ISREG(st.st_mode) ? ::zu::fs::File : ::zu::fs::Unknown;
    return (kind & mask_) != 0;
  }

  Path path_;
  unsigned int mask_ = 0;
  bool open_ = false;
  std::vector<std::string> names_;
  std::size_t index_ = 0;
  std::size_t current_ = static_cast<std::size_t>(-1);
};

}  // namespace impl

boost::shared_ptr<IDirectory> IDirectory::New(String const& path) {
  return boost::shared_ptr<IDirectory>(new impl::Directory(path));
}

bool IDirectory::make(String const& path, bool recursive) {
  Path target(path);
  if (target.toString().empty()) return false;
  if (exists(target)) return true;
  if (recursive) {
    Path parent = target.getParent();
    if (parent.toString().empty()) return false;
    if (!exists(parent) && !make(parent, true)) return false;
  }
  if (::mkdir(target.toString().cstr(), 0777) == 0) return true;
  // Another thread or process made it in between: the caller's wish holds.
  return errno == EEXIST && type(target) == Directory;
}

bool IDirectory::remove(String const& path) {
  String text = Path(path).toString();
  return !text.empty() && ::rmdir(text.cstr()) == 0;
}

}  // namespace fs
}  // namespace zu
