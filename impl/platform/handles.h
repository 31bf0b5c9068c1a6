// The system's handles as the families hold them: opaque values of a type
// each system chooses, with one invalid value. Family code never compares a
// handle with a number; it asks isValid...() or compares with the constants.
#ifndef ZU_IMPL_HANDLES_H
#define ZU_IMPL_HANDLES_H

#include <cstdint>

namespace zu {
namespace __ {
namespace platform {

#if defined(_WIN32)
// Winsock's SOCKET and the kernel's HANDLE, both pointer-sized; the invalid
// values are INVALID_SOCKET and INVALID_HANDLE_VALUE.
typedef std::uintptr_t SocketHandle;
typedef std::uintptr_t FileHandle;
typedef std::uintptr_t DirectoryHandle;
SocketHandle const INVALID_SOCKET_HANDLE = ~SocketHandle(0);
FileHandle const INVALID_FILE_HANDLE = ~FileHandle(0);
DirectoryHandle const INVALID_DIRECTORY_HANDLE = ~DirectoryHandle(0);
#else
// Descriptors.
typedef int SocketHandle;
typedef int FileHandle;
typedef int DirectoryHandle;
SocketHandle const INVALID_SOCKET_HANDLE = -1;
FileHandle const INVALID_FILE_HANDLE = -1;
DirectoryHandle const INVALID_DIRECTORY_HANDLE = -1;
#endif

inline bool isValidSocket(SocketHandle handle) { return handle != INVALID_SOCKET_HANDLE; }
inline bool isValidFile(FileHandle handle) { return handle != INVALID_FILE_HANDLE; }
inline bool isValidDirectory(DirectoryHandle handle) { return handle != INVALID_DIRECTORY_HANDLE; }

}  // namespace platform
}  // namespace __
}  // namespace zu

#endif
