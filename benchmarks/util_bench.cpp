// Byte buffers and the line reader against their standard-library and
// Boost peers, in one binary; regular expressions against std::regex, the
// random generator against std::mt19937 and UUIDs against Boost's random
// UUID generator.
#include <zu/util.h>

#include <benchmark/benchmark.h>

#include <boost/circular_buffer.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <boost/make_shared.hpp>
#include <cstring>
#include <deque>
#include <random>
#include <regex>
#include <sstream>
#include <string>

namespace {

// An in-memory stream over a fixed text, rewound by the benchmark loop.
class TextStream : public zu::func::IIO {
 public:
  explicit TextStream(std::string text) : text_(std::move(text)) {}
  unsigned int read(void* buffer, unsigned int size) override {
    std::size_t n = std::min<std::size_t>(size, text_.size() - at_);
    std::memcpy(buffer, text_.data() + at_, n);
    at_ += n;
    return static_cast<unsigned int>(n);
  }
  unsigned int write(void const*, unsigned int) override { return 0; }
  void rewind() { at_ = 0; }

 private:
  std::string text_;
  std::size_t at_ = 0;
};

// 10,000 header-like lines of 20 to 80 bytes, CR LF terminated.
std::string lines() {
  std::string text;
  for (int i = 0; i < 10000; ++i) {
    text += "X-Header-" + std::to_string(i) + ": ";
    text.append(10 + i % 60, 'v');
    text += "\r\n";
  }
  return text;
}

void BM_ZuReadLine(benchmark::State& state) {
  auto stream = boost::make_shared<TextStream>(lines());
  zu::String line;
  for (auto _ : state) {
    stream->rewind();
    boost::shared_ptr<zu::util::IBufferedReader> reader = zu::util::IBufferedReader::New(stream);
    while (reader->readLine(line)) benchmark::DoNotOptimize(line.cstr());
  }
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_ZuReadLine);

void BM_StdGetline(benchmark::State& state) {
  std::string const text = lines();
  std::string line;
  for (auto _ : state) {
    std::istringstream in(text);
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      benchmark::DoNotOptimize(line.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_StdGetline);

// 64-byte writes and reads through a queue holding about 4 KB.
// Fills `io` with about 4 KB, then writes and reads 64 bytes per iteration.
void writeAndRead64(benchmark::State& state, zu::func::IIO* io) {
  char chunk[64] = {};
  for (int i = 0; i < 64; ++i) io->write(chunk, 64);
  for (auto _ : state) {
    io->write(chunk, 64);
    benchmark::DoNotOptimize(io->read(chunk, 64));
  }
  state.SetBytesProcessed(state.iterations() * 64);
}

void BM_ZuPipeBuffer64(benchmark::State& state) {
  boost::shared_ptr<zu::util::IPipeBuffer> pipe = zu::util::IPipeBuffer::New();
  writeAndRead64(state, pipe->toIO());
}
BENCHMARK(BM_ZuPipeBuffer64);

void BM_StdDeque64(benchmark::State& state) {
  std::deque<char> queue(4096);
  char chunk[64] = {};
  for (auto _ : state) {
    queue.insert(queue.end(), chunk, chunk + 64);
    std::copy(queue.begin(), queue.begin() + 64, chunk);
    queue.erase(queue.begin(), queue.begin() + 64);
    benchmark::DoNotOptimize(chunk);
  }
  state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_StdDeque64);

void BM_ZuCircleBuffer64(benchmark::State& state) {
  boost::shared_ptr<zu::util::ICircleBuffer> ring = zu::util::ICircleBuffer::New(8192);
  writeAndRead64(state, ring->toIO());
}
BENCHMARK(BM_ZuCircleBuffer64);

void BM_BoostCircularBuffer64(benchmark::State& state) {
  boost::circular_buffer<char> ring(8192);
  ring.insert(ring.end(), 4096, 0);
  char chunk[64] = {};
  for (auto _ : state) {
    ring.insert(ring.end(), chunk, chunk + 64);
    std::copy(ring.begin(), ring.begin() + 64, chunk);
    ring.erase_begin(64);
    benchmark::DoNotOptimize(chunk);
  }
  state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_BoostCircularBuffer64);

// A log-like line searched for a date and a status code.
char const* const regexSubject = "127.0.0.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /apache_pb.gif HTTP/1.0\" 200 2326";
char const* const regexPattern = "[[]([0-9]+)/([A-Za-z]+)/([0-9]+):[^]]*] \"[^\"]*\" ([0-9]{3})";

void BM_ZuRegExMatch(benchmark::State& state) {
  boost::shared_ptr<zu::util::IRegEx> const re = zu::util::IRegEx::compile(regexPattern, 0);
  zu::String const subject(regexSubject);
  zu::TArray<zu::util::RegExMatch> m;
  m.resize(5, zu::util::RegExMatch{0, 0});
  for (auto _ : state) {
    if (!re->match(subject, m, 0)) state.SkipWithError("no match");
    benchmark::DoNotOptimize(m[4].start);
  }
}
BENCHMARK(BM_ZuRegExMatch);

void BM_StdRegexSearch(benchmark::State& state) {
  std::regex const re(regexPattern, std::regex::extended);
  std::string const subject(regexSubject);
  std::smatch m;
  for (auto _ : state) {
    if (!std::regex_search(subject, m, re)) state.SkipWithError("no match");
    benchmark::DoNotOptimize(m.position(4));
  }
}
BENCHMARK(BM_StdRegexSearch);

void BM_ZuRandomNext(benchmark::State& state) {
  boost::shared_ptr<zu::util::IRandom> const r = zu::util::IRandom::New();
  for (auto _ : state) benchmark::DoNotOptimize(r->next());
}
BENCHMARK(BM_ZuRandomNext);

// The process-wide generator, one lock per number.
void BM_ZuRandomNumberShared(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zu::util::IRandom::number());
}
BENCHMARK(BM_ZuRandomNumberShared);

void BM_StdMt19937(benchmark::State& state) {
  std::mt19937 r(12345);
  for (auto _ : state) benchmark::DoNotOptimize(r());
}
BENCHMARK(BM_StdMt19937);

void BM_ZuUUIDText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zu::util::UUID().toString());
}
BENCHMARK(BM_ZuUUIDText);

void BM_BoostRandomUUIDText(benchmark::State& state) {
  boost::uuids::random_generator generate;
  for (auto _ : state) benchmark::DoNotOptimize(boost::uuids::to_string(generate()));
}
BENCHMARK(BM_BoostRandomUUIDText);

}  // namespace

BENCHMARK_MAIN();
