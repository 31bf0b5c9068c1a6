// MD5 and Base64 of 1 MB against OpenSSL's libcrypto, in one binary.
// OpenSSL has no TEA: TEAx is measured against the published reference
// routine in a plain loop, and against OpenSSL's Blowfish, another 64-bit
// block cipher, in ECB mode. RSA is the raw function (no padding) with one
// 2048-bit key made by OpenSSL at start, for both sides.
// zu's Base64 text has a CR LF every 76 characters; EVP_EncodeBlock writes
// one unbroken line and EVP_EncodeUpdate a LF every 64 characters.
#include <zu/cypher.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifdef ZU_HAVE_OPENSSL
// The low-level Blowfish calls are deprecated in OpenSSL 3 but still there.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/bn.h>
#include <openssl/rsa.h>
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

void BM_ZuTEAxEncode(benchmark::State& state) {
  boost::shared_ptr<zu::cypher::ITEAx> const x = zu::cypher::ITEAx::New("benchmark key", 13);
  std::vector<unsigned char> out(megabyte);
  for (auto _ : state) {
    x->encode(data().data(), out.data(), megabyte);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_ZuTEAxEncode);

// Wheeler and Needham's routine as published, over the same bytes (native
// word order, as the reference leaves it to the caller).
void referenceTEA(std::uint32_t* v, std::uint32_t const* k) {
  std::uint32_t y = v[0], z = v[1], sum = 0, delta = 0x9e3779b9, n = 32;
  while (n-- > 0) {
    sum += delta;
    y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
    z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
  }
  v[0] = y;
  v[1] = z;
}

void BM_ReferenceTEALoop(benchmark::State& state) {
  std::uint32_t const key[4] = {0x01234567, 0x89abcdef, 0xfedcba98, 0x76543210};
  std::vector<std::uint32_t> words(megabyte / 4);
  for (auto _ : state) {
    std::memcpy(words.data(), data().data(), megabyte);
    for (std::size_t i = 0; i < words.size(); i += 2) referenceTEA(&words[i], key);
    benchmark::DoNotOptimize(words.data());
  }
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_ReferenceTEALoop);

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

void BM_OpenSSLBlowfishECB(benchmark::State& state) {
  BF_KEY key;
  BF_set_key(&key, 13, reinterpret_cast<unsigned char const*>("benchmark key"));
  std::vector<unsigned char> out(megabyte);
  for (auto _ : state) {
    for (unsigned int at = 0; at < megabyte; at += 8) BF_ecb_encrypt(data().data() + at, out.data() + at, &key, BF_ENCRYPT);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * megabyte);
}
BENCHMARK(BM_OpenSSLBlowfishECB);

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

// One 2048-bit key (e = 65537) shared by both sides, and a message just
// below the modulus' size.
struct RSAKey {
  RSA* rsa = RSA_new();
  zu::String n, e, d, p, q;
  std::vector<unsigned char> message = std::vector<unsigned char>(256, 0);

  RSAKey() {
    BIGNUM* exponent = BN_new();
    BN_set_word(exponent, 65537);
    RSA_generate_key_ex(rsa, 2048, exponent, nullptr);
    BN_free(exponent);
    BIGNUM const *bn, *be, *bd, *bp, *bq;
    RSA_get0_key(rsa, &bn, &be, &bd);
    RSA_get0_factors(rsa, &bp, &bq);
    n = hex(bn), e = hex(be), d = hex(bd), p = hex(bp), q = hex(bq);
    for (unsigned int i = 0; i < 256; ++i) message[i] = data()[i];
    message[0] = 0x01;
  }
  static zu::String hex(BIGNUM const* b) {
    char* text = BN_bn2hex(b);
    zu::String s(text);
    OPENSSL_free(text);
    return s;
  }
};

RSAKey& rsaKey() {
  static RSAKey key;
  return key;
}

void BM_ZuRSAPublic2048(benchmark::State& state) {
  boost::shared_ptr<zu::cypher::IRSA> const rsa = zu::cypher::IRSA::New(rsaKey().e, rsaKey().n);
  zu::ByteArray const m(rsaKey().message.data(), 256);
  for (auto _ : state) benchmark::DoNotOptimize(rsa->transform(m));
}
BENCHMARK(BM_ZuRSAPublic2048);

void BM_OpenSSLRSAPublicRaw2048(benchmark::State& state) {
  unsigned char out[256];
  for (auto _ : state) {
    if (RSA_public_encrypt(256, rsaKey().message.data(), out, rsaKey().rsa, RSA_NO_PADDING) != 256)
      state.SkipWithError("RSA_public_encrypt failed");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_OpenSSLRSAPublicRaw2048);

// The private function through the Chinese remainder theorem on both sides.
void BM_ZuRSAPrivateCRT2048(benchmark::State& state) {
  boost::shared_ptr<zu::cypher::IRSA> const rsa = zu::cypher::IRSA::New(rsaKey().p, rsaKey().q, rsaKey().e, "0");
  zu::ByteArray const m(rsaKey().message.data(), 256);
  for (auto _ : state) benchmark::DoNotOptimize(rsa->transform(m));
}
BENCHMARK(BM_ZuRSAPrivateCRT2048);

void BM_OpenSSLRSAPrivateRaw2048(benchmark::State& state) {
  unsigned char out[256];
  for (auto _ : state) {
    if (RSA_private_decrypt(256, rsaKey().message.data(), out, rsaKey().rsa, RSA_NO_PADDING) != 256)
      state.SkipWithError("RSA_private_decrypt failed");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_OpenSSLRSAPrivateRaw2048);

#endif

}  // namespace

BENCHMARK_MAIN();
