// Path: texts of file names made canonical and taken apart, without
// asking the file system.
#include <zu/fs.h>

#include <string>

#include "platform/fs_platform.h"

namespace zu {
namespace fs {

namespace {

namespace platform = __::platform;

String canonical(char const* text) {
  std::string const out = platform::canonicalPath(text);
  return String(out.c_str(), static_cast<unsigned int>(out.size()));
}

}  // namespace

Path::Path() {}

Path::Path(String const& text) : text_(canonical(text.cstr())) {}

Path::Path(char const* text) : text_(canonical(text ? text : "")) {}

String Path::getFileName() const {
  unsigned int slash = text_.findLast(platform::PATH_SEPARATOR);
  return slash == 0xFFFFFFFF ? text_ : text_.mid(slash + 1);
}

String Path::getBaseName() const {
  String name = getFileName();
  unsigned int dot = name.findLast('.');
  return dot == 0xFFFFFFFF ? name : name.left(dot);
}

String Path::getExtension() const {
  String name = getFileName();
  unsigned int dot = name.findLast('.');
  return dot == 0xFFFFFFFF ? String() : name.mid(dot);
}

Path Path::getParent() const {
  if (text_.empty()) return Path();
  Path parent(text_ + "/..");
  if (parent.text_ == text_) return Path();
  return parent;
}

Path Path::getRoot() const {
  std::string const root = platform::pathRoot(text_.cstr());
  return root.empty() ? Path() : Path(root.c_str());
}

Path& Path::append(String const& name) {
  text_ = canonical((text_ + "/" + name).cstr());
  return *this;
}

Path& Path::setParent(Path const& parent) {
  String name = getFileName();
  Path result(parent);
  result.append(name);
  *this = result;
  return *this;
}

Path& Path::setFileName(String const& name) {
  Path result = getParent();
  result.append(name);
  *this = result;
  return *this;
}

Path& Path::setBaseName(String const& baseName) { return setFileName(baseName + getExtension()); }

Path& Path::setExtension(String const& extension) { return setFileName(getBaseName() + extension); }

URL Path::toURL() const {
  URL url;
  url.setScheme("file");
  std::string const path = platform::urlPath(text_.cstr());
  url.setPath(String(path.c_str(), static_cast<unsigned int>(path.size())));
  return url;
}

}  // namespace fs
}  // namespace zu
