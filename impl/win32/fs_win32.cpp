// Files by name on Windows: CreateFileW and its companions, listings
// through FindFirstFileExW, the system's error codes mapped to the file
// family's.
#include "platform/fs_platform.h"
#include "platform/platform.h"

#include "win32/wide.h"

#include <vector>

namespace zu {
namespace fs {
namespace __ {
namespace platform {

using ::zu::__::win32::narrow;
using ::zu::__::win32::widen;

unsigned int const SYSTEM_NOT_FOUND = ERROR_FILE_NOT_FOUND;
unsigned int const SYSTEM_BAD_HANDLE = ERROR_INVALID_HANDLE;
unsigned int const SYSTEM_NO_SPACE = ERROR_DISK_FULL;
unsigned int const SYSTEM_INVALID = ERROR_INVALID_PARAMETER;

namespace {

unsigned int fileErrorCode(unsigned int raw) {
  switch (raw) {
    case 0: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: return 1;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return 2;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return 3;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return 4;
    case ERROR_INVALID_HANDLE: return 5;
    default: return 100;
  }
}

HANDLE native(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// 100-nanosecond units since 1601 into seconds since 1970.
std::int64_t unixSeconds(FILETIME const& time) {
  std::int64_t const units =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (units - 116444736000000000LL) / 10000000;
}

}  // namespace

void translateFileError(unsigned int raw, unsigned int* code, String* text) {
  if (code) *code = fileErrorCode(raw);
  if (text) *text = String(::zu::__::platform::systemMessage(raw).c_str());
}

bool nodeInfo(std::string const& path, NodeInfo& info) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data)) return false;
  info.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? NODE_DIRECTORY
              : (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) ? NODE_OTHER
                                                                : NODE_FILE;
  info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool nodeTimes(std::string const& path, std::int64_t& created, std::int64_t& modified, std::int64_t& accessed) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data)) return false;
  created = unixSeconds(data.ftCreationTime);
  modified = unixSeconds(data.ftLastWriteTime);
  accessed = unixSeconds(data.ftLastAccessTime);
  return true;
}

FileHandle openFile(std::string const& path, OpenMode mode, unsigned int& error) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case OPEN_MODE_READ: access = GENERIC_READ; break;
    case OPEN_MODE_EXISTING: break;
    case OPEN_MODE_ALWAYS: disposition = OPEN_ALWAYS; break;
    case OPEN_MODE_NEW: disposition = CREATE_NEW; break;
  }
  // Shared as POSIX files are: others may read, write, rename and remove.
  HANDLE const file = ::CreateFileW(widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    // A directory is refused with "access denied" already.
    return INVALID_FILE_HANDLE;
  }
  error = 0;
  return reinterpret_cast<FileHandle>(file);
}

unsigned int closeFile(FileHandle file) { return ::CloseHandle(native(file)) ? 0 : ::GetLastError(); }

std::int64_t readSome(FileHandle file, void* buffer, std::size_t size, unsigned int& error) {
  DWORD done = 0;
  DWORD const ask = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  if (!::ReadFile(native(file), buffer, ask, &done, nullptr)) {
    error = ::GetLastError();
    return -1;
  }
  return done;
}

std::int64_t writeSome(FileHandle file, void const* data, std::size_t size, unsigned int& error) {
  DWORD done = 0;
  DWORD const ask = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  if (!::WriteFile(native(file), data, ask, &done, nullptr)) {
    error = ::GetLastError();
    return -1;
  }
  return done;
}

unsigned int fileSize(FileHandle file, std::uint64_t& size) {
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(native(file), &value)) return ::GetLastError();
  size = static_cast<std::uint64_t>(value.QuadPart);
  return 0;
}

unsigned int seekFile(FileHandle file, std::int64_t position) {
  LARGE_INTEGER to;
  to.QuadPart = position;
  return ::SetFilePointerEx(native(file), to, nullptr, FILE_BEGIN) ? 0 : ::GetLastError();
}

unsigned int filePosition(FileHandle file, std::int64_t& position) {
  LARGE_INTEGER zero, at;
  zero.QuadPart = 0;
  if (!::SetFilePointerEx(native(file), zero, &at, FILE_CURRENT)) return ::GetLastError();
  position = at.QuadPart;
  return 0;
}

// SetEndOfFile cuts at the position: the position is moved there and back.
unsigned int truncateFile(FileHandle file, std::int64_t size) {
  std::int64_t at = 0;
  if (unsigned int error = filePosition(file, at)) return error;
  if (unsigned int error = seekFile(file, size)) return error;
  unsigned int const error = ::SetEndOfFile(native(file)) ? 0 : ::GetLastError();
  seekFile(file, at);
  return error;
}

// MoveFileExW copies across volumes and removes the source only when the
// copy is whole and flushed; without REPLACE_EXISTING it never replaces.
bool moveAcrossFileSystems(std::string const& source, std::string const& target) {
  return ::MoveFileExW(widen(source).c_str(), widen(target).c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) !=
         0;
}

bool removeFile(std::string const& path) { return ::DeleteFileW(widen(path).c_str()) != 0; }

bool removeDirectory(std::string const& path) { return ::RemoveDirectoryW(widen(path).c_str()) != 0; }

bool makeDirectory(std::string const& path, bool& existed) {
  existed = false;
  if (::CreateDirectoryW(widen(path).c_str(), nullptr)) return true;
  existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  return false;
}

bool listDirectoryPath(std::string const& path, std::vector<std::string>& names) {
  names.clear();
  std::wstring pattern = widen(path);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW entry;
  HANDLE const find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return false;
  do names.push_back(narrow(entry.cFileName));
  while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return true;
}

std::string currentDirectory() {
  DWORD const size = ::GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return std::string();
  std::wstring buffer(size, L'\0');
  DWORD const n = ::GetCurrentDirectoryW(size, &buffer[0]);
  if (n == 0 || n >= size) return std::string();
  buffer.resize(n);
  return narrow(buffer);
}

char const PATH_SEPARATOR = '\\';

namespace {

bool isPathSeparator(char c) { return c == '/' || c == '\\'; }

// A drive root such as "C:\".
bool isDriveRoot(std::string const& path) { return path.size() == 3 && path[1] == ':' && isPathSeparator(path[2]); }

}  // namespace

// The system resolves the text against the working directory (of the drive
// the text names, for "C:name"; a bare "C:" is that drive's working
// directory), resolves "." and "..", and keeps a network path's
// "\\server\share" as its root. A "/" before a drive letter (a file URL's
// path) and a third leading backslash are dropped first. The result has
// backslashes and no trailing separator, but for a drive root.
std::string canonicalPath(std::string const& text) {
  if (text.empty()) return std::string();
  std::string given = text;
  if ((given.size() > 2 && given[0] == '\\' && given[1] == '\\' && given[2] == '\\') ||
      (given.size() > 2 && isPathSeparator(given[0]) && given[2] == ':'))
    given.erase(0, 1);
  std::wstring const wide = widen(given);
  std::wstring full(MAX_PATH, L'\0');
  DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  if (n >= full.size()) {
    full.assign(n, L'\0');
    n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (n >= full.size()) return std::string();
  }
  if (n == 0) return std::string();
  full.resize(n);
  std::string out = narrow(full);
  for (char& c : out)
    if (c == '/') c = '\\';
  while (!out.empty() && isPathSeparator(out.back()) && !isDriveRoot(out)) out.pop_back();
  return out;
}

// A drive's root ("C:\"), or for a network path its server part
// ("\\server").
std::string pathRoot(std::string const& canonical) {
  if (canonical.empty()) return std::string();
  if (canonical.size() > 1 && canonical[1] == ':') return canonicalPath(canonical.substr(0, 2) + "\\");
  std::size_t const end = canonical.size() > 2 ? canonical.find_first_of("/\\", 2) : std::string::npos;
  return canonicalPath(canonical.substr(0, end));
}

// "/C:/dir/name" for "C:\dir\name", "//server/share/name" for a network
// path: forward slashes, as a file URL has them, and a path that Path reads
// back as the same file.
std::string urlPath(std::string const& canonical) {
  std::string out = canonical;
  for (char& c : out)
    if (c == '\\') c = '/';
  if (out.size() > 1 && out[1] == ':') out.insert(0, 1, '/');
  return out;
}

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu
