// The list of the machine's network adapters.
#include <zu/net.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

namespace zu {
namespace net {

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

TArray<InterfaceEntry> enumInterface() {
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

}  // namespace net
}  // namespace zu
