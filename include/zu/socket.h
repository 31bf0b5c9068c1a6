// zu::net sockets: IPv4 TCP and UDP sockets, usable blocking-style (waits and
// the IIO view) or event-driven through a reactor, whose runner thread calls
// an ISocketCallback whenever an attached socket is ready.
#ifndef ZU_SOCKET_H
#define ZU_SOCKET_H

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <zu/bytearray.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/net.h>
#include <zu/string.h>
#include <zu/sys.h>

namespace zu {
namespace net {

// Event bits of an interest mask and of a delivered event set. Only the low
// three bits are meaningful; masks are cut to them.
// Data, end of stream, or a pending connection on a listening socket.
unsigned int const SOCKET_EVENT_READ = 1;
// Room to send.
unsigned int const SOCKET_EVENT_WRITE = 2;
// A connection attempt finished, successfully or not: delivered once per
// connect; waitConnected then tells which.
unsigned int const SOCKET_EVENT_CONNECT = 4;

// The option level of the socket itself, the default level of
// ISocket::setOption and getOption: the system's SOL_SOCKET, whose number
// differs between systems (Winsock's is 0xFFFF). Any other level is handed
// to the system as it is (IPPROTO_TCP, ...).
#if defined(_WIN32)
int const SOCKET_LEVEL = 0xFFFF;
#else
int const SOCKET_LEVEL = 1;
#endif

// The transport of an ISocket.
enum SocketType {
  SOCKET_TYPE_TCP = 0,  // a stream
  SOCKET_TYPE_UDP = 1  // datagrams
};

class ISocket;

// A runner thread serving up to 63 attached sockets. It lives while a socket
// (or another holder) keeps it; the last one to let go stops its thread.
class ZU_API IReactor : public IBase {
 public:
  // The most sockets this reactor accepts, 1 to 63.
  virtual unsigned int capacity() = 0;
  // Minimum milliseconds between two passes of the runner; 0 for none.
  virtual unsigned int period() = 0;
  virtual sys::ThreadPriority priority() = 0;  // of the runner thread
  // Sockets attached now.
  virtual unsigned int load() = 0;

  // A private reactor (not in the pool) with `capacity` clamped into
  // [1, 63]; its runner thread starts at once.
  static boost::shared_ptr<IReactor> New(unsigned int capacity = 63, unsigned int period = 0,
                                         sys::ThreadPriority priority = sys::Normal);
};

// Implemented by callers. Runs on the reactor's thread, one call at a time
// per reactor, without any library lock held: it may close, re-register or
// drop any socket, its own included.
class ZU_API ISocketCallback : public IBase {
 public:
  // `events`: the fired bits. `buffer`: scratch space owned by the runner
  // thread and shared by all its callbacks; it keeps what the last one left.
  virtual void onSocketEvent(boost::shared_ptr<ISocket> socket, unsigned int events,
                             ByteArray& buffer) = 0;
};

// An IPv4 TCP or UDP socket, non-blocking from creation. Failures return
// false, 0, an empty pointer or the zero address and are reported under the
// socket (the pointer held in its shared_ptr) with these kinds: 1 bad
// handle, 2 timed out, 3 address in use, 4 connection refused, 100 other.
// Would-block results are not failures and are never reported. One socket is
// not to be read or written from two threads at once; close and the
// registration operations may be called from any thread.
class ZU_API ISocket : public IBase {
 public:
  // The byte-stream view: read waits up to the read time-out, then receives
  // once; write waits up to the write time-out, then sends once.
  virtual func::IIO* toIO() = 0;
  virtual SocketType type() = 0;  // as given to New

  // The object told of events; held weakly. Re-registers when attached.
  virtual void setCallback(boost::weak_ptr<ISocketCallback> callback) = 0;
  // Attaches to the pooled reactor of this key with the most free places,
  // starting a new one when all are full. Detaches from any previous one.
  virtual void attach(String const& name, unsigned int capacity = 63, unsigned int period = 0,
                      sys::ThreadPriority priority = sys::Normal) = 0;
  // Attaches to `reactor` (one made by IReactor::New); false when it is
  // full. An empty pointer detaches and returns true.
  virtual bool attach(boost::shared_ptr<IReactor> reactor) = 0;
  virtual bool isAttached() = 0;  // attached to a reactor
  // Interest mask = (mask | set) & ~clear.
  virtual void modifyEvents(unsigned int set, unsigned int clear) = 0;
  virtual unsigned int events() = 0;  // the interest mask (0 to start with)

  // Opens a fresh handle bound to ip:port (port 0: the system chooses);
  // TCP also listens with `backlog`, UDP is then ready to receive. A port
  // in use by a live socket fails with kind 3; a TCP listener binds over
  // connections of an earlier one that wait in TIME_WAIT.
  virtual bool listen(unsigned short port, IP const& ip = IP(), int backlog = 5) = 0;
  // The next pending connection, non-blocking and unattached; `peer`, when
  // given, receives its address. Empty when none is waiting.
  virtual boost::shared_ptr<ISocket> accept(Address* peer = 0) = 0;
  // TCP: opens a fresh handle (bound locally when a local ip or port is
  // given) and starts connecting; completion comes as SOCKET_EVENT_CONNECT
  // or from waitConnected. UDP: needs the handle of listen and sets the
  // default peer.
  virtual bool connect(unsigned short port, IP const& ip, unsigned short localPort = 0,
                       IP const& localIp = IP()) = 0;
  virtual bool isOpen() = 0;  // holds a handle
  // Closes the handle; an attachment stays, so a later listen or connect
  // registers again. May be called from any thread: an operation blocked on
  // the socket returns, and the handle is released once it has.
  virtual void close() = 0;

  // Time-outs of the IIO view in ms; NO_LIMIT (the start value) waits
  // without limit.
  virtual void setTimeouts(unsigned int read, unsigned int write) = 0;
  virtual void getTimeouts(unsigned int& read, unsigned int& write) = 0;  // as set
  // True once a connection attempt succeeded; false with the attempt's
  // error (kind 4: refused) or kind 2 after `milliseconds`.
  virtual bool waitConnected(unsigned int milliseconds) = 0;
  // True when a receive would not block (data, end of stream, error, or a
  // pending connection); false with kind 2 after `milliseconds`.
  virtual bool waitReadable(unsigned int milliseconds) = 0;
  virtual bool waitWritable(unsigned int milliseconds) = 0;  // as waitReadable, for room to send

  // Bytes received; 0 when the peer has closed, nothing is waiting, or on
  // error (reported).
  virtual unsigned int recv(void* buffer, unsigned int size) = 0;
  // As recv; `from` receives the sender's address.
  virtual unsigned int recvFrom(void* buffer, unsigned int size, Address& from) = 0;
  // Bytes sent, possibly fewer than `size`; 0 when nothing could be sent
  // now or on error (reported). A closed peer never raises a signal.
  virtual unsigned int send(void const* data, unsigned int size) = 0;
  // As send, to ip:port (UDP).
  virtual unsigned int sendTo(void const* data, unsigned int size, unsigned short port,
                              IP const& ip) = 0;
  // The zero address on failure.
  virtual Address localAddress() = 0;
  virtual Address remoteAddress() = 0;  // the peer; the zero address on failure
  // setsockopt/getsockopt; `level` defaults to the socket level
  // (SOCKET_LEVEL, the system's SOL_SOCKET).
  virtual bool setOption(int name, void const* value, int length, int level = SOCKET_LEVEL) = 0;
  virtual bool getOption(int name, void* value, int* length, int level = SOCKET_LEVEL) = 0;  // `*length`: in, room; out, size

  // A closed socket of `type`; the handle is made by listen or connect.
  static boost::shared_ptr<ISocket> New(SocketType type);
};

// A reliable stream connection over UDP (UDT), used blocking-style: each
// call returns when the transport's call does; data moves through toIO().
// Sockets made by connect and accept carry fixed transport settings (MSS
// 1028, all four buffers 205600 bytes, no linger). Failures return false, 0,
// an empty pointer or the zero address and are reported under the socket:
// kind 4 for a rejected connection, 1 for an invalid socket, 100 otherwise.
// The UDT library is loaded on first use; when it cannot be (or the library
// was built without UDT), sockets are still made but stay closed and every
// operation fails with kind 100 and a text naming what could not be loaded.
// One thread at a time per socket; no reactor.
class ZU_API IUDTSocket : public IBase {
 public:
  // read: receives once (0 after a report on failure); write: sends once.
  virtual func::IIO* toIO() = 0;
  // Opens a fresh handle (bound locally when a local ip or port is given)
  // and blocks until the peer accepts or rejects (kind 4).
  virtual bool connect(unsigned short port, IP const& ip, unsigned short localPort = 0,
                       IP const& localIp = IP()) = 0;
  virtual bool listen(unsigned short port, IP const& ip = IP(), int backlog = 5) = 0;  // binds ip:port and listens
  // Blocks until a peer connects; `peer`, when given, receives its address.
  virtual boost::shared_ptr<IUDTSocket> accept(Address* peer = 0) = 0;
  virtual bool isOpen() = 0;  // holds a handle
  // The transport's close result; -1 when already closed.
  virtual int close() = 0;
  virtual Address localAddress() = 0;  // the zero address on failure
  virtual Address remoteAddress() = 0;  // the zero address on failure

  // A closed socket. The first one registers finalize() to run at exit.
  static boost::shared_ptr<IUDTSocket> New();
  // Releases the transport library; nothing to do when it was never loaded.
  static void finalize();
};

}  // namespace net
}  // namespace zu

#endif
