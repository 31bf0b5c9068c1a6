// Header blocks against POCO's header collection, in one binary.
#include <zu/http.h>

#include <benchmark/benchmark.h>

#ifdef ZU_HAVE_POCO
#include <Poco/Net/NameValueCollection.h>
#include <sstream>
#endif

#include <string>
#include <vector>

namespace {

std::vector<std::string> const headerLines = {
    "Host: www.example.com",
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0",
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
    "Accept-Language: en-US,en;q=0.5",
    "Accept-Encoding: gzip, deflate",
    "Connection: Keep-Alive",
    "Cookie: session=0123456789abcdef; theme=dark",
    "Cache-Control: max-age=0",
    "Content-Type: application/x-www-form-urlencoded",
    "Content-Length: 42",
};

// Ten lines parsed into a block, then the lookups a server makes.
void BM_ZuMimeParseAndLookUp(benchmark::State& state) {
  std::vector<zu::String> lines;
  for (std::string const& line : headerLines) lines.emplace_back(line.c_str());
  zu::String const length("content-length"), connection("connection"), absent("transfer-encoding"), none;
  for (auto _ : state) {
    zu::net::http::MIME mime;
    for (zu::String const& line : lines) mime.addLine(line);
    benchmark::DoNotOptimize(mime.get(length, none));
    benchmark::DoNotOptimize(mime.get(connection, none));
    benchmark::DoNotOptimize(mime.contains(absent));
  }
}
BENCHMARK(BM_ZuMimeParseAndLookUp);

void BM_ZuMimeToString(benchmark::State& state) {
  zu::net::http::MIME mime;
  for (std::string const& line : headerLines) mime.addLine(line.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(mime.toString());
}
BENCHMARK(BM_ZuMimeToString);

#ifdef ZU_HAVE_POCO
void BM_PocoNameValueParseAndLookUp(benchmark::State& state) {
  for (auto _ : state) {
    Poco::Net::NameValueCollection headers;
    for (std::string const& line : headerLines) {
      std::string::size_type at = line.find(": ");
      headers.add(line.substr(0, at), line.substr(at + 2));
    }
    benchmark::DoNotOptimize(headers.get("content-length", ""));
    benchmark::DoNotOptimize(headers.get("connection", ""));
    benchmark::DoNotOptimize(headers.has("transfer-encoding"));
  }
}
BENCHMARK(BM_PocoNameValueParseAndLookUp);

void BM_PocoNameValueToString(benchmark::State& state) {
  Poco::Net::NameValueCollection headers;
  for (std::string const& line : headerLines) {
    std::string::size_type at = line.find(": ");
    headers.add(line.substr(0, at), line.substr(at + 2));
  }
  for (auto _ : state) {
    std::string text;
    for (auto const& pair : headers) text.append(pair.first).append(": ").append(pair.second).append("\r\n");
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_PocoNameValueToString);
#endif

}  // namespace

BENCHMARK_MAIN();
