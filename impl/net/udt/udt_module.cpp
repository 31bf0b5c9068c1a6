// UDT stream sockets over the UDT library: the UDT module, libzu-udt.so.
// Kept out of libzu so that only programs using UDT need the UDT library.
#include "net/udt_module.h"
#include "platform/shared_library.h"

#include <zu/em.h>
#include <zu/socket.h>
#include <zu/sys.h>

#include <arpa/inet.h>
#include <boost/make_shared.hpp>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <udt/udt.h>

namespace zu {
namespace net {
namespace impl {

namespace {

UDTSOCKET const closedHandle = -1;

AtomicInteger& cleanupRegistered() {
  static AtomicInteger flag(0);
  return flag;
}

void finalizeAtExit() { UDT::cleanup(); }

unsigned int kindOf(int code) {
  switch (code) {
    case 0: return 0;
    case 1002: return 4;  // connection rejected
    case 5004: return 1;  // invalid socket
    default: return 100;
  }
}

sockaddr_in socketAddress(unsigned short port, IP const& ip) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(ip.value());
  return address;
}

Address addressOf(sockaddr_in const& address) {
  return Address{IP(ntohl(address.sin_addr.s_addr)), ntohs(address.sin_port)};
}

// The transport settings of every connecting and accepted socket.
bool applySettings(UDTSOCKET handle) {
  int const mss = 1028;
  int const buffer = 205600;
  linger const off = {0, 0};
  return UDT::setsockopt(handle, 0, UDT_MSS, &mss, sizeof mss) != UDT::ERROR &&
         UDT::setsockopt(handle, 0, UDT_SNDBUF, &buffer, sizeof buffer) != UDT::ERROR &&
         UDT::setsockopt(handle, 0, UDT_RCVBUF, &buffer, sizeof buffer) != UDT::ERROR &&
         UDT::setsockopt(handle, 0, UDP_SNDBUF, &buffer, sizeof buffer) != UDT::ERROR &&
         UDT::setsockopt(handle, 0, UDP_RCVBUF, &buffer, sizeof buffer) != UDT::ERROR &&
         UDT::setsockopt(handle, 0, UDT_LINGER, &off, sizeof off) != UDT::ERROR;
}

}  // namespace

class UDTSocket : public IUDTSocket, public func::IIO {
 public:
  explicit UDTSocket(UDTSOCKET handle = closedHandle) : handle_(handle) {
    if (cleanupRegistered().exchange(1) == 0) std::atexit(finalizeAtExit);
  }

  ~UDTSocket() override { close(); }

  func::IIO* toIO() override { return this; }

  bool connect(unsigned short port, IP const& ip, unsigned short localPort, IP const& localIp) override {
    close();
    if (!open(true)) return false;
    if (!localIp.isAny() || localPort != 0) {
      sockaddr_in local = socketAddress(localPort, localIp);
      if (UDT::bind(handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) == UDT::ERROR) return failed();
    }
    sockaddr_in remote = socketAddress(port, ip);
    if (UDT::connect(handle_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == UDT::ERROR) return failed();
    return true;
  }

  bool listen(unsigned short port, IP const& ip, int backlog) override {
    close();
    // Accepted sockets inherit the listener's options (they cannot be
    // changed once connected), so the listener carries the settings too.
    if (!open(true)) return false;
    sockaddr_in local = socketAddress(port, ip);
    if (UDT::bind(handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) == UDT::ERROR) return failed();
    if (UDT::listen(handle_, backlog) == UDT::ERROR) return failed();
    return true;
  }

  boost::shared_ptr<IUDTSocket> accept(Address* peer) override {
    sockaddr_in remote;
    int length = sizeof remote;
    UDTSOCKET const accepted = UDT::accept(handle_, reinterpret_cast<sockaddr*>(&remote), &length);
    if (accepted == UDT::INVALID_SOCK) {
      report();
      return boost::shared_ptr<IUDTSocket>();
    }
    if (peer) *peer = addressOf(remote);
    return boost::make_shared<UDTSocket>(accepted);
  }

  bool isOpen() override { return handle_ != closedHandle; }

  int close() override {
    if (handle_ == closedHandle) return -1;
    int const result = UDT::close(handle_);
    handle_ = closedHandle;
    return result;
  }

  Address localAddress() override {
    sockaddr_in address;
    int length = sizeof address;
    if (UDT::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) == UDT::ERROR) {
      report();
      return Address{IP(), 0};
    }
    return addressOf(address);
  }

  Address remoteAddress() override {
    sockaddr_in address;
    int length = sizeof address;
    if (UDT::getpeername(handle_, reinterpret_cast<sockaddr*>(&address), &length) == UDT::ERROR) {
      report();
      return Address{IP(), 0};
    }
    return addressOf(address);
  }

  unsigned int read(void* buffer, unsigned int size) override {
    int const n = UDT::recv(handle_, static_cast<char*>(buffer), static_cast<int>(size), 0);
    if (n == UDT::ERROR) {
      report();
      return 0;
    }
    return static_cast<unsigned int>(n);
  }

  unsigned int write(void const* data, unsigned int size) override {
    int const n = UDT::send(handle_, static_cast<char const*>(data), static_cast<int>(size), 0);
    if (n == UDT::ERROR) {
      report();
      return 0;
    }
    return static_cast<unsigned int>(n);
  }

 private:
  bool open(bool withSettings) {
    handle_ = UDT::socket(AF_INET, SOCK_STREAM, 0);
    if (handle_ == UDT::INVALID_SOCK) {
      handle_ = closedHandle;
      report();
      return false;
    }
    if (withSettings && !applySettings(handle_)) return failed();
    return true;
  }

  // Reports the last transport error and closes the handle.
  bool failed() {
    report();
    close();
    return false;
  }

  // The last transport error of this thread, to a guard for this socket.
  void report() {
    IUDTSocket const* owner = this;
    if (!em::catching(owner)) return;
    UDT::ERRORINFO& error = UDT::getlasterror();
    em::report(owner, kindOf(error.getErrorCode()), String(error.getErrorMessage()));
  }

  UDTSOCKET handle_;
};

namespace {

boost::shared_ptr<IUDTSocket> newSocket() { return boost::make_shared<UDTSocket>(); }

void finalize() { UDT::cleanup(); }

}  // namespace

}  // namespace impl
}  // namespace net
}  // namespace zu

ZU_MODULE_ENTRY_POINT void const* ZU_UDT_MODULE_ENTRY(void const* host) {
  using namespace zu::net::impl;
  unsigned int const* version = static_cast<unsigned int const*>(host);
  if (!version || *version != udtModuleVersion) return nullptr;
  static UDTModuleTable const table = {udtModuleVersion, &newSocket, &finalize};
  return &table;
}
