// The operating-system side of the IPv4 values: address text as the C
// library reads it, name lookups in both directions and the adapter list.
// Only address_platform.cpp includes the system's network headers.
#ifndef ZU_IMPL_ADDRESS_PLATFORM_H
#define ZU_IMPL_ADDRESS_PLATFORM_H

#include <zu/array.h>
#include <zu/net.h>
#include <zu/string.h>

namespace zu {
namespace net {
namespace impl {

// inet_addr's answer for `text`, in host byte order. 0xFFFFFFFF is both its
// failure result and the value of 255.255.255.255.
unsigned int inetAddr(char const* text);
// The same forms as inetAddr, telling failure apart: true and the value (host
// byte order) when the text is an address.
bool inetAton(char const* text, unsigned int& value);

// Reverse lookup of `ip` (host byte order): the official name, then the
// aliases; empty on failure. Safe on any thread.
TArray<String> lookupNames(unsigned int ip);
// Forward lookup of a host name: its IPv4 addresses in the resolver's order,
// host byte order; empty on failure. Safe on any thread.
TArray<IP> lookupAddresses(char const* host);

// Interfaces with a 6-byte hardware address, in the system's order.
TArray<InterfaceEntry> listAdapters();

}  // namespace impl
}  // namespace net
}  // namespace zu

#endif
