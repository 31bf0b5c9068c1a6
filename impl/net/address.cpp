// The IPv4 value types: addresses, host names, ranges and range sets.
// Values only: nothing here touches the network.
#include <zu/net.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include <boost/make_shared.hpp>

#include "platform/address_platform.h"

namespace zu {
namespace __ {

// Ranges ordered so that two overlapping ranges compare equivalent: a lookup
// with a probe range finds a held range that overlaps it.
struct RangeBefore {
  bool operator()(net::IPRange const& a, net::IPRange const& b) const { return a.lessThan(b); }
};

struct IPRangesStub {
  std::set<net::IPRange, RangeBefore> ranges;
};

}  // namespace __

namespace net {

namespace {

typedef std::set<IPRange, zu::__::RangeBefore> RangeSet;

bool onlyDigitsAndDots(char const* text) { return text[std::strspn(text, "0123456789.")] == '\0'; }

// A text of decimal digits only, without overflow past 32 bits.
bool readDecimal(char const* text, unsigned int& value) {
  if (*text == '\0') return false;
  std::uint64_t v = 0;
  for (char const* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<unsigned int>(*p - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  value = static_cast<unsigned int>(v);
  return true;
}

// An address inside range text. Unlike IP(String) this tells a text that
// fails from one that reads as 0.0.0.0, and reads 255.255.255.255 as itself:
// a typo must not widen an access list to 0.0.0.0-x, and a range ending at
// the top of the space must read back as it was written.
bool readRangeAddress(String const& text, unsigned int& value) {
  char const* s = text.cstr();
  return onlyDigitsAndDots(s) && impl::inetAton(s, value);
}

unsigned int prefixMask(unsigned int length) {
  return length == 0 ? 0u : 0xFFFFFFFFu << (32 - length);
}

void appendDotted(String& out, unsigned int value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFF, (value >> 8) & 0xFF,
                value & 0xFF);
  out.append(buffer);
}

}  // namespace

// ---------------------------------------------------------------- IP

IP::IP(String const& text) : value_(0) {
  char const* s = text.cstr();
  if (!onlyDigitsAndDots(s)) return;
  unsigned int a = impl::inetAddr(s);
  // The failure result is also the value of 255.255.255.255: both give 0.
  if (a != 0xFFFFFFFFu) value_ = a;
}

bool IP::isRFC1918() const {
  unsigned int a = value_ >> 24, b = (value_ >> 16) & 0xFF;
  return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168);
}

IP const& IP::loopback() {
  static IP const value(String("127.0.0.1"));
  return value;
}

String IP::toDotNotation() const {
  String out;
  appendDotted(out, value_);
  return out;
}

String IP::resolve() const {
  TArray<String> names = resolveAll();
  return names.empty() ? String() : names[0];
}

// ---------------------------------------------------------------- HostName

HostName::HostName(String const& text) : text_(text) {}

String HostName::host() const {
  unsigned int colon = text_.find(':');
  return colon == 0xFFFFFFFFu ? text_ : text_.left(colon);
}

unsigned short HostName::port(unsigned short defaultPort) const {
  unsigned int colon = text_.find(':');
  if (colon == 0xFFFFFFFFu) return defaultPort;
  return static_cast<unsigned short>(text_.mid(colon + 1).toUnsigned(10) & 0xFFFF);
}

IP HostName::resolve() const {
  TArray<IP> ips = resolveAll();
  return ips.empty() ? IP() : ips[0];
}

// ---------------------------------------------------------------- IPRange

IPRange::IPRange(IP const& a, IP const& b) {
  if (a.value() <= b.value()) {
    start_ = a;
    end_ = b;
  } else {
    start_ = b;
    end_ = a;
  }
}

IPRange::IPRange(String const& text) {
  // Any invalid piece leaves the range empty.
  unsigned int start = 0, end = 0;
  unsigned int dash = text.find('-');
  unsigned int slash;
  if (dash != 0xFFFFFFFFu) {
    if (!readRangeAddress(text.left(dash), start)) return;
    String rest = text.mid(dash + 1);
    if (rest.find('.') == 0xFFFFFFFFu) {
      unsigned int count;
      // A count running past 255.255.255.255 would wrap to the bottom of
      // the space and silently name a different range.
      if (!readDecimal(rest.cstr(), count) || count > 0xFFFFFFFFu - start) return;
      end = start + count;
    } else if (!readRangeAddress(rest, end)) {
      return;
    }
  } else if (text.compare("ALL", true) == 0) {
    start = 0;
    end = 0xFFFFFFFFu;
  } else if ((slash = text.find('/')) != 0xFFFFFFFFu) {
    unsigned int address, mask;
    if (!readRangeAddress(text.left(slash), address)) return;
    String rest = text.mid(slash + 1);
    if (rest.find('.') == 0xFFFFFFFFu) {
      unsigned int length;
      if (!readDecimal(rest.cstr(), length) || length >= 33) return;
      mask = prefixMask(length);
    } else {
      if (!readRangeAddress(rest, mask)) return;
      unsigned int length = 0;
      while (length < 32 && prefixMask(length) != mask) ++length;
      if (prefixMask(length) != mask) return;  // not a prefix mask
    }
    start = address & mask;
    end = start | ~mask;
  } else {
    if (!readRangeAddress(text, start)) return;
    end = start;
  }
  if (start > end) std::swap(start, end);
  start_ = IP(start);
  end_ = IP(end);
}

void IPRange::combine(IPRange const& other) {
  if (other.start_.value() < start_.value()) start_ = other.start_;
  if (other.end_.value() > end_.value()) end_ = other.end_;
}

String IPRange::toString(bool asBounds) const {
  String out;
  appendDotted(out, start_.value());
  out.append('-');
  if (asBounds) {
    appendDotted(out, end_.value());
  } else {
    char buffer[12];
    std::snprintf(buffer, sizeof buffer, "%u", end_.value() - start_.value());
    out.append(buffer);
  }
  return out;
}

// ---------------------------------------------------------------- IPRanges

IPRanges::IPRanges() : stub_(boost::make_shared<zu::__::IPRangesStub>()) {}

void IPRanges::detach() {
  if (!stub_)
    stub_ = boost::make_shared<zu::__::IPRangesStub>();
  else if (stub_.use_count() != 1)
    stub_ = boost::make_shared<zu::__::IPRangesStub>(*stub_);
}

IPRanges& IPRanges::append(IPRange const& range) {
  if (range.empty()) return *this;
  detach();
  RangeSet& set = stub_->ranges;
  IPRange candidate = range;
  for (;;) {
    // Widened by one address at each end, so that a neighbour that merely
    // touches the candidate counts as overlapping and fuses with it.
    unsigned int s = candidate.start().value(), e = candidate.end().value();
    IPRange probe(IP(s == 0 ? 0 : s - 1), IP(e == 0xFFFFFFFFu ? e : e + 1));
    RangeSet::iterator found = set.find(probe);
    if (found == set.end()) break;
    candidate.combine(*found);
    set.erase(found);
  }
  set.insert(candidate);
  return *this;
}

IPRanges& IPRanges::fromString(String const& text) {
  TArray<String> pieces = text.tokenise(";,\n\r|", false, false);
  for (unsigned int i = 0; i < pieces.size(); ++i) append(IPRange(pieces[i]));
  return *this;
}

bool IPRanges::includes(IP const& ip) const {
  if (!stub_) return false;
  RangeSet const& set = stub_->ranges;
  // The first range whose end is at or above ip; it holds ip when it starts
  // at or below it.
  RangeSet::const_iterator it = set.lower_bound(IPRange(ip, ip));
  return it != set.end() && it->start().value() <= ip.value();
}

void IPRanges::clear() {
  if (stub_ && stub_.use_count() == 1)
    stub_->ranges.clear();
  else
    stub_ = boost::make_shared<zu::__::IPRangesStub>();
}

String IPRanges::toString(bool asBounds) const {
  String out;
  if (!stub_) return out;
  for (IPRange const& r : stub_->ranges) {
    out.append(r.toString(asBounds));
    out.append(';');
  }
  return out;
}

// ---------------------------------------------------------------- adapters

TArray<InterfaceEntry> enumInterface() { return impl::listAdapters(); }

}  // namespace net
}  // namespace zu
