// Loopback plumbing for the HTTP targets: a listening socket on 127.0.0.1
// and raw client ends, with waits bounded so that a stuck peer shows as a
// failed check rather than a silent hang.
#ifndef ZU_FUZZ_LOOPBACK_H
#define ZU_FUZZ_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "../tests/support/loopback.h"

namespace fuzz {

// A raw TCP connection to 127.0.0.1:port, trying for a while: a machine busy
// with many short connections can run out of local ports for a moment.
inline int connectLoopback(unsigned short port) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int const fd = zu::test::connectLoopback(port);
    if (fd >= 0) return fd;
    std::fprintf(stderr, "connect to 127.0.0.1:%u: %s; trying again\n", port, std::strerror(errno));
    ::usleep(100000);
  }
  return -1;
}

// Closes with a reset rather than a close handshake, so that the closing
// side keeps no TIME_WAIT entry (and no local port) behind.
inline void closeAbruptly(int fd) {
  linger const l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

// A raw listening socket on 127.0.0.1 with a port the system chose.
inline int listenLoopback(unsigned short& port) { return zu::test::listenLoopback(port, 64); }

inline bool waitFor(int fd, short events, int milliseconds) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, milliseconds) > 0;
}

// Sends everything, reading (and dropping) what the peer answers meanwhile
// so that neither side blocks the other. False when the peer went away.
inline bool sendAll(int fd, char const* data, std::size_t size, std::string* received = nullptr) {
  while (size > 0) {
    pollfd p{fd, POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    if (p.revents & POLLIN) {
      char buffer[65536];
      ssize_t const n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0 && received) received->append(buffer, static_cast<std::size_t>(n));
      if (n == 0) return false;
    }
    if (p.revents & POLLOUT) {
      ssize_t const n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    if (p.revents & (POLLERR | POLLHUP)) return false;
  }
  return true;
}

}  // namespace fuzz

#endif
