// Files, listings and path queries, on the file-system platform layer.
#include <zu/em.h>
#include <zu/fs.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs_platform.h"
#include "platform/file_platform.h"

namespace zu {
namespace fs {

namespace platform = __::platform;

namespace {

bool infoOf(String const& path, platform::NodeInfo& info) {
  Path canonical(path);
  if (canonical.toString().empty()) return false;
  return platform::nodeInfo(canonical.toString().cstr(), info);
}

}  // namespace

// ---------------------------------------------------------------- queries

bool exists(String const& path) {
  platform::NodeInfo info;
  return infoOf(path, info);
}

NodeType type(String const& path) {
  platform::NodeInfo info;
  if (!infoOf(path, info)) return Unknown;
  if (info.kind == platform::NODE_DIRECTORY) return Directory;
  if (info.kind == platform::NODE_FILE) return File;
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
  std::int64_t birth, change, access;
  if (!platform::nodeTimes(text.cstr(), birth, change, access)) return false;
  created = fileTime(birth);
  modified = fileTime(change);
  accessed = fileTime(access);
  return true;
}

bool rename(String const& from, String const& to) {
  String source = Path(from).toString();
  String target = Path(to).toString();
  if (source.empty() || target.empty()) return false;
  switch (platform::renamePathNoReplace(source.cstr(), target.cstr())) {
    case platform::RENAME_DONE:
      return true;
    case platform::RENAME_CROSS_DEVICE:
      return platform::moveAcrossFileSystems(source.cstr(), target.cstr());
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
    if (text.empty()) return fail(platform::SYSTEM_NOT_FOUND);
    platform::OpenMode how = readOnly                         ? platform::OPEN_MODE_READ
                             : mode == FILE_MODE_OPEN_ALWAYS  ? platform::OPEN_MODE_ALWAYS
                             : mode == FILE_MODE_CREATE_NEW   ? platform::OPEN_MODE_NEW
                                                              : platform::OPEN_MODE_EXISTING;
    unsigned int error = 0;
    platform::FileHandle file = platform::openFile(text.cstr(), how, error);
    if (!platform::isValidFile(file)) return fail(error);
    file_ = file;
    return true;
  }

  bool isOpen() override { return opened(); }

  bool close() override {
    if (!opened()) return fail(platform::SYSTEM_BAD_HANDLE);
    unsigned int error = platform::closeFile(file_);
    file_ = platform::INVALID_FILE_HANDLE;
    if (error != 0) return fail(error);
    return true;
  }

  bool atEnd() override {
    if (!opened()) {
      fail(platform::SYSTEM_BAD_HANDLE);
      return true;
    }
    return position() >= size();
  }

  // IIO: loops over short transfers so a signal cannot cut a request short.
  unsigned int read(void* buffer, unsigned int size) override {
    if (!opened()) return fail(platform::SYSTEM_BAD_HANDLE), 0;
    char* out = static_cast<char*>(buffer);
    unsigned int done = 0;
    while (done < size) {
      unsigned int error = 0;
      std::int64_t n = platform::readSome(file_, out + done, size - done, error);
      if (n < 0) {
        fail(error);
        break;
      }
      if (n == 0) break;
      done += static_cast<unsigned int>(n);
    }
    return done;
  }

  unsigned int write(void const* data, unsigned int size) override {
    if (!opened()) return fail(platform::SYSTEM_BAD_HANDLE), 0;
    char const* in = static_cast<char const*>(data);
    unsigned int done = 0;
    while (done < size) {
      unsigned int error = 0;
      std::int64_t n = platform::writeSome(file_, in + done, size - done, error);
      if (n < 0) {
        fail(error);
        break;
      }
      if (n == 0) {
        fail(platform::SYSTEM_NO_SPACE);
        break;
      }
      done += static_cast<unsigned int>(n);
    }
    return done;
  }

  // IRandomAccess
  std::uint64_t size() override {
    if (!opened()) return fail(platform::SYSTEM_BAD_HANDLE), 0;
    std::uint64_t size = 0;
    if (unsigned int error = platform::fileSize(file_, size)) return fail(error), 0;
    return size;
  }

  bool seek(std::uint64_t position) override {
    if (!opened()) return fail(platform::SYSTEM_BAD_HANDLE);
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return fail(platform::SYSTEM_INVALID);
    if (unsigned int error = platform::seekFile(file_, static_cast<std::int64_t>(position))) return fail(error);
    return true;
  }

  std::uint64_t position() override {
    if (!opened()) return fail(platform::SYSTEM_BAD_HANDLE), 0;
    std::int64_t at = 0;
    if (unsigned int error = platform::filePosition(file_, at)) return fail(error), 0;
    return static_cast<std::uint64_t>(at);
  }

  // ftruncate leaves the position where it was, which is what remembering
  // it and seeking back would give.
  bool setSize(std::uint64_t size) override {
    if (!opened()) return fail(platform::SYSTEM_BAD_HANDLE);
    if (size > static_cast<std::uint64_t>(INT64_MAX)) return fail(platform::SYSTEM_INVALID);
    if (unsigned int error = platform::truncateFile(file_, static_cast<std::int64_t>(size))) return fail(error);
    return true;
  }

 private:
  // Reports under the address callers know: the IFile pointer, which is
  // this object's address.
  bool fail(unsigned int error) {
    em::report(static_cast<IFile*>(this), error, platform::translateFileError);
    return false;
  }

  bool opened() const { return platform::isValidFile(file_); }

  void closeHandle() {
    if (opened()) {
      platform::closeFile(file_);
      file_ = platform::INVALID_FILE_HANDLE;
    }
  }

  Path path_;
  platform::FileHandle file_ = platform::INVALID_FILE_HANDLE;
};

}  // namespace impl

boost::shared_ptr<IFile> IFile::New(String const& path) {
  return boost::shared_ptr<IFile>(new impl::File(path));
}

std::uint64_t IFile::length(String const& path) {
  platform::NodeInfo info;
  if (!infoOf(path, info) || info.kind != platform::NODE_FILE) return 0;
  return info.size;
}

bool IFile::remove(String const& path) {
  String text = Path(path).toString();
  return !text.empty() && platform::removeFile(text.cstr());
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
    std::vector<std::string> all, names;
    if (!platform::listDirectoryPath(text.cstr(), all)) return false;
    try {
      for (std::string& name : all)
        if (name[0] != '.') names.push_back(std::move(name));
    } catch (...) {
      return false;
    }
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
    if (full.empty() || full.back() != platform::PATH_SEPARATOR) full += platform::PATH_SEPARATOR;
    full += name;
    platform::NodeInfo info;
    unsigned int kind = Unknown;
    if (platform::nodeInfo(full, info))
      kind = info.kind == platform::NODE_DIRECTORY ? ::zu::fs::Directory
             : info.kind == platform::NODE_FILE    ? ::zu::fs::File
                                                   : ::zu::fs::Unknown;
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
  bool existed = false;
  if (platform::makeDirectory(target.toString().cstr(), existed)) return true;
  // Another thread or process made it in between: the caller's wish holds.
  return existed && type(target) == Directory;
}

bool IDirectory::remove(String const& path) {
  String text = Path(path).toString();
  return !text.empty() && platform::removeDirectory(text.cstr());
}

}  // namespace fs
}  // namespace zu
