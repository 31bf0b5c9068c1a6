// MD5 and Base64 of 1 MB against OpenSSL's libcrypto, in one binary.
// zu's Base64 text has a CR LF every 76 characters; EVP_EncodeBlock writes
// one unbroken line and EVP_EncodeUpdate a LF every 64 characters.
#include <zu/cypher.h>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#ifdef ZU_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

unsigned int const megabyte = 1 << 20;

std::vector<unsigned char> const& data() {
  static std::vector<unsigned char> const bytes = [] {
    std::vector<unsigned char> b(megabyte);
    unsigned int x = 12345;
    for (unsigned char& c : b) c = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 16);
    return b;
  }();
  return bytes;
}

void BM_ZuMD5(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zu::cypher::IMD5::digest(data().data(), megabyte));
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_ZuMD5);

void BM_ZuBase64Encode(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zu::cypher::IBase64::encode(data().data(), megabyte));
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_ZuBase64Encode);

// Decoding zu's own text, line breaks included.
void BM_ZuBase64Decode(benchmark::State& state) {
  zu::String const text = zu::cypher::IBase64::encode(data().data(), megabyte);
  bool clean = false;
  for (auto _ : state) benchmark::DoNotOptimize(zu::cypher::IBase64::decode(text, &clean));
  if (!clean) state.SkipWithError("text not clean");
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_ZuBase64Decode);

void BM_ZuNRCoderRoundTrip(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(zu::cypher::NRCoder::decode(zu::cypher::NRCoder::encode(data().data(), megabyte)));
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_ZuNRCoderRoundTrip);

#ifdef ZU_HAVE_OPENSSL

void BM_OpenSSLMD5(benchmark::State& state) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  for (auto _ : state) {
    EVP_Digest(data().data(), megabyte, digest, &size, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_OpenSSLMD5);

void BM_OpenSSLEncodeBlock(benchmark::State& state) {
  for (auto _ : state) {
    std::string text(4 * (megabyte / 3 + 1) + 1, '\0');
    text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data().data(), megabyte));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_OpenSSLEncodeBlock);

void BM_OpenSSLEncodeUpdate(benchmark::State& state) {
  EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
  for (auto _ : state) {
    std::string text(megabyte / 48 * 65 + 4 * (megabyte / 3 + 1) + 100, '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(&text[0]);
    int n = 0, tail = 0;
    EVP_EncodeInit(ctx);
    EVP_EncodeUpdate(ctx, out, &n, data().data(), megabyte);
    EVP_EncodeFinal(ctx, out + n, &tail);
    text.resize(n + tail);
    benchmark::DoNotOptimize(text.data());
  }
  EVP_ENCODE_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_OpenSSLEncodeUpdate);

// EVP_DecodeBlock takes no line breaks, so it gets one unbroken line.
void BM_OpenSSLDecodeBlock(benchmark::State& state) {
  std::string text(4 * (megabyte / 3 + 1) + 1, '\0');
  text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data().data(), megabyte));
  for (auto _ : state) {
    std::vector<unsigned char> bytes(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<unsigned char const*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_OpenSSLDecodeBlock);

// The same unbroken line through zu.
void BM_ZuBase64DecodeOneLine(benchmark::State& state) {
  std::string text(4 * (megabyte / 3 + 1) + 1, '\0');
  text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data().data(), megabyte));
  zu::String const line(text.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(zu::cypher::IBase64::decode(line, nullptr));
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_ZuBase64DecodeOneLine);

// EVP_DecodeUpdate reads line-broken text, like zu's decode.
void BM_OpenSSLDecodeUpdate(benchmark::State& state) {
  zu::String const text = zu::cypher::IBase64::encode(data().data(), megabyte);
  std::size_t const length = text.length();
  EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
  for (auto _ : state) {
    std::vector<unsigned char> bytes(length / 4 * 3 + 3);
    int n = 0, tail = 0;
    EVP_DecodeInit(ctx);
    if (EVP_DecodeUpdate(ctx, bytes.data(), &n, reinterpret_cast<unsigned char const*>(text.cstr()),
                         static_cast<int>(length)) < 0 ||
        EVP_DecodeFinal(ctx, bytes.data() + n, &tail) < 0)
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bytes.data());
  }
  EVP_ENCODE_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_OpenSSLDecodeUpdate);

#endif

}  // namespace

BENCHMARK_MAIN();
