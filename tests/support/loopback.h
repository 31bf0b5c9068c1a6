// Loopback connections for tests that talk to the library's servers as a
// plain client would: raw sockets on 127.0.0.1, through BSD sockets on
// POSIX and Winsock on Windows, so the tests above them stay one version.
#ifndef ZU_TESTS_SUPPORT_LOOPBACK_H
#define ZU_TESTS_SUPPORT_LOOPBACK_H

#include <cstddef>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zu {
namespace test {

#ifdef _WIN32
typedef SOCKET RawSocket;
RawSocket const NO_SOCKET = INVALID_SOCKET;

// Winsock counts its starts: this one, made once for the tests' own
// sockets, stands beside the library's and is never undone.
inline bool startSockets() {
  static bool const started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

inline RawSocket newStreamSocket() {
  if (!startSockets()) return NO_SOCKET;
  SOCKET const s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}

inline void closeRaw(RawSocket s) {
  if (s != NO_SOCKET) ::closesocket(s);
}
#else
typedef int RawSocket;
RawSocket const NO_SOCKET = -1;

inline RawSocket newStreamSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

inline void closeRaw(RawSocket s) {
  if (s != NO_SOCKET) ::close(s);
}
#endif

// Transfers; the count, or -1. A send to a closed peer raises no signal.
inline long sendRaw(RawSocket s, void const* data, std::size_t size) {
#ifdef _WIN32
  return ::send(s, static_cast<char const*>(data), static_cast<int>(size), 0);
#else
  return static_cast<long>(::send(s, data, size, MSG_NOSIGNAL));
#endif
}

inline long recvRaw(RawSocket s, void* buffer, std::size_t size) {
#ifdef _WIN32
  return ::recv(s, static_cast<char*>(buffer), static_cast<int>(size), 0);
#else
  return static_cast<long>(::recv(s, buffer, size, 0));
#endif
}

// True when `s` has bytes, a connection or the peer's close waiting within
// `milliseconds`.
inline bool waitReadableRaw(RawSocket s, int milliseconds) {
#ifdef _WIN32
  fd_set read;
  FD_ZERO(&read);
  FD_SET(s, &read);
  timeval limit;
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = (milliseconds % 1000) * 1000;
  return ::select(0, &read, nullptr, nullptr, &limit) > 0;
#else
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, milliseconds) > 0;
#endif
}

// A connection taken from a listener, not inherited; NO_SOCKET on failure.
inline RawSocket acceptRaw(RawSocket listener) {
#ifdef _WIN32
  SOCKET const s = ::accept(listener, nullptr, nullptr);
  if (s != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
#else
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

// Ends the sending half: the peer reads the end of the stream.
inline void shutdownSend(RawSocket s) {
#ifdef _WIN32
  ::shutdown(s, SD_SEND);
#else
  ::shutdown(s, SHUT_WR);
#endif
}

// Closes with a zero linger time, which aborts the connection with a reset;
// false when the option is refused (the socket is closed anyway).
inline bool abortRaw(RawSocket s) {
  struct linger abort = {1, 0};
  bool const set = ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char const*>(&abort), sizeof abort) == 0;
  closeRaw(s);
  return set;
}

// Reads on `s` give up after `milliseconds`.
inline bool setReceiveTimeout(RawSocket s, unsigned int milliseconds) {
#ifdef _WIN32
  DWORD const value = milliseconds;
#else
  timeval const value{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
#endif
  return ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char const*>(&value), sizeof value) == 0;
}

inline bool setReceiveBuffer(RawSocket s, int bytes) {
  return ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char const*>(&bytes), sizeof bytes) == 0;
}

// A TCP socket connected to port on the loopback address, with the receive
// buffer set first when `receiveBuffer` is given; NO_SOCKET on failure.
inline RawSocket connectLoopback(unsigned short port, int receiveBuffer = 0) {
  RawSocket const s = newStreamSocket();
  if (s == NO_SOCKET) return NO_SOCKET;
  if (receiveBuffer) setReceiveBuffer(s, receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closeRaw(s);
    return NO_SOCKET;
  }
  return s;
}

// A TCP socket listening on an ephemeral loopback port, which is stored in
// port; NO_SOCKET on failure.
inline RawSocket listenLoopback(unsigned short& port, int backlog = 8) {
  RawSocket const s = newStreamSocket();
  if (s == NO_SOCKET) return NO_SOCKET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closeRaw(s);
    return NO_SOCKET;
  }
  port = ntohs(address.sin_port);
  return s;
}

// Two connected TCP sockets on loopback (Windows has no socketpair); false
// on failure, with nothing left open.
inline bool loopbackPair(RawSocket pair[2]) {
  unsigned short port = 0;
  RawSocket const listener = listenLoopback(port, 1);
  if (listener == NO_SOCKET) return false;
  pair[0] = connectLoopback(port);
  pair[1] = pair[0] == NO_SOCKET ? NO_SOCKET : acceptRaw(listener);
  closeRaw(listener);
  if (pair[1] == NO_SOCKET) {
    closeRaw(pair[0]);
    return false;
  }
  return true;
}

}  // namespace test
}  // namespace zu

#endif
