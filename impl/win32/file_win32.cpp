// The file layer on Windows. A directory handle holds the directory open
// (shared for renaming and removal, as on POSIX), and names below it are
// reached through the directory's current path, which the system tells from
// the handle: so the handle follows the directory when it is moved.
#include "platform/file_platform.h"

#include "win32/wide.h"

#include <new>

namespace zu {
namespace fs {
namespace __ {
namespace platform {

using ::zu::__::win32::narrow;
using ::zu::__::win32::widen;

namespace {

struct Directory {
  HANDLE handle;
};

Directory* directoryOf(DirectoryHandle handle) {
  return isValidDirectory(handle) ? reinterpret_cast<Directory*>(handle) : nullptr;
}

HANDLE openNode(std::wstring const& path, DWORD access, DWORD disposition, DWORD flags) {
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       disposition, flags, nullptr);
}

DirectoryHandle openDirectoryAt(std::wstring const& path) {
  HANDLE const handle = openNode(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (handle == INVALID_HANDLE_VALUE) return INVALID_DIRECTORY_HANDLE;
  BY_HANDLE_FILE_INFORMATION info;
  Directory* directory = nullptr;
  if (::GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    directory = new (std::nothrow) Directory{handle};
  if (!directory) {
    ::CloseHandle(handle);
    return INVALID_DIRECTORY_HANDLE;
  }
  return reinterpret_cast<DirectoryHandle>(directory);
}

// The directory's path as it is now; empty when the system cannot tell
// (the directory was removed).
std::wstring pathOf(Directory const* directory) {
  if (!directory) return std::wstring();
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD const n = ::GetFinalPathNameByHandleW(directory->handle, &buffer[0], static_cast<DWORD>(buffer.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::wstring();
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(n + 1);
  }
  return std::wstring();
}

// The entry `name` of `directory`; empty when the directory has no path.
std::wstring entryPath(DirectoryHandle directory, std::string const& name) {
  std::wstring path = pathOf(directoryOf(directory));
  if (path.empty()) return path;
  if (name == ".") return path;
  if (path.back() != L'\\') path += L'\\';
  return path + widen(name);
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool listPath(std::wstring const& path, std::vector<std::string>& names) {
  names.clear();
  std::wstring pattern = path;
  if (!pattern.empty() && !isSeparator(pattern.back())) pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW entry;
  HANDLE const find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    std::wstring const name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(narrow(name));
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return true;
}

bool removePath(std::wstring const& path) {
  DWORD const attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD const error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ::RemoveDirectoryW(path.c_str()) != 0;
    return ::DeleteFileW(path.c_str()) != 0 || ::GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  // A writer that still holds the directory may add a file while it is
  // emptied; a few rounds outlast it.
  for (int round = 0; round < 10; ++round) {
    std::vector<std::string> names;
    if (!listPath(path, names)) return false;
    bool ok = true;
    for (std::string const& child : names) ok = removePath(path + L'\\' + widen(child)) && ok;
    if (!ok) return false;
    if (::RemoveDirectoryW(path.c_str())) return true;
    DWORD const error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (error != ERROR_DIR_NOT_EMPTY) return false;
  }
  return false;
}

RenameResult movePath(std::wstring const& from, std::wstring const& to) {
  if (from.empty() || to.empty()) return RENAME_FAILED;
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists, in
  // the same step; without MOVEFILE_COPY_ALLOWED it stays on one volume.
  if (::MoveFileExW(from.c_str(), to.c_str(), 0)) return RENAME_DONE;
  return ::GetLastError() == ERROR_NOT_SAME_DEVICE ? RENAME_CROSS_DEVICE : RENAME_FAILED;
}

}  // namespace

DirectoryHandle openDirectoryPath(std::string const& path, bool create) {
  if (path.empty()) return INVALID_DIRECTORY_HANDLE;
  std::wstring const wide = widen(path);
  if (create) {
    // Every missing directory from the top down; one that exists is fine
    // (a drive's root, "C:", refuses to be made and is skipped the same way).
    for (std::size_t at = 1; at <= wide.size(); ++at) {
      if (at < wide.size() && !isSeparator(wide[at])) continue;
      std::wstring const prefix = wide.substr(0, at);
      if (prefix.size() == 2 && prefix[1] == L':') continue;
      ::CreateDirectoryW(prefix.c_str(), nullptr);
    }
  }
  return openDirectoryAt(wide);
}

DirectoryHandle openDirectory(DirectoryHandle directory, std::string const& name, bool create) {
  std::wstring const path = entryPath(directory, name);
  if (path.empty()) return INVALID_DIRECTORY_HANDLE;
  if (create && !::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
    return INVALID_DIRECTORY_HANDLE;
  return openDirectoryAt(path);
}

void closeDirectory(DirectoryHandle directory) {
  Directory* const held = directoryOf(directory);
  if (!held) return;
  ::CloseHandle(held->handle);
  delete held;
}

bool listDirectory(DirectoryHandle directory, std::vector<std::string>& names) {
  names.clear();
  std::wstring const path = pathOf(directoryOf(directory));
  return !path.empty() && listPath(path, names);
}

bool readFile(DirectoryHandle directory, std::string const& name, std::string& content, bool& missing) {
  content.clear();
  missing = false;
  std::wstring const path = entryPath(directory, name);
  if (path.empty()) return false;
  HANDLE const file = openNode(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) {
    missing = ::GetLastError() == ERROR_FILE_NOT_FOUND;
    return missing;
  }
  bool ok = true;
  char buffer[4096];
  for (;;) {
    DWORD done = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &done, nullptr)) {
      ok = false;
      break;
    }
    if (done == 0) break;
    content.append(buffer, done);
  }
  ::CloseHandle(file);
  if (!ok) content.clear();
  return ok;
}

bool replaceFile(DirectoryHandle directory, std::string const& name, std::string const& temporary,
                 std::string const& content) {
  std::wstring const target = entryPath(directory, name);
  std::wstring const written = entryPath(directory, temporary);
  if (target.empty() || written.empty()) return false;
  HANDLE const file = openNode(written, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  std::size_t at = 0;
  while (ok && at < content.size()) {
    DWORD done = 0;
    std::size_t const left = content.size() - at;
    ok = ::WriteFile(file, content.data() + at, left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left), &done,
                     nullptr) != 0;
    at += done;
  }
  ok = ok && ::FlushFileBuffers(file);
  ::CloseHandle(file);
  // The replacement is one step, and reaches the disk before the call
  // returns.
  if (ok) ok = ::MoveFileExW(written.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) ::DeleteFileW(written.c_str());
  return ok;
}

RenameResult renameNoReplace(DirectoryHandle fromDirectory, std::string const& from, DirectoryHandle toDirectory,
                             std::string const& to) {
  return movePath(entryPath(fromDirectory, from), entryPath(toDirectory, to));
}

RenameResult renamePathNoReplace(std::string const& from, std::string const& to) {
  return movePath(widen(from), widen(to));
}

bool removeTree(DirectoryHandle directory, std::string const& name) {
  std::wstring const path = entryPath(directory, name);
  return !path.empty() && removePath(path);
}

// The locked file's handle; closing it releases the lock.
struct FileLock::Held {
  HANDLE const file;
  explicit Held(HANDLE file) : file(file) {}
  ~Held() { ::CloseHandle(file); }
};

// Locks are held per handle, so a second lock in this process waits as one
// in another process does.
FileLock::FileLock(DirectoryHandle directory, std::string const& name) {
  std::wstring const path = entryPath(directory, name);
  if (path.empty()) return;
  HANDLE const file = openNode(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED whole{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    ::CloseHandle(file);
    return;
  }
  held_.reset(new (std::nothrow) Held(file));
  if (!held_) ::CloseHandle(file);
}

FileLock::~FileLock() {}

}  // namespace platform
}  // namespace __
}  // namespace fs
}  // namespace zu
