// zu::net: the IPv4 vocabulary of the library. Addresses, host names with an
// optional port, inclusive address ranges and merged sets of them, blocking
// and background name resolution in both directions, and the list of the
// machine's network adapters. There is no IPv6 form anywhere.
#ifndef ZU_NET_H
#define ZU_NET_H

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <zu/array.h>
#include <zu/bytearray.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>
#include <zu/sys.h>

namespace zu {
namespace net {

class IP;
class HostName;

// Receives the names found by a background reverse lookup, on the lookup's
// own thread.
class ZU_API IIPResolveCallback : public IBase {
 public:
  // `names` is empty when the lookup failed.
  virtual void onResolved(IP const& ip, TArray<String> const& names) = 0;
};

// Receives the addresses found by a background forward lookup, on the
// lookup's own thread.
class ZU_API INameResolveCallback : public IBase {
 public:
  // `ips` is empty when the lookup failed.
  virtual void onResolved(HostName const& host, TArray<IP> const& ips) = 0;
};

// One IPv4 address held in host byte order: the first dotted octet is the
// most significant byte (10.1.2.3 is 0x0A010203), so numeric comparison
// orders addresses as their dotted forms. 0 (0.0.0.0) means "none" or "any".
class ZU_API IP {
 public:
  // The value unchanged (host byte order).
  IP(unsigned int value = 0) : value_(value) {}
  // Dotted text as inet_addr reads it (one to four numbers, octal with a
  // leading 0, the last number filling the remaining bytes). Any character
  // besides digits and dots, or a text inet_addr refuses, gives 0; so does
  // "255.255.255.255", whose value equals inet_addr's failure result. Never
  // looks a name up.
  IP(String const& text);

  unsigned int value() const { return value_; }  // host byte order
  operator unsigned int() const { return value_; }  // value()

  bool isAny() const { return value_ == 0; }  // 0.0.0.0
  // Anywhere in 127.0.0.0/8.
  bool isLoopback() const { return (value_ >> 24) == 127; }
  // 10.0.0.0/8, 172.16.0.0/12 or 192.168.0.0/16.
  bool isRFC1918() const;

  // 127.0.0.1, built when the library is loaded.
  static IP const& loopback();

  // Four decimal octets joined by dots ("10.1.2.3").
  String toDotNotation() const;

  // Reverse lookup: the official name, then the aliases in the resolver's
  // order; empty on failure. Blocks the calling thread.
  TArray<String> resolveAll() const;
  // The first name of resolveAll(), or "" when there is none.
  String resolve() const;
  // Runs resolveAll() on a library thread of its own and hands the result to
  // `callback` if the caller still holds it then. Returns that thread, or a
  // null pointer (starting nothing) when the callback has already expired.
  boost::shared_ptr<sys::IThread> resolveAll(boost::weak_ptr<IIPResolveCallback> callback) const;

 private:
  unsigned int value_;
};

// A host name or dotted address, optionally followed by ':' and a decimal
// port, kept unchanged.
class ZU_API HostName {
 public:
  HostName(String const& text = "");  // kept unchanged, not checked

  // Everything before the first ':' (the whole text when there is none).
  String host() const;
  // `defaultPort` when the text has no ':'; otherwise the decimal number
  // after the first ':' truncated to 16 bits (garbage reads as 0).
  unsigned short port(unsigned short defaultPort) const;

  String toString() const { return text_; }  // the text as given
  operator String() const { return text_; }  // toString()

  // Forward lookup of host(): a dotted address is returned as it is without
  // a lookup; otherwise the resolver's IPv4 addresses in its order; empty on
  // failure. Blocks the calling thread.
  TArray<IP> resolveAll() const;
  // The first address of resolveAll(), or 0 when there is none.
  IP resolve() const;
  // Background form; returned and refused as IP::resolveAll(callback).
  boost::shared_ptr<sys::IThread> resolveAll(boost::weak_ptr<INameResolveCallback> callback) const;

 private:
  String text_;
};

// An endpoint as the sockets hand it out, both fields in host byte order.
// The zero address (IP 0, port 0) stands for "unknown" or a failure.
struct Address {
  IP ip;  // 0 when unknown
  unsigned short port;  // 0 when unknown
};

// An inclusive interval of addresses, start <= end after every constructor.
// (0.0.0.0, 0.0.0.0) is the empty range, so the lone address 0.0.0.0 cannot
// be held as a non-empty range.
class ZU_API IPRange {
 public:
  // The empty range.
  IPRange() {}
  // The two addresses in either order.
  IPRange(IP const& a, IP const& b);
  // One of the forms "a.b.c.d", "start-end", "start-count", "ALL" (any
  // case), "addr/prefixLength" (0 to 32) or "addr/dotted.mask" (a prefix
  // mask), each address read as IP(String). Invalid text gives the empty
  // range.
  IPRange(String const& text);

  IP const& start() const { return start_; }  // the lowest address
  IP const& end() const { return end_; }  // the highest address, included
  bool empty() const { return start_.value() == 0 && end_.value() == 0; }  // (0.0.0.0, 0.0.0.0)
  bool includes(IP const& ip) const { return start_.value() <= ip.value() && ip.value() <= end_.value(); }  // start <= ip <= end
  // Strictly before `other`, without overlap: the order of IPRanges.
  bool lessThan(IPRange const& other) const { return end_.value() < other.start_.value(); }
  bool equalTo(IPRange const& other) const {  // same start and end
    return start_.value() == other.start_.value() && end_.value() == other.end_.value();
  }
  // Becomes the hull of both ranges, whether or not they overlap.
  void combine(IPRange const& other);
  // "start-end" with asBounds, else "start-count" where count is end -
  // start; both read back as the same range.
  String toString(bool asBounds) const;

 private:
  IP start_;
  IP end_;
};

}  // namespace net

namespace __ {
struct IPRangesStub;
}

namespace net {

// A set of disjoint, non-adjacent, non-empty ranges in ascending order;
// overlapping and adjacent ranges fuse as they are added. Copies share their
// ranges until one of them changes (copy-on-write). One object must not be
// changed from two threads at once; copies may live on different threads.
class ZU_API IPRanges {
 public:
  IPRanges();  // the empty set

  // Merges `range` in; an empty range is ignored.
  IPRanges& append(IPRange const& range);
  // Appends every piece of `text` between the separators ';' ',' '|', LF and
  // CR, each read as IPRange(String). Invalid pieces add nothing; the ranges
  // already held stay.
  IPRanges& fromString(String const& text);
  // Whether some range includes `ip`; logarithmic in the number of ranges.
  bool includes(IP const& ip) const;
  void clear();  // drops every range
  // Every range in ascending order as IPRange::toString(asBounds) followed
  // by ';' (the last one too); "" for the empty set.
  String toString(bool asBounds) const;

 private:
  void detach();

  boost::shared_ptr<__::IPRangesStub> stub_;
};

// One network adapter: an interface with a 6-byte hardware address.
struct InterfaceEntry {
  String name;  // the system's interface name ("eth0")
  String description;  // the driver's name, else the interface name
  TArray<IP> addresses;  // its IPv4 addresses
  // The subnet mask of each address, index for index.
  TArray<IP> masks;
  // The 6-byte hardware address.
  ByteArray mac;
};

// The machine's adapters in the system's order; empty when the query fails.
ZU_API TArray<InterfaceEntry> enumInterface();

}  // namespace net
}  // namespace zu

#endif
