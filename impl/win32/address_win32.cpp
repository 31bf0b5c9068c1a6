// Windows: address text through Winsock, lookups through GetAddrInfoW and
// gethostbyaddr (whose result is per thread in Winsock), the adapter list
// through GetAdaptersAddresses.
#include "platform/address_platform.h"

#include "win32/wide.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstring>
#include <memory>
#include <vector>

namespace zu {
namespace net {
namespace impl {

unsigned int inetAddr(char const* text) { return ntohl(::inet_addr(text)); }

// inet_addr gives INADDR_NONE for text it cannot read, which is also the
// broadcast address: that one is taken only when it is spelled out.
bool inetAton(char const* text, unsigned int& value) {
  unsigned long const address = ::inet_addr(text);
  if (address == INADDR_NONE && std::strcmp(text, "255.255.255.255") != 0) return false;
  value = ntohl(address);
  return true;
}

TArray<String> lookupNames(unsigned int ip) {
  TArray<String> names;
  in_addr address;
  address.s_addr = htonl(ip);
  hostent const* result = ::gethostbyaddr(reinterpret_cast<char const*>(&address), sizeof address, AF_INET);
  if (!result) return names;
  if (result->h_name) names.append(String(result->h_name));
  if (result->h_aliases)
    for (char** alias = result->h_aliases; *alias; ++alias) names.append(String(*alias));
  return names;
}

TArray<IP> lookupAddresses(char const* host) {
  TArray<IP> ips;
  // GetAddrInfoW reads an empty name as this machine; it names nothing.
  if (!host || !*host) return ips;
  ADDRINFOW hints = {};
  hints.ai_family = AF_INET;
  // One socket type, or every address comes back once per type.
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* list = nullptr;
  if (::GetAddrInfoW(::zu::__::win32::widen(host).c_str(), nullptr, &hints, &list) != 0) return ips;
  std::unique_ptr<ADDRINFOW, void(WSAAPI*)(ADDRINFOW*)> owner(list, ::FreeAddrInfoW);
  for (ADDRINFOW* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || !ai->ai_addr || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in const* in = reinterpret_cast<sockaddr_in const*>(ai->ai_addr);
    ips.append(IP(ntohl(in->sin_addr.s_addr)));
  }
  return ips;
}

TArray<InterfaceEntry> listAdapters() {
  TArray<InterfaceEntry> result;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG status = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    status = ::GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                    nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (status != NO_ERROR) return result;
  // An adapter is an interface with a 6-byte hardware address.
  for (IP_ADAPTER_ADDRESSES const* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES const*>(buffer.data()); adapter;
       adapter = adapter->Next) {
    if (adapter->PhysicalAddressLength != 6) continue;
    InterfaceEntry entry;
    entry.name = String(adapter->AdapterName);
    entry.description = String(::zu::__::win32::narrow(adapter->Description).c_str());
    if (entry.description.empty()) entry.description = entry.name;
    entry.mac = ByteArray(adapter->PhysicalAddress, 6);
    for (IP_ADAPTER_UNICAST_ADDRESS const* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
      sockaddr const* sa = unicast->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      unsigned int const address = ntohl(reinterpret_cast<sockaddr_in const*>(sa)->sin_addr.s_addr);
      if (address == 0) continue;
      unsigned int const prefix = unicast->OnLinkPrefixLength > 32 ? 32 : unicast->OnLinkPrefixLength;
      entry.addresses.append(IP(address));
      entry.masks.append(IP(prefix == 0 ? 0u : 0xFFFFFFFFu << (32 - prefix)));
    }
    result.append(entry);
  }
  return result;
}

}  // namespace impl
}  // namespace net
}  // namespace zu
