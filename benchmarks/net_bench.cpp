// Networking benchmarks: address-set membership against Boost.ICL and a
// sorted vector.
#include <zu/net.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include <boost/icl/interval_set.hpp>

namespace {

// 10,000 disjoint ranges spread over the whole space, and probe addresses of
// which about half fall inside one of them.
struct RangeData {
  std::vector<std::pair<unsigned int, unsigned int>> ranges;
  std::vector<unsigned int> probes;

  RangeData() {
    std::mt19937 random(42);
    unsigned int const slot = 0xFFFFFFFFu / 10000;
    for (unsigned int i = 0; i < 10000; ++i) {
      unsigned int start = i * slot + 1 + random() % (slot / 4);
      ranges.emplace_back(start, start + random() % (slot / 2));
    }
    for (int i = 0; i < 4096; ++i) {
      auto const& r = ranges[random() % ranges.size()];
      probes.push_back(i % 2 ? r.first + (r.second - r.first) / 2 : r.second + 1 + random() % 1000);
    }
  }
};

RangeData const& data() {
  static RangeData const d;
  return d;
}

void BM_IPRanges_includes(benchmark::State& state) {
  zu::net::IPRanges set;
  for (auto const& r : data().ranges) set.append(zu::net::IPRange(zu::net::IP(r.first), zu::net::IP(r.second)));
  std::vector<zu::net::IP> probes(data().probes.begin(), data().probes.end());
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(set.includes(probes[i]));
    i = (i + 1) & 4095;
  }
}
BENCHMARK(BM_IPRanges_includes);

void BM_BoostIcl_contains(benchmark::State& state) {
  boost::icl::interval_set<unsigned int> set;
  for (auto const& r : data().ranges) set.add(boost::icl::interval<unsigned int>::closed(r.first, r.second));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(boost::icl::contains(set, data().probes[i]));
    i = (i + 1) & 4095;
  }
}
BENCHMARK(BM_BoostIcl_contains);

void BM_SortedVector_upperBound(benchmark::State& state) {
  std::vector<std::pair<unsigned int, unsigned int>> set(data().ranges);
  std::sort(set.begin(), set.end());
  size_t i = 0;
  for (auto _ : state) {
    unsigned int ip = data().probes[i];
    auto it = std::upper_bound(set.begin(), set.end(), std::make_pair(ip, 0xFFFFFFFFu));
    benchmark::DoNotOptimize(it != set.begin() && (it - 1)->second >= ip);
    i = (i + 1) & 4095;
  }
}
BENCHMARK(BM_SortedVector_upperBound);

void BM_IPRanges_append10000(benchmark::State& state) {
  for (auto _ : state) {
    zu::net::IPRanges set;
    for (auto const& r : data().ranges) set.append(zu::net::IPRange(zu::net::IP(r.first), zu::net::IP(r.second)));
    benchmark::DoNotOptimize(set.includes(zu::net::IP(1)));
  }
}
BENCHMARK(BM_IPRanges_append10000)->Unit(benchmark::kMillisecond);

void BM_IPRange_parse(benchmark::State& state) {
  zu::String const texts[] = {zu::String("192.168.1.0/24"), zu::String("10.0.0.1-10.0.0.200"),
                              zu::String("172.16.0.0/255.240.0.0"), zu::String("8.8.8.8")};
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zu::net::IPRange(texts[i & 3]).end().value());
    ++i;
  }
}
BENCHMARK(BM_IPRange_parse);

}  // namespace

BENCHMARK_MAIN();
