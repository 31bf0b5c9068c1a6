// Linux and POSIX: address text through the C library, lookups through
// getaddrinfo and gethostbyaddr_r (no shared state, so safe on any thread),
// the adapter list through getifaddrs and sysfs.
#include "platform/address_platform.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace zu {
namespace net {
namespace impl {

unsigned int inetAddr(char const* text) { return ntohl(inet_addr(text)); }

bool inetAton(char const* text, unsigned int& value) {
  struct in_addr a;
  if (inet_aton(text, &a) == 0) return false;
  value = ntohl(a.s_addr);
  return true;
}

TArray<String> lookupNames(unsigned int ip) {
  TArray<String> names;
  struct in_addr address;
  address.s_addr = htonl(ip);
  struct hostent entry;
  struct hostent* result = nullptr;
  int error = 0;
  std::vector<char> buffer(1024);
  for (;;) {
    int rc = gethostbyaddr_r(&address, sizeof address, AF_INET, &entry, buffer.data(), buffer.size(), &result,
                             &error);
    // ERANGE: the answer does not fit the scratch buffer; anything else is
    // the lookup's own verdict.
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0) result = nullptr;
    break;
  }
  if (!result) return names;
  if (result->h_name) names.append(String(result->h_name));
  if (result->h_aliases)
    for (char** alias = result->h_aliases; *alias; ++alias) names.append(String(*alias));
  return names;
}

TArray<IP> lookupAddresses(char const* host) {
  TArray<IP> ips;
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  // One socket type, or every address comes back once per type.
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) != 0) return ips;
  std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> owner(list, freeaddrinfo);
  for (struct addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || !ai->ai_addr || ai->ai_addrlen < sizeof(struct sockaddr_in)) continue;
    struct sockaddr_in const* in = reinterpret_cast<struct sockaddr_in const*>(ai->ai_addr);
    ips.append(IP(ntohl(in->sin_addr.s_addr)));
  }
  return ips;
}

namespace {

// The driver bound to the interface's device, as the kernel names it; empty
// for virtual interfaces that have no device.
String driverName(char const* interfaceName) {
  std::string link = std::string("/sys/class/net/") + interfaceName + "/device/driver";
  char target[512];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return String();
  target[n] = '\0';
  char const* slash = std::strrchr(target, '/');
  return String(slash ? slash + 1 : target);
}

unsigned int addressOf(struct sockaddr const* sa) {
  if (!sa || sa->sa_family != AF_INET) return 0;
  return ntohl(reinterpret_cast<struct sockaddr_in const*>(sa)->sin_addr.s_addr);
}

// The netmask of an AF_INET entry is laid out as a sockaddr_in whatever
// family its header carries.
unsigned int maskOf(struct sockaddr const* sa) {
  if (!sa) return 0;
  return ntohl(reinterpret_cast<struct sockaddr_in const*>(sa)->sin_addr.s_addr);
}

}  // namespace

TArray<InterfaceEntry> listAdapters() {
  TArray<InterfaceEntry> result;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> owner(list, freeifaddrs);

  // An adapter is an interface with a 6-byte hardware address; each one
  // appears once in the list with family AF_PACKET.
  for (struct ifaddrs* link = list; link; link = link->ifa_next) {
    if (!link->ifa_addr || link->ifa_addr->sa_family != AF_PACKET || !link->ifa_name) continue;
    struct sockaddr_ll const* hw = reinterpret_cast<struct sockaddr_ll const*>(link->ifa_addr);
    if (hw->sll_halen != 6) continue;

    InterfaceEntry entry;
    entry.name = String(link->ifa_name);
    entry.description = driverName(link->ifa_name);
    if (entry.description.empty()) entry.description = entry.name;
    entry.mac = ByteArray(hw->sll_addr, 6);
    // Its IPv4 addresses are the AF_INET entries of the same name, in list
    // order. An unset address (0.0.0.0) adds nothing. The mask is taken as
    // the binary value, so a host mask of 255.255.255.255 stays itself.
    for (struct ifaddrs* in = list; in; in = in->ifa_next) {
      if (!in->ifa_addr || in->ifa_addr->sa_family != AF_INET || !in->ifa_name) continue;
      if (std::strcmp(in->ifa_name, link->ifa_name) != 0) continue;
      unsigned int address = addressOf(in->ifa_addr);
      if (address == 0) continue;
      entry.addresses.append(IP(address));
      entry.masks.append(IP(maskOf(in->ifa_netmask)));
    }
    result.append(entry);
  }
  return result;
}

}  // namespace impl
}  // namespace net
}  // namespace zu
