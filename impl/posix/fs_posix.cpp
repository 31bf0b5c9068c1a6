// Files, listings and path queries on POSIX descriptors and directory
// streams.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // statx
#endif
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64  // 64-bit sizes and offsets on 32-bit targets too
#endif

#include "platform/fs_platform.h"
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace zu {
namespace fs {
namespace __ {
namespace platform {

unsigned int const SYSTEM_NOT_FOUND = ENOENT;
unsigned int const SYSTEM_BAD_HANDLE = EBADF;
unsigned int const SYSTEM_NO_SPACE = ENOSPC;
unsigned int const SYSTEM_INVALID = EINVAL;

namespace {

unsigned int fileErrorCode(unsigned int raw) {
  switch (raw) {
    case 0: return 0;
    case ENOENT:
    case ENOTDIR: return 1;
    case EEXIST: return 2;
    case ENOSPC:
    case EDQUOT: return 3;
    case EACCES:
    case EPERM:
    case EROFS: return 4;
    case EBADF: return 5;
    default: return 100;
  }
}

}  // namespace

void translateFileError(unsigned int raw, unsigned int* code, String* text) {
  if (code) *code = fileErrorCode(raw);
  // The system's English message whatever the process locale is.
  if (text) *text = String(::zu::__::platform::systemMessage(raw).c_str());
}

namespace {

NodeKind kindOf(mode_t mode) {
  return S_ISDIR(mode) ? NODE_DIRECTORY : S_ISREG(mode) ? NODE_FILE : NODE_OTHER;
}

}  // namespace

bool nodeInfo(std::string const& path, NodeInfo& info) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  info.kind = kindOf(st.st_mode);
  info.size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool nodeTimes(std::string const& path, std::int64_t& created, std::int64_t& modified, std::int64_t& accessed) {
  struct statx sx;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    bool hasBirth = (sx.stx_mask & STATX_BTIME) != 0;
    created = hasBirth ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec;
    modified = sx.stx_mtime.tv_sec;
    accessed = sx.stx_atime.tv_sec;
    return true;
  }
  if (errno != ENOSYS) return false;
  // Kernels before 4.11 lack statx.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  created = st.st_ctime;
  modified = st.st_mtime;
  accessed = st.st_atime;
  return true;
}

FileHandle openFile(std::string const& path, OpenMode mode, unsigned int& error) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OPEN_MODE_READ: flags |= O_RDONLY; break;
    case OPEN_MODE_EXISTING: flags |= O_RDWR; break;
    case OPEN_MODE_ALWAYS: flags |= O_RDWR | O_CREAT; break;
    case OPEN_MODE_NEW: flags |= O_RDWR | O_CREAT | O_EXCL; break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = unsigned(errno);
    return INVALID_FILE_HANDLE;
  }
  // A directory opens read-only on Linux but is not a file to read.
  struct stat st;
  error = ::fstat(fd, &st) != 0 ? unsigned(errno) : S_ISDIR(st.st_mode) ? unsigned(EISDIR) : 0;
  if (error != 0) {
    closeFile(fd);
    return INVALID_FILE_HANDLE;
  }
  return fd;
}

// On Linux the descriptor is gone whatever close() returns, so it is never
// retried, and EINTR leaves nothing to report.
unsigned int closeFile(FileHandle fd) { return ::close(fd) != 0 && errno != EINTR ? unsigned(errno) : 0; }

std::int64_t readSome(FileHandle fd, void* buffer, std::size_t size, unsigned int& error) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) {
      error = unsigned(errno);
      return -1;
    }
  }
}

std::int64_t writeSome(FileHandle fd, void const* data, std::size_t size, unsigned int& error) {
  for (;;) {
    ssize_t n = ::write(fd, data, size);
    if (n >= 0) return n;
    if (errno != EINTR) {
      error = unsigned(errno);
      return -1;
    }
  }
}

unsigned int fileSize(FileHandle fd, std::uint64_t& size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return unsigned(errno);
  size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

unsigned int seekFile(FileHandle fd, std::int64_t position) {
  return ::lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0 ? unsigned(errno) : 0;
}

unsigned int filePosition(FileHandle fd, std::int64_t& position) {
  off_t at = ::lseek(fd, 0, SEEK_CUR);
  if (at < 0) return unsigned(errno);
  position = at;
  return 0;
}

unsigned int truncateFile(FileHandle fd, std::int64_t size) {
  int result;
  do {
    result = ::ftruncate(fd, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  return result != 0 ? unsigned(errno) : 0;
}

bool moveAcrossFileSystems(std::string const& source, std::string const& target) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return false;
  }
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buffer(1 << 16);
  unsigned int error = 0;
  for (;;) {
    std::int64_t n = readSome(in, buffer.data(), buffer.size(), error);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (std::int64_t done = 0; ok && done < n;) {
      std::int64_t w = writeSome(out, buffer.data() + done, static_cast<std::size_t>(n - done), error);
      if (w <= 0) ok = false;
      else done += w;
    }
    if (!ok) break;
  }
  if (ok && ::fsync(out) != 0) ok = false;
  if (closeFile(out) != 0) ok = false;
  ::close(in);
  if (ok && ::unlink(source.c_str()) == 0) return true;
  ::unlink(target.c_str());
  return false;
}

bool removeFile(std::string const& path) { return ::unlink(path.c_str()) == 0; }

bool removeDirectory(std::string const& path) { return ::rmdir(path.c_str()) == 0; }

bool makeDirectory(std::string const& path, bool& existed) {
  existed = false;
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  existed = errno == EEXIST;
  return false;
}

bool listDirectoryPath(std::string const& path, std::vector<std::string>& names) {
  names.clear();
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return false;
  try {
    while (struct dirent* entry = ::readdir(dir)) names.push_back(entry->d_name);
  } catch (...) {
    ::closedir(dir);
    names.clear();
    return false;
  }
  ::closedir(dir);
  return true;
}

std::string currentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() >= (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

char const PATH_SEPARATOR = '/';

// Absolute against the working directory, "/" and "\\" both read as
// separators, "." and ".." resolved and empty segments dropped, all in the
// text: links are not followed. A ".." above the root stays at the root, as
// the kernel treats it.
std::string canonicalPath(std::string const& text) {
  if (text.empty()) return std::string();
  std::string full;
  if (text[0] != '/' && text[0] != '\\') {
    full = currentDirectory();
    if (full.empty()) return std::string();
    full += '/';
  }
  full += text;

  std::string out;
  out.reserve(full.size());
  std::size_t i = 0;
  std::size_t const n = full.size();
  while (i < n) {
    while (i < n && (full[i] == '/' || full[i] == '\\')) ++i;
    std::size_t start = i;
    while (i < n && full[i] != '/' && full[i] != '\\') ++i;
    std::size_t len = i - start;
    if (len == 0 || (len == 1 && full[start] == '.')) continue;
    if (len == 2 && full[start] == '.' && full[start + 1] == '.') {
      std::size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    out += '/';
    out.append(full, start, len);
  }
  if (out.empty()) out = "/";
  return out;
}

std::string pathRoot(std::string const& canonical) { return canonical.empty() ? std::string() : "/"; }

std::string urlPath(std::string const& canonical) { return canonical; }

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu
