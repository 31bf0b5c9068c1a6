// Linux forms of the socket calls: BSD sockets created non-blocking and
// close-on-exec, poll() for every wait (select's fd_set cannot hold
// descriptors of 1024 and above), MSG_NOSIGNAL on every send.
#include "platform/platform.h"
#include "platform/socket_platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <zu/em.h>
#include <zu/socket.h>
#include <zu/sys.h>

namespace zu {
namespace net {
namespace impl {

unsigned int const SYSTEM_TIMED_OUT = ETIMEDOUT;
unsigned int const SYSTEM_BAD_HANDLE = EBADF;
unsigned int const SYSTEM_NOT_CONNECTED = ENOTCONN;
int const OPTION_LEVEL_TCP = IPPROTO_TCP;
int const OPTION_TCP_NODELAY = TCP_NODELAY;

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

std::int64_t monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void initializeSocketPlatform() {
  // The message locale is made at load, not in the middle of a failure.
  ::zu::__::platform::systemMessage(EBADF);
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
    *text = String(::zu::__::platform::systemMessage(rawCode).c_str());
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

namespace {

short interestEvents(unsigned int interest) {
  return short(((interest & WAIT_READ) ? POLLIN : 0) | ((interest & WAIT_WRITE) ? POLLOUT : 0));
}

// select() semantics: an error or a hang-up counts as readable and writable
// and is an error to a connection attempt.
unsigned int readyBits(short revents) {
  unsigned int bits = 0;
  if (revents & (POLLIN | POLLHUP | POLLERR)) bits |= WAIT_READ;
  if (revents & (POLLOUT | POLLERR)) bits |= WAIT_WRITE;
  if (revents & (POLLERR | POLLHUP)) bits |= WAIT_ERROR;
  return bits;
}

}  // namespace

int waitHandle(SocketHandle handle, unsigned int interest, unsigned int milliseconds,
               unsigned int* ready) {
  pollfd entry;
  entry.fd = handle;
  entry.events = interestEvents(interest);
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
    if (ready) *ready = readyBits(entry.revents);
    return 1;
  }
}

// The kernel's set is kept in step with the entries by the descriptor's
// number. The reactor's commands reach it in order, so a number closed and
// opened again for a new socket is removed before it is added anew; a change
// for a descriptor already closed fails and is dropped (its removal follows),
// and a descriptor closed while watched leaves the kernel's set by itself.
//
// The kernel's set: an epoll descriptor; -1 when the system gave none, and
// every wait then passes all entries to poll() at once.
struct PollSet::SystemSet {
  int kernelSet = ::epoll_create1(EPOLL_CLOEXEC);
  ~SystemSet() {
    if (kernelSet >= 0) ::close(kernelSet);
  }
};

PollSet::PollSet() : count_(0), system_(new SystemSet) {}

PollSet::~PollSet() {}

namespace {

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

// epoll_ctl on a number that another thread may be closing or opening at
// that moment: by the order above the outcome is right either way (the call
// fails on a closed number, and a number opened anew is not in this set), so
// the thread checker is told not to count it as a conflicting access.
int control(int kernelSet, int operation, SocketHandle handle, unsigned int interest) {
  epoll_event event{};
  event.events = static_cast<std::uint32_t>(static_cast<unsigned short>(interestEvents(interest)));
  event.data.fd = handle;
#if defined(__SANITIZE_THREAD__)
  __tsan_ignore_thread_begin();
#endif
  int const result = ::epoll_ctl(kernelSet, operation, handle, &event);
  int const error = errno;
#if defined(__SANITIZE_THREAD__)
  __tsan_ignore_thread_end();
#endif
  errno = error;
  return result;
}

}  // namespace

void PollSet::put(unsigned int index, SocketHandle handle, unsigned int interest) {
  bool const added = index == count_;
  SocketHandle const previous = added ? INVALID_SOCKET_HANDLE : slots_[index].handle;
  if (added) ++count_;
  slots_[index].handle = handle;
  slots_[index].interest = interest;
  slots_[index].ready = 0;
  int const kernelSet = system_->kernelSet;
  if (kernelSet < 0) return;
  if (!added && previous == handle) {
    control(kernelSet, EPOLL_CTL_MOD, handle, interest);
    return;
  }
  if (!added) control(kernelSet, EPOLL_CTL_DEL, previous, 0);
  if (control(kernelSet, EPOLL_CTL_ADD, handle, interest) != 0 && errno == EEXIST)
    control(kernelSet, EPOLL_CTL_MOD, handle, interest);
}

void PollSet::erase(unsigned int index) {
  if (system_->kernelSet >= 0) control(system_->kernelSet, EPOLL_CTL_DEL, slots_[index].handle, 0);
  for (unsigned int i = index; i + 1 < count_; ++i) slots_[i] = slots_[i + 1];
  --count_;
}

void PollSet::clear() {
  // A fresh kernel set rather than one removal per entry: the descriptors
  // may be long closed by now.
  int& kernelSet = system_->kernelSet;
  if (kernelSet >= 0) {
    ::close(kernelSet);
    kernelSet = ::epoll_create1(EPOLL_CLOEXEC);
  }
  count_ = 0;
}

int PollSet::wait(int milliseconds) {
  for (unsigned int i = 0; i < count_; ++i) slots_[i].ready = 0;
  if (system_->kernelSet >= 0) {
    epoll_event events[CAPACITY];
    int const result = ::epoll_wait(system_->kernelSet, events, CAPACITY, milliseconds < 0 ? -1 : milliseconds);
    int found = 0;
    for (int k = 0; k < result; ++k) {
      for (unsigned int i = 0; i < count_; ++i) {
        if (slots_[i].handle != events[k].data.fd) continue;
        slots_[i].ready = readyBits(static_cast<short>(events[k].events & 0xFFFF));
        ++found;
        break;
      }
    }
    return found;
  }
  pollfd entries[CAPACITY];
  for (unsigned int i = 0; i < count_; ++i) {
    entries[i].fd = slots_[i].handle;
    entries[i].events = interestEvents(slots_[i].interest);
    entries[i].revents = 0;
  }
  int const result = ::poll(entries, count_, milliseconds < 0 ? -1 : milliseconds);
  if (result <= 0) return 0;
  for (unsigned int i = 0; i < count_; ++i)
    if (entries[i].revents != 0 && !(entries[i].revents & POLLNVAL)) slots_[i].ready = readyBits(entries[i].revents);
  return result;
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

namespace {

// SOCKET_LEVEL is Linux's SOL_SOCKET; a system that numbers it otherwise
// still gets its own.
int systemLevel(int level) { return level == SOCKET_LEVEL ? SOL_SOCKET : level; }

}  // namespace

bool setOptionOn(SocketHandle handle, int level, int name, void const* value, int length) {
  return ::setsockopt(handle, systemLevel(level), name, value, socklen_t(length < 0 ? 0 : length)) == 0;
}

bool getOptionOn(SocketHandle handle, int level, int name, void* value, int* length) {
  socklen_t size = socklen_t(length && *length > 0 ? *length : 0);
  if (::getsockopt(handle, systemLevel(level), name, value, &size) != 0) return false;
  if (length) *length = int(size);
  return true;
}

}  // namespace impl
}  // namespace net
}  // namespace zu
