// UUIDs made from time, a clock sequence and the first network adapter's
// hardware address.
#include <zu/net.h>
#include <zu/util.h>

#include <cstdint>
#include <mutex>

#include "platform/platform.h"
#include "util/startup.h"

namespace zu {
namespace util {
namespace impl {

namespace {

struct UUIDState {
  std::mutex lock;
  ByteArray node;
  bool nodeReady = false;
  std::uint16_t clockSequence = 0;
  std::int64_t lastTime = 0;
};

UUIDState& uuidState() {
  static UUIDState state;
  return state;
}

// The system time in units of 10 microseconds, counted from the same origin
// as the UUIDs this library has always made.
std::int64_t uuidTime() {
  // 100-nanosecond intervals since 1601-01-01.
  std::int64_t const fileTime = ::zu::__::platform::wallClockNanoseconds() / 100 + INT64_C(116444736000000000);
  return fileTime / 100 + INT64_C(0x146A60E96F4000);
}

// The first adapter's 6-byte hardware address that is neither all zeros
// (loopback, tunnels) nor 44-45-53-54-00-00 (dial-up adapters); 6 random
// bytes when there is none, each the low 8 bits of one random number (as
// cypher::randKey makes them, which sits above this family).
ByteArray chooseNode() {
  TArray<net::InterfaceEntry> const adapters = net::enumInterface();
  for (net::InterfaceEntry const& a : adapters) {
    if (a.mac.size() != 6) continue;
    String const hex = a.mac.toHex();  // lower case already
    if (hex == "000000000000" || hex == "444553540000") continue;
    return a.mac;
  }
  ByteArray node(6u);
  unsigned char* p = node.getBuffer(0);
  for (unsigned int i = 0; i < 6; ++i) p[i] = static_cast<unsigned char>(util::IRandom::number());
  return node;
}

}  // namespace
}  // namespace impl

UUID::UUID() : value_(16) {
  std::int64_t const t = impl::uuidTime();
  std::uint16_t s;
  ByteArray node;
  {
    impl::UUIDState& state = impl::uuidState();
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.nodeReady) {
      state.node = impl::chooseNode();
      state.nodeReady = true;
      state.clockSequence = static_cast<std::uint16_t>(IRandom::number());
    }
    if (t > state.lastTime)
      state.lastTime = t;
    else
      ++state.clockSequence;  // the clock stood still or went back
    s = state.clockSequence;
    node = state.node;
  }
  unsigned char* b = value_.getBuffer(16);
  std::uint64_t const u = static_cast<std::uint64_t>(t);
  for (int i = 0; i < 7; ++i) b[i] = static_cast<unsigned char>(u >> (8 * i));
  b[7] = static_cast<unsigned char>(((u >> 56) & 0x0F) | 0x10);
  b[8] = static_cast<unsigned char>(((s >> 8) & 0x1F) | 0x80);
  b[9] = static_cast<unsigned char>(s);
  for (int i = 0; i < 6; ++i) b[10 + i] = node.ptr()[i];
}

ByteArray UUID::value() const { return value_; }

String UUID::toString() const {
  if (value_.size() != 16) return String();
  String const hex = value_.toHex();
  char const* h = hex.cstr();
  char text[37];
  char* p = text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) *p++ = '-';
    *p++ = h[i];
  }
  *p = '\0';
  return String(text, 36);
}

}  // namespace util

void __::initializeUUIDs() { util::impl::uuidState(); }

}  // namespace zu
