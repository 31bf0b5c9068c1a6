// Static files: reading and writing whole files, the cache of files served,
// their content types, and the mapping of request paths below the root.
#ifndef ZUSERVE_STATIC_FILES_H
#define ZUSERVE_STATIC_FILES_H

#include <atomic>
#include <map>
#include <string>

#include <zu/sys.h>

#include "zuserve.h"

namespace zuserve {

// The whole file, or false when it cannot be read.
bool readFile(String const& path, std::string& out);

// Replaces the file's content; false when it cannot be written.
bool writeFile(String const& path, unsigned char const* data, unsigned int size);

// The Content-Type of a file name's extension (".css"), any case.
String contentType(String const& extension);

// A file as served: its bytes and what the answer says about them.
struct StaticFile {
  std::string data;
  int modified = 0;
  String lastModified;  // HTTP date of `modified`
  String type;
  bool binary = false;  // holds a NUL byte, so it cannot travel as a String body
  std::atomic<unsigned int> checked{0};  // tick of the last look at the file
};

// Files read once and kept while their time and size stay the same.
class FileCache {
 public:
  // Null when `path` is not a readable regular file.
  shared_ptr<StaticFile> get(String const& path);

 private:
  zu::sys::Mutex lock_;
  std::map<std::string, shared_ptr<StaticFile>> files_;
};

// The file below `root` that the request path names, or empty when the
// path could leave the root (".." or "." segments, backslashes, control
// bytes, NUL) — whatever the encoding that brought them. `target` is the
// request target as it came (the decoded `path` has lost what the URL
// model collapses or cannot hold).
String mapPath(String const& root, String const& path, String const& target = String());

}  // namespace zuserve

#endif
