// Linux forms of the socket calls: BSD sockets created non-blocking and
// close-on-exec, poll() for every wait (select's fd_set cannot hold
// descriptors of 1024 and above), MSG_NOSIGNAL on every send.
#include "platform/socket_platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <locale.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <zu/em.h>
#include <zu/sys.h>

namespace zu {
namespace net {
namespace impl {

unsigned int const ERROR_TIMED_OUT = ETIMEDOUT;
unsigned int const ERROR_BAD_HANDLE = EBADF;
unsigned int const ERROR_NOT_CONNECTED = ENOTCONN;

namespace {

sockaddr_in toSockaddr(IP const& ip, unsigned short port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(ip.value());
  address.sin_port = htons(port);
  return address;
}

void fromSockaddr(sockaddr_in const& in, Address& out) {
  out.ip = IP(ntohl(in.sin_addr.s_addr));
  out.port = ntohs(in.sin_port);
}

locale_t cLocale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  return locale;
}

std::int64_t monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void initializeSocketPlatform() {
  cLocale();
}

unsigned int lastSocketError() { return unsigned(errno); }

void translateSocketError(unsigned int rawCode, unsigned int* code, String* text) {
  if (code) {
    switch (rawCode) {
      case 0: *code = SOCKET_ERROR_NONE; break;
      case EBADF:
      case ENOTSOCK: *code = SOCKET_ERROR_BAD_HANDLE; break;
      case ETIMEDOUT: *code = SOCKET_ERROR_TIMED_OUT; break;
      case EADDRINUSE: *code = SOCKET_ERROR_ADDRESS_IN_USE; break;
      case ECONNREFUSED: *code = SOCKET_ERROR_REFUSED; break;
      default: *code = SOCKET_ERROR_OTHER; break;
    }
  }
  if (text) {
    char const* message = 0;
    if (rawCode != 0 && cLocale() != locale_t(0)) message = strerror_l(int(rawCode), cLocale());
    // glibc answers unknown codes with "Unknown error N": no message.
    if (message && std::strncmp(message, "Unknown error", 13) == 0) message = 0;
    *text = String(message ? message : "");
  }
}

void reportSocketError(void const* owner, unsigned int rawCode) {
  em::report(owner, rawCode, &translateSocketError);
}

bool isReceiveWouldBlock(unsigned int rawCode) {
  return rawCode == EAGAIN || rawCode == EWOULDBLOCK || rawCode == EINPROGRESS ||
         rawCode == EALREADY || rawCode == EINTR || rawCode == ENOTCONN;
}

bool isSendWouldBlock(unsigned int rawCode) {
  return isReceiveWouldBlock(rawCode) || rawCode == ENOBUFS;
}

bool isConnectStarted(unsigned int rawCode) {
  return rawCode == EINPROGRESS || rawCode == EAGAIN || rawCode == EWOULDBLOCK ||
         rawCode == EALREADY || rawCode == EINTR;
}

SocketHandle openSocketHandle(void const* owner, bool datagram) {
  int handle = ::socket(AF_INET, (datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (handle < 0) {
    reportSocketError(owner, lastSocketError());
    return INVALID_SOCKET_HANDLE;
  }
  return handle;
}

bool bindSocketHandle(void const* owner, SocketHandle handle, IP const& ip, unsigned short port,
                      bool reuse) {
  int flag = reuse ? 1 : 0;
  if (::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &flag, sizeof flag) != 0)
    reportSocketError(owner, lastSocketError());
  sockaddr_in address = toSockaddr(ip, port);
  if (::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    reportSocketError(owner, lastSocketError());
    return false;
  }
  return true;
}

void closeSocketHandle(SocketHandle handle) {
  if (handle < 0) return;
  ::shutdown(handle, SHUT_RDWR);
  // Linux releases the descriptor even when close() reports an error (EINTR
  // and EIO included), so there is nothing to retry: a retry would close
  // whatever descriptor later reuses the number.
  ::close(handle);
}

Descriptor::~Descriptor() {
  int saved = errno;
  closeSocketHandle(handle);
  errno = saved;
}

void shutdownSocketHandle(SocketHandle handle) {
  if (handle >= 0) ::shutdown(handle, SHUT_RDWR);
}

int waitHandle(SocketHandle handle, unsigned int interest, unsigned int milliseconds,
               unsigned int* ready) {
  pollfd entry;
  entry.fd = handle;
  entry.events = short(((interest & WAIT_READ) ? POLLIN : 0) | ((interest & WAIT_WRITE) ? POLLOUT : 0));
  entry.revents = 0;
  if (handle < 0) {
    errno = EBADF;
    return -1;
  }
  bool unlimited = milliseconds == 0xFFFFFFFFu;
  std::int64_t deadline = monotonicMs() + (unlimited ? 0 : std::int64_t(milliseconds));
  for (;;) {
    int timeout = -1;
    if (!unlimited) {
      std::int64_t left = deadline - monotonicMs();
      if (left < 0) left = 0;
      timeout = left > INT_MAX ? INT_MAX : int(left);
    }
    int result = ::poll(&entry, 1, timeout);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) return -1;
    if (result == 0) {
      if (!unlimited && deadline - monotonicMs() > 0) continue;  // INT_MAX slices
      return 0;
    }
    if (entry.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    unsigned int bits = 0;
    if (entry.revents & (POLLIN | POLLHUP | POLLERR)) bits |= WAIT_READ;
    if (entry.revents & (POLLOUT | POLLERR)) bits |= WAIT_WRITE;
    if (entry.revents & (POLLERR | POLLHUP)) bits |= WAIT_ERROR;
    if (ready) *ready = bits;
    return 1;
  }
}

bool connectHandle(SocketHandle handle, IP const& ip, unsigned short port) {
  sockaddr_in address = toSockaddr(ip, port);
  return ::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool localAddressOf(SocketHandle handle, Address& address) {
  sockaddr_in in;
  socklen_t length = sizeof in;
  if (::getsockname(handle, reinterpret_cast<sockaddr*>(&in), &length) != 0) return false;
  fromSockaddr(in, address);
  return true;
}

bool remoteAddressOf(SocketHandle handle, Address& address) {
  sockaddr_in in;
  socklen_t length = sizeof in;
  if (::getpeername(handle, reinterpret_cast<sockaddr*>(&in), &length) != 0) return false;
  fromSockaddr(in, address);
  return true;
}

bool pendingError(SocketHandle handle, unsigned int& rawCode) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  rawCode = unsigned(error);
  return true;
}

long receiveOn(SocketHandle handle, void* buffer, unsigned int size) {
  return long(::recv(handle, buffer, size, 0));
}

long receiveFromOn(SocketHandle handle, void* buffer, unsigned int size, Address& from) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  socklen_t length = sizeof in;
  long result = long(::recvfrom(handle, buffer, size, 0, reinterpret_cast<sockaddr*>(&in), &length));
  if (result >= 0) fromSockaddr(in, from);
  return result;
}

long sendOn(SocketHandle handle, void const* data, unsigned int size) {
  return long(::send(handle, data, size, MSG_NOSIGNAL));
}

long sendToOn(SocketHandle handle, void const* data, unsigned int size, IP const& ip,
              unsigned short port) {
  sockaddr_in address = toSockaddr(ip, port);
  return long(::sendto(handle, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                       sizeof address));
}

SocketHandle acceptOn(SocketHandle handle, Address* peer) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  socklen_t length = sizeof in;
  int accepted = ::accept4(handle, reinterpret_cast<sockaddr*>(&in), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted < 0) return INVALID_SOCKET_HANDLE;
  if (peer) fromSockaddr(in, *peer);
  return accepted;
}

bool listenOn(SocketHandle handle, int backlog) { return ::listen(handle, backlog) == 0; }

bool setOptionOn(SocketHandle handle, int level, int name, void const* value, int length) {
  return ::setsockopt(handle, level, name, value, socklen_t(length < 0 ? 0 : length)) == 0;
}

bool getOptionOn(SocketHandle handle, int level, int name, void* value, int* length) {
  socklen_t size = socklen_t(length && *length > 0 ? *length : 0);
  if (::getsockopt(handle, level, name, value, &size) != 0) return false;
  if (length) *length = int(size);
  return true;
}

static_assert(SOL_SOCKET == 1, "the default option level of ISocket is SOL_SOCKET");

}  // namespace impl
}  // namespace net
}  // namespace zu
