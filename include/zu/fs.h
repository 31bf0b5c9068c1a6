// zu::fs: canonical paths, files read and written through the stream
// interfaces, directory listings and a few questions about a path.
//
// Paths are kept in one canonical form: absolute (a relative text is taken
// against the current directory), "." and ".." resolved in the text without
// following links, no repeated separators. On POSIX systems "/" is the
// separator (a backslash in a given text is read as one too) and only the
// root "/" ends in one. On Windows the separator is the backslash ("/" is
// read as one too), a path starts with a drive ("C:\dir\name") or a
// network root ("\\server\share\name"), and only a drive root such as
// "C:\" ends in a separator. The empty path stays empty.
#ifndef ZU_FS_H
#define ZU_FS_H

#include <cstdint>
#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>
#include <zu/time.h>
#include <zu/url.h>

namespace zu {
namespace fs {

// What a path names. The values are bits so that a listing can filter with
// a mask of them; 0x1FF accepts every entry.
enum NodeType {
  File = 1,
  Directory = 4,
  Unknown = 256  // missing, unreadable, or neither a file nor a directory
};

// A path in canonical absolute form.
class ZU_API Path {
 public:
  // The empty path.
  Path();
  // The text made canonical; "" stays empty.
  Path(String const& text);
  Path(char const* text);  // as above

  operator String() const { return text_; }  // the canonical text
  String toString() const { return text_; }  // the canonical text

  // The text after the last separator ("" for a root).
  String getFileName() const;
  // The file name up to its last "."; the whole name when it has none.
  String getBaseName() const;
  // The file name from its last "." on, dot included; "" when it has none.
  String getExtension() const;
  // The directory holding this path; the empty path for a root.
  Path getParent() const;
  // "/" for every non-empty path on POSIX systems; on Windows the drive
  // root ("C:\") or, for a network path, the server ("\\server").
  Path getRoot() const;

  // Becomes the canonical form of this text, "/" and `name`.
  Path& append(String const& name);
  // Becomes `parent` with this path's file name appended.
  Path& setParent(Path const& parent);
  // Becomes this path's parent with `name` appended.
  Path& setFileName(String const& name);
  // Keeps the parent and the extension.
  Path& setBaseName(String const& baseName);
  // Keeps the parent and the base name; `extension` brings its own ".".
  Path& setExtension(String const& extension);

  // Scheme "file", the canonical text as the path (on Windows with "/" as
  // separators and a "/" before the drive: "/C:/dir/name").
  URL toURL() const;

 private:
  String text_;
};

// Paths compare by their canonical text; a text operand is compared as it
// stands.
inline bool operator==(Path const& a, Path const& b) { return a.toString() == b.toString(); }
inline bool operator==(Path const& a, String const& b) { return a.toString() == b; }  // as above
inline bool operator==(String const& a, Path const& b) { return a == b.toString(); }  // as above
inline bool operator==(Path const& a, char const* b) { return a.toString() == b; }  // as above
inline bool operator==(char const* a, Path const& b) { return a == b.toString(); }  // as above
inline bool operator!=(Path const& a, Path const& b) { return !(a == b); }  // not ==
inline bool operator!=(Path const& a, String const& b) { return !(a == b); }  // not ==
inline bool operator!=(String const& a, Path const& b) { return !(a == b); }  // not ==
inline bool operator!=(Path const& a, char const* b) { return !(a == b); }  // not ==
inline bool operator!=(char const* a, Path const& b) { return !(a == b); }  // not ==

// The questions below take any path text and make it canonical first. They
// return false, 0 or Unknown on failure and report nothing.

// Whether the path names something (any kind of node; links are followed).
ZU_API bool exists(String const& path);
ZU_API NodeType type(String const& path);  // what the path names; Unknown on failure
// Fills creation (birth time where the file system records it, else the
// status-change time), last write and last access time in whole seconds;
// a time before 1970 gives 0. False, leaving all three untouched, when the
// status cannot be read.
ZU_API bool time(String const& path, sys::Time& created, sys::Time& modified, sys::Time& accessed);
// Renames or moves a file or directory; fails when `to` exists.
ZU_API bool rename(String const& from, String const& to);

// Open modes for IFile::open with readOnly false. No mode truncates.
enum FileMode {
  FILE_MODE_OPEN_EXISTING = 0,  // any value other than 1 and 2 acts so
  FILE_MODE_OPEN_ALWAYS = 1,    // creates the file when it is missing
  FILE_MODE_CREATE_NEW = 2      // fails (code 2) when the file exists
};

// An open file. Failures report through zu::em under the object's address
// (the IFile pointer) with the library codes: 1 not found, 2 already
// exists, 3 disk full, 4 access denied, 5 not open / bad handle, 100 other;
// the text is the system's message. Used by one thread at a time.
class ZU_API IFile : public IBase {
 public:
  virtual Path path() = 0;  // the file's canonical path
  // Views into this object; valid while the object lives.
  virtual func::IIO* toIO() = 0;
  virtual func::IRandomAccess* toRandomAccess() = 0;  // the positioning view
  // Closes first. readOnly opens an existing file for reading (code 1 when
  // it is missing); otherwise for reading and writing as `mode` says. A
  // directory is not a file and does not open. On failure the file stays
  // closed.
  virtual bool open(bool readOnly, unsigned int mode) = 0;
  virtual bool isOpen() = 0;  // whether the file is open
  // False (code 5) when the file was not open.
  virtual bool close() = 0;
  // Whether the position is at or beyond the size; true for a closed file,
  // which has nothing left to read.
  virtual bool atEnd() = 0;

  // A closed file object for the canonical form of `path`.
  static boost::shared_ptr<IFile> New(String const& path);
  // The size of a regular file; 0 when it cannot be read or is no file.
  static std::uint64_t length(String const& path);
  // Deletes a file (not a directory).
  static bool remove(String const& path);
};

// A listing of a directory's entries, in byte order of their names. Names
// beginning with "." are never listed. Reports nothing.
class ZU_API IDirectory : public IBase {
 public:
  virtual String path() = 0;  // the directory's canonical path
  // Starts the listing and moves to the first entry whose type shares a bit
  // with `mask` (0x1FF: every entry). False, and closed, when there is none.
  virtual bool open(unsigned int mask) = 0;
  virtual void close() = 0;  // ends the listing
  virtual bool isOpen() = 0;  // whether the listing is open
  // Moves to the next accepted entry; false at the end, where the listing
  // stays open and name() is empty.
  virtual bool next() = 0;
  // The current entry's name without the directory; "" when there is none.
  virtual String name() = 0;

  // A closed listing of the canonical form of `path`.
  static boost::shared_ptr<IDirectory> New(String const& path);
  // True when the path already exists (whatever it is) or the directory was
  // made; `recursive` makes missing parents first.
  static bool make(String const& path, bool recursive = false);
  // Removes an empty directory.
  static bool remove(String const& path);
};

}  // namespace fs
}  // namespace zu

#endif
