// Static files: whole files read and written through the library's file
// functions, and the cache that keeps the files served.
#include "static_files.h"

#include <cstdint>

#include <boost/make_shared.hpp>
#include <zu/fs.h>
#include <zu/time.h>

namespace zuserve {

bool readFile(String const& path, std::string& out) {
  shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(path);
  if (!file->open(true, 0)) return false;
  std::uint64_t const size = file->toRandomAccess()->size();
  out.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < out.size()) {
    unsigned int const n = file->toIO()->read(&out[done], static_cast<unsigned int>(out.size() - done));
    if (n == 0) break;
    done += n;
  }
  out.resize(done);
  file->close();
  return done == size;
}

bool writeFile(String const& path, unsigned char const* data, unsigned int size) {
  shared_ptr<zu::fs::IFile> file = zu::fs::IFile::New(path);
  if (!file->open(false, zu::fs::FILE_MODE_OPEN_ALWAYS)) return false;
  unsigned int done = 0;
  while (done < size) {
    unsigned int const n = file->toIO()->write(data + done, size - done);
    if (n == 0) break;
    done += n;
  }
  bool const ok = done == size && file->toRandomAccess()->setSize(size);
  file->close();
  return ok;
}

String contentType(String const& extension) {
  static std::map<std::string, char const*> const types = {
      {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".json", "application/json"},         {".txt", "text/plain; charset=utf-8"},
      {".xml", "application/xml"},           {".svg", "image/svg+xml"},
      {".png", "image/png"},                 {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},               {".gif", "image/gif"},
      {".webp", "image/webp"},               {".ico", "image/x-icon"},
      {".pdf", "application/pdf"},           {".wasm", "application/wasm"},
      {".woff", "font/woff"},                {".woff2", "font/woff2"},
      {".mp3", "audio/mpeg"},                {".mp4", "video/mp4"},
      {".wav", "audio/wav"},                 {".zip", "application/zip"}};
  auto it = types.find(extension.toLower().cstr());
  return it == types.end() ? String("application/octet-stream") : String(it->second);
}

shared_ptr<StaticFile> FileCache::get(String const& path) {
  std::string const key(path.cstr());
  unsigned int const now = zu::sys::Time::tickCount();
  {
    // A file looked at within the last second is taken as it was.
    zu::sys::ScopedLock hold(lock_);
    auto it = files_.find(key);
    if (it != files_.end() && now - it->second->checked < 1000) return it->second;
  }
  if (zu::fs::type(path) != zu::fs::File) return nullptr;
  zu::sys::Time created, modified, accessed;
  if (!zu::fs::time(path, created, modified, accessed)) return nullptr;
  std::uint64_t const size = zu::fs::IFile::length(path);
  {
    zu::sys::ScopedLock hold(lock_);
    auto it = files_.find(key);
    if (it != files_.end() && it->second->modified == modified.toSeconds() && it->second->data.size() == size) {
      it->second->checked = now;
      return it->second;
    }
  }
  shared_ptr<StaticFile> file = boost::make_shared<StaticFile>();
  if (!readFile(path, file->data)) return nullptr;
  file->modified = modified.toSeconds();
  file->lastModified = modified.toString(zu::sys::HttpDate, 0);
  file->type = contentType(zu::fs::Path(path).getExtension());
  file->binary = file->data.find('\0') != std::string::npos;
  file->checked = now;
  if (file->data.size() <= (1u << 20)) {
    zu::sys::ScopedLock hold(lock_);
    if (files_.size() > 1000) files_.clear();
    files_[key] = file;
  }
  return file;
}

String mapPath(String const& root, String const& path, String const& target) {
  if (!path.startsWith("/")) return String();
  if (!target.empty()) {
    // The target's path, each segment decoded by itself.
    unsigned int end = target.find('?');
    String const raw = end == 0xFFFFFFFFu ? target : target.left(end);
    if (raw.find("%00") != 0xFFFFFFFFu) return String();
    TArray<String> parts = raw.tokenise('/', true);
    for (unsigned int i = 0; i < parts.size(); ++i) {
      String const segment = zu::URL::decode(parts[i]);
      if (segment == "." || segment == ".." || segment.find('\\') != 0xFFFFFFFFu) return String();
    }
  }
  char const* p = path.cstr();
  for (unsigned int i = 0; p[i]; ++i) {
    unsigned char const c = static_cast<unsigned char>(p[i]);
    if (c < 0x20 || c == 0x7F || c == '\\') return String();
  }
  TArray<String> segments = path.tokenise('/', true);
  for (unsigned int i = 0; i < segments.size(); ++i)
    if (segments[i] == "." || segments[i] == "..") return String();
  String const full = zu::fs::Path(root + path);
  if (full == root) return full;
  // Below the root: the root's text and then a separator ("/", on Windows
  // "\\"), unless the root ends in one ("C:\\").
  if (!full.startsWith(root) || root.empty()) return String();
  char const last = root.cstr()[root.length() - 1];
  char const next = full.cstr()[root.length()];
  bool const below = last == '/' || last == '\\' || next == '/' || next == '\\';
  return below ? full : String();
}

}  // namespace zuserve
