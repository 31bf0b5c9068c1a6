#include <zu/em.h>
#include <zu/logger.h>
#include <zu/socket.h>

#include <gtest/gtest.h>

#include "hidden_library.h"
#include "support/log_lines.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>
#include <unistd.h>

using zu::net::Address;
using zu::net::IP;
using zu::net::IUDTSocket;

namespace {

// A listener on loopback, port chosen by the system.
boost::shared_ptr<IUDTSocket> listener(unsigned short& port) {
  boost::shared_ptr<IUDTSocket> socket = IUDTSocket::New();
  zu::em::CatchError guard(socket.get());
  EXPECT_TRUE(socket->listen(0, IP::loopback())) << guard.text().cstr();
  port = socket->localAddress().port;
  return socket;
}

}  // namespace

TEST(UDTSocket, TransfersAStreamBothWays) {
  unsigned short port = 0;
  boost::shared_ptr<IUDTSocket> server = listener(port);
  ASSERT_NE(0, port);
  std::string const message(300000, 'u');
  std::string echoed;
  std::atomic<bool> received{false};
  std::thread peer([&] {
    Address from{IP(), 0};
    boost::shared_ptr<IUDTSocket> accepted = server->accept(&from);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(IP::loopback(), from.ip);
    char buffer[65536];
    std::size_t total = 0;
    while (total < message.size()) {
      unsigned int n = accepted->toIO()->read(buffer, sizeof buffer);
      if (n == 0) break;
      total += n;
      for (unsigned int done = 0; done < n;) {
        unsigned int const w = accepted->toIO()->write(buffer + done, n - done);
        if (w == 0) return;
        done += w;
      }
    }
    // Without linger, closing drops what is still unsent: stay open until
    // the echo has arrived.
    while (!received) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  boost::shared_ptr<IUDTSocket> client = IUDTSocket::New();
  EXPECT_FALSE(client->isOpen());
  ASSERT_TRUE(client->connect(port, IP::loopback()));
  EXPECT_TRUE(client->isOpen());
  EXPECT_EQ(port, client->remoteAddress().port);
  EXPECT_EQ(IP::loopback(), client->localAddress().ip);
  std::size_t sent = 0;
  while (sent < message.size()) {
    unsigned int n = client->toIO()->write(message.data() + sent, static_cast<unsigned int>(message.size() - sent));
    ASSERT_GT(n, 0u);
    sent += n;
  }
  char buffer[65536];
  while (echoed.size() < message.size()) {
    unsigned int n = client->toIO()->read(buffer, sizeof buffer);
    if (n == 0) break;
    echoed.append(buffer, n);
  }
  received = true;
  peer.join();
  EXPECT_EQ(message.size(), echoed.size());
  EXPECT_TRUE(message == echoed);
  EXPECT_EQ(0, client->close());
  EXPECT_EQ(-1, client->close());
  EXPECT_FALSE(client->isOpen());
}

TEST(UDTSocket, FailuresAreReportedAndLeaveTheSocketClosed) {
  // A port nobody listens on: one a plain UDP socket held a moment ago.
  int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  unsigned short port = ntohs(address.sin_port);
  ::close(probe);
  boost::shared_ptr<IUDTSocket> socket = IUDTSocket::New();
  zu::em::CatchError guard(socket.get());
  EXPECT_FALSE(socket->connect(port, IP::loopback()));
  EXPECT_FALSE(socket->isOpen());
  EXPECT_TRUE(guard.code() == 4 || guard.code() == 100) << guard.code();
  EXPECT_FALSE(guard.text().empty());

  // Operations on a closed socket report an invalid socket.
  EXPECT_EQ(0u, socket->toIO()->read(&port, 1));
  EXPECT_EQ(1u, guard.code());
  Address const none = socket->remoteAddress();
  EXPECT_EQ(0u, none.ip.value());
  EXPECT_EQ(0, none.port);
}

TEST(UDTSocket, MissingUDTLibraryFailsCleanly) {
  if (!zu_test::inHiddenChild()) {
    zu_test::rerunWithHidden({"libudt.so.0"});
    return;
  }
  boost::shared_ptr<zu::test::LogLines> lines = boost::make_shared<zu::test::LogLines>();
  zu::util::logger::setCallback(lines);
  // Sockets are still made, closed, and fail as a closed socket fails.
  boost::shared_ptr<IUDTSocket> socket = IUDTSocket::New();
  ASSERT_TRUE(socket);
  EXPECT_FALSE(socket->isOpen());
  EXPECT_EQ(-1, socket->close());
  {
    zu::em::CatchError guard(socket.get());
    EXPECT_FALSE(socket->listen(0, IP::loopback()));
    EXPECT_EQ(100u, guard.code());
    EXPECT_EQ(0u, guard.text().find("libudt.so.0 could not be loaded: ")) << guard.text().cstr();
  }
  {
    zu::em::CatchError guard(socket.get());
    EXPECT_FALSE(socket->connect(9, IP::loopback()));
    EXPECT_EQ(100u, guard.code());
  }
  EXPECT_FALSE(socket->accept());
  char byte = 0;
  EXPECT_EQ(0u, socket->toIO()->write(&byte, 1));
  EXPECT_EQ(0u, socket->toIO()->read(&byte, 1));
  EXPECT_EQ(0, socket->localAddress().port);
  EXPECT_TRUE(IUDTSocket::New());
  std::vector<std::string> const errors = lines->matching("[ERR ]");
  ASSERT_EQ(1u, errors.size());
  EXPECT_NE(std::string::npos, errors[0].find("libudt.so.0 could not be loaded: "));
  zu::util::logger::setCallback(boost::weak_ptr<zu::util::logger::ILogCallback>());
  // Releasing a library that was never loaded does nothing.
  IUDTSocket::finalize();
}

TEST(UDTSocket, FinalizeBeforeAnySocketIsHarmless) {
  if (!zu_test::inHiddenChild()) {
    zu_test::rerunWithHidden({});
    return;
  }
  IUDTSocket::finalize();
  IUDTSocket::finalize();
}
