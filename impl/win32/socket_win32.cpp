// Winsock 2.2 forms of the socket calls: sockets made non-blocking with
// ioctlsocket and not inherited by child processes, select() for every wait
// (a set holds the reactor's 64 sockets), WSAGetLastError's codes mapped to
// the socket family's kinds, FormatMessageW texts.
#include "platform/socket_platform.h"

#include "win32/wide.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>
#include <set>

#include <zu/em.h>
#include <zu/socket.h>

namespace zu {
namespace net {
namespace impl {

static_assert(sizeof(SocketHandle) == sizeof(SOCKET), "SocketHandle holds a SOCKET");
static_assert(FD_SETSIZE >= PollSet::CAPACITY, "a select set holds the reactor's sockets");

unsigned int const SYSTEM_TIMED_OUT = WSAETIMEDOUT;
unsigned int const SYSTEM_BAD_HANDLE = WSAENOTSOCK;
unsigned int const SYSTEM_NOT_CONNECTED = WSAENOTCONN;
int const OPTION_LEVEL_TCP = IPPROTO_TCP;
int const OPTION_TCP_NODELAY = TCP_NODELAY;

namespace {

SOCKET native(SocketHandle handle) { return static_cast<SOCKET>(handle); }

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

// Winsock is started when the library loads and cleaned up when it is
// unloaded (this object's destructor runs then).
struct Winsock {
  bool started = false;
  void start() {
    if (started) return;
    WSADATA data;
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (started) ::WSACleanup();
  }
};

Winsock winsock;

}  // namespace

void initializeSocketPlatform() { winsock.start(); }

namespace {

// The system's texts of the Winsock codes the sockets meet, for a system
// whose message table lacks them (Wine's has none for most WSAE codes):
// a failure never goes without its text.
std::string winsockText(unsigned int rawCode) {
  switch (rawCode) {
    case WSAEINTR: return "A blocking operation was interrupted by a call to WSACancelBlockingCall.";
    case WSAEBADF: return "The file handle supplied is not valid.";
    case WSAEACCES: return "An attempt was made to access a socket in a way forbidden by its access permissions.";
    case WSAEFAULT: return "The system detected an invalid pointer address in attempting to use a pointer argument in a call.";
    case WSAEINVAL: return "An invalid argument was supplied.";
    case WSAEMFILE: return "Too many open sockets.";
    case WSAEWOULDBLOCK: return "A non-blocking socket operation could not be completed immediately.";
    case WSAEINPROGRESS: return "A blocking operation is currently executing.";
    case WSAEALREADY: return "An operation was attempted on a non-blocking socket that already had an operation in progress.";
    case WSAENOTSOCK: return "An operation was attempted on something that is not a socket.";
    case WSAEMSGSIZE:
      return "A message sent on a datagram socket was larger than the internal message buffer or some other network "
             "limit, or the buffer used to receive a datagram into was smaller than the datagram itself.";
    case WSAEADDRINUSE: return "Only one usage of each socket address (protocol/network address/port) is normally permitted.";
    case WSAEADDRNOTAVAIL: return "The requested address is not valid in its context.";
    case WSAENETDOWN: return "A socket operation encountered a dead network.";
    case WSAENETUNREACH: return "A socket operation was attempted to an unreachable network.";
    case WSAECONNABORTED: return "An established connection was aborted by the software in your host machine.";
    case WSAECONNRESET: return "An existing connection was forcibly closed by the remote host.";
    case WSAENOBUFS:
      return "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
             "because a queue was full.";
    case WSAEISCONN: return "A connect request was made on an already connected socket.";
    case WSAENOTCONN:
      return "A request to send or receive data was disallowed because the socket is not connected and (when sending "
             "on a datagram socket using a sendto call) no address was supplied.";
    case WSAESHUTDOWN:
      return "A request to send or receive data was disallowed because the socket had already been shut down in that "
             "direction with a previous shutdown call.";
    case WSAETIMEDOUT:
      return "A connection attempt failed because the connected party did not properly respond after a period of "
             "time, or established connection failed because connected host has failed to respond.";
    case WSAECONNREFUSED: return "No connection could be made because the target machine actively refused it.";
    case WSAEHOSTUNREACH: return "A socket operation was attempted to an unreachable host.";
    default: return "Windows Sockets error " + std::to_string(rawCode) + ".";
  }
}

}  // namespace

unsigned int lastSocketError() { return static_cast<unsigned int>(::WSAGetLastError()); }

void translateSocketError(unsigned int rawCode, unsigned int* code, String* text) {
  if (code) {
    switch (rawCode) {
      case 0: *code = SOCKET_ERROR_NONE; break;
      case WSAEBADF:
      case WSAENOTSOCK: *code = SOCKET_ERROR_BAD_HANDLE; break;
      case WSAETIMEDOUT: *code = SOCKET_ERROR_TIMED_OUT; break;
      case WSAEADDRINUSE: *code = SOCKET_ERROR_ADDRESS_IN_USE; break;
      case WSAECONNREFUSED: *code = SOCKET_ERROR_REFUSED; break;
      default: *code = SOCKET_ERROR_OTHER; break;
    }
  }
  if (text) {
    std::string message = ::zu::__::win32::errorText(rawCode);
    if (message.empty()) message = winsockText(rawCode);
    *text = String(message.c_str());
  }
}

void reportSocketError(void const* owner, unsigned int rawCode) { em::report(owner, rawCode, &translateSocketError); }

bool isReceiveWouldBlock(unsigned int rawCode) {
  return rawCode == WSAEWOULDBLOCK || rawCode == WSAEINPROGRESS || rawCode == WSAEALREADY || rawCode == WSAEINTR ||
         rawCode == WSAENOTCONN;
}

bool isSendWouldBlock(unsigned int rawCode) { return isReceiveWouldBlock(rawCode) || rawCode == WSAENOBUFS; }

bool isConnectStarted(unsigned int rawCode) {
  return rawCode == WSAEWOULDBLOCK || rawCode == WSAEINPROGRESS || rawCode == WSAEALREADY || rawCode == WSAEINTR;
}

namespace {

// Non-blocking and not inherited: what SOCK_NONBLOCK | SOCK_CLOEXEC give on
// Linux.
bool prepare(SOCKET s) {
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0) return false;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return true;
}

}  // namespace

SocketHandle openSocketHandle(void const* owner, bool datagram) {
  SOCKET const s = ::WSASocketW(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM, datagram ? IPPROTO_UDP : IPPROTO_TCP,
                                nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET || !prepare(s)) {
    unsigned int const error = lastSocketError();
    if (s != INVALID_SOCKET) ::closesocket(s);
    reportSocketError(owner, error);
    return INVALID_SOCKET_HANDLE;
  }
  return static_cast<SocketHandle>(s);
}

// SO_REUSEADDR on Windows lets a second socket take a port already bound,
// which is not what it means elsewhere; Windows binds a port whose old
// connections linger by itself. So `reuse` asks for nothing more here, and
// a bound port is refused to every other socket.
bool bindSocketHandle(void const* owner, SocketHandle handle, IP const& ip, unsigned short port, bool reuse) {
  (void)reuse;
  BOOL exclusive = TRUE;
  ::setsockopt(native(handle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char const*>(&exclusive),
               sizeof exclusive);
  sockaddr_in address = toSockaddr(ip, port);
  if (::bind(native(handle), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    reportSocketError(owner, lastSocketError());
    return false;
  }
  return true;
}

namespace {

// The sockets shut down but not yet closed. Winsock's select does not end
// when another thread shuts a socket down (seen under Wine), so a wait
// looks here between slices of its time; a handle leaves the set before it
// is closed, so that a new socket with the same value is not taken for it.
struct ShutDownSet {
  std::mutex mutex;
  std::set<SocketHandle> handles;
  bool contains(SocketHandle handle) {
    std::lock_guard<std::mutex> lock(mutex);
    return handles.count(handle) != 0;
  }
};

ShutDownSet& shutDown() {
  static ShutDownSet* const instance = new ShutDownSet;  // used until the last socket closes
  return *instance;
}

// The longest slice of a wait between two looks at the set.
int const WAIT_SLICE_MS = 50;

}  // namespace

void closeSocketHandle(SocketHandle handle) {
  if (!isValidSocket(handle)) return;
  ::shutdown(native(handle), SD_BOTH);
  {
    ShutDownSet& set = shutDown();
    std::lock_guard<std::mutex> lock(set.mutex);
    set.handles.erase(handle);
  }
  ::closesocket(native(handle));
}

Descriptor::~Descriptor() {
  int const saved = ::WSAGetLastError();
  closeSocketHandle(handle);
  ::WSASetLastError(saved);
}

void shutdownSocketHandle(SocketHandle handle) {
  if (!isValidSocket(handle)) return;
  {
    ShutDownSet& set = shutDown();
    std::lock_guard<std::mutex> lock(set.mutex);
    set.handles.insert(handle);
  }
  ::shutdown(native(handle), SD_BOTH);
}

namespace {

// The three select sets of up to 64 sockets. An error (a failed connect
// among them) shows in the exception set; as with poll() elsewhere it makes
// the socket both readable and writable.
struct SelectSets {
  fd_set read, write, error;
  SelectSets() {
    FD_ZERO(&read);
    FD_ZERO(&write);
    FD_ZERO(&error);
  }
  void add(SOCKET s, unsigned int interest) {
    if (interest & WAIT_READ) FD_SET(s, &read);
    if (interest & WAIT_WRITE) FD_SET(s, &write);
    FD_SET(s, &error);
  }
  unsigned int ready(SOCKET s) {
    unsigned int bits = 0;
    if (FD_ISSET(s, &read)) bits |= WAIT_READ;
    if (FD_ISSET(s, &write)) bits |= WAIT_WRITE;
    if (FD_ISSET(s, &error)) bits |= WAIT_READ | WAIT_WRITE | WAIT_ERROR;
    return bits;
  }
  // select() with a time-out in milliseconds (negative: none).
  int wait(int milliseconds) {
    timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    return ::select(0, &read, &write, &error, milliseconds < 0 ? nullptr : &limit);
  }
};

bool isSocket(SOCKET s) {
  int type = 0;
  int length = sizeof type;
  return ::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}

}  // namespace

int waitHandle(SocketHandle handle, unsigned int interest, unsigned int milliseconds, unsigned int* ready) {
  if (!isValidSocket(handle)) {
    ::WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  bool const unlimited = milliseconds == 0xFFFFFFFFu;
  ULONGLONG const deadline = ::GetTickCount64() + (unlimited ? 0 : milliseconds);
  for (;;) {
    // A socket shut down meanwhile reads as hung up, as poll() gives it
    // elsewhere.
    if (shutDown().contains(handle)) {
      if (ready) *ready = WAIT_READ | WAIT_WRITE | WAIT_ERROR;
      return 1;
    }
    int timeout = WAIT_SLICE_MS;
    if (!unlimited) {
      ULONGLONG const now = ::GetTickCount64();
      ULONGLONG const left = deadline > now ? deadline - now : 0;
      if (left < static_cast<ULONGLONG>(timeout)) timeout = static_cast<int>(left);
    }
    SelectSets sets;
    sets.add(native(handle), interest);
    int const result = sets.wait(timeout);
    if (result < 0) return -1;
    if (result == 0) {
      if (unlimited || deadline > ::GetTickCount64()) continue;
      return 0;
    }
    if (ready) *ready = sets.ready(native(handle));
    return 1;
  }
}

// select() has no set in the kernel to keep in step: each wait passes the
// entries.
struct PollSet::SystemSet {};

PollSet::PollSet() : count_(0), system_(new SystemSet) {}

PollSet::~PollSet() {}

void PollSet::put(unsigned int index, SocketHandle handle, unsigned int interest) {
  if (index == count_) ++count_;
  slots_[index].handle = handle;
  slots_[index].interest = interest;
  slots_[index].ready = 0;
}

void PollSet::erase(unsigned int index) {
  for (unsigned int i = index; i + 1 < count_; ++i) slots_[i] = slots_[i + 1];
  --count_;
}

void PollSet::clear() { count_ = 0; }

int PollSet::wait(int milliseconds) {
  for (unsigned int i = 0; i < count_; ++i) slots_[i].ready = 0;
  // A socket closed while watched fails the whole select: the open ones
  // are waited on again without it, and it reports nothing.
  bool open[CAPACITY];
  for (unsigned int i = 0; i < count_; ++i) open[i] = true;
  for (int attempt = 0; attempt < 2; ++attempt) {
    SelectSets sets;
    unsigned int watched = 0;
    for (unsigned int i = 0; i < count_; ++i) {
      if (!open[i]) continue;
      sets.add(native(slots_[i].handle), slots_[i].interest);
      ++watched;
    }
    if (watched == 0) {
      // select() refuses empty sets; an empty wait only passes the time.
      ::Sleep(milliseconds < 0 ? 10 : static_cast<DWORD>(milliseconds));
      return 0;
    }
    int const result = sets.wait(milliseconds);
    if (result > 0) {
      int found = 0;
      for (unsigned int i = 0; i < count_; ++i) {
        if (!open[i]) continue;
        slots_[i].ready = sets.ready(native(slots_[i].handle));
        if (slots_[i].ready) ++found;
      }
      return found;
    }
    if (result == 0 || ::WSAGetLastError() != WSAENOTSOCK) return 0;
    for (unsigned int i = 0; i < count_; ++i) open[i] = open[i] && isSocket(native(slots_[i].handle));
  }
  return 0;
}

bool connectHandle(SocketHandle handle, IP const& ip, unsigned short port) {
  sockaddr_in address = toSockaddr(ip, port);
  return ::connect(native(handle), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool localAddressOf(SocketHandle handle, Address& address) {
  sockaddr_in in;
  int length = sizeof in;
  if (::getsockname(native(handle), reinterpret_cast<sockaddr*>(&in), &length) != 0) return false;
  fromSockaddr(in, address);
  return true;
}

bool remoteAddressOf(SocketHandle handle, Address& address) {
  sockaddr_in in;
  int length = sizeof in;
  if (::getpeername(native(handle), reinterpret_cast<sockaddr*>(&in), &length) != 0) return false;
  fromSockaddr(in, address);
  return true;
}

bool pendingError(SocketHandle handle, unsigned int& rawCode) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(native(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) return false;
  rawCode = static_cast<unsigned int>(error);
  return true;
}

namespace {

int clampSize(unsigned int size) { return size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(size); }

}  // namespace

long receiveOn(SocketHandle handle, void* buffer, unsigned int size) {
  int const n = ::recv(native(handle), static_cast<char*>(buffer), clampSize(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long receiveFromOn(SocketHandle handle, void* buffer, unsigned int size, Address& from) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  int length = sizeof in;
  int const n =
      ::recvfrom(native(handle), static_cast<char*>(buffer), clampSize(size), 0, reinterpret_cast<sockaddr*>(&in), &length);
  if (n == SOCKET_ERROR) {
    // A datagram larger than the buffer is cut to it, as elsewhere.
    if (::WSAGetLastError() != WSAEMSGSIZE) return -1;
    fromSockaddr(in, from);
    return static_cast<long>(size);
  }
  fromSockaddr(in, from);
  return n;
}

// Windows raises no signal for a send on a closed connection.
long sendOn(SocketHandle handle, void const* data, unsigned int size) {
  int const n = ::send(native(handle), static_cast<char const*>(data), clampSize(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long sendToOn(SocketHandle handle, void const* data, unsigned int size, IP const& ip, unsigned short port) {
  sockaddr_in address = toSockaddr(ip, port);
  int const n = ::sendto(native(handle), static_cast<char const*>(data), clampSize(size), 0,
                         reinterpret_cast<sockaddr*>(&address), sizeof address);
  return n == SOCKET_ERROR ? -1 : n;
}

SocketHandle acceptOn(SocketHandle handle, Address* peer) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  int length = sizeof in;
  SOCKET const accepted = ::accept(native(handle), reinterpret_cast<sockaddr*>(&in), &length);
  if (accepted == INVALID_SOCKET) return INVALID_SOCKET_HANDLE;
  // An accepted socket takes its listener's blocking mode; it is set
  // anyway, with the inheritance.
  if (!prepare(accepted)) {
    int const error = ::WSAGetLastError();
    ::closesocket(accepted);
    ::WSASetLastError(error);
    return INVALID_SOCKET_HANDLE;
  }
  if (peer) fromSockaddr(in, *peer);
  return static_cast<SocketHandle>(accepted);
}

bool listenOn(SocketHandle handle, int backlog) { return ::listen(native(handle), backlog) == 0; }

bool setOptionOn(SocketHandle handle, int level, int name, void const* value, int length) {
  return ::setsockopt(native(handle), level, name, static_cast<char const*>(value), length < 0 ? 0 : length) == 0;
}

bool getOptionOn(SocketHandle handle, int level, int name, void* value, int* length) {
  int size = length && *length > 0 ? *length : 0;
  if (::getsockopt(native(handle), level, name, static_cast<char*>(value), &size) != 0) return false;
  if (length) *length = size;
  return true;
}

static_assert(SOL_SOCKET == SOCKET_LEVEL, "the default option level of ISocket is SOL_SOCKET");

}  // namespace impl
}  // namespace net
}  // namespace zu
