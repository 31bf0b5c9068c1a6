// The operating-system side of the sockets and the reactor: socket handles,
// binding, single-socket waits, closing, and the translation of system
// error codes into the socket error kinds. Free of operating-system headers:
// each system's socket file (posix/socket_platform.cpp,
// win32/socket_win32.cpp) includes its own, and the sockets and the reactor
// go through here.
//
// Failures leave the system's own code, read with lastSocketError(). Family
// code never reads such a code: it hands it to reportSocketError (which
// gives the socket codes below and the system's English text) or asks the
// is...() questions, so every code is mapped once, in the system's file.
#ifndef ZU_IMPL_SOCKET_PLATFORM_H
#define ZU_IMPL_SOCKET_PLATFORM_H

#include <memory>

#include <zu/net.h>
#include <zu/string.h>

#include "platform/handles.h"

namespace zu {
namespace net {
namespace impl {

// The system's socket handle (a descriptor on POSIX, a SOCKET on Windows).
using ::zu::__::platform::SocketHandle;
using ::zu::__::platform::INVALID_SOCKET_HANDLE;
using ::zu::__::platform::isValidSocket;

// Error kinds of the socket family.
enum {
  SOCKET_ERROR_NONE = 0,
  SOCKET_ERROR_BAD_HANDLE = 1,
  SOCKET_ERROR_TIMED_OUT = 2,
  SOCKET_ERROR_ADDRESS_IN_USE = 3,
  SOCKET_ERROR_REFUSED = 4,
  SOCKET_ERROR_OTHER = 100
};

// Readiness bits of waitHandle, in the select() sense: an error or a hang-up
// makes a socket both readable and writable.
enum {
  WAIT_READ = 1,
  WAIT_WRITE = 2,
  WAIT_ERROR = 4  // error or hang-up pending (a failed connect, a reset)
};

// Several sockets waited on at once: the reactor's runner. Entries keep
// their places (index 0 first); a wait reports each entry's readiness in
// the WAIT_* bits, by the same rule as waitHandle.
class PollSet {
 public:
  enum { CAPACITY = 64 };

  PollSet();
  ~PollSet();
  PollSet(PollSet const&) = delete;
  PollSet& operator=(PollSet const&) = delete;

  unsigned int size() const { return count_; }
  SocketHandle handle(unsigned int index) const { return slots_[index].handle; }
  // Watches `handle` for `interest` (WAIT_READ, WAIT_WRITE) at `index`; an
  // index of size() adds an entry (size() < CAPACITY).
  void put(unsigned int index, SocketHandle handle, unsigned int interest);
  // Removes the entry at `index`; the later ones move down by one.
  void erase(unsigned int index);
  // Removes every entry.
  void clear();
  // Waits until an entry is ready, at most `milliseconds` (negative: no
  // limit). The number of ready entries; 0 after the time or a failed or
  // interrupted wait.
  int wait(int milliseconds);
  // What entry `index` was ready for in the last wait; 0 for nothing, and
  // for a socket that was not open.
  unsigned int ready(unsigned int index) const { return slots_[index].ready; }

 private:
  struct Slot {
    SocketHandle handle;
    unsigned int interest;
    unsigned int ready;
  };
  Slot slots_[CAPACITY];
  unsigned int count_;
  // What the system keeps for the set besides the entries (on Linux its own
  // set of watched descriptors, which a wait does not scan whole); defined
  // by each system's socket file.
  struct SystemSet;
  std::unique_ptr<SystemSet> system_;
};

// The system's code of the last failed call on this thread.
unsigned int lastSocketError();
// System codes the family reports itself, as this system spells them.
extern unsigned int const SYSTEM_TIMED_OUT;
extern unsigned int const SYSTEM_BAD_HANDLE;
extern unsigned int const SYSTEM_NOT_CONNECTED;
// setOption's level and name that turn off Nagle's delay of small sends.
extern int const OPTION_LEVEL_TCP;
extern int const OPTION_TCP_NODELAY;
// The em translation function: system code -> kind and English message.
void translateSocketError(unsigned int rawCode, unsigned int* code, String* text);
// Reports `rawCode` under `owner` with the translation above.
void reportSocketError(void const* owner, unsigned int rawCode);
// recv/recvfrom results that only mean "nothing now" (never reported).
bool isReceiveWouldBlock(unsigned int rawCode);
// send/sendto results of the same kind (also a full buffer pool).
bool isSendWouldBlock(unsigned int rawCode);
// connect results meaning the attempt has started.
bool isConnectStarted(unsigned int rawCode);

// A new non-blocking IPv4 socket, not inherited by child processes;
// INVALID_SOCKET_HANDLE on failure (reported).
SocketHandle openSocketHandle(void const* owner, bool datagram);
// SO_REUSEADDR set to `reuse` (a failure is reported and ignored), then
// bind to ip:port; false on failure (reported).
bool bindSocketHandle(void const* owner, SocketHandle handle, IP const& ip, unsigned short port,
                      bool reuse);
// Shuts the socket down both ways and closes it; an invalid handle is left
// alone.
void closeSocketHandle(SocketHandle handle);

// Shuts the socket down both ways (waking threads blocked on it) without
// closing it; failures are ignored.
void shutdownSocketHandle(SocketHandle handle);

// One open socket; the last holder closes it. Closing keeps the thread's
// last error, which the holder may not have read yet.
class Descriptor {
 public:
  explicit Descriptor(SocketHandle handle) : handle(handle) {}
  ~Descriptor();
  Descriptor(Descriptor const&) = delete;
  Descriptor& operator=(Descriptor const&) = delete;
  SocketHandle const handle;
};

// Waits up to `milliseconds` (0xFFFFFFFF: no limit) for any of the WAIT_READ
// and WAIT_WRITE bits in `interest`. Returns 1 with the ready bits (WAIT_*)
// in `ready`, 0 on time-out, -1 on failure (lastSocketError() tells why).
int waitHandle(SocketHandle handle, unsigned int interest, unsigned int milliseconds,
               unsigned int* ready);

// Address conversions between the library's host-order values and the
// system's socket addresses happen inside these calls.
bool connectHandle(SocketHandle handle, IP const& ip, unsigned short port);
bool localAddressOf(SocketHandle handle, Address& address);
bool remoteAddressOf(SocketHandle handle, Address& address);
// The pending error of a socket (SO_ERROR); false when it cannot be read.
bool pendingError(SocketHandle handle, unsigned int& rawCode);
// Transfer calls: the count, or -1 with lastSocketError(). Sends never raise
// SIGPIPE.
long receiveOn(SocketHandle handle, void* buffer, unsigned int size);
long receiveFromOn(SocketHandle handle, void* buffer, unsigned int size, Address& from);
long sendOn(SocketHandle handle, void const* data, unsigned int size);
long sendToOn(SocketHandle handle, void const* data, unsigned int size, IP const& ip,
              unsigned short port);
// The accepted socket (non-blocking, not inherited) or
// INVALID_SOCKET_HANDLE with lastSocketError().
SocketHandle acceptOn(SocketHandle handle, Address* peer);
bool listenOn(SocketHandle handle, int backlog);
// SOCKET_LEVEL is the system's SOL_SOCKET; other levels pass as they are.
bool setOptionOn(SocketHandle handle, int level, int name, void const* value, int length);
bool getOptionOn(SocketHandle handle, int level, int name, void* value, int* length);

// Sets up the system's socket layer; called once at load. The set-up is
// undone when the library is unloaded (on Windows, Winsock's start and
// clean-up).
void initializeSocketPlatform();

}  // namespace impl
}  // namespace net
}  // namespace zu

#endif
