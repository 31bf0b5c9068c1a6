#include <zu/net.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

using zu::String;
using zu::TArray;
using zu::net::Address;
using zu::net::HostName;
using zu::net::InterfaceEntry;
using zu::net::IP;
using zu::net::IPRange;
using zu::net::IPRanges;

namespace {

unsigned int const top = 0xFFFFFFFFu;

// ------------------------------------------------------------------ IP

TEST(IPText, ParsesDottedTextByTheInetAddrRules) {
  struct Case {
    char const* text;
    unsigned int value;
  } const cases[] = {
      {"10.1.2.3", 0x0A010203u},
      {"0.0.0.0", 0},
      {"127.0.0.1", 0x7F000001u},
      {"1.2.3.255", 0x010203FFu},
      // Fewer parts: the last number fills the remaining low bytes.
      {"10.1", 0x0A000001u},
      {"10.1.258", 0x0A010102u},
      {"167772161", 0x0A000001u},
      // A leading 0 means octal.
      {"010.0.0.1", 0x08000001u},
      {"09.0.0.1", 0},
      // The failure result of inet_addr is also this address's value.
      {"255.255.255.255", 0},
      {"256.0.0.1", 0},
      {"1.2.3.4.5", 0},
      {"", 0},
      {" 10.0.0.1", 0},
      {"10.0.0.1 ", 0},
      {"10.0.0.1\n", 0},
      {"0x0A.0.0.1", 0},
      {"localhost", 0},
      {"-1", 0},
  };
  for (Case const& c : cases) EXPECT_EQ(c.value, IP(String(c.text)).value()) << '"' << c.text << '"';
}

TEST(IPValue, ClassifiesAddresses) {
  EXPECT_TRUE(IP().isAny());
  EXPECT_FALSE(IP(1).isAny());
  EXPECT_TRUE(IP(String("127.0.0.1")).isLoopback());
  EXPECT_TRUE(IP(String("127.255.1.2")).isLoopback());
  EXPECT_FALSE(IP(String("128.0.0.1")).isLoopback());
  EXPECT_FALSE(IP(String("126.255.255.254")).isLoopback());

  char const* privateTexts[] = {"10.0.0.0", "10.255.255.254", "172.16.0.1", "172.31.255.254", "192.168.0.1",
                                "192.168.255.254"};
  for (char const* t : privateTexts) EXPECT_TRUE(IP(String(t)).isRFC1918()) << t;
  char const* publicTexts[] = {"9.255.255.255", "11.0.0.0", "172.15.255.255", "172.32.0.0",
                               "192.167.255.255", "192.169.0.0", "168.192.0.1", "127.0.0.1"};
  for (char const* t : publicTexts) EXPECT_FALSE(IP(String(t)).isRFC1918()) << t;

  EXPECT_EQ(0x7F000001u, IP::loopback().value());
  EXPECT_EQ(String("10.1.2.3"), IP(0x0A010203u).toDotNotation());
  EXPECT_EQ(String("255.255.255.255"), IP(top).toDotNotation());

  Address a = {IP(String("10.0.0.1")), 8080};
  TArray<Address> addresses;
  addresses.append(a).append(Address());
  EXPECT_EQ(0x0A000001u, addresses[0].ip.value());
  EXPECT_EQ(8080, addresses[0].port);
  EXPECT_TRUE(addresses[1].ip.isAny() && addresses[1].port == 0);
}

// ------------------------------------------------------------ HostName

TEST(HostNameText, SplitsHostAndPort) {
  HostName web(String("web:8080"));
  EXPECT_EQ(String("web"), web.host());
  EXPECT_EQ(8080, web.port(80));
  EXPECT_EQ(String("web:8080"), web.toString());
  EXPECT_EQ(String("web:8080"), static_cast<String>(web));

  HostName bare(String("web"));
  EXPECT_EQ(String("web"), bare.host());
  EXPECT_EQ(80, bare.port(80));

  // Truncated to 16 bits.
  EXPECT_EQ(4464, HostName(String("web:70000")).port(1));
  // A ':' with nothing readable after it is port 0, not the default.
  EXPECT_EQ(0, HostName(String("web:")).port(80));
  EXPECT_EQ(String("a"), HostName(String("a:1:2")).host());
  EXPECT_EQ(1, HostName(String("a:1:2")).port(9));
  EXPECT_EQ(String(""), HostName().host());
  EXPECT_EQ(5, HostName().port(5));
}

TEST(HostNameResolve, ResolvesLiteralsAndLocalhostAndFailsQuietly) {
  // A dotted address comes back as it is, without a lookup.
  TArray<IP> ips = HostName(String("10.1.2.3:80")).resolveAll();
  ASSERT_EQ(1u, ips.size());
  EXPECT_EQ(0x0A010203u, ips[0].value());

  ips = HostName(String("localhost:1234")).resolveAll();
  ASSERT_FALSE(ips.empty());
  EXPECT_NE(ips.end(), std::find(ips.begin(), ips.end(), IP::loopback()));
  for (IP const& ip : ips) EXPECT_TRUE(ip.isLoopback()) << ip.toDotNotation().cstr();

  EXPECT_TRUE(HostName(String("no-such-host.invalid")).resolveAll().empty());
  EXPECT_TRUE(HostName(String("no-such-host.invalid")).resolve().isAny());
  EXPECT_TRUE(HostName().resolveAll().empty());
}

TEST(IPResolve, ResolvesLoopbackBackToLocalhost) {
  TArray<String> names = IP::loopback().resolveAll();
  ASSERT_FALSE(names.empty());
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), String("localhost")));
  EXPECT_EQ(names[0], IP::loopback().resolve());
  // And the name leads back to the address.
  EXPECT_TRUE(HostName(IP::loopback().resolve()).resolve().isLoopback());
}

// ------------------------------------------------------------- IPRange

struct RangeCase {
  char const* text;
  unsigned int start;
  unsigned int end;
};

void expectRange(RangeCase const& c) {
  IPRange r{String(c.text)};
  EXPECT_EQ(c.start, r.start().value()) << '"' << c.text << '"';
  EXPECT_EQ(c.end, r.end().value()) << '"' << c.text << '"';
  EXPECT_EQ(c.start == 0 && c.end == 0, r.empty()) << '"' << c.text << '"';
}

TEST(IPRangeText, ParsesEveryForm) {
  RangeCase const cases[] = {
      {"192.168.1.0/24", 0xC0A80100u, 0xC0A801FFu},
      {"192.168.1.77/255.255.255.0", 0xC0A80100u, 0xC0A801FFu},
      {"10.0.0.5-10.0.0.1", 0x0A000001u, 0x0A000005u},
      {"10.0.0.1-4", 0x0A000001u, 0x0A000005u},
      {"10.0.0.1-0", 0x0A000001u, 0x0A000001u},
      {"aLl", 0, top},
      {"1.2.3.4/0", 0, top},
      {"1.2.3.4/32", 0x01020304u, 0x01020304u},
      {"1.2.3.4/31", 0x01020304u, 0x01020305u},
      {"200.2.3.4/1", 0x80000000u, top},
      {"10.20.30.40/255.0.0.0", 0x0A000000u, 0x0AFFFFFFu},
      {"10.20.30.40/0.0.0.0", 0, top},
      {"1.2.3.4", 0x01020304u, 0x01020304u},
      {"0.0.0.0-0.0.0.5", 0, 5},
      {"0.0.0.0-4294967295", 0, top},
      {"255.255.255.0-255", 0xFFFFFF00u, top},
      // Inside range text the top address reads as itself, so a range
      // ending there reads back as written and a host mask names one host.
      {"10.0.0.0-255.255.255.255", 0x0A000000u, top},
      {"255.255.255.255", top, top},
      {"1.2.3.4/255.255.255.255", 0x01020304u, 0x01020304u},
  };
  for (RangeCase const& c : cases) expectRange(c);
}

TEST(IPRangeText, InvalidTextGivesTheEmptyRange) {
  char const* const texts[] = {
      "", "bad", "0.0.0.0", "10.0.0.1/40", "1.2.3.4/33", "1.2.3.4/255.0.255.0", "1.2.3.4/", "1.2.3.4/x",
      "10.0.0.1-", "10.0.0.1-5x", "1.2.3.4 ", "10.0.0.1-10.0.0.2-10.0.0.3",
      // A piece that does not read as an address must not become 0.0.0.0
      // and widen the range to the bottom of the space; a count must not
      // wrap around the top.
      "bad-10.0.0.5", " 10.0.0.1-10.0.0.5", "x/8", "1.2.3.4/255.255.255.x", "255.255.255.0-256",
      "10.0.0.1-99999999999"};
  for (char const* t : texts) expectRange(RangeCase{t, 0, 0});
}

TEST(IPRangeValue, OrdersBoundsAndCombinesIntoTheHull) {
  IPRange r(IP(5), IP(3));
  EXPECT_TRUE(r.equalTo(IPRange(IP(3), IP(5))));
  EXPECT_TRUE(r.includes(IP(3)) && r.includes(IP(5)) && !r.includes(IP(2)) && !r.includes(IP(6)));
  EXPECT_TRUE(IPRange().empty());
  EXPECT_FALSE(IPRange(IP(0), IP(1)).empty());

  // The hull, even across a gap.
  IPRange hull(IP(10), IP(20));
  hull.combine(IPRange(IP(100), IP(200)));
  EXPECT_TRUE(hull.equalTo(IPRange(IP(10), IP(200))));
  hull.combine(IPRange(IP(50), IP(60)));
  hull.combine(IPRange(IP(1), IP(2)));
  EXPECT_TRUE(hull.equalTo(IPRange(IP(1), IP(200))));
}

TEST(IPRangeText, WritesBothFormsThatReadBack) {
  IPRange r{String("10.0.0.0/24")};
  EXPECT_EQ(String("10.0.0.0-10.0.0.255"), r.toString(true));
  EXPECT_EQ(String("10.0.0.0-255"), r.toString(false));
  EXPECT_EQ(String("1.1.1.1-1.1.1.1"), IPRange(String("1.1.1.1")).toString(true));
  EXPECT_EQ(String("1.1.1.1-0"), IPRange(String("1.1.1.1")).toString(false));

  IPRange const samples[] = {r, IPRange(IP(0), IP(top)), IPRange(IP(0), IP(1)), IPRange(IP(top), IP(top)),
                             IPRange(IP(0x0A000001u), IP(0xC0A80001u))};
  for (IPRange const& s : samples) {
    EXPECT_TRUE(IPRange(s.toString(true)).equalTo(s)) << s.toString(true).cstr();
    EXPECT_TRUE(IPRange(s.toString(false)).equalTo(s)) << s.toString(false).cstr();
  }
}

// ------------------------------------------------------------ IPRanges

IPRange range(unsigned int a, unsigned int b) { return IPRange(IP(a), IP(b)); }

TEST(IPRangesMerge, FusesAdjacentAndOverlappingRanges) {
  IPRanges set;
  set.append(IPRange(String("10.0.0.0-10.0.0.9")))
      .append(IPRange(String("10.0.0.20-10.0.0.29")))
      .append(IPRange(String("10.0.0.10-10.0.0.19")));
  EXPECT_EQ(String("10.0.0.0-10.0.0.29;"), set.toString(true));

  IPRanges overlap;
  overlap.append(range(10, 20)).append(range(15, 30)).append(range(5, 12));
  EXPECT_EQ(String("0.0.0.5-25;"), overlap.toString(false));

  // Contained ranges change nothing; a range spanning several swallows them.
  IPRanges many;
  many.append(range(10, 20)).append(range(30, 40)).append(range(50, 60)).append(range(12, 18));
  EXPECT_EQ(String("0.0.0.10-10;0.0.0.30-10;0.0.0.50-10;"), many.toString(false));
  many.append(range(19, 51));
  EXPECT_EQ(String("0.0.0.10-0.0.0.60;"), many.toString(true));

  // A gap of one address keeps ranges apart.
  IPRanges gap;
  gap.append(range(10, 20)).append(range(22, 30));
  EXPECT_EQ(String("0.0.0.10-0.0.0.20;0.0.0.22-0.0.0.30;"), gap.toString(true));
  gap.append(range(21, 21));
  EXPECT_EQ(String("0.0.0.10-0.0.0.30;"), gap.toString(true));
}

TEST(IPRangesMerge, HandlesTheEdgesOfTheSpace) {
  IPRanges set;
  set.append(IPRange());
  set.append(IPRange(String("0.0.0.0")));
  EXPECT_EQ(String(""), set.toString(true));
  EXPECT_FALSE(set.includes(IP(0)));

  set.append(range(0, 1)).append(range(2, 3));
  EXPECT_EQ(String("0.0.0.0-0.0.0.3;"), set.toString(true));
  EXPECT_TRUE(set.includes(IP(0)));
  EXPECT_FALSE(set.includes(IP(4)));

  set.append(range(top, top));
  set.append(range(top - 5, top - 1));
  EXPECT_EQ(String("0.0.0.0-3;255.255.255.250-5;"), set.toString(false));
  EXPECT_TRUE(set.includes(IP(top)));
  EXPECT_FALSE(set.includes(IP(top - 6)));

  set.append(IPRange(String("ALL")));
  EXPECT_EQ(String("0.0.0.0-255.255.255.255;"), set.toString(true));
  EXPECT_EQ(String("0.0.0.0-4294967295;"), set.toString(false));
  EXPECT_TRUE(set.includes(IP(0)));
  EXPECT_TRUE(set.includes(IP(0x80000000u)));
  EXPECT_TRUE(set.includes(IP(top)));
  set.append(range(7, 9));
  EXPECT_EQ(String("0.0.0.0-4294967295;"), set.toString(false));

  // Fusing across the whole space from both ends.
  IPRanges halves;
  halves.append(range(0x80000000u, top)).append(range(1, 0x7FFFFFFFu));
  EXPECT_EQ(String("0.0.0.1-255.255.255.255;"), halves.toString(true));
  halves.append(range(0, 1));
  EXPECT_EQ(String("0.0.0.0-255.255.255.255;"), halves.toString(true));
}

TEST(IPRangesText, ReadsSeparatedPiecesWithoutClearing) {
  IPRanges set;
  set.fromString(String("10.0.0.1;;10.0.0.2|bad"));
  EXPECT_EQ(String("10.0.0.1-10.0.0.2;"), set.toString(true));

  set.fromString(String("192.168.0.0/16,\r\n172.16.0.0/12\n10.0.0.0-10.0.0.0|"));
  EXPECT_EQ(String("10.0.0.0-10.0.0.2;172.16.0.0-172.31.255.255;192.168.0.0-192.168.255.255;"),
            set.toString(true));

  // The written form reads back as the same set.
  IPRanges again;
  again.fromString(set.toString(false));
  EXPECT_EQ(set.toString(true), again.toString(true));
  EXPECT_EQ(String(""), IPRanges().fromString(String(";|,")).toString(true));
}

TEST(IPRangesValue, CopiesKeepTheirRanges) {
  IPRanges original;
  original.append(range(10, 20));
  IPRanges copy = original;
  copy.append(range(30, 40));
  EXPECT_EQ(String("0.0.0.10-10;"), original.toString(false));
  EXPECT_EQ(String("0.0.0.10-10;0.0.0.30-10;"), copy.toString(false));

  IPRanges cleared = copy;
  cleared.clear();
  EXPECT_EQ(String(""), cleared.toString(true));
  EXPECT_TRUE(copy.includes(IP(35)));
  EXPECT_FALSE(cleared.includes(IP(35)));

  // Merging in a shared copy that removes ranges must not touch the other.
  IPRanges shared = copy;
  shared.append(range(0, 100));
  EXPECT_EQ(String("0.0.0.10-10;0.0.0.30-10;"), copy.toString(false));
  EXPECT_EQ(String("0.0.0.0-100;"), shared.toString(false));

  // Sole owner: cleared in place and usable after.
  IPRanges alone;
  alone.append(range(1, 2));
  alone.clear();
  alone.append(range(5, 6));
  EXPECT_EQ(String("0.0.0.5-1;"), alone.toString(false));
}

// Random ranges in a small corner of the space, checked against a plain
// membership table: includes() must agree everywhere and the written set
// must be ascending, disjoint and non-adjacent.
TEST(IPRangesMerge, AgreesWithAMembershipTable) {
  std::mt19937 random(12345);
  for (int round = 0; round < 30; ++round) {
    unsigned int const span = 600;
    std::vector<bool> table(span + 2, false);
    IPRanges set;
    int count = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      unsigned int a = random() % span, b = a + random() % 25;
      set.append(range(a, b));
      for (unsigned int x = a; x <= b; ++x) table[x] = true;
    }
    for (unsigned int x = 0; x < table.size(); ++x)
      ASSERT_EQ(static_cast<bool>(table[x]), set.includes(IP(x))) << "round " << round << " address " << x;

    TArray<String> pieces = set.toString(true).tokenise(";");
    std::int64_t previousEnd = -2;
    for (String const& p : pieces) {
      IPRange r(p);
      ASSERT_FALSE(r.empty());
      ASSERT_GT(static_cast<std::int64_t>(r.start().value()), previousEnd + 1) << p.cstr();
      previousEnd = r.end().value();
    }
  }
}

// --------------------------------------------------------- enumInterface

TEST(Interfaces, ListsAdaptersWithConsistentFields) {
  TArray<InterfaceEntry> list = zu::net::enumInterface();
  // A sandbox may show no adapter at all; what is listed must be whole.
  for (InterfaceEntry const& e : list) {
    EXPECT_FALSE(e.name.empty());
    EXPECT_FALSE(e.description.empty()) << e.name.cstr();
    EXPECT_EQ(6u, e.mac.size()) << e.name.cstr();
    ASSERT_EQ(e.addresses.size(), e.masks.size()) << e.name.cstr();
    for (unsigned int i = 0; i < e.addresses.size(); ++i) {
      EXPECT_FALSE(e.addresses[i].isAny()) << e.name.cstr();
      // A mask is a run of leading ones.
      unsigned int m = e.masks[i].value();
      EXPECT_EQ(0u, ~m & (~m + 1u)) << e.name.cstr();
    }
    if (e.name == "lo" && !e.addresses.empty()) {
      EXPECT_EQ(0x7F000001u, e.addresses[0].value());
      EXPECT_EQ(0xFF000000u, e.masks[0].value());
    }
  }
}

// ------------------------------------------------- background resolution

// Keeps every call it gets, for the test thread to wait on.
template <class Result>
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<String, Result>> calls;

  void record(String const& key, Result const& result) {
    std::lock_guard<std::mutex> guard(lock);
    calls.emplace_back(key, result);
    changed.notify_all();
  }
  bool waitForCalls(size_t n) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(30), [&] { return calls.size() >= n; });
  }
};

struct NameCallback : zu::net::INameResolveCallback {
  Recorder<TArray<IP>> seen;
  void onResolved(HostName const& host, TArray<IP> const& ips) override { seen.record(host.toString(), ips); }
};

struct AddressCallback : zu::net::IIPResolveCallback {
  Recorder<TArray<String>> seen;
  void onResolved(IP const& ip, TArray<String> const& names) override { seen.record(ip.toDotNotation(), names); }
};

TEST(ResolveConcurrent, ReverseLookupCallsBackWithNames) {
  boost::shared_ptr<AddressCallback> callback(new AddressCallback);
  boost::shared_ptr<zu::sys::IThread> thread =
      IP::loopback().resolveAll(boost::weak_ptr<zu::net::IIPResolveCallback>(callback));
  ASSERT_TRUE(thread);
  ASSERT_TRUE(callback->seen.waitForCalls(1));
  thread->stop();
  std::lock_guard<std::mutex> guard(callback->seen.lock);
  ASSERT_EQ(1u, callback->seen.calls.size());
  EXPECT_EQ(String("127.0.0.1"), callback->seen.calls[0].first);
  TArray<String> const& names = callback->seen.calls[0].second;
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), String("localhost")));
}

// Each lookup calls back once, on its own thread, with its own host name
// (port included) and its own result, failures included.
TEST(ResolveConcurrent, ForwardLookupsCallBackOnceEachWithTheirOwnHost) {
  boost::shared_ptr<NameCallback> callback(new NameCallback);
  std::vector<boost::shared_ptr<zu::sys::IThread>> threads;
  size_t const n = 9;
  for (size_t i = 0; i < n; ++i) {
    String text = i % 3 == 0 ? String("localhost:99")
                : i % 3 == 1 ? String("10.0.0.") + String(static_cast<unsigned int>(i))
                             : String("no-such-host.invalid");
    threads.push_back(HostName(text).resolveAll(boost::weak_ptr<zu::net::INameResolveCallback>(callback)));
    ASSERT_TRUE(threads.back());
  }
  ASSERT_TRUE(callback->seen.waitForCalls(n));
  for (auto& t : threads) t->stop();
  std::lock_guard<std::mutex> guard(callback->seen.lock);
  ASSERT_EQ(n, callback->seen.calls.size());
  for (auto const& call : callback->seen.calls) {
    String const& host = call.first;
    TArray<IP> const& ips = call.second;
    if (host == "localhost:99") {
      ASSERT_FALSE(ips.empty());
      EXPECT_TRUE(ips[0].isLoopback());
    } else if (host == "no-such-host.invalid") {
      EXPECT_TRUE(ips.empty());
    } else {
      ASSERT_EQ(1u, ips.size()) << host.cstr();
      EXPECT_EQ(host, ips[0].toDotNotation());
    }
  }
}

TEST(ResolveConcurrent, ExpiredCallbackStartsNothing) {
  boost::weak_ptr<zu::net::INameResolveCallback> goneName;
  boost::weak_ptr<zu::net::IIPResolveCallback> goneAddress;
  {
    boost::shared_ptr<NameCallback> a(new NameCallback);
    boost::shared_ptr<AddressCallback> b(new AddressCallback);
    goneName = a;
    goneAddress = b;
  }
  EXPECT_FALSE(HostName(String("localhost")).resolveAll(goneName));
  EXPECT_FALSE(IP::loopback().resolveAll(goneAddress));
  EXPECT_FALSE(HostName(String("localhost")).resolveAll(boost::weak_ptr<zu::net::INameResolveCallback>()));
}

// The resolver never holds the callback object: once the caller lets go and
// the lookup is over, the object is gone, whatever the timing was.
TEST(ResolveConcurrent, CallbackDroppedDuringLookupIsNotKeptAlive) {
  std::atomic<int> destroyed(0);
  struct Counted : NameCallback {
    std::atomic<int>* destroyed;
    ~Counted() override { ++*destroyed; }
  };
  for (int i = 0; i < 20; ++i) {
    boost::shared_ptr<Counted> callback(new Counted);
    callback->destroyed = &destroyed;
    boost::weak_ptr<zu::net::INameResolveCallback> weak(callback);
    boost::shared_ptr<zu::sys::IThread> thread = HostName(String("localhost")).resolveAll(weak);
    ASSERT_TRUE(thread);
    callback.reset();
    thread->stop();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(i + 1, destroyed.load());
  }
}

}  // namespace
