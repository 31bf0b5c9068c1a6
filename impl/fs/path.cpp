// Path: texts of file names made canonical and taken apart, without
// asking the file system.
#include <zu/fs.h>

#include <string>
#include <vector>

#include "platform/fs_platform.h"

namespace zu {
namespace fs {

namespace {

// Resolves "." and ".." and drops empty segments of an absolute text. A ".."
// above the root stays at the root, as the kernel treats it. A drive
// ("C:/...") is part of the root.
String canonical(char const* text) {
  if (!*text) return String();
  std::string full;
  if (*text != '/' && *text != '\\' && !__::platform::driveLength(text)) {
    full = __::platform::currentDirectory();
    if (full.empty()) return String();
    full += '/';
  }
  full += text;

  std::size_t const root = __::platform::driveLength(full.c_str());
  std::string out(full, 0, root);
  out.reserve(full.size());
  std::size_t i = root;
  std::size_t const n = full.size();
  while (i < n) {
    while (i < n && (full[i] == '/' || full[i] == '\\')) ++i;
    std::size_t start = i;
    while (i < n && full[i] != '/' && full[i] != '\\') ++i;
    std::size_t len = i - start;
    if (len == 0 || (len == 1 && full[start] == '.')) continue;
    if (len == 2 && full[start] == '.' && full[start + 1] == '.') {
      std::size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos || slash < root ? root : slash);
      continue;
    }
    out += '/';
    out.append(full, start, len);
  }
  if (out.size() == root) out += '/';
  return String(out.c_str(), static_cast<unsigned int>(out.size()));
}

}  // namespace

Path::Path() {}

Path::Path(String const& text) : text_(canonical(text.cstr())) {}

Path::Path(char const* text) : text_(canonical(text ? text : "")) {}

String Path::getFileName() const {
  unsigned int slash = text_.findLast('/');
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
  if (text_.empty()) return Path();
  return Path(text_.left(static_cast<unsigned int>(__::platform::driveLength(text_.cstr()))) + "/");
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
  url.setPath(text_);
  return url;
}

}  // namespace fs
}  // namespace zu
