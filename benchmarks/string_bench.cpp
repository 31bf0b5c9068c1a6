// zu::String against std::string (and boost::shared_ptr for copies), in
// the same run: copying, substring search, byte-wise appending, splitting.
#include <zu/array.h>
#include <zu/string.h>

#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

namespace {

// Deterministic lower-case words separated by blanks.
std::string makeText(std::size_t size, std::uint32_t seed) {
  std::string text;
  text.reserve(size);
  std::uint32_t x = seed;
  while (text.size() < size) {
    x = x * 1103515245u + 12345u;
    std::uint32_t r = (x >> 16) % 27;
    text.push_back(r == 26 ? ' ' : static_cast<char>('a' + r));
  }
  return text;
}

// 64 KB of text whose only occurrence of the needle is at its very end.
struct Haystack {
  std::string text;
  std::string needle;
  Haystack(std::size_t needleLength) : text(makeText(65536, 7)), needle(makeText(needleLength, 99)) {
    text.replace(text.size() - needle.size(), needle.size(), needle);
  }
};

std::string const& kilobyte() {
  static std::string const s = makeText(1024, 3);
  return s;
}

void CopyZuString(benchmark::State& state) {
  zu::String const s(kilobyte().c_str());
  for (auto _ : state) {
    zu::String c(s);
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(CopyZuString);

void CopyStdString(benchmark::State& state) {
  std::string const s(kilobyte());
  for (auto _ : state) {
    std::string c(s);
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(CopyStdString);

void CopyBoostSharedPtr(benchmark::State& state) {
  boost::shared_ptr<std::string> const s = boost::make_shared<std::string>(kilobyte());
  for (auto _ : state) {
    boost::shared_ptr<std::string> c(s);
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(CopyBoostSharedPtr);

void FindZuString(benchmark::State& state) {
  Haystack h(static_cast<std::size_t>(state.range(0)));
  zu::String const text(h.text.c_str());
  zu::String const needle(h.needle.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(text.find(needle));
  if (text.find(needle) != h.text.size() - h.needle.size()) state.SkipWithError("wrong position");
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(h.text.size()));
}
BENCHMARK(FindZuString)->Arg(5)->Arg(40);

void FindStdString(benchmark::State& state) {
  Haystack h(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(h.text.find(h.needle));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(h.text.size()));
}
BENCHMARK(FindStdString)->Arg(5)->Arg(40);

// Builds a text of state.range(0) bytes one byte at a time.
void AppendByteZuString(benchmark::State& state) {
  int const n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    zu::String s;
    for (int i = 0; i < n; ++i) s.append('x');
    benchmark::DoNotOptimize(s.cstr());
  }
}
BENCHMARK(AppendByteZuString)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void AppendByteStdString(benchmark::State& state) {
  int const n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back('x');
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(AppendByteStdString)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Appends words of a few bytes and reads the length after each, as code
// that assembles a message does.
void AppendWordZuString(benchmark::State& state) {
  for (auto _ : state) {
    zu::String s;
    unsigned int total = 0;
    for (int i = 0; i < 10000; ++i) total += s.append("word ").length();
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(AppendWordZuString)->Unit(benchmark::kMicrosecond);

void AppendWordStdString(benchmark::State& state) {
  for (auto _ : state) {
    std::string s;
    unsigned int total = 0;
    for (int i = 0; i < 10000; ++i) total += static_cast<unsigned int>(s.append("word ").size());
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(AppendWordStdString)->Unit(benchmark::kMicrosecond);

std::string const& csvLine() {
  static std::string const line = [] {
    std::string l;
    for (int i = 0; i < 10000; ++i) {
      if (i) l.push_back(',');
      l += "field" + std::to_string(i);
    }
    return l;
  }();
  return line;
}

void TokeniseZuString(benchmark::State& state) {
  zu::String const line(csvLine().c_str());
  for (auto _ : state) {
    zu::TArray<zu::String> fields = line.tokenise(',');
    benchmark::DoNotOptimize(fields.size());
  }
}
BENCHMARK(TokeniseZuString)->Unit(benchmark::kMicrosecond);

void TokeniseStdString(benchmark::State& state) {
  std::string const& line = csvLine();
  for (auto _ : state) {
    std::vector<std::string> fields;
    std::size_t s = 0;
    for (;;) {
      std::size_t p = line.find(',', s);
      if (p == std::string::npos) {
        fields.push_back(line.substr(s));
        break;
      }
      fields.push_back(line.substr(s, p - s));
      s = p + 1;
    }
    benchmark::DoNotOptimize(fields.size());
  }
}
BENCHMARK(TokeniseStdString)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
